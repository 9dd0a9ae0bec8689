// The package-side Slide: plans, reads, batch reads on the shared pool, reads
// from many threads at once, and its errors in words.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "slide/pool.hpp"
#include "slide/slide.hpp"
#include "std_io/source.hpp"
#include "slide/tiled_tiff.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

using slide::ErrorKind;
using slide::Slide;

TEST(Slide, OpensAPlainTiledTiffWithItsGeometry) {
  const TiledTiff tiff;
  const auto s = open_memory(tiff.file);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->format(), "generic-tiff");
  ASSERT_EQ(s->levels().size(), 1U);
  EXPECT_EQ(s->levels()[0].info.tile_grid, (std::pair<std::uint64_t, std::uint64_t>{kAcross, kDown}));
  EXPECT_EQ(s->levels()[0].media_type, "image/jpeg");
  EXPECT_DOUBLE_EQ(s->levels()[0].downsample, 1.0);
}

TEST(Slide, ReadPlanAndAssembleGiveTheSplicedTile) {
  const TiledTiff tiff;
  const auto s = open_memory(tiff.file);
  ASSERT_TRUE(s);
  for (std::uint64_t y = 0; y < kDown; ++y) {
    for (std::uint64_t x = 0; x < kAcross; ++x) {
      auto plan = s->plan_tile(0, x, y);
      ASSERT_TRUE(plan.ok());
      ASSERT_EQ(plan->output_size(), tiff.expected(x, y).size());
      auto read = s->read(*plan);
      ASSERT_TRUE(read.ok());
      EXPECT_EQ(*read, tiff.expected(x, y));
      Bytes into(*plan->output_size());
      ASSERT_TRUE(s->read_into(*plan, into).ok());
      EXPECT_EQ(into, tiff.expected(x, y));
      // Ranges fetched elsewhere join to the same bytes.
      std::vector<ByteSpan> ranges;
      for (const auto& r : plan->ranges) ranges.emplace_back(tiff.file.data() + r.offset, r.length);
      auto joined = s->assemble(*plan, ranges);
      ASSERT_TRUE(joined.ok());
      EXPECT_EQ(*joined, tiff.expected(x, y));
    }
  }
}

TEST(Slide, AssembleRefusesARangeOfTheWrongLength) {
  const TiledTiff tiff;
  const auto s = open_memory(tiff.file);
  ASSERT_TRUE(s);
  auto plan = s->plan_tile(0, 1, 1);
  ASSERT_TRUE(plan.ok());
  const ByteSpan short_range(tiff.file.data() + plan->ranges[0].offset, plan->ranges[0].length - 1);
  auto joined = s->assemble(*plan, std::vector<ByteSpan>{short_range});
  ASSERT_FALSE(joined.ok());
  EXPECT_EQ(joined.error().kind, ErrorKind::Io);
}

struct ErrorCase {
  const char* name;
  std::uint64_t level, x, y;
  ErrorKind kind;
  const char* message;
};

class SlideErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SlideErrors, SayWhatIsWrongInWords) {
  const TiledTiff tiff;
  const auto s = open_memory(tiff.file);
  ASSERT_TRUE(s);
  const auto& c = GetParam();
  auto plan = s->plan_tile(c.level, c.x, c.y);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().kind, c.kind);
  EXPECT_EQ(plan.error().message, c.message);
  EXPECT_TRUE(plan.error().cause.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SlideErrors,
    ::testing::Values(
        ErrorCase{"LevelPastTheEnd", 1, 0, 0, ErrorKind::LevelNotFound,
                  "level 1 does not exist: the slide has 1 level"},
        ErrorCase{"ColumnPastTheEdge", 0, 5, 0, ErrorKind::TileNotFound,
                  "tile (5, 0) of level 0 does not exist: the level has 5 x 4 tiles"},
        ErrorCase{"RowPastTheEdge", 0, 0, 4, ErrorKind::TileNotFound,
                  "tile (0, 4) of level 0 does not exist: the level has 5 x 4 tiles"},
        ErrorCase{"HugeCoordinates", 0, UINT64_MAX, UINT64_MAX, ErrorKind::TileNotFound,
                  "tile (18446744073709551615, 18446744073709551615) of level 0 does not exist: "
                  "the level has 5 x 4 tiles"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Slide, AFileOfNoKnownFormatIsUnsupportedWithItsFirstBytes) {
  auto opened = Slide::open(std::make_shared<std_io::SharedMemorySource>(
      Bytes{'%', 'P', 'D', 'F', '-', '1'}, "doc.pdf"));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind, ErrorKind::Unsupported);
  EXPECT_EQ(opened.error().message,
            "doc.pdf is not a slide kolva can read: it starts with bytes 25 50 44 46");
}

// A source that fails every read touching [bad_begin, bad_end), as a failing
// disk or a dropped network connection would.
class FailingSource final : public std_io::RangeSource {
 public:
  FailingSource(Bytes bytes, std::uint64_t bad_begin, std::uint64_t bad_end)
      : bytes_(std::move(bytes)), bad_begin_(bad_begin), bad_end_(bad_end) {}
  std::uint64_t known_size() const override { return bytes_.size(); }
  KolvaResult<std::uint64_t> size() override { return static_cast<std::uint64_t>(bytes_.size()); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override {
    if (offset < bad_end_ && offset + dst.size() > bad_begin_) return KolvaError::IoError{OsError{5}};
    const auto n = std::min<std::uint64_t>(dst.size(), bytes_.size() - std::min<std::uint64_t>(offset, bytes_.size()));
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, dst.begin());
    return n;
  }
  const std::string& name() const override { return name_; }

 private:
  Bytes bytes_;
  std::uint64_t bad_begin_, bad_end_;
  std::string name_ = "flaky.tif";
};

TEST(Slide, AFailingSourceIsAnIoErrorNotAnUnknownFormat) {
  const TiledTiff tiff;
  auto opened = Slide::open(std::make_shared<FailingSource>(tiff.file, 0, 8));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind, ErrorKind::Io);
  EXPECT_EQ(opened.error().message, "cannot read flaky.tif: Input/output error");
}

TEST(Slide, AFailedTileReadIsAnIoErrorAndTheSlideStaysUsable) {
  const TiledTiff tiff;
  const auto plan = std::move(open_memory(tiff.file)->plan_tile(0, 4, 3)).value();
  const auto bad = plan.ranges[0];
  auto opened = Slide::open(std::make_shared<FailingSource>(tiff.file, bad.offset, bad.offset + 1));
  ASSERT_TRUE(opened.ok());
  auto failed = (*opened)->read_tile(0, 4, 3);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, ErrorKind::Io);
  auto good = (*opened)->read_tile(0, 0, 0);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, tiff.expected(0, 0));
}

}  // namespace
}  // namespace kolva::test
