// The TIFF wrapper: what it writes must read back, through the library's own
// directory reader, as the tags of the source and strips that land exactly
// where the stored bytes follow the header.

#include <gtest/gtest.h>

#include "slide/associated.hpp"
#include "slide/tiff_wrap.hpp"
#include "test_support.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::slide {
namespace {

using tiff_tools::Ifd;

struct WrapCase {
  std::string name;
  ByteOrder order;
  std::uint16_t compression;
  std::uint16_t samples;
  std::vector<std::uint16_t> bits;
  std::optional<std::uint16_t> predictor;
  std::vector<std::uint16_t> sample_format;
  std::vector<std::uint64_t> strips;
  Bytes jpeg_tables;
};

class TiffWrap : public ::testing::TestWithParam<WrapCase> {};

TEST_P(TiffWrap, ReadsBackAsTheSourceWithStripsAfterTheHeader) {
  const WrapCase& c = GetParam();
  TiffLayout layout;
  layout.order = c.order;
  layout.width = 48;
  layout.height = 32 * static_cast<std::uint32_t>(c.strips.size());
  layout.rows_per_strip = 32;
  layout.compression = c.compression;
  layout.photometric = c.samples == 3 ? 2 : 1;
  layout.samples = c.samples;
  layout.bits = c.bits;
  layout.predictor = c.predictor;
  layout.sample_format = c.sample_format;
  layout.jpeg_tables = c.jpeg_tables;
  const auto header = tiff_header(layout, c.strips);
  ASSERT_TRUE(header);
  EXPECT_EQ((*header)[0], c.order == ByteOrder::Little ? 'I' : 'M');

  Bytes file = *header;
  std::uint8_t fill = 1;
  for (std::uint64_t length : c.strips) file.insert(file.end(), length, fill++);
  test::RecordingSource source(file);
  auto ifds = test::run_consumer<tiff_tools::TiffDecoder>(source);
  ASSERT_TRUE(ifds.ok());
  ASSERT_EQ(ifds->size(), 1U);
  const Ifd& ifd = (*ifds)[0];
  EXPECT_EQ(ifd.scalar(256), 48U);
  EXPECT_EQ(ifd.scalar(257), layout.height);
  EXPECT_EQ(ifd.scalar(259), c.compression);
  EXPECT_EQ(ifd.scalar(277), c.samples);
  EXPECT_EQ(ifd.scalar(278), 32U);
  EXPECT_EQ(ifd.scalar(284), 1U);
  EXPECT_EQ(ifd.scalar(317), c.predictor ? std::optional<std::uint64_t>(*c.predictor)
                                         : std::nullopt);
  const std::vector<std::uint64_t> bits(c.bits.begin(), c.bits.end());
  EXPECT_EQ(ifd.get(258)->to_u64vec(), bits);
  if (c.sample_format.empty()) {
    EXPECT_EQ(ifd.get(339), nullptr);
  } else {
    const std::vector<std::uint64_t> formats(c.sample_format.begin(), c.sample_format.end());
    EXPECT_EQ(ifd.get(339)->to_u64vec(), formats);
  }
  if (c.jpeg_tables.empty()) {
    EXPECT_EQ(ifd.get(347), nullptr);
  } else {
    EXPECT_EQ(*ifd.get(347)->u8vec(), c.jpeg_tables);
  }
  const auto offsets = ifd.get(273)->to_u64vec();
  const auto counts = ifd.get(279)->to_u64vec();
  ASSERT_TRUE(offsets && counts);
  EXPECT_EQ(*counts, c.strips);
  std::uint64_t at = header->size();
  for (std::size_t i = 0; i < c.strips.size(); ++i) {
    EXPECT_EQ((*offsets)[i], at) << i;
    EXPECT_EQ(file[at], static_cast<std::uint8_t>(i + 1)) << i;
    at += c.strips[i];
  }
  EXPECT_EQ(at, file.size());

  // A level's tiles share one header; a one-strip tile only writes its byte
  // count over it.
  const auto shared = TiffHeaderTemplate::make(layout, c.strips.size());
  ASSERT_TRUE(shared);
  if (c.strips.size() == 1) {
    Bytes patched(shared->bytes().begin(), shared->bytes().end());
    const auto count = shared->encode(1234);
    std::copy(count.begin(), count.end(), patched.begin() + static_cast<std::ptrdiff_t>(shared->count_at()));
    const std::uint64_t other[1] = {1234};
    EXPECT_EQ(patched, *tiff_header(layout, other));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TiffWrap,
    ::testing::Values(
        WrapCase{"lzw_le_rgb8_predictor", ByteOrder::Little, 5, 3, {8, 8, 8}, 2, {}, {100}, {}},
        WrapCase{"deflate_be_grey16", ByteOrder::Big, 8, 1, {16}, std::nullopt, {1}, {7}, {}},
        WrapCase{"zstd_be_float_predictor3", ByteOrder::Big, 50000, 1, {32}, 3, {3}, {9, 3}, {}},
        WrapCase{"none_le_rgba_three_strips", ByteOrder::Little, 1, 4, {8, 8, 8, 8},
                 std::nullopt, {}, {5, 6, 1}, {}},
        WrapCase{"jpeg_strips_with_odd_tables", ByteOrder::Little, 7, 3, {8, 8, 8},
                 std::nullopt, {}, {11, 4}, {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0xFF, 0xD9}},
        WrapCase{"packbits_be_grey8_inline_values", ByteOrder::Big, 32773, 1, {8},
                 std::nullopt, {}, {2}, {}}),
    test::ByName{});

TEST(TiffWrapLayout, CopiesTheSourceTagsAndRefusesWhatOneDirectoryCannotSay) {
  Ifd ifd;
  ifd.insert(258, tiff_tools::SHORT_ARRAY{{16, 16, 16}});
  ifd.insert(259, tiff_tools::SHORT{8});
  ifd.insert(262, tiff_tools::SHORT{2});
  ifd.insert(277, tiff_tools::SHORT{3});
  ifd.insert(317, tiff_tools::SHORT{2});
  ifd.insert(339, tiff_tools::SHORT{1});  // one value stands for every sample
  auto layout = layout_of(ifd, ByteOrder::Big, 64, 32, 32);
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->bits, (std::vector<std::uint16_t>{16, 16, 16}));
  EXPECT_EQ(layout->sample_format, (std::vector<std::uint16_t>{1, 1, 1}));
  EXPECT_EQ(layout->predictor, 2);
  EXPECT_EQ(layout->photometric, 2);
  EXPECT_EQ(layout->order, ByteOrder::Big);

  ifd.insert(284, tiff_tools::SHORT{2});
  auto planar = layout_of(ifd, ByteOrder::Big, 64, 32, 32);
  ASSERT_FALSE(planar.ok());
  EXPECT_NE(planar.error().find("separate planes"), std::string::npos);
  EXPECT_FALSE(layout_of(Ifd{}, ByteOrder::Little, 0, 32, 32).ok());
  EXPECT_FALSE(layout_of(Ifd{}, ByteOrder::Little, 1ULL << 33, 32, 32).ok());
}

TEST(TiffWrapHeader, RefusesStripsPastFourGigabytes) {
  TiffLayout layout;
  layout.width = layout.height = layout.rows_per_strip = 1;
  layout.bits = {8};
  const std::uint64_t huge[2] = {0xFFFF0000ULL, 0x10000ULL};
  EXPECT_FALSE(tiff_header(layout, huge));
  EXPECT_FALSE(tiff_header(layout, {}));
  EXPECT_FALSE(fits_classic_tiff(layout, 2, huge[0] + huge[1]));
  EXPECT_TRUE(fits_classic_tiff(layout, 2, 0xFFFF0000ULL - 1024));
}

// A stripped associated image is a TIFF made when it is read: the header the
// wrapper makes for its strips, then the strips as stored; strips that a
// classic TIFF cannot hold leave no image at all.
TEST(TiffWrapHeader, AssociatedImagesWrapTheirStripsWhenRead) {
  Ifd ifd;
  ifd.insert(256, tiff_tools::LONG{48});
  ifd.insert(257, tiff_tools::LONG{40});
  ifd.insert(259, tiff_tools::SHORT{5});
  ifd.insert(278, tiff_tools::LONG{16});
  ifd.insert(273, tiff_tools::LONG_ARRAY{{100, 200, 300}});
  ifd.insert(279, tiff_tools::LONG_ARRAY{{5, 3, 4}});
  auto image = plan_stored_image(ifd, ByteOrder::Little, "label");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->media_type, "image/tiff");
  const Bytes strips[3] = {{1, 2, 3, 4, 5}, {6, 7, 8}, {9, 10, 11, 12}};
  const ByteSpan pieces[3] = {strips[0], strips[1], strips[2]};
  const auto* join = std::get_if<Custom>(&image->plan.assembly);
  ASSERT_NE(join, nullptr);
  auto read = join->join(pieces);
  ASSERT_TRUE(read.ok());
  const std::uint64_t lengths[3] = {5, 3, 4};
  Bytes want = *tiff_header(*layout_of(ifd, ByteOrder::Little, 48, 40, 16), lengths);
  for (const Bytes& strip : strips) want.insert(want.end(), strip.begin(), strip.end());
  EXPECT_EQ(*read, want);

  ifd.insert(279, tiff_tools::LONG_ARRAY{{0xFFFF0000U, 0x10000U, 4}});
  EXPECT_FALSE(plan_stored_image(ifd, ByteOrder::Little, "label"));
}

}  // namespace
}  // namespace kolva::slide
