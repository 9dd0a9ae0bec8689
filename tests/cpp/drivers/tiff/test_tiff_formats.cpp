// Level building, tile lookup and tile assembly of the TIFF-based formats
// (generic tiled TIFF, Aperio, Philips), on directory lists built in memory.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "drivers/aperio/format/aperio/aperio.hpp"
#include "drivers/generic_tiff/format/generic_tiff/generic_tiff.hpp"
#include "drivers/philips/format/philips/philips.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

namespace tt = tiff_tools;
namespace generic_tiff = format::generic_tiff;
namespace aperio = format::aperio;
namespace philips = format::philips;
using tt::Data;
using tt::Ifd;
using Tags = std::map<std::uint16_t, Data>;
using Edits = std::vector<std::pair<std::uint16_t, std::optional<Data>>>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kEoi = {0xFF, 0xD9};
const Bytes kDqt = {0xFF, 0xDB, 0x00, 0x04, 0x00, 0x01};
const Bytes kDht1 = {0xFF, 0xC4, 0x00, 0x03, 0x00};
const Bytes kDht2 = {0xFF, 0xC4, 0x00, 0x03, 0x10};
const Bytes kApp14 = {0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F, 0x62,
                      0x65, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};
// An Adobe segment as an encoder writes it for YCbCr: transform 1.
const Bytes kApp14Transform1 = {0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F, 0x62,
                                0x65, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x01};
const Bytes kTables = cat({kSoi, kDqt, kDht1, kDht2, kEoi});

Ifd make_ifd(const Tags& tags) {
  Ifd ifd;
  for (const auto& [tag, data] : tags) ifd.insert(tag, data);
  return ifd;
}

Tags edit(Tags tags, const Edits& edits) {
  for (const auto& [tag, data] : edits) {
    if (data) {
      tags.insert_or_assign(tag, *data);
    } else {
      tags.erase(tag);
    }
  }
  return tags;
}

// A tiled JPEG directory that all three formats accept. Tile i is stored at
// 1000 + 100 * i with 10 + i bytes, so a located tile names its index.
Tags tiled(std::uint32_t width = 1024, std::uint32_t height = 768, std::uint16_t tile = 256) {
  const std::uint64_t n = ((width + tile - 1) / tile) * ((height + tile - 1) / tile);
  std::vector<std::uint32_t> offsets, counts;
  for (std::uint32_t i = 0; i < n; ++i) {
    offsets.push_back(1000 + 100 * i);
    counts.push_back(10 + i);
  }
  return Tags{{256, tt::LONG{width}},          {257, tt::LONG{height}},
              {322, tt::SHORT{tile}},          {323, tt::SHORT{tile}},
              {324, tt::LONG_ARRAY{offsets}},  {325, tt::LONG_ARRAY{counts}},
              {347, tt::UNDEFINED_ARRAY{kTables}}, {259, tt::SHORT{7}},
              {270, tt::ASCII{"<DataObject/>"}}, {305, tt::ASCII{"Philips DP v1.0"}}};
}

// A stripped image (label, macro): no tile tags.
Tags stripped() {
  return Tags{{256, tt::LONG{500}},        {257, tt::LONG{300}},     {273, tt::LONG{4000}},
              {279, tt::LONG{123}},        {259, tt::SHORT{7}},      {347, tt::BYTE_ARRAY{kTables}},
              {270, tt::ASCII{"label"}},   {305, tt::ASCII{"Philips"}}};
}

enum class Fmt { Generic, Aperio, Philips };
const char* fmt_name(Fmt f) {
  return f == Fmt::Generic ? "Generic" : f == Fmt::Aperio ? "Aperio" : "Philips";
}

std::string str(const LevelInfo& l) {
  return std::to_string(l.dimensions.first) + "x" + std::to_string(l.dimensions.second) + " tile " +
         std::to_string(l.tile_size.first) + "x" + std::to_string(l.tile_size.second) + " grid " +
         std::to_string(l.tile_grid.first) + "x" + std::to_string(l.tile_grid.second) + " " +
         std::string(media_type(l.encoding)) + "/" + std::to_string(static_cast<int>(l.encoding));
}

template <class D>
std::vector<LevelInfo> all_levels(const KolvaResult<D>& decoder) {
  std::vector<LevelInfo> out;
  EXPECT_TRUE(decoder.ok());
  if (!decoder.ok()) return out;
  for (std::uint64_t i = 0; i < decoder->level_count(); ++i) out.push_back(*decoder->get_level(i));
  EXPECT_FALSE(decoder->get_level(decoder->level_count()).has_value());
  return out;
}

std::vector<LevelInfo> levels_of(Fmt f, const std::vector<Ifd>& ifds) {
  switch (f) {
    case Fmt::Generic: return all_levels(generic_tiff::GenericTiffDecoder::with_ifds(ifds));
    case Fmt::Aperio: return all_levels(aperio::AperioDecoder::with_ifds(ifds));
    case Fmt::Philips: return all_levels(philips::PhilipsDecoder::with_ifds(ifds));
  }
  return {};
}

// "tile <index>" for a located tile, the error's debug text otherwise.
template <class R>
std::string located(const R& request) {
  if (!request.ok()) return request.error().debug();
  EXPECT_EQ(request->length(), 10 + (request->offset() - 1000) / 100);
  return "tile " + std::to_string((request->offset() - 1000) / 100);
}

std::string locate(Fmt f, const std::vector<Ifd>& ifds, std::uint64_t level, std::uint64_t x,
                   std::uint64_t y) {
  switch (f) {
    case Fmt::Generic:
      return located(generic_tiff::GenericTiffDecoder::with_ifds(ifds)->read_tile(level, x, y));
    case Fmt::Aperio:
      return located(aperio::AperioDecoder::with_ifds(ifds)->read_tile(level, x, y));
    case Fmt::Philips:
      return located(philips::PhilipsDecoder::with_ifds(ifds)->read_tile(level, x, y));
  }
  return {};
}

const auto kAllFormats = ::testing::Values(Fmt::Generic, Fmt::Aperio, Fmt::Philips);
std::string fmt_param_name(const ::testing::TestParamInfo<Fmt>& p) { return fmt_name(p.param); }

// --- Which directory forms make a level ------------------------------------

struct FormCase {
  const char* name;
  Edits edits;
  bool generic, aperio, philips;
};
void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class TiffLevelForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(TiffLevelForm, DecidesWhetherTheDirectoryIsALevel) {
  const auto& c = GetParam();
  const std::vector<Ifd> ifds = {make_ifd(edit(tiled(), c.edits))};
  EXPECT_EQ(levels_of(Fmt::Generic, ifds).size(), c.generic ? 1u : 0u) << "generic";
  EXPECT_EQ(levels_of(Fmt::Aperio, ifds).size(), c.aperio ? 1u : 0u) << "aperio";
  EXPECT_EQ(levels_of(Fmt::Philips, ifds).size(), c.philips ? 1u : 0u) << "philips";
}

const std::string kPhilipsNul("Philips\0", 8);

INSTANTIATE_TEST_SUITE_P(
    Rules, TiffLevelForm,
    ::testing::Values(
        FormCase{"Baseline", {}, true, true, true},
        FormCase{"NoImageWidth", {{256, std::nullopt}}, false, false, false},
        FormCase{"NoImageLength", {{257, std::nullopt}}, false, false, false},
        FormCase{"NoTileWidth", {{322, std::nullopt}}, false, false, false},
        FormCase{"NoTileLength", {{323, std::nullopt}}, false, false, false},
        FormCase{"NoTileOffsets", {{324, std::nullopt}}, false, false, false},
        FormCase{"NoTileByteCounts", {{325, std::nullopt}}, false, false, false},
        FormCase{"NoJpegTables", {{347, std::nullopt}}, false, false, false},
        FormCase{"NoCompression", {{259, std::nullopt}}, true, false, false},
        FormCase{"NoImageDescription", {{270, std::nullopt}}, true, true, false},
        FormCase{"NoSoftware", {{305, std::nullopt}}, true, true, false},
        FormCase{"ImageWidthRational", {{256, tt::RATIONAL{{1024, 1}}}}, false, false, false},
        FormCase{"ImageLengthSigned", {{257, tt::SSHORT{768}}}, false, false, false},
        FormCase{"ImageWidthOneElementArray", {{256, tt::LONG_ARRAY{{1024}}}}, false, false, false},
        FormCase{"TileWidthOneElementArray", {{322, tt::SHORT_ARRAY{{256}}}}, false, false, false},
        FormCase{"TileWidthLong8", {{322, tt::LONG8{256}}}, true, true, true},
        FormCase{"TileLengthUndefinedScalar", {{323, tt::UNDEFINED{255}}}, true, true, true},
        FormCase{"TileWidthZero", {{322, tt::SHORT{0}}}, false, false, false},
        FormCase{"TileLengthZero", {{323, tt::LONG8{0}}}, false, false, false},
        FormCase{"TileOffsetsScalar", {{324, tt::LONG{1000}}}, true, true, true},
        FormCase{"TileOffsetsLong8Array", {{324, tt::LONG8_ARRAY{{1000, 1100}}}}, true, true, true},
        FormCase{"TileOffsetsSigned", {{324, tt::SLONG_ARRAY{{1000, 1100}}}}, false, false, false},
        FormCase{"TileByteCountsShortArray", {{325, tt::SHORT_ARRAY{{10, 11}}}}, true, true, true},
        FormCase{"TileByteCountsRational", {{325, tt::RATIONAL_ARRAY{{{10, 1}}}}}, false, false, false},
        FormCase{"JpegTablesAsByteArray", {{347, tt::BYTE_ARRAY{kTables}}}, true, true, true},
        FormCase{"JpegTablesCountOneByte", {{347, tt::BYTE{0xFF}}}, false, false, false},
        FormCase{"JpegTablesCountOneUndefined", {{347, tt::UNDEFINED{0xFF}}}, false, false, false},
        FormCase{"JpegTablesAscii", {{347, tt::ASCII{"tables"}}}, false, false, false},
        FormCase{"CompressionLong", {{259, tt::LONG{7}}}, true, true, true},
        FormCase{"CompressionNone", {{259, tt::SHORT{1}}}, true, false, false},
        FormCase{"CompressionLzw", {{259, tt::SHORT{5}}}, true, false, false},
        FormCase{"CompressionJ2kYCbCr", {{259, tt::SHORT{33003}}}, true, true, false},
        FormCase{"CompressionJ2kRgb", {{259, tt::LONG{33005}}}, true, true, false},
        FormCase{"CompressionAsArray", {{259, tt::SHORT_ARRAY{{7}}}}, true, false, false},
        FormCase{"J2kWithoutTables", {{259, tt::SHORT{33005}}, {347, std::nullopt}}, false, true, false},
        FormCase{"J2kWithCountOneTables", {{259, tt::SHORT{33003}}, {347, tt::BYTE{1}}}, false, true, false},
        FormCase{"DescriptionAsBytes", {{270, tt::BYTE_ARRAY{ascii_bytes("<x/>")}}}, true, true, false},
        FormCase{"SoftwareLowerCase", {{305, tt::ASCII{"philips DP"}}}, true, true, false},
        FormCase{"SoftwareTooShort", {{305, tt::ASCII{"Phil"}}}, true, true, false},
        FormCase{"SoftwareLeadingSpace", {{305, tt::ASCII{" Philips"}}}, true, true, false},
        FormCase{"SoftwareExactlyPhilips", {{305, tt::ASCII{"Philips"}}}, true, true, true},
        FormCase{"SoftwarePhilipsNul", {{305, tt::ASCII{kPhilipsNul}}}, true, true, true},
        FormCase{"SoftwareAsBytes", {{305, tt::BYTE_ARRAY{ascii_bytes("Philips")}}}, true, true, false}),
    [](const auto& p) { return std::string(p.param.name); });

// --- Level order --------------------------------------------------------------

struct OrderCase {
  Fmt fmt;
  std::vector<std::uint64_t> widths;
};
void PrintTo(const OrderCase& c, std::ostream* os) { *os << fmt_name(c.fmt); }

class TiffLevelOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(TiffLevelOrder, LevelsFollowTheUsableDirectoriesInChainOrder) {
  // tiled, stripped, two tiled, two stripped (the Aperio layout), then a tiled
  // LZW directory that still carries JPEGTables.
  const std::vector<Ifd> ifds = {
      make_ifd(tiled(1024, 768)), make_ifd(stripped()),       make_ifd(tiled(256, 192)),
      make_ifd(tiled(2048, 1536)), make_ifd(stripped()),      make_ifd(stripped()),
      make_ifd(edit(tiled(640, 480), {{259, tt::SHORT{5}}})),
  };
  std::vector<std::uint64_t> widths;
  for (const auto& l : levels_of(GetParam().fmt, ifds)) widths.push_back(l.dimensions.first);
  EXPECT_EQ(widths, GetParam().widths);
}

INSTANTIATE_TEST_SUITE_P(Rules, TiffLevelOrder,
                         ::testing::Values(OrderCase{Fmt::Generic, {1024, 256, 2048, 640}},
                                           OrderCase{Fmt::Aperio, {1024, 256, 2048}},
                                           OrderCase{Fmt::Philips, {1024, 256, 2048}}),
                         [](const auto& p) { return std::string(fmt_name(p.param.fmt)); });

// --- Tile grid -------------------------------------------------------------------

struct GridCase {
  std::uint32_t size;
  std::uint16_t tile;
  std::uint64_t tiles;
};

class TiffTileGrid : public ::testing::TestWithParam<std::tuple<Fmt, GridCase>> {};

TEST_P(TiffTileGrid, UsesCeilingDivision) {
  const auto [fmt, c] = GetParam();
  // Width and height both `size`; tile width and height both `tile`.
  const auto levels = levels_of(fmt, {make_ifd(tiled(c.size, c.size, c.tile))});
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(levels[0].tile_grid, std::make_pair(c.tiles, c.tiles));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TiffTileGrid,
    ::testing::Combine(kAllFormats,
                       ::testing::Values(GridCase{1000, 240, 5}, GridCase{960, 240, 4},
                                         GridCase{1000, 256, 4}, GridCase{1024, 256, 4},
                                         GridCase{1025, 256, 5}, GridCase{1, 256, 1},
                                         GridCase{256, 256, 1})),
    [](const auto& p) {
      const auto& c = std::get<1>(p.param);
      return std::string(fmt_name(std::get<0>(p.param))) + "_" + std::to_string(c.size) + "_" +
             std::to_string(c.tile);
    });

// --- Tile lookup -----------------------------------------------------------------

struct IndexCase {
  std::uint64_t x, y;
  const char* expected;
};

class TiffTileIndex : public ::testing::TestWithParam<std::tuple<Fmt, IndexCase>> {};

TEST_P(TiffTileIndex, LocatesRowMajorTileOrFailsWithTileNotFound) {
  const auto [fmt, c] = GetParam();
  // 1024 x 768 in 256-pixel tiles: 4 across, 3 down, tiles 0..11.
  EXPECT_EQ(locate(fmt, {make_ifd(tiled())}, 0, c.x, c.y), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TiffTileIndex,
    ::testing::Combine(
        kAllFormats,
        ::testing::Values(
            IndexCase{0, 0, "tile 0"}, IndexCase{1, 2, "tile 9"}, IndexCase{4, 0, "tile 4"},
            IndexCase{3, 2, "tile 11"}, IndexCase{11, 0, "tile 11"},
            IndexCase{12, 0, "TileNotFound { x: 12, y: 0, z: 0 }"},
            IndexCase{0, 3, "TileNotFound { x: 0, y: 3, z: 0 }"},
            // Wrapping arithmetic would give tile 0 and tile 1.
            IndexCase{kMax - 3, 1, "TileNotFound { x: 18446744073709551612, y: 1, z: 0 }"},
            IndexCase{1, 1ULL << 62, "TileNotFound { x: 1, y: 4611686018427387904, z: 0 }"},
            IndexCase{kMax, kMax,
                      "TileNotFound { x: 18446744073709551615, y: 18446744073709551615, z: 0 }"})),
    [](const auto& p) {
      return std::string(fmt_name(std::get<0>(p.param))) + "_" + std::to_string(p.index);
    });

class TiffTileLookup : public ::testing::TestWithParam<Fmt> {};

TEST_P(TiffTileLookup, LevelOutOfRangeIsLevelNotFound) {
  const std::vector<Ifd> two = {make_ifd(tiled()), make_ifd(tiled(512, 384))};
  EXPECT_EQ(locate(GetParam(), two, 1, 1, 1), "tile 3");
  EXPECT_EQ(locate(GetParam(), two, 2, 0, 0), "LevelNotFound { selected: 2, num_level: 2 }");
  EXPECT_EQ(locate(GetParam(), two, 3, 0, 0), "LevelNotFound { selected: 3, num_level: 2 }");
  EXPECT_EQ(locate(GetParam(), two, kMax, 0, 0),
            "LevelNotFound { selected: 18446744073709551615, num_level: 2 }");
  EXPECT_EQ(locate(GetParam(), {make_ifd(stripped())}, 0, 0, 0),
            "LevelNotFound { selected: 0, num_level: 0 }");
}

TEST_P(TiffTileLookup, IndexMustBeBelowBothLists) {
  // 12 tiles in the grid; one list is cut to 10 entries, the lengths are not
  // compared with the grid or with each other.
  for (const std::uint16_t cut : {324, 325}) {
    SCOPED_TRACE(cut);
    Tags tags = tiled();
    tags.insert_or_assign(cut, cut == 324 ? Data(tt::LONG_ARRAY{{1000, 1100, 1200, 1300, 1400, 1500,
                                                                 1600, 1700, 1800, 1900}})
                                          : Data(tt::SHORT_ARRAY{{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}}));
    EXPECT_EQ(locate(GetParam(), {make_ifd(tags)}, 0, 1, 2), "tile 9");
    EXPECT_EQ(locate(GetParam(), {make_ifd(tags)}, 0, 2, 2), "TileNotFound { x: 2, y: 2, z: 0 }");
  }
}

TEST_P(TiffTileLookup, ReadTileBorrowsTheLevelTables) {
  const std::vector<Ifd> ifds = {make_ifd(tiled())};
  const std::uint8_t* level_tables = nullptr;
  const std::uint8_t* request_tables = nullptr;
  std::size_t size = 0;
  switch (GetParam()) {
    case Fmt::Generic: {
      auto d = generic_tiff::GenericTiffDecoder::with_ifds(ifds);
      auto r = d->read_tile(0, 0, 0);
      level_tables = d->levels()[0].jpeg_tables.data();
      request_tables = r->jpeg_tables().data();
      size = r->jpeg_tables().size();
      break;
    }
    case Fmt::Aperio: {
      auto d = aperio::AperioDecoder::with_ifds(ifds);
      auto r = d->read_tile(0, 0, 0);
      level_tables = d->levels()[0].jpeg_tables->data();
      request_tables = r->jpeg_tables()->data();
      size = r->jpeg_tables()->size();
      break;
    }
    case Fmt::Philips: {
      auto d = philips::PhilipsDecoder::with_ifds(ifds);
      auto r = d->read_tile(0, 0, 0);
      level_tables = d->levels()[0].jpeg_tables.data();
      request_tables = r->jpeg_tables().data();
      size = r->jpeg_tables().size();
      break;
    }
  }
  EXPECT_EQ(request_tables, level_tables);
  EXPECT_EQ(size, kTables.size());
}

TEST_P(TiffTileLookup, LevelDescriptionIsJpegWithTheDirectorySizes) {
  const auto levels = levels_of(GetParam(), {make_ifd(tiled(1000, 500, 240))});
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(str(levels[0]), str(LevelInfo{{1000, 500}, {240, 240}, {5, 3}, TileEncoding::Jpeg}));
}

INSTANTIATE_TEST_SUITE_P(Rules, TiffTileLookup, kAllFormats, fmt_param_name);

// --- Tile assembly -----------------------------------------------------------------

struct SpliceCase {
  const char* name;
  Bytes tables;
  Bytes tile;
  std::optional<Bytes> expected;  // nothing: the short-input error
};
void PrintTo(const SpliceCase& c, std::ostream* os) { *os << c.name; }

class TiffJpegSplice : public ::testing::TestWithParam<std::tuple<bool, SpliceCase>> {};

TEST_P(TiffJpegSplice, DropsTablesEoiAndTileSoi) {
  const auto& [through_aperio, c] = GetParam();
  const auto out = through_aperio
                       ? aperio::ReadTile(ByteSpan(c.tables), 0, c.tile.size()).receive(c.tile)
                       : generic_tiff::ReadTile(c.tables, 0, c.tile.size()).receive(c.tile);
  if (c.expected) {
    ASSERT_TRUE(out.ok()) << out.error().debug();
    EXPECT_EQ(*out, *c.expected);
  } else {
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().debug(),
              "Decoding(\"ReadTile Error JPEG tables or tile too short to splice\")");
  }
}

const Bytes kT = {0xFF, 0xDB, 0x00, 0x03, 0x2A};
const Bytes kS = {0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xD9};

INSTANTIATE_TEST_SUITE_P(
    Rules, TiffJpegSplice,
    ::testing::Combine(
        ::testing::Bool(),
        ::testing::Values(
            SpliceCase{"TablesAndTile", cat({kSoi, kT, kEoi}), cat({kSoi, kS}), cat({kSoi, kT, kS})},
            SpliceCase{"MarkersOnly", cat({kSoi, kEoi}), cat({kSoi, kEoi}), cat({kSoi, kEoi})},
            SpliceCase{"TwoBytesEach", kEoi, kSoi, Bytes{}},
            SpliceCase{"MarkersNotChecked", {1, 2, 3}, {4, 5, 6}, Bytes{1, 6}},
            SpliceCase{"EmptyTables", {}, cat({kSoi, kS}), std::nullopt},
            SpliceCase{"OneByteTables", {0xFF}, cat({kSoi, kS}), std::nullopt},
            SpliceCase{"EmptyTile", cat({kSoi, kT, kEoi}), {}, std::nullopt},
            SpliceCase{"OneByteTile", cat({kSoi, kT, kEoi}), {0xFF}, std::nullopt})),
    [](const auto& p) {
      return std::string(std::get<0>(p.param) ? "Aperio_" : "Generic_") +
             std::get<1>(p.param).name;
    });

// --- Aperio APP14 repair -----------------------------------------------------------

struct App14Case {
  const char* name;
  Bytes in;
  Bytes out;
};
void PrintTo(const App14Case& c, std::ostream* os) { *os << c.name; }

class AperioApp14Repair : public ::testing::TestWithParam<App14Case> {};

TEST_P(AperioApp14Repair, RewritesTables) {
  Bytes tables = GetParam().in;
  aperio::repair_app14(tables);
  EXPECT_EQ(tables, GetParam().out);
}

const Bytes kCutApp14 = {0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F};

INSTANTIATE_TEST_SUITE_P(
    Rules, AperioApp14Repair,
    ::testing::Values(
        App14Case{"InsertBeforeSecondDht", kTables, cat({kSoi, kDqt, kDht1, kApp14, kDht2, kEoi})},
        App14Case{"InsertBeforeOnlyDht", cat({kSoi, kDht1, kEoi}), cat({kSoi, kApp14, kDht1, kEoi})},
        App14Case{"ExistingApp14TransformCleared", cat({kSoi, kApp14Transform1, kDqt, kDht1, kEoi}),
                  cat({kSoi, kApp14, kDqt, kDht1, kEoi})},
        App14Case{"App14AfterDhtWinsOverInsertion", cat({kSoi, kDht1, kApp14Transform1, kEoi}),
                  cat({kSoi, kDht1, kApp14, kEoi})},
        App14Case{"TransformIsLastByte", cat({kSoi, kApp14Transform1}), cat({kSoi, kApp14})},
        App14Case{"NoDhtUnchanged", cat({kSoi, kDqt, kEoi}), cat({kSoi, kDqt, kEoi})},
        App14Case{"CutOffApp14Unchanged", cat({kSoi, kCutApp14}), cat({kSoi, kCutApp14})},
        App14Case{"CutOffApp14AfterDhtUnchanged", cat({kSoi, kDht1, kCutApp14}),
                  cat({kSoi, kDht1, kCutApp14})},
        App14Case{"DhtPairInsideData", {0x00, 0xFF, 0xC4, 0x00}, cat({{0x00}, kApp14, {0xFF, 0xC4, 0x00}})},
        App14Case{"DhtAsLastPair", {0xFF, 0xC4}, cat({kApp14, {0xFF, 0xC4}})},
        App14Case{"BareApp14Marker", {0xFF, 0xEE}, {0xFF, 0xEE}},
        App14Case{"OneByte", {0xFF}, {0xFF}},
        App14Case{"Empty", {}, {}}),
    [](const auto& p) { return std::string(p.param.name); });

struct PhotometricCase {
  const char* name;
  std::optional<Data> photometric;
  bool repaired;
};
void PrintTo(const PhotometricCase& c, std::ostream* os) { *os << c.name; }

class AperioPhotometric : public ::testing::TestWithParam<PhotometricCase> {};

TEST_P(AperioPhotometric, OnlyRgbJpegLevelsAreRepaired) {
  const auto& c = GetParam();
  const auto decoder =
      aperio::AperioDecoder::with_ifds({make_ifd(edit(tiled(), {{262, c.photometric}}))});
  ASSERT_EQ(decoder->level_count(), 1u);
  const Bytes expected = c.repaired ? cat({kSoi, kDqt, kDht1, kApp14, kDht2, kEoi}) : kTables;
  EXPECT_EQ(decoder->levels()[0].jpeg_tables, expected);
  // The tile is spliced with the repaired tables.
  auto request = decoder->read_tile(0, 0, 0);
  const auto tile = std::move(*request).receive(cat({kSoi, kS}));
  EXPECT_EQ(*tile, cat({Bytes(expected.begin(), expected.end() - 2), kS}));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AperioPhotometric,
    ::testing::Values(PhotometricCase{"Absent", std::nullopt, false},
                      PhotometricCase{"RgbShort", tt::SHORT{2}, true},
                      PhotometricCase{"RgbLong", tt::LONG{2}, true},
                      PhotometricCase{"RgbByte", tt::BYTE{2}, true},
                      PhotometricCase{"YCbCr", tt::SHORT{6}, false},
                      PhotometricCase{"MinIsBlack", tt::SHORT{1}, false},
                      PhotometricCase{"RgbAsArray", tt::SHORT_ARRAY{{2}}, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(AperioJpeg2000, LevelsCarryTheirEncodingAndTilesComeBackAsStored) {
  const std::vector<Ifd> ifds = {
      make_ifd(edit(tiled(), {{262, tt::SHORT{2}}})),
      make_ifd(edit(tiled(512, 384), {{259, tt::SHORT{33003}}, {262, tt::SHORT{2}}})),
      make_ifd(edit(tiled(256, 192), {{259, tt::SHORT{33005}}, {347, std::nullopt}})),
  };
  const auto decoder = aperio::AperioDecoder::with_ifds(ifds);
  const auto levels = all_levels(decoder);
  ASSERT_EQ(levels.size(), 3u);
  EXPECT_EQ(str(levels[0]), str(LevelInfo{{1024, 768}, {256, 256}, {4, 3}, TileEncoding::Jpeg}));
  EXPECT_EQ(str(levels[1]),
            str(LevelInfo{{512, 384}, {256, 256}, {2, 2}, TileEncoding::Jpeg2000YCbCr}));
  EXPECT_EQ(str(levels[2]), str(LevelInfo{{256, 192}, {256, 256}, {1, 1}, TileEncoding::Jpeg2000}));
  // JPEG 2000 levels keep no tables, not even repaired ones.
  EXPECT_FALSE(decoder->levels()[1].jpeg_tables.has_value());
  EXPECT_FALSE(decoder->levels()[2].jpeg_tables.has_value());

  for (const std::uint64_t level : {1, 2}) {
    SCOPED_TRACE(level);
    for (const Bytes& stored : {Bytes{0xFF, 0x4F, 0xFF, 0x51, 0x00, 0x2F}, Bytes{0x4F}, Bytes{}}) {
      auto request = decoder->read_tile(level, 0, 0);
      ASSERT_TRUE(request.ok());
      EXPECT_FALSE(request->jpeg_tables().has_value());
      const auto tile = std::move(*request).receive(stored);
      ASSERT_TRUE(tile.ok());
      EXPECT_EQ(*tile, stored);
    }
  }
}

}  // namespace
}  // namespace kolva::test
