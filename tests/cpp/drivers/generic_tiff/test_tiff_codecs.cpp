// The tiled-TIFF codec planner: which directories become levels, what a tile
// plan holds for each kind of codec, and refusals in words.

#include <gtest/gtest.h>

#include "drivers/generic_tiff/tiff_codecs.hpp"
#include "test_support.hpp"

namespace kolva::drivers {
namespace {

using namespace slide;

using tiff_tools::Ifd;

Ifd tiled(std::uint64_t width, std::uint64_t compression, std::uint64_t subfile = 0,
          std::uint16_t photometric = 1) {
  Ifd ifd;
  ifd.insert(254, tiff_tools::LONG{static_cast<std::uint32_t>(subfile)});
  ifd.insert(256, tiff_tools::LONG{static_cast<std::uint32_t>(width)});
  ifd.insert(257, tiff_tools::LONG{40});
  ifd.insert(258, tiff_tools::SHORT{8});
  ifd.insert(259, tiff_tools::SHORT{static_cast<std::uint16_t>(compression)});
  ifd.insert(262, tiff_tools::SHORT{photometric});
  ifd.insert(322, tiff_tools::SHORT{32});
  ifd.insert(323, tiff_tools::SHORT{32});
  const std::uint64_t tiles = (width + 31) / 32 * 2;
  std::vector<std::uint32_t> offsets, counts;
  for (std::uint64_t i = 0; i < tiles; ++i) {
    offsets.push_back(static_cast<std::uint32_t>(1000 + 100 * i));
    counts.push_back(i == 1 ? 0 : 50);  // tile (1, 0) is not stored
  }
  ifd.insert(324, tiff_tools::LONG_ARRAY{offsets});
  ifd.insert(325, tiff_tools::LONG_ARRAY{counts});
  return ifd;
}

TEST(TiffCodecLevels, FollowTheReducedBitSkipMasksAndSortWidestFirst) {
  Ifd stripped = tiled(50, 5, 1);
  stripped.insert(322, tiff_tools::ASCII{"x"});  // not a tile width any more
  std::vector<Ifd> ifds;
  ifds.push_back(tiled(200, 5));
  ifds.push_back(tiled(50, 8, 1));        // reduced: a level
  ifds.push_back(tiled(200, 5));          // another full image: not a level
  ifds.push_back(tiled(100, 50000, 1));   // reduced: a level, wider than the one above
  ifds.push_back(tiled(100, 8, 5));       // reduced mask: skipped
  auto pyramid = plan_tiff_pyramid(ifds, ByteOrder::Big);
  ASSERT_TRUE(pyramid.ok()) << pyramid.error();
  ASSERT_EQ(pyramid->levels.size(), 3U);
  EXPECT_EQ(pyramid->levels[0].info.dimensions.first, 200U);
  EXPECT_EQ(pyramid->levels[1].info.dimensions.first, 100U);
  EXPECT_EQ(pyramid->levels[2].info.dimensions.first, 50U);
  EXPECT_EQ(pyramid->levels[1].info.tile_grid, (std::pair<std::uint64_t, std::uint64_t>{4, 2}));
  for (const Level& level : pyramid->levels) EXPECT_EQ(level.media_type, "image/tiff");
}

struct PlanCase {
  std::string name;
  std::uint64_t compression;
  std::uint16_t photometric;
  std::string media_type;
  std::size_t head_size;  // bytes in front of the stored tile
  std::uint64_t skip;
};

class TiffCodecPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(TiffCodecPlan, ReadsTheStoredTileBehindTheRightHead) {
  const PlanCase& c = GetParam();
  std::vector<Ifd> ifds{tiled(100, c.compression, 0, c.photometric)};
  auto pyramid = plan_tiff_pyramid(ifds, ByteOrder::Little);
  ASSERT_TRUE(pyramid.ok()) << pyramid.error();
  EXPECT_EQ(pyramid->levels[0].media_type, c.media_type);
  auto plan = pyramid->tiler->plan(0, 2, 1);  // tile index 6
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->ranges, (RangeList{{1600, 50}}));
  const auto& splice = std::get<Splice>(plan->assembly);
  EXPECT_EQ(splice.head().size(), c.head_size);
  EXPECT_EQ(splice.skip, c.skip);
  EXPECT_EQ(plan->output_size(), c.head_size + 50 - c.skip);

  auto missing = pyramid->tiler->plan(0, 1, 0);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::TileNotFound);
  auto no_level = pyramid->tiler->plan(1, 0, 0);
  ASSERT_FALSE(no_level.ok());
  EXPECT_EQ(no_level.error().kind, ErrorKind::LevelNotFound);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, TiffCodecPlan,
    ::testing::Values(PlanCase{"jpeg_ycbcr_as_stored", 7, 6, "image/jpeg", 0, 0},
                      PlanCase{"jpeg_rgb_gets_adobe_marker", 7, 2, "image/jpeg", 18, 2},
                      PlanCase{"webp", 50001, 2, "image/webp", 0, 0},
                      PlanCase{"jpeg_xl", 50002, 2, "image/jxl", 0, 0},
                      PlanCase{"jpeg_2000", 34712, 2, "image/jp2", 0, 0},
                      // 8 + 2 + 10 entries x 12 + 4: every value fits inline.
                      PlanCase{"lzw_wrapped", 5, 1, "image/tiff", 134, 0},
                      PlanCase{"uncompressed_wrapped", 1, 1, "image/tiff", 134, 0}),
    test::ByName{});

struct RefusalCase {
  std::string name;
  std::vector<Ifd> ifds;
  std::string message;
};

class TiffCodecRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TiffCodecRefusal, SaysWhy) {
  auto pyramid = plan_tiff_pyramid(GetParam().ifds, ByteOrder::Little);
  ASSERT_FALSE(pyramid.ok());
  EXPECT_NE(pyramid.error().find(GetParam().message), std::string::npos) << pyramid.error();
}

Ifd planar_rgb() {
  Ifd ifd = tiled(64, 5, 0, 2);
  ifd.insert(277, tiff_tools::SHORT{3});
  ifd.insert(284, tiff_tools::SHORT{2});
  return ifd;
}

Ifd without(Ifd ifd, std::uint16_t tag) {
  Ifd out;
  for (const auto& e : ifd.entries()) {
    if (e.tag != tag) out.insert(e.tag, e.data);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, TiffCodecRefusal,
    ::testing::Values(
        RefusalCase{"no_directories", {}, "without any image"},
        RefusalCase{"stripped", {without(tiled(64, 5), 322)}, "strips, not tiles"},
        RefusalCase{"lerc", {tiled(64, 34887)}, "LERC"},
        RefusalCase{"old_jpeg_in_reduced_level", {tiled(64, 5), tiled(32, 6, 1)}, "old-style JPEG"},
        RefusalCase{"planar", {planar_rgb()}, "separate planes"},
        RefusalCase{"no_tile_offsets", {without(tiled(64, 5), 324)}, "tile offsets"}),
    test::ByName{});

}  // namespace
}  // namespace kolva::drivers
