// NDPI: level selection from directories, the header scan, the tile grid, tile
// planning and tile assembly, on directories and JPEG headers built here, plus
// the whole opening and tile path over small synthetic files.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dynamic_decoder/dynamic_decoder.hpp"
#include "drivers/hamamatsu/format/ndpi/ndpi.hpp"
#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"
#include "test_support.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::test {
namespace {

namespace tt = tiff_tools;
using format::ndpi::DecodedLevel;
using format::ndpi::DecodingLevel;
using format::ndpi::IfdToNdpiDecoder;
using format::ndpi::Level;
using format::ndpi::NdpiDecoder;
using format::ndpi::NdpiReadTile;
using format::ndpi::ReadTileStrip;
using format::ndpi::TilePlan;

constexpr std::uint64_t k4G = std::uint64_t{1} << 32;
constexpr std::uint8_t k444 = 0x11;
constexpr std::uint8_t k422 = 0x21;
constexpr std::uint8_t k420 = 0x22;

std::string text(const KolvaError& error) {
  if (const auto* d = error.get_if<KolvaError::Decoding>()) return d->text;
  return error.debug();
}

std::uint16_t be16_at(const Bytes& b, std::size_t pos) {
  return static_cast<std::uint16_t>((b[pos] << 8) | b[pos + 1]);
}

// SOI, SOF (0xC0 baseline unless `frame` says otherwise) with three
// components, the first one sampled `sampling`, DRI, SOS. The frame header
// starts at 2.
Bytes jpeg_header(std::uint16_t width, std::uint16_t height, std::optional<std::uint16_t> dri,
                  std::uint8_t sampling = k444, std::uint8_t frame = 0xC0) {
  Bytes h = {0xFF, 0xD8, 0xFF, frame, 0x00, 17, 8};
  for (const std::uint16_t v : {height, width}) {
    h.push_back(static_cast<std::uint8_t>(v >> 8));
    h.push_back(static_cast<std::uint8_t>(v));
  }
  h.insert(h.end(), {3, 1, sampling, 0, 2, 0x11, 1, 3, 0x11, 1});
  h.insert(h.end(), {0xFF, 0xDB, 0x00, 0x04, 0x00, 0x01});  // a token DQT
  if (dri) {
    h.insert(h.end(), {0xFF, 0xDD, 0x00, 0x04, static_cast<std::uint8_t>(*dri >> 8),
                       static_cast<std::uint8_t>(*dri)});
  }
  h.insert(h.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  return h;
}
constexpr std::size_t kSof = 2;

std::pair<std::uint16_t, std::uint16_t> sof_size(const Bytes& header) {
  return {be16_at(header, kSof + 7), be16_at(header, kSof + 5)};
}

// A level's stream: the header, then `n` restart intervals of 3 to 5 bytes
// whose data names the interval, each closed by RSTi mod 8, the last by EOI.
struct Stream {
  Bytes bytes;
  std::vector<std::uint64_t> offsets;  // of each interval's first byte
  std::vector<std::uint64_t> sizes;
};

Stream make_stream(const Bytes& header, std::uint64_t n, std::uint8_t tag = 0x10) {
  Stream s;
  s.bytes = header;
  for (std::uint64_t i = 0; i < n; ++i) {
    s.offsets.push_back(s.bytes.size());
    s.bytes.insert(s.bytes.end(), {tag, static_cast<std::uint8_t>(i % 200),
                                   static_cast<std::uint8_t>(i / 200)});
    s.bytes.insert(s.bytes.end(), i % 3, 0x55);
    s.bytes.push_back(0xFF);
    s.bytes.push_back(i + 1 == n ? 0xD9 : static_cast<std::uint8_t>(0xD0 + i % 8));
    s.sizes.push_back(s.bytes.size() - s.offsets.back());
  }
  return s;
}

// A decoded level as the header scan makes it, for a level of W x H pixels
// with interval d whose stream `make_stream` lays out.
DecodedLevel decoded(std::uint64_t width, std::uint64_t height, std::uint16_t d,
                     std::uint8_t sampling = k444, std::optional<std::uint64_t> intervals = {}) {
  const Bytes header = jpeg_header(static_cast<std::uint16_t>(width),
                                   static_cast<std::uint16_t>(height), d, sampling);
  const std::uint64_t mcu_w = 8 * (sampling >> 4);
  const std::uint64_t mcu_h = 8 * (sampling & 0x0F);
  const std::uint64_t n = intervals ? *intervals
                          : d == 0  ? 1
                                    : (height / mcu_h) * (width / (mcu_w * d));
  const Stream s = make_stream(header, n == 0 ? 1 : n);
  DecodingLevel level;
  level.restart_offsets = s.offsets;
  level.interval_sizes = s.sizes;
  level.strip_offset = 1000;
  level.strip_byte_count = s.bytes.size();
  level.header_len = header.size();
  level.width = width;
  level.height = height;
  auto out = level.to_level(header);
  EXPECT_TRUE(out.ok());
  return std::move(out).value();
}

// ---------------------------------------------------------------------------
// Level selection.

using Tags = std::map<std::uint16_t, tt::Data>;

tt::Ifd make_ifd(const Tags& tags) {
  tt::Ifd ifd;
  for (const auto& [tag, data] : tags) ifd.insert(tag, data);
  return ifd;
}

Tags level_tags(std::vector<std::uint32_t> restart, std::uint64_t count = 400) {
  return {{256, tt::LONG{1024}},
          {257, tt::SHORT{512}},
          {273, tt::LONG{5000}},
          {279, tt::LONG8{count}},
          {65426, tt::LONG_ARRAY{std::move(restart)}}};
}

Tags with(Tags tags, std::uint16_t tag, std::optional<tt::Data> data) {
  if (data) {
    tags.insert_or_assign(tag, *data);
  } else {
    tags.erase(tag);
  }
  return tags;
}

struct SelectCase {
  std::string name;
  Tags tags;
  std::optional<std::vector<std::uint64_t>> offsets;  // nothing: not a level
  std::uint64_t strip_byte_count = 400;
};

class NdpiLevelSelect : public ::testing::TestWithParam<SelectCase> {};

TEST_P(NdpiLevelSelect, TakesOnlySingleStripDirectoriesWithAUsableTable) {
  const auto& c = GetParam();
  const auto level = DecodingLevel::from_ifd(make_ifd(c.tags));
  if (!c.offsets) {
    EXPECT_FALSE(level.has_value());
    return;
  }
  ASSERT_TRUE(level.has_value());
  EXPECT_EQ(level->restart_offsets, *c.offsets);
  std::vector<std::uint64_t> sizes;
  for (std::size_t i = 0; i < c.offsets->size(); ++i) {
    const auto end = i + 1 < c.offsets->size() ? (*c.offsets)[i + 1] : c.strip_byte_count;
    sizes.push_back(end - (*c.offsets)[i]);
  }
  EXPECT_EQ(level->interval_sizes, sizes);
  EXPECT_EQ(level->header_len, c.offsets->front());
  EXPECT_EQ(level->strip_byte_count, c.strip_byte_count);
}

const std::uint64_t kWrapCount = k4G + 0x2000;

INSTANTIATE_TEST_SUITE_P(
    Rules, NdpiLevelSelect,
    ::testing::Values(
        SelectCase{"Plain", level_tags({100, 200, 350}), {{100, 200, 350}}},
        SelectCase{"ByteAndShortSizesCount", with(level_tags({100}), 256, tt::BYTE{9}), {{100}}},
        SelectCase{"StripOffsetAsLong8",
                   with(level_tags({100}), 273, tt::LONG8{5 * k4G}),
                   {{100}}},
        SelectCase{"SingleLongTableIsNotALevel", with(level_tags({}), 65426, tt::LONG{100}), {}},
        SelectCase{"EmptyTableIsNotALevel", level_tags({}), {}},
        SelectCase{"StripOffsetArrayIsNotALevel",
                   with(level_tags({100}), 273, tt::LONG_ARRAY{{5000, 6000}}),
                   {}},
        SelectCase{"RationalWidthIsNotALevel",
                   with(level_tags({100}), 256, tt::RATIONAL{{1, 1}}),
                   {}},
        SelectCase{"MissingHeightIsNotALevel", with(level_tags({100}), 257, std::nullopt), {}},
        SelectCase{"MissingByteCountIsNotALevel", with(level_tags({100}), 279, std::nullopt), {}},
        SelectCase{"RepeatedOffsetIsNotALevel", level_tags({100, 200, 200}), {}},
        SelectCase{"LastOffsetAtByteCountIsNotALevel", level_tags({100, 200}, 200), {}, 200},
        SelectCase{"HighWordsTrimToTheShorterTable",
                   with(with(level_tags({100, 200, 300, 400, 500}, 3 * k4G), 65432,
                             tt::LONG_ARRAY{{0, 1, 2}}),
                        279, tt::LONG8{3 * k4G}),
                   {{100, k4G + 200, 2 * k4G + 300}},
                   3 * k4G},
        SelectCase{"HighWordsNotALongArrayAreIgnored",
                   with(level_tags({100, 200}), 65432, tt::SHORT_ARRAY{{1, 1}}),
                   {{100, 200}}},
        // Low words that fall back, with no high words: wrapped past 2^32.
        SelectCase{"WrappedOnce",
                   with(level_tags({100, 0xFFFFFF00, 0x50, 0x1000}), 279, tt::LONG8{kWrapCount}),
                   {{100, 0xFFFFFF00, k4G + 0x50, k4G + 0x1000}},
                   kWrapCount},
        SelectCase{"WrappedTwice",
                   with(level_tags({100, 0xFFFF0000, 0x10, 0xFFFF0000, 0x10}), 279,
                        tt::LONG8{2 * k4G + 0x100}),
                   {{100, 0xFFFF0000, k4G + 0x10, k4G + 0xFFFF0000, 2 * k4G + 0x10}},
                   2 * k4G + 0x100},
        SelectCase{"WrapEndingPastTheStreamIsNotALevel",
                   with(level_tags({100, 0xFFFFFF00, 0x50}), 279, tt::LONG8{k4G + 0x50}),
                   {}},
        SelectCase{"FallInAShortStreamIsNotALevel", level_tags({300, 200}), {}},
        SelectCase{"FallWithHighWordsIsNotUnwrapped",
                   with(with(level_tags({100, 0xFFFFFF00, 0x50}), 65432,
                             tt::LONG_ARRAY{{0, 0, 0}}),
                        279, tt::LONG8{kWrapCount}),
                   {}}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// The header scan.

struct ScanCase {
  std::string name;
  Bytes header;
  std::int64_t length_delta = 0;  // bytes handed over minus header_len
  std::string error;              // empty: success
  std::uint64_t dri = 0;
  jpeg_tools::Sampling sampling{};
};

class NdpiHeaderScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(NdpiHeaderScan, FindsSofAndDriOrNamesWhatIsMissing) {
  const auto& c = GetParam();
  DecodingLevel level;
  level.header_len = c.header.size() - static_cast<std::uint64_t>(c.length_delta);
  level.width = 1024;
  const auto out = level.to_level(c.header);
  if (!c.error.empty()) {
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(text(out.error()), c.error);
    return;
  }
  ASSERT_TRUE(out.ok()) << out.error().debug();
  EXPECT_EQ(out->header, c.header);
  EXPECT_EQ(out->restart_interval, c.dri);
  EXPECT_EQ(out->sof_offset, kSof);
  EXPECT_EQ(out->sampling, c.sampling);
  EXPECT_EQ(out->width, 1024u);  // the directory's size, not the frame's
}

Bytes two_dri() {
  Bytes h = jpeg_header(64, 64, 8);
  const Bytes second = {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x10};
  h.insert(h.end() - 10, second.begin(), second.end());
  return h;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NdpiHeaderScan,
    ::testing::Values(
        ScanCase{"Baseline444", jpeg_header(64, 64, 32), 0, "", 32, {1, 1}},
        ScanCase{"Baseline420", jpeg_header(64, 64, 16, k420), 0, "", 16, {2, 2}},
        ScanCase{"Baseline422", jpeg_header(64, 64, 16, k422), 0, "", 16, {2, 1}},
        ScanCase{"LastDriCounts", two_dri(), 0, "", 16, {1, 1}},
        ScanCase{"ProgressiveHasNoSof0", jpeg_header(64, 64, 8, k444, 0xC2), 0,
                 "NDPI Error SOF not found"},
        ScanCase{"NoDri", jpeg_header(64, 64, std::nullopt), 0, "NDPI Error DRI not found"},
        ScanCase{"NeitherSofNorDriNamesSof", jpeg_header(64, 64, std::nullopt, k444, 0xC2), 0,
                 "NDPI Error SOF not found"},
        ScanCase{"LongerThanHeaderLen", jpeg_header(64, 64, 8), 1,
                 "NDPI Error JPEG Header is not match"},
        ScanCase{"ShorterThanHeaderLen", jpeg_header(64, 64, 8), -1,
                 "NDPI Error JPEG Header is not match"}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// The tile grid of one level.

struct GridCase {
  std::string name;
  std::uint64_t width, height;
  std::uint16_t d;
  std::uint64_t t;
  std::uint8_t sampling;
  // Expected: intervals_per_tile, intervals_per_row, mcu_rows, A, B,
  // tiles_across, tiles_down, tile_width, tile_height, last width, last height.
  std::vector<std::uint64_t> grid;
  std::string error = {};  // instead of grid
};

class NdpiTileGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(NdpiTileGrid, LaysTheTMcuGridOverTheIntervals) {
  const auto& c = GetParam();
  const auto level = NdpiDecoder::to_level(decoded(c.width, c.height, c.d, c.sampling), c.t);
  if (!c.error.empty()) {
    ASSERT_FALSE(level.ok());
    EXPECT_EQ(text(level.error()), c.error);
    return;
  }
  ASSERT_TRUE(level.ok()) << level.error().debug();
  const Level& l = *level;
  EXPECT_EQ((std::vector<std::uint64_t>{l.intervals_per_tile, l.intervals_per_row, l.mcu_rows,
                                        l.partial_intervals, l.partial_mcu_rows, l.tiles_across,
                                        l.tiles_down, l.tile_width, l.tile_height,
                                        l.last_tile_width, l.last_tile_height}),
            c.grid);
  EXPECT_EQ(l.tile_mcus, c.t);
  EXPECT_EQ(l.restart_interval, c.d);
  // The level header carries the full tile size; everything else as stored.
  EXPECT_EQ(sof_size(l.header), std::make_pair(static_cast<std::uint16_t>(c.grid[7]),
                                               static_cast<std::uint16_t>(c.grid[8])));
  const Bytes stored = jpeg_header(static_cast<std::uint16_t>(c.width),
                                   static_cast<std::uint16_t>(c.height), c.d, c.sampling);
  ASSERT_EQ(l.header.size(), stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (i < kSof + 5 || i > kSof + 8) {
      EXPECT_EQ(l.header[i], stored[i]) << i;
    }
  }
  EXPECT_EQ(l.info(), (LevelInfo{{c.width, c.height},
                                 {c.grid[7], c.grid[8]},
                                 {c.grid[5], c.grid[6]},
                                 TileEncoding::Jpeg}));
}

const std::string kDriMessage = "NDPI Error Lv0 DRI is not divisible by other levels's DRI";
const std::string kWidthMessage = "NDPI Error Width of Level is not divisibe by DRI size x 8";
const std::string kUnexpected = "UnexpectedStep";

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, NdpiTileGrid,
    ::testing::Values(
        GridCase{"W1280", 1280, 1024, 16, 32, k444, {2, 10, 128, 0, 0, 5, 4, 256, 256, 0, 0}},
        GridCase{"W1152", 1152, 1024, 16, 32, k444, {2, 9, 128, 1, 0, 5, 4, 256, 256, 128, 0}},
        GridCase{"H1000", 1280, 1000, 16, 32, k444, {2, 10, 125, 0, 29, 5, 4, 256, 256, 0, 232}},
        GridCase{"H1003LeavesThreeRowsUncovered", 1280, 1003, 16, 32, k444,
                 {2, 10, 125, 0, 29, 5, 4, 256, 256, 0, 232}},
        GridCase{"DriEqualsT", 1280, 1024, 32, 32, k444, {1, 5, 128, 0, 0, 5, 4, 256, 256, 0, 0}},
        GridCase{"DriQuarterOfT", 1280, 1024, 8, 32, k444,
                 {4, 20, 128, 0, 0, 5, 4, 256, 256, 0, 0}},
        GridCase{"DriQuarterNarrow", 1216, 1024, 8, 32, k444,
                 {4, 19, 128, 3, 0, 5, 4, 256, 256, 192, 0}},
        GridCase{"Corner", 1152, 1000, 16, 32, k444, {2, 9, 125, 1, 29, 5, 4, 256, 256, 128, 232}},
        GridCase{"LowerThanOneMcu", 1280, 7, 16, 32, k444, {2, 10, 0, 0, 0, 5, 0, 256, 256, 0, 0}},
        GridCase{"ZeroWidth", 0, 1024, 16, 32, k444, {2, 0, 128, 0, 0, 0, 4, 256, 256, 0, 0}},
        GridCase{"LargestTileEdge", 65528, 65528, 8191, 8191, k444,
                 {1, 1, 8191, 0, 0, 1, 1, 65528, 65528, 0, 0}},
        GridCase{"W1000NotDivisible", 1000, 1024, 16, 32, k444, {}, kWidthMessage},
        GridCase{"Dri12UnderT32", 1152, 1024, 12, 32, k444, {}, kDriMessage},
        GridCase{"DriLongerThanT", 1280, 1024, 64, 32, k444, {}, kDriMessage},
        GridCase{"DriZero", 1280, 1024, 0, 32, k444, {}, kDriMessage},
        GridCase{"DriZeroTZero", 0, 1024, 0, 0, k444, {}, kUnexpected},
        GridCase{"TZeroDriNonZero", 1280, 1024, 16, 0, k444, {}, kUnexpected},
        GridCase{"T8192TileEdge65536", 65536, 1024, 8192, 8192, k444, {}, kUnexpected},
        // 4:2:0: 16 x 16 MCUs, so T = 32 makes 512-pixel tiles.
        GridCase{"W2560H1000_420", 2560, 1000, 16, 32, k420,
                 {2, 10, 62, 0, 30, 5, 2, 512, 512, 0, 480}},
        GridCase{"W2304_420", 2304, 1024, 16, 32, k420, {2, 9, 64, 1, 0, 5, 2, 512, 512, 256, 0}},
        GridCase{"W1152NotDivisible_420", 1152, 1024, 16, 32, k420, {}, kWidthMessage},
        GridCase{"T4096TileEdge65536_420", 65536, 1024, 4096, 4096, k420, {}, kUnexpected},
        GridCase{"T4095_420", 65520, 65520, 4095, 4095, k420,
                 {1, 1, 4095, 0, 0, 1, 1, 65520, 65520, 0, 0}},
        // 4:2:2: 16 x 8 MCUs.
        GridCase{"W2560H1000_422", 2560, 1000, 16, 32, k422,
                 {2, 10, 125, 0, 29, 5, 4, 512, 256, 0, 232}}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiTileGrid, HeaderWithoutRoomForTheFrameSizeIsRefused) {
  DecodedLevel level = decoded(1280, 1024, 16);
  level.sof_offset = level.header.size() - 4;
  const auto out = NdpiDecoder::to_level(level, 32);
  ASSERT_FALSE(out.ok());
  EXPECT_TRUE(out.error().is<KolvaError::UnexpectedStep>());
}

// ---------------------------------------------------------------------------
// Building the decoder from several levels.

struct BuildCase {
  std::string name;
  std::vector<std::uint16_t> dris;
  std::vector<std::uint64_t> per_tile;  // empty: fails with `error`
  std::string error;
  std::string max_line;
};

class NdpiFromLevels : public ::testing::TestWithParam<BuildCase> {};

TEST_P(NdpiFromLevels, TheLongestIntervalSetsTheTileEdgeOfEveryLevel) {
  const auto& c = GetParam();
  std::vector<DecodedLevel> levels;
  for (std::size_t i = 0; i < c.dris.size(); ++i) {
    levels.push_back(decoded(1024 >> i, 1024 >> i, c.dris[i]));
  }
  CaptureDiagnostics diagnostics;
  const auto decoder = NdpiDecoder::from_levels(std::move(levels));
  EXPECT_EQ(diagnostics.lines(), (std::vector<std::string>{c.max_line}));
  if (c.per_tile.empty()) {
    ASSERT_FALSE(decoder.ok());
    EXPECT_EQ(text(decoder.error()), c.error);
    return;
  }
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  ASSERT_EQ(decoder->level_count(), c.per_tile.size());
  for (std::size_t i = 0; i < c.per_tile.size(); ++i) {
    EXPECT_EQ(decoder->levels()[i].intervals_per_tile, c.per_tile[i]);
    EXPECT_EQ(decoder->get_level(i)->tile_size, std::make_pair(std::uint64_t{256}, std::uint64_t{256}));
    EXPECT_EQ(decoder->get_level(i)->dimensions.first, std::uint64_t{1024} >> i);
  }
  EXPECT_FALSE(decoder->get_level(c.per_tile.size()).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NdpiFromLevels,
    ::testing::Values(BuildCase{"Dri32_16_8", {32, 16, 8}, {1, 2, 4}, "", "Max DRI 32"},
                      BuildCase{"LongestNotFirst", {8, 32, 16}, {4, 1, 2}, "", "Max DRI 32"},
                      BuildCase{"Dri32_12", {32, 12}, {}, kDriMessage, "Max DRI 32"}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiFromLevels, NoLevelIsUnexpectedStep) {
  CaptureDiagnostics diagnostics;
  const auto decoder = NdpiDecoder::from_levels({});
  ASSERT_FALSE(decoder.ok());
  EXPECT_TRUE(decoder.error().is<KolvaError::UnexpectedStep>());
  EXPECT_TRUE(diagnostics.lines().empty());
}

TEST(NdpiFromLevels, LevelsOfDifferentSamplingGetTheirOwnTileSize) {
  std::vector<DecodedLevel> levels;
  levels.push_back(decoded(2048, 2048, 32, k420));  // 16 x 16 MCUs
  levels.push_back(decoded(1024, 1024, 16, k444));  // 8 x 8 MCUs
  CaptureDiagnostics diagnostics;
  const auto decoder = NdpiDecoder::from_levels(std::move(levels));
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  EXPECT_EQ(decoder->get_level(0)->tile_size, std::make_pair(std::uint64_t{512}, std::uint64_t{512}));
  EXPECT_EQ(decoder->get_level(1)->tile_size, std::make_pair(std::uint64_t{256}, std::uint64_t{256}));
  EXPECT_EQ(decoder->get_level(0)->tile_grid, std::make_pair(std::uint64_t{4}, std::uint64_t{4}));
  EXPECT_EQ(decoder->get_level(1)->tile_grid, std::make_pair(std::uint64_t{4}, std::uint64_t{4}));
}

// ---------------------------------------------------------------------------
// Tile planning. Level 1 of this decoder: W 1152, H 1000, d 16 under T 32:
// 9 intervals per MCU row, 125 MCU rows, A = 1, B = 29, 5 x 4 tiles.

NdpiDecoder planning_decoder(std::optional<std::uint64_t> level1_intervals = {}) {
  std::vector<DecodedLevel> levels;
  levels.push_back(decoded(1280, 1024, 32));
  levels.push_back(decoded(1152, 1000, 16, k444, level1_intervals));
  CaptureDiagnostics diagnostics;
  auto decoder = NdpiDecoder::from_levels(std::move(levels));
  EXPECT_TRUE(decoder.ok());
  return std::move(decoder).value();
}

struct PlanCase {
  std::string name;
  std::uint64_t x, y;
  std::uint64_t first, rows, per_row;
  std::uint16_t sof_width, sof_height;
};

class NdpiTilePlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(NdpiTilePlan, PicksTheIntervalsOfEachMcuRowOfTheTile) {
  const auto& c = GetParam();
  const NdpiDecoder decoder = planning_decoder();
  const Stream stream = make_stream(jpeg_header(1152, 1000, 16), 9 * 125);
  const auto plan = decoder.read_tile(1, c.x, c.y);
  ASSERT_TRUE(plan.ok()) << plan.error().debug();
  ASSERT_EQ(plan->strips.size(), c.rows);
  for (std::uint64_t j = 0; j < c.rows; ++j) {
    const std::uint64_t v = c.first + j * 9;
    ReadTileStrip expected;
    expected.offset = 1000 + stream.offsets[v];
    for (std::uint64_t k = 0; k < c.per_row; ++k) {
      expected.interval_sizes.push_back(stream.sizes[v + k]);
      expected.length += stream.sizes[v + k];
    }
    EXPECT_EQ(plan->strips[j], expected) << "row " << j;
  }
  EXPECT_EQ(sof_size(plan->header), std::make_pair(c.sof_width, c.sof_height));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NdpiTilePlan,
    ::testing::Values(PlanCase{"Origin", 0, 0, 0, 32, 2, 256, 256},
                      PlanCase{"Full", 1, 1, 32 * 9 + 2, 32, 2, 256, 256},
                      PlanCase{"Narrow", 4, 0, 8, 32, 1, 128, 256},
                      PlanCase{"Low", 0, 3, 3 * 32 * 9, 29, 2, 256, 232},
                      PlanCase{"Corner", 4, 3, 3 * 32 * 9 + 8, 29, 1, 128, 232}),
    [](const auto& p) { return p.param.name; });

// A level whose tables are given here (offsets relative to the stream at 1000),
// with one interval per MCU row, so that every tile is as wide as the level.
NdpiDecoder decoder_over(std::vector<std::uint64_t> offsets, std::vector<std::uint64_t> sizes) {
  DecodedLevel level = decoded(256, 8 * offsets.size(), 32, k444, 1);
  level.restart_offsets = std::move(offsets);
  level.interval_sizes = std::move(sizes);
  std::vector<DecodedLevel> levels;
  levels.push_back(std::move(level));
  CaptureDiagnostics diagnostics;
  auto decoder = NdpiDecoder::from_levels(std::move(levels));
  EXPECT_TRUE(decoder.ok());
  return std::move(decoder).value();
}

struct JoinCase {
  std::string name;
  std::vector<std::uint64_t> offsets, sizes;
  std::vector<ReadTileStrip> strips;
};

class NdpiTilePlanJoins : public ::testing::TestWithParam<JoinCase> {};

TEST_P(NdpiTilePlanJoins, RowsThatLieBackToBackAreOneRead) {
  const auto& c = GetParam();
  const auto plan = decoder_over(c.offsets, c.sizes).read_tile(0, 0, 0);
  ASSERT_TRUE(plan.ok()) << plan.error().debug();
  EXPECT_EQ(plan->strips, c.strips);
}

constexpr std::uint64_t k1G = std::uint64_t{1} << 30;

INSTANTIATE_TEST_SUITE_P(
    Cases, NdpiTilePlanJoins,
    ::testing::Values(
        JoinCase{"AllContiguous", {100, 110, 125}, {10, 15, 5}, {{{10, 15, 5}, 1100, 30}}},
        // Bytes between two rows that belong to neither: a read of its own.
        JoinCase{"GapBeforeTheLastRow", {100, 110, 130}, {10, 10, 5},
                 {{{10, 10}, 1100, 20}, {{5}, 1130, 5}}},
        JoinCase{"GapAfterTheFirstRow", {100, 111, 121}, {10, 10, 5},
                 {{{10}, 1100, 10}, {{10, 5}, 1111, 15}}},
        // No joined read passes 2 GiB, the longest range one read may hold.
        JoinCase{"JoinedReadsStopAtTwoGigabytes",
                 {100, 100 + k1G, 100 + 2 * k1G, 100 + 3 * k1G},
                 {k1G, k1G, k1G, 1},
                 {{{k1G, k1G}, 1100, 2 * k1G}, {{k1G, 1}, 1100 + 2 * k1G, k1G + 1}}}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiTilePlan, LevelZeroWithDriEqualToTReadsOneIntervalPerRow) {
  const auto plan = planning_decoder().read_tile(0, 2, 1);
  ASSERT_TRUE(plan.ok());
  ASSERT_EQ(plan->strips.size(), 32u);
  for (const auto& strip : plan->strips) EXPECT_EQ(strip.interval_sizes.size(), 1u);
}

struct OutOfRangeCase {
  std::string name;
  std::uint64_t lv, x, y;
  std::string error;
};

class NdpiTileOutOfRange : public ::testing::TestWithParam<OutOfRangeCase> {};

TEST_P(NdpiTileOutOfRange, FailsBeforeAnyRead) {
  const auto& c = GetParam();
  const auto plan = planning_decoder().read_tile(c.lv, c.x, c.y);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().debug(), c.error);
}

constexpr std::uint64_t kMax = ~std::uint64_t{0};

INSTANTIATE_TEST_SUITE_P(
    Cases, NdpiTileOutOfRange,
    ::testing::Values(
        OutOfRangeCase{"ColumnPastTheGrid", 1, 5, 0, "TileNotFound { x: 5, y: 0, z: 0 }"},
        OutOfRangeCase{"RowPastTheGrid", 1, 0, 4, "TileNotFound { x: 0, y: 4, z: 0 }"},
        OutOfRangeCase{"HugeCoordinates", 1, kMax, kMax,
                       "TileNotFound { x: 18446744073709551615, y: 18446744073709551615, z: 0 }"},
        OutOfRangeCase{"LevelCount", 2, 0, 0, "LevelNotFound { selected: 2, num_level: 2 }"}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiTileOutOfRange, LevelWithoutTileRowsOrColumnsHasNoTiles) {
  std::vector<DecodedLevel> levels;
  levels.push_back(decoded(1280, 7, 16));  // no MCU row
  levels.push_back(decoded(0, 1024, 16));  // no interval per row
  CaptureDiagnostics diagnostics;
  const auto decoder = NdpiDecoder::from_levels(std::move(levels));
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  // T = 16: 128-pixel tiles.
  EXPECT_EQ(decoder->get_level(0)->tile_grid, std::make_pair(std::uint64_t{10}, std::uint64_t{0}));
  EXPECT_EQ(decoder->get_level(1)->tile_grid, std::make_pair(std::uint64_t{0}, std::uint64_t{8}));
  for (const std::uint64_t lv : {0, 1}) {
    for (const std::uint64_t x : {std::uint64_t{0}, kMax}) {
      const auto plan = decoder->read_tile(lv, x, 0);
      ASSERT_FALSE(plan.ok());
      EXPECT_TRUE(plan.error().is<KolvaError::TileNotFound>()) << plan.error().debug();
    }
  }
}

TEST(NdpiTileOutOfRange, TileReachingPastAShortTableFailsBeforeAnyRead) {
  // Tile (0, 0) ends with interval 31 * 9 + 1 = 280: a table of 281 holds it,
  // tile (1, 0) needs interval 282.
  const NdpiDecoder decoder = planning_decoder(281);
  EXPECT_TRUE(decoder.read_tile(1, 0, 0).ok());
  for (const auto& [x, y] : {std::pair<std::uint64_t, std::uint64_t>{1, 0}, {0, 1}, {4, 3}}) {
    const auto plan = decoder.read_tile(1, x, y);
    ASSERT_FALSE(plan.ok());
    EXPECT_EQ(text(plan.error()), "ReadTile Error tile reaches past the restart-offset table");
  }
}

// ---------------------------------------------------------------------------
// Tile assembly.

TilePlan plan_of(std::vector<std::vector<std::uint64_t>> pieces) {
  TilePlan plan{{0xFF, 0xD8}, {}};
  std::uint64_t offset = 100;
  for (auto& sizes : pieces) {
    ReadTileStrip strip{std::move(sizes), offset, 0};
    for (const auto s : strip.interval_sizes) strip.length += s;
    offset += 1000;
    plan.strips.push_back(std::move(strip));
  }
  return plan;
}

TEST(NdpiReadTile, AsksForEachPieceAndTheLastOneToReceive) {
  {
    auto [tile, first] = NdpiReadTile::dispatch(plan_of({{3, 4}}));
    EXPECT_EQ(first, ReadInstruction(ReadAndReceive{100, 7}));
  }
  auto [tile, first] = NdpiReadTile::dispatch(plan_of({{3}, {3, 3}, {4}}));
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{100, 3}));
  const Bytes a = {1, 0xFF, 0xD5};
  const Bytes b = {2, 0xFF, 0xD6, 3, 0xFF, 0xD7};
  const Bytes c = {4, 4, 0xFF, 0xD9};
  auto second = tile.step(a);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, ReadInstruction(ReadAndStep{1100, 6}));
  auto third = tile.step(b);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(*third, ReadInstruction(ReadAndReceive{2100, 4}));
  // Taken through step (an enclosing combinator may do so): Finish, then receive nothing.
  auto end = tile.step(c);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, ReadInstruction(Finish{}));
  const auto out = std::move(tile).receive({});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, (Bytes{0xFF, 0xD8, 1, 0xFF, 0xD0, 2, 0xFF, 0xD1, 3, 0xFF, 0xD2, 4, 4, 0xFF,
                         0xD3, 0xFF, 0xD9}));
}

struct ReachCase {
  std::string name;
  std::vector<std::uint64_t> sizes;
  std::size_t delivered;
  bool ok;
};

class NdpiReadTileReach : public ::testing::TestWithParam<ReachCase> {};

TEST_P(NdpiReadTileReach, EveryIntervalMustEndInsideTheDeliveredBytes) {
  const auto& c = GetParam();
  auto [tile, first] = NdpiReadTile::dispatch(plan_of({c.sizes}));
  (void)first;
  const Bytes bytes(c.delivered, 0x11);
  const auto out = std::move(tile).receive(bytes);
  if (c.ok) {
    EXPECT_TRUE(out.ok());
    return;
  }
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(text(out.error()), "ReadTile Error unable to reach");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NdpiReadTileReach,
    ::testing::Values(ReachCase{"Exact", {4, 4}, 8, true},
                      ReachCase{"LongerIsFine", {4, 4}, 9, true},
                      ReachCase{"OneShort", {4, 4}, 7, false},
                      ReachCase{"ZeroSizedFirstInterval", {0, 4}, 4, false},
                      ReachCase{"NothingDelivered", {1}, 0, true /* empty: no piece processed */},
                      ReachCase{"WrappingSizes", {kMax, 2}, 8, false}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// Whole files: a synthetic NDPI (classic TIFF) through the NDPI branch of the
// opening composition, then tiles through the driver.

struct LevelSpec {
  std::uint16_t width, height, d;
  std::uint8_t sampling = k444;
  std::uint8_t frame = 0xC0;
};

struct NdpiFile {
  Bytes bytes;
  std::vector<Stream> streams;
  std::vector<std::uint64_t> strip_offsets;
};

NdpiFile build_ndpi(const std::vector<LevelSpec>& specs) {
  NdpiFile file;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const auto& s = specs[i];
    const std::uint64_t mcu_w = 8 * (s.sampling >> 4);
    const std::uint64_t mcu_h = 8 * (s.sampling & 0x0F);
    file.streams.push_back(
        make_stream(jpeg_header(s.width, s.height, s.d, s.sampling, s.frame),
                    (s.height / mcu_h) * (s.width / (mcu_w * s.d)),
                    static_cast<std::uint8_t>(0x10 + i)));
  }
  const Enc enc{ByteOrder::Little};
  auto dirs = [&](const std::vector<std::uint64_t>& strip_offsets) {
    std::vector<TiffDir> out;
    for (std::size_t i = 0; i < specs.size(); ++i) {
      const Stream& st = file.streams[i];
      Bytes table;
      for (const auto o : st.offsets) put(table, o, 4, ByteOrder::Little);
      out.push_back({{{256, 4, 1, enc.u32({specs[i].width})},
                      {257, 4, 1, enc.u32({specs[i].height})},
                      {259, 3, 1, enc.u16({7})},
                      {273, 4, 1, enc.u32({strip_offsets[i]})},
                      {279, 4, 1, enc.u32({st.bytes.size()})},
                      {65426, 4, st.offsets.size(), table}},
                     std::nullopt});
      // The scanner's Make, which hands the file from the TIFF formats to NDPI.
      if (i == 0) {
        out.back().entries.push_back({271, 2, 10, ascii_bytes(std::string("Hamamatsu\0", 10))});
      }
    }
    return out;
  };
  const TiffFlavour flavour{ByteOrder::Little, false};
  std::vector<std::uint64_t> offsets(specs.size(), 0);
  std::uint64_t at = build_tiff(flavour, dirs(offsets)).bytes.size();
  for (std::size_t i = 0; i < specs.size(); ++i) {
    offsets[i] = at;
    at += file.streams[i].bytes.size();
  }
  file.bytes = build_tiff(flavour, dirs(offsets)).bytes;
  for (const auto& st : file.streams) file.bytes.insert(file.bytes.end(), st.bytes.begin(), st.bytes.end());
  file.strip_offsets = offsets;
  return file;
}

using DirectoryReaders = OrElseReadConsumer<tt::TiffDecoder, format::ndpi_big::NdpiBigIfdDecoder>;
using NdpiBranch = ConcatReadConsumer<DirectoryReaders, IfdToNdpiDecoder>;

// Stands for the formats tried after NDPI.
struct NeverOpens {
  using Input = NoInput;
  using Output = NdpiDecoder;
  static std::pair<NeverOpens, ReadInstruction> dispatch(NoInput) { return {{}, Finish{}}; }
  KolvaResult<ReadInstruction> step(ByteSpan) { return KolvaError::UnexpectedStep{}; }
  KolvaResult<NdpiDecoder> receive(ByteSpan) && { return KolvaError::Panic{"never"}; }
};

// The bytes of tile (x, y) of a level as the tile reader must build them.
Bytes expected_tile(const Stream& st, const Level& l, std::uint64_t x, std::uint64_t y) {
  const bool narrow = x + 1 == l.tiles_across && l.partial_intervals != 0;
  const bool low = y + 1 == l.tiles_down && l.partial_mcu_rows != 0;
  Bytes out(st.bytes.begin(), st.bytes.begin() + static_cast<std::ptrdiff_t>(st.offsets[0]));
  const std::uint16_t w = narrow ? l.last_tile_width : static_cast<std::uint16_t>(l.tile_width);
  const std::uint16_t h = low ? l.last_tile_height : static_cast<std::uint16_t>(l.tile_height);
  out[kSof + 5] = static_cast<std::uint8_t>(h >> 8);
  out[kSof + 6] = static_cast<std::uint8_t>(h);
  out[kSof + 7] = static_cast<std::uint8_t>(w >> 8);
  out[kSof + 8] = static_cast<std::uint8_t>(w);
  std::uint64_t k = 0;
  for (std::uint64_t row = 0; row < (low ? l.partial_mcu_rows : l.tile_mcus); ++row) {
    const std::uint64_t per_row = narrow ? l.partial_intervals : l.intervals_per_tile;
    for (std::uint64_t i = 0; i < per_row; ++i) {
      const std::uint64_t v = (y * l.tile_mcus + row) * l.intervals_per_row +
                              x * l.intervals_per_tile + i;
      const auto begin = st.bytes.begin() + static_cast<std::ptrdiff_t>(st.offsets[v]);
      out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(st.sizes[v]));
      out.back() = static_cast<std::uint8_t>(0xD0 + k++ % 8);
    }
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

TEST(NdpiFile, OpensLevelsInFileOrderAndReadsEveryTile) {
  // Level 0 256 x 256 (d 32), then a wider level 512 x 256 (d 16), then a
  // narrow, low one 192 x 200 (d 8): T = 32, tiles 256 x 256.
  const NdpiFile file = build_ndpi({{256, 256, 32}, {512, 256, 16}, {192, 200, 8}});
  RecordingSource source(file.bytes);
  CaptureDiagnostics diagnostics;
  auto decoder = run_consumer<NdpiBranch>(source);
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  EXPECT_EQ(diagnostics.lines().back(), "Max DRI 32");
  ASSERT_EQ(decoder->level_count(), 3u);
  EXPECT_EQ(*decoder->get_level(1),
            (LevelInfo{{512, 256}, {256, 256}, {2, 1}, TileEncoding::Jpeg}));
  EXPECT_EQ(*decoder->get_level(2),
            (LevelInfo{{192, 200}, {256, 256}, {1, 1}, TileEncoding::Jpeg}));
  // Opening read each level's header and nothing of the entropy-coded data.
  const Reads& reads = source.reads();
  ASSERT_GE(reads.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reads[reads.size() - 3 + i], Read(file.strip_offsets[i], file.streams[i].offsets[0]));
  }
  for (std::uint64_t lv = 0; lv < 3; ++lv) {
    const Level& l = decoder->levels()[lv];
    for (std::uint64_t y = 0; y < l.tiles_down; ++y) {
      for (std::uint64_t x = 0; x < l.tiles_across; ++x) {
        auto plan = decoder->read_tile(lv, x, y);
        ASSERT_TRUE(plan.ok()) << plan.error().debug();
        source.clear();
        const auto tile = run_consumer<NdpiReadTile>(source, std::move(plan).value());
        ASSERT_TRUE(tile.ok()) << tile.error().debug();
        EXPECT_EQ(*tile, expected_tile(file.streams[lv], l, x, y)) << lv << " " << x << " " << y;
        // A tile as wide as the level lies in one range of the stream and is read
        // with one request; a narrower one takes one read per MCU row.
        const std::uint64_t rows =
            (y + 1 == l.tiles_down && l.partial_mcu_rows != 0) ? l.partial_mcu_rows : l.tile_mcus;
        const std::uint64_t per_row = (x + 1 == l.tiles_across && l.partial_intervals != 0)
                                          ? l.partial_intervals
                                          : l.intervals_per_tile;
        if (per_row == l.intervals_per_row) {
          const Stream& st = file.streams[lv];
          const std::uint64_t first = y * l.tile_mcus * l.intervals_per_row;
          const std::uint64_t end = first + rows * per_row;
          const std::uint64_t last_end =
              end < st.offsets.size() ? st.offsets[end] : st.bytes.size();
          EXPECT_EQ(source.reads(), (Reads{{file.strip_offsets[lv] + st.offsets[first],
                                            last_end - st.offsets[first]}}))
              << lv << " " << x << " " << y;
        } else {
          EXPECT_EQ(source.reads().size(), rows) << lv << " " << x << " " << y;
        }
      }
    }
  }
}

// read_tile_into, as the Python binding reads tiles: an NDPI tile is assembled in
// the caller's buffer, one read per piece, and equals what the consumer builds.
KolvaResult<Bytes> read_into(std_io::DynamicDecoder<RecordingSource>& slide, std::uint64_t lv,
                             std::uint64_t x, std::uint64_t y, bool refuse = false) {
  Bytes out;
  auto make = [&](std::size_t size) -> std::uint8_t* {
    if (refuse) return nullptr;
    out.assign(size, 0xAA);
    return out.data();
  };
  KOLVA_TRY(Unit done, slide.read_tile_into(lv, x, y, make));
  (void)done;
  return out;
}

TEST(NdpiFile, TilesAssembledInTheCallersBufferEqualTheConsumersWithTheSameReads) {
  const NdpiFile file = build_ndpi({{256, 256, 32}, {512, 256, 16}, {192, 200, 8}});
  CaptureDiagnostics diagnostics;
  auto slide = std_io::open_slide(RecordingSource(file.bytes));
  ASSERT_TRUE(slide.ok()) << slide.error().debug();
  ASSERT_STREQ(slide->decoder().format_name(), "Hamamatsu NDPI");
  const auto& ndpi_decoder = std::get<NdpiDecoder>(slide->decoder().variant());
  for (std::uint64_t lv = 0; lv < 3; ++lv) {
    const Level& l = ndpi_decoder.levels()[lv];
    for (std::uint64_t y = 0; y < l.tiles_down; ++y) {
      for (std::uint64_t x = 0; x < l.tiles_across; ++x) {
        const auto plan = ndpi_decoder.read_tile(lv, x, y);
        ASSERT_TRUE(plan.ok());
        Reads planned;
        for (const auto& strip : plan->strips) planned.emplace_back(strip.offset, strip.length);
        slide->reader().clear();
        const auto tile = read_into(*slide, lv, x, y);
        ASSERT_TRUE(tile.ok()) << tile.error().debug();
        EXPECT_EQ(*tile, expected_tile(file.streams[lv], l, x, y)) << lv << " " << x << " " << y;
        EXPECT_EQ(slide->reader().reads(), planned);
        slide->reader().clear();
        const auto consumed = slide->read_tile_as_bytes(lv, x, y);
        ASSERT_TRUE(consumed.ok());
        EXPECT_EQ(*consumed, *tile);
        EXPECT_EQ(slide->reader().reads(), planned);
      }
    }
  }
  // A caller that cannot give the buffer: refused before anything is read.
  slide->reader().clear();
  const auto refused = read_into(*slide, 0, 0, 0, true);
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.error().is<KolvaError::UnableToAllocateLargeSize>());
  EXPECT_TRUE(slide->reader().reads().empty());
}

TEST(NdpiFile, AssembledTileReachingPastTheEndFailsLikeTheConsumer) {
  // The last level's stream is cut short: its tile reaches past the end of
  // the file. Both paths refuse it with UnexpectedStep, and read nothing.
  NdpiFile file = build_ndpi({{256, 256, 32}, {512, 256, 16}});
  file.bytes.resize(file.bytes.size() - 3);
  CaptureDiagnostics diagnostics;
  auto slide = std_io::open_slide(RecordingSource(file.bytes));
  ASSERT_TRUE(slide.ok()) << slide.error().debug();
  ASSERT_STREQ(slide->decoder().format_name(), "Hamamatsu NDPI");
  ASSERT_EQ(slide->level_count(), 2u);
  slide->reader().clear();
  const auto assembled = read_into(*slide, 1, 1, 0);
  const auto consumed = slide->read_tile_as_bytes(1, 1, 0);
  ASSERT_FALSE(assembled.ok());
  ASSERT_FALSE(consumed.ok());
  EXPECT_EQ(assembled.error().debug(), "UnexpectedStep");
  EXPECT_EQ(consumed.error().debug(), "UnexpectedStep");
  // The other tiles still read, on both paths.
  const auto left = read_into(*slide, 1, 0, 0);
  ASSERT_TRUE(left.ok()) << left.error().debug();
  EXPECT_EQ(*left, *slide->read_tile_as_bytes(1, 0, 0));
}

TEST(NdpiFile, FullTileOfHalfIntervalsHasSixtyFourMarkersCountingZeroToSevenEightTimes) {
  const NdpiFile file = build_ndpi({{256, 256, 32}, {512, 256, 16}});
  std_io::MemorySource source(file.bytes);
  CaptureDiagnostics diagnostics;
  auto decoder = run_consumer<NdpiBranch>(source);
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  RecordingSource recording(file.bytes);
  const auto tile = run_consumer<NdpiReadTile>(recording, decoder->read_tile(1, 1, 0).value());
  ASSERT_TRUE(tile.ok());
  ASSERT_EQ(recording.reads().size(), 32u);
  const Stream& st = file.streams[1];
  for (std::size_t j = 0; j < 32; ++j) {
    const std::uint64_t v = j * 4 + 2;
    EXPECT_EQ(recording.reads()[j],
              Read(file.strip_offsets[1] + st.offsets[v], st.sizes[v] + st.sizes[v + 1]));
  }
  // The markers: every 0xFF of the entropy data in this stream is one.
  std::vector<std::uint8_t> markers;
  const std::size_t header_len = st.offsets[0];
  for (std::size_t i = header_len; i + 1 < tile->size(); ++i) {
    if ((*tile)[i] == 0xFF) markers.push_back((*tile)[i + 1]);
  }
  ASSERT_EQ(markers.size(), 65u);
  for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(markers[k], 0xD0 + k % 8) << k;
  EXPECT_EQ(markers[64], 0xD9);
  EXPECT_EQ((*tile)[tile->size() - 3], 0xD7);  // RST7 directly before EOI
  // The same tile again: identical bytes.
  const auto again = run_consumer<NdpiReadTile>(recording, decoder->read_tile(1, 1, 0).value());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, *tile);
}

TEST(NdpiFile, DroppedLevelsAreReportedAndTheRestOpen) {
  const NdpiFile file = build_ndpi({{256, 256, 32}, {256, 256, 16, k444, 0xC2}, {128, 128, 16}});
  std_io::MemorySource source(file.bytes);
  CaptureDiagnostics diagnostics;
  const auto decoder = run_consumer<NdpiBranch>(source);
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  EXPECT_EQ(decoder->level_count(), 2u);
  EXPECT_EQ(decoder->get_level(1)->dimensions, std::make_pair(std::uint64_t{128}, std::uint64_t{128}));
  const auto& lines = diagnostics.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "During IFDtoDecoder Decoding Error NDPI Error SOF not found");
  EXPECT_EQ(lines.back(), "Max DRI 32");
}

TEST(NdpiFile, OnlyLevelDroppedMeansNotNdpi) {
  const NdpiFile file = build_ndpi({{256, 256, 32, k444, 0xC2}});
  std_io::MemorySource source(file.bytes);
  CaptureDiagnostics diagnostics;
  const auto decoder = run_consumer<NdpiBranch>(source);
  ASSERT_FALSE(decoder.ok());
  EXPECT_TRUE(decoder.error().is<KolvaError::UnexpectedStep>());
  EXPECT_EQ(diagnostics.lines().back(),
            "During IFDtoDecoder Decoding Error NDPI Error SOF not found");
}

struct LastLevelCase {
  std::string name;
  std::vector<LevelSpec> specs;
};

class NdpiLastLevelThroughStep : public ::testing::TestWithParam<LastLevelCase> {};

TEST_P(NdpiLastLevelThroughStep, OpensTheSameInsideAnEnclosingFallback) {
  // The enclosing fallback turns the last header's ReadAndReceive into
  // ReadAndStep; the scan must take it there and answer Finish.
  const NdpiFile file = build_ndpi(GetParam().specs);
  std_io::MemorySource source(file.bytes);
  CaptureDiagnostics diagnostics;
  const auto direct = run_consumer<NdpiBranch>(source);
  const auto nested = run_consumer<OrElseReadConsumer<NdpiBranch, NeverOpens>>(source);
  ASSERT_TRUE(direct.ok()) << direct.error().debug();
  ASSERT_TRUE(nested.ok()) << nested.error().debug();
  ASSERT_EQ(nested->level_count(), direct->level_count());
  for (std::uint64_t i = 0; i < direct->level_count(); ++i) {
    EXPECT_EQ(nested->get_level(i), direct->get_level(i));
    EXPECT_EQ(nested->levels()[i].header, direct->levels()[i].header);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Composition, NdpiLastLevelThroughStep,
    ::testing::Values(LastLevelCase{"OneLevel", {{256, 256, 32}}},
                      LastLevelCase{"TwoLevels", {{256, 256, 32}, {128, 128, 16}}},
                      LastLevelCase{"ThreeLevels", {{256, 256, 32}, {128, 128, 16}, {64, 64, 8}}}),
    [](const auto& p) { return p.param.name; });

// The scan's instructions and states, step by step.
std::vector<tt::Ifd> level_ifds(std::size_t n) {
  std::vector<tt::Ifd> ifds;
  for (std::size_t i = 0; i < n; ++i) {
    Tags tags = level_tags({50, 60}, 70);
    tags.insert_or_assign(273, tt::LONG{static_cast<std::uint32_t>(1000 * (i + 1))});
    ifds.push_back(make_ifd(tags));
  }
  ifds.insert(ifds.begin() + 1, make_ifd({{256, tt::LONG{1}}}));  // not a level
  return ifds;
}

TEST(NdpiScan, InstructionsFollowTheLevelsWithTheLastOneReceived) {
  using Phase = IfdToNdpiDecoder::Phase;
  const Bytes header = Bytes(50, 0);  // scanning fails; only the flow matters here
  CaptureDiagnostics diagnostics;
  auto [scan, first] = IfdToNdpiDecoder::dispatch(level_ifds(3));
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{1000, 50}));
  EXPECT_EQ(scan.phase(), Phase::Scanning);
  {
    // receive while levels are still pending.
    auto copy = scan;
    const auto early = std::move(copy).receive({});
    ASSERT_FALSE(early.ok());
    EXPECT_TRUE(early.error().is<KolvaError::UnexpectedStep>());
  }
  EXPECT_EQ(scan.step(header).value(), ReadInstruction(ReadAndStep{2000, 50}));
  EXPECT_EQ(scan.phase(), Phase::Scanning);
  EXPECT_EQ(scan.step(header).value(), ReadInstruction(ReadAndReceive{3000, 50}));
  EXPECT_EQ(scan.phase(), Phase::ScanningLast);
  EXPECT_EQ(scan.step(header).value(), ReadInstruction(Finish{}));
  EXPECT_EQ(scan.phase(), Phase::Done);
  EXPECT_EQ(scan.step({}).value(), ReadInstruction(Finish{}));
  EXPECT_EQ(diagnostics.lines(),
            std::vector<std::string>(
                3, "During IFDtoDecoder Decoding Error NDPI Error SOF not found"));
}

struct DropCase {
  std::string name;
  Bytes header;
  std::int64_t extra;  // header_len - the header's length
  std::string line;
};

class NdpiDroppedLevelLine : public ::testing::TestWithParam<DropCase> {};

TEST_P(NdpiDroppedLevelLine, CarriesTheErrorsDisplayText) {
  // The line is "During IFDtoDecoder " and the KolvaError's display text, with
  // the "Decoding Error " of KolvaError::Decoding in front of the format's own.
  const auto& c = GetParam();
  const std::uint32_t len = static_cast<std::uint32_t>(std::int64_t(c.header.size()) + c.extra);
  auto [scan, first] = IfdToNdpiDecoder::dispatch({make_ifd(level_tags({len, len + 10}))});
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{5000, len}));
  CaptureDiagnostics diagnostics;
  EXPECT_EQ(scan.step(c.header).value(), ReadInstruction(Finish{}));
  EXPECT_EQ(diagnostics.lines(), std::vector<std::string>{c.line});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NdpiDroppedLevelLine,
    ::testing::Values(
        DropCase{"NoDri", jpeg_header(64, 64, std::nullopt), 0,
                 "During IFDtoDecoder Decoding Error NDPI Error DRI not found"},
        DropCase{"NoSof0", jpeg_header(64, 64, 8, k444, 0xC2), 0,
                 "During IFDtoDecoder Decoding Error NDPI Error SOF not found"},
        DropCase{"WrongLength", jpeg_header(64, 64, 8), 1,
                 "During IFDtoDecoder Decoding Error NDPI Error JPEG Header is not match"}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiScan, SingleLevelIsReadThroughStepAndNoLevelFinishesAtOnce) {
  using Phase = IfdToNdpiDecoder::Phase;
  auto [one, first] = IfdToNdpiDecoder::dispatch(level_ifds(1));
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{1000, 50}));
  CaptureDiagnostics diagnostics;
  EXPECT_EQ(one.step(Bytes(49, 0)).value(), ReadInstruction(Finish{}));
  EXPECT_EQ(one.phase(), Phase::Done);
  EXPECT_EQ(diagnostics.lines(),
            (std::vector<std::string>{
                "During IFDtoDecoder Decoding Error NDPI Error JPEG Header is not match"}));

  auto [none, none_first] = IfdToNdpiDecoder::dispatch({make_ifd({{256, tt::LONG{1}}})});
  EXPECT_EQ(none_first, ReadInstruction(Finish{}));
  EXPECT_EQ(none.phase(), Phase::Done);
  const auto out = std::move(none).receive({});
  ASSERT_FALSE(out.ok());
  EXPECT_TRUE(out.error().is<KolvaError::UnexpectedStep>());
}

// ---------------------------------------------------------------------------
// A file past 4 GiB: 64-bit directory layout, strip offset as LONG8 and
// restart offsets with high words, held sparsely in memory.


TEST(NdpiFile, LevelPastFourGigabytesOpensAndReadsThroughTheWideLayout) {
  // One level 512 x 256, d 32: 2 intervals per MCU row, 32 rows, 2 tiles. Its
  // stream lies at 24 GiB; interval 31 (row 15, right half) carries 4 GiB of
  // filler, so every later interval starts past 2^32 in the stream and its
  // restart offset needs its high word. Tile (0, 0) takes the left halves only.
  const Bytes header = jpeg_header(512, 256, 32);
  const Stream st = make_stream(header, 64);
  const std::uint64_t strip = 6 * k4G;
  const std::uint64_t gap = 4 * k4G;
  std::vector<std::uint64_t> offsets = st.offsets;
  for (std::size_t i = 32; i < offsets.size(); ++i) offsets[i] += gap;
  std::vector<std::uint64_t> sizes = st.sizes;
  sizes[31] += gap;
  const std::uint64_t count = st.bytes.size() + gap;

  SparseSource source;
  const auto split = static_cast<std::ptrdiff_t>(st.offsets[32]);
  source.place(strip, Bytes(st.bytes.begin(), st.bytes.begin() + split));
  source.place(strip + offsets[32], Bytes(st.bytes.begin() + split, st.bytes.end()));
  // Directory at 4 GiB + 0x20 (the plain reader, seeing 0x20, finds no
  // entries there and gives way), deferred tables at 0x400 and 0x800.
  const std::uint64_t dir_at = k4G + 0x20;
  auto le = [](std::uint64_t v, int w) {
    Bytes b;
    put(b, v, w, ByteOrder::Little);
    return b;
  };
  Bytes head = {'I', 'I', 42, 0};
  for (const auto b : le(dir_at, 8)) head.push_back(b);
  source.place(0, head);
  struct E {
    std::uint16_t tag, type;
    std::uint32_t count, value, high;
  };
  const std::vector<E> entries = {{256, 3, 1, 512, 0},
                                  {257, 3, 1, 256, 0},
                                  {273, 4, 1, static_cast<std::uint32_t>(strip), 6},
                                  {279, 4, 1, static_cast<std::uint32_t>(count),
                                   static_cast<std::uint32_t>(count >> 32)},
                                  {65426, 4, 64, 0x400, 0},
                                  {65432, 4, 64, 0x800, 0}};
  Bytes dir = le(entries.size(), 2);
  for (const auto& e : entries) {
    for (const auto& part : {le(e.tag, 2), le(e.type, 2), le(e.count, 4), le(e.value, 4)}) {
      dir.insert(dir.end(), part.begin(), part.end());
    }
  }
  for (const auto b : le(0, 8)) dir.push_back(b);
  for (const auto& e : entries) {
    for (const auto b : le(e.high, 4)) dir.push_back(b);
  }
  source.place(dir_at, dir);
  Bytes low, high;
  for (const auto o : offsets) {
    put(low, o & 0xFFFFFFFF, 4, ByteOrder::Little);
    put(high, o >> 32, 4, ByteOrder::Little);
  }
  source.place(0x400, low);
  source.place(0x800, high);

  CaptureDiagnostics diagnostics;
  auto decoder = run_consumer<NdpiBranch>(source);
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  EXPECT_EQ(*decoder->get_level(0), (LevelInfo{{512, 256}, {256, 256}, {2, 1}, TileEncoding::Jpeg}));
  const Level& l = decoder->levels()[0];
  EXPECT_EQ(l.strip_offset, strip);
  EXPECT_EQ(l.restart_offsets, offsets);
  EXPECT_EQ(l.interval_sizes, sizes);
  const auto plan = decoder->read_tile(0, 0, 0);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->strips[20].offset, strip + gap + st.offsets[40]);
  const auto tile = run_consumer<NdpiReadTile>(source, plan.value());
  ASSERT_TRUE(tile.ok()) << tile.error().debug();
  EXPECT_EQ(*tile, expected_tile(st, l, 0, 0));
  // The right half reads interval 31 whole: more than one request may hold.
  const auto right = decoder->read_tile(0, 1, 0);
  ASSERT_TRUE(right.ok());
  EXPECT_EQ(right->strips[15].length, sizes[31]);
  const auto refused = run_consumer<NdpiReadTile>(source, right.value());
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.error().is<KolvaError::UnableToAllocateLargeSize>());
}

// ---------------------------------------------------------------------------
// The real sample (when present): 4:4:4 levels of 3968 x 4864 down to 496 x 608.

TEST(NdpiFile, RealSampleOpensWithTheLevelZeroIntervalAsTileEdge) {
  const std::string path = std::string(KOLVA_CORPUS_DIR) + "/ndpi/test3-DAPI-2-(387).ndpi";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "sample not present";
  auto file = std_io::FileSource::open(path);
  ASSERT_TRUE(file.ok());
  CaptureDiagnostics diagnostics;
  auto decoder = run_consumer<NdpiBranch>(file.value());
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  EXPECT_EQ(diagnostics.lines().back(), "Max DRI 496");
  ASSERT_EQ(decoder->level_count(), 4u);
  EXPECT_EQ(*decoder->get_level(0),
            (LevelInfo{{3968, 4864}, {3968, 3968}, {1, 2}, TileEncoding::Jpeg}));
  EXPECT_EQ(*decoder->get_level(3), (LevelInfo{{496, 608}, {3968, 3968}, {1, 1}, TileEncoding::Jpeg}));
  const Level& l3 = decoder->levels()[3];
  EXPECT_EQ(l3.restart_interval, 62u);
  EXPECT_EQ(l3.last_tile_width, 496);
  EXPECT_EQ(l3.last_tile_height, 608);
  // The low tile of level 0: 112 MCU rows, 896 pixels high, as wide as the
  // level: one read of the stream from interval 496 to the end.
  const Level& l0 = decoder->levels()[0];
  const auto plan = decoder->read_tile(0, 0, 1);
  ASSERT_TRUE(plan.ok()) << plan.error().debug();
  ASSERT_EQ(plan->strips.size(), 1u);
  EXPECT_EQ(plan->strips[0].offset, l0.strip_offset + l0.restart_offsets[496]);
  EXPECT_EQ(plan->strips[0].length, l0.strip_byte_count - l0.restart_offsets[496]);
  EXPECT_EQ(plan->strips[0].interval_sizes.size(), 112u);
  EXPECT_EQ(decoder->read_tile(0, 0, 0)->strips.size(), 1u);
  const auto tile = run_consumer<NdpiReadTile>(file.value(), plan.value());
  ASSERT_TRUE(tile.ok()) << tile.error().debug();
  const auto segments = jpeg_tools::JpegParser::parse(*tile);
  std::optional<jpeg_tools::SegmentKind::Sof0> sof;
  for (const auto& s : segments) {
    if (const auto* f = std::get_if<jpeg_tools::SegmentKind::Sof0>(&s.kind.v)) sof = *f;
  }
  ASSERT_TRUE(sof.has_value());
  EXPECT_EQ(sof->width, 3968);
  EXPECT_EQ(sof->height, 896);
  EXPECT_EQ((*tile)[tile->size() - 3], 0xD0 + 111 % 8);
  EXPECT_EQ((*tile)[tile->size() - 1], 0xD9);
}

}  // namespace
}  // namespace kolva::test
