// Olympus ETS: the strict cursor, the two headers, the level build from the
// tile table, tile lookups and the reads of a whole opening.

#include <optional>
#include <string>
#include <vector>

#include "dynamic_decoder/dynamic_decoder.hpp"
#include "drivers/olympus/format/olympus/olympus.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

using namespace format::olympus;

// The fields of an ETS header that matter here; the rest as the scanner writes.
struct EtsHeaderFields {
  std::uint32_t size = 228;
  std::string magic = std::string("ETS\0", 4);
  std::uint32_t pixel_type = 2;
  std::uint32_t colour_space = 4;
  std::uint32_t compression = 2;
  std::uint32_t tile_width = 512;
  std::uint32_t tile_height = 512;
};

Bytes ets_header(const EtsHeaderFields& s) {
  Bytes b = ascii_bytes(s.magic);
  for (auto v : {0x30001u, s.pixel_type, 3u, s.colour_space, s.compression, 90u, s.tile_width,
                 s.tile_height, 1u}) {
    put(b, v, 4, ByteOrder::Little);
  }
  b.resize(std::max<std::size_t>(s.size, 156), 0);
  patch(b, 152, 1, 4, ByteOrder::Little);  // pyramid flag
  b.resize(s.size);
  return b;
}

struct Entry {
  std::uint32_t x, y, z = 0, level = 0;
};

// One entry's coordinates, as many as the file has dimensions: column, row,
// the plane coordinates, the level last.
using Coordinates = std::vector<std::uint32_t>;

// Entry i is recorded at `at[i]`, by default 1000 + 100 i with 10 + i bytes.
Bytes coordinate_table(const std::vector<Coordinates>& entries, std::vector<EtsTile> at = {}) {
  Bytes b;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const EtsTile where = i < at.size() ? at[i] : EtsTile{1000 + 100 * i, 10 + i};
    put(b, 6, 4, ByteOrder::Little);  // ignored (6 in the scanner's files)
    for (const std::uint32_t v : entries[i]) put(b, v, 4, ByteOrder::Little);
    put(b, where.offset, 8, ByteOrder::Little);
    put(b, where.length, 4, ByteOrder::Little);
    put(b, i, 4, ByteOrder::Little);  // ignored (a running index in the scanner's files)
  }
  return b;
}

// A 4-dimension table: column, row, plane, level.
Bytes tile_table(const std::vector<Entry>& entries, std::vector<EtsTile> at = {}) {
  std::vector<Coordinates> coordinates;
  for (const auto& e : entries) coordinates.push_back({e.x, e.y, e.z, e.level});
  return coordinate_table(coordinates, std::move(at));
}

// Laid out as the scanner does: SIS header, ETS header at 64, the tiles (entry i
// is 10 + i bytes of value i), the tile table last.
struct EtsFile {
  Bytes bytes;
  std::vector<EtsTile> tiles;
};

// `dimensions` goes into the SIS header as it is; each entry is written with
// the coordinates it has.
EtsFile ets_file_of(const std::vector<Coordinates>& entries, std::uint32_t dimensions,
                    const EtsHeaderFields& fields = {},
                    std::string sis_magic = std::string("SIS\0", 4)) {
  EtsFile f;
  const Bytes header = ets_header(fields);
  Bytes data;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    f.tiles.push_back({64 + header.size() + data.size(), 10 + i});
    data.insert(data.end(), 10 + i, static_cast<std::uint8_t>(i));
  }
  const Enc le{ByteOrder::Little};
  f.bytes = ascii_bytes(sis_magic);
  for (const Bytes& part : {le.u32({64, 2, dimensions}), le.u64({64}), le.u32({header.size(), 0}),
                            le.u64({64 + header.size() + data.size()}), le.u32({entries.size()})}) {
    f.bytes.insert(f.bytes.end(), part.begin(), part.end());
  }
  f.bytes.resize(64, 0);
  for (const Bytes& part : {header, data, coordinate_table(entries, f.tiles)}) {
    f.bytes.insert(f.bytes.end(), part.begin(), part.end());
  }
  return f;
}

EtsFile ets_file(const std::vector<Entry>& entries, const EtsHeaderFields& fields = {},
                 std::string sis_magic = std::string("SIS\0", 4)) {
  std::vector<Coordinates> coordinates;
  for (const auto& e : entries) coordinates.push_back({e.x, e.y, e.z, e.level});
  return ets_file_of(coordinates, 4, fields, std::move(sis_magic));
}

KolvaResult<EtsDecoder> open(const Bytes& file) {
  RecordingSource source(file);
  return run_consumer<EtsDecoderConstructor>(source);
}

const EtsHeader kJpeg512{0x30001, 2, 3, 4, EtsCompression::Jpeg, 90, 512, 512, 1, 0, 1};

template <class T>
std::string outcome(const KolvaResult<T>& r) {
  return r.ok() ? "ok" : r.error().debug();
}

// Parametrised cases print as their names.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

const std::string kHeaderRefused = R"(Decoding("Olympus Error Failed to parse SIS header"))";

// ---------------------------------------------------------------------------

TEST(OlympusBytesParser, ReadMustLeaveOneByteBehind) {
  const Bytes buf = {0x53, 0x49, 0x53, 0x00, 1, 0, 0, 0, 2, 0, 0, 0, 9};
  BytesParser p(buf);
  EXPECT_EQ(p.consume_ascii(), std::u32string(U"SIS\0", 4));
  EXPECT_EQ(p.consume_u64(), 0x0000000200000001u);  // ends at 12 < 13
  EXPECT_EQ(p.consume_u32(), std::nullopt);         // would end at 16
  EXPECT_EQ(p.consume(1), std::nullopt);            // would end at 13 == length
  EXPECT_EQ(p.position(), 12u);
  BytesParser q(ByteSpan(buf).first(12));
  EXPECT_EQ(q.consume(8), Bytes(buf.begin(), buf.begin() + 8));
  EXPECT_EQ(q.consume_u32(), std::nullopt);  // ends exactly at the end
  EXPECT_EQ(q.consume(3), Bytes({2, 0, 0}));
  EXPECT_EQ(q.consume(~std::uint64_t{0}), std::nullopt);
  EXPECT_EQ(BytesParser(ByteSpan{}).consume(0), std::nullopt);
}

// --- headers ----------------------------------------------------------------

struct HeaderCase {
  std::string name;
  EtsHeaderFields fields;
  std::optional<EtsCompression> accepted;  // nothing: refused
  std::string sis_magic = std::string("SIS\0", 4);
};

class OlympusHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(OlympusHeader, Outcome) {
  const auto& c = GetParam();
  const auto decoder = open(ets_file({{0, 0}}, c.fields, c.sis_magic).bytes);
  if (!c.accepted) {
    EXPECT_EQ(outcome(decoder), kHeaderRefused);
    return;
  }
  ASSERT_TRUE(decoder.ok()) << outcome(decoder);
  EXPECT_EQ(decoder->compression(), *c.accepted);
}

EtsHeaderFields with_size(std::uint32_t size) { return {.size = size}; }
EtsHeaderFields with_compression(std::uint32_t code) { return {.compression = code}; }
constexpr auto kJpeg = EtsCompression::Jpeg;

INSTANTIATE_TEST_SUITE_P(
    Table, OlympusHeader,
    ::testing::Values(
        HeaderCase{"SisMagicSpace", {}, std::nullopt, "SIS "},
        HeaderCase{"SisMagicHighByte", {}, std::nullopt, std::string("SI\xD3\0", 4)},
        HeaderCase{"EtsMagicWrong", {.magic = std::string("ETS\x01", 4)}, std::nullopt},
        HeaderCase{"PixelType0", {.pixel_type = 0}, std::nullopt},
        HeaderCase{"PixelType1", {.pixel_type = 1}, kJpeg},
        HeaderCase{"PixelType4", {.pixel_type = 4}, kJpeg},
        HeaderCase{"PixelType5", {.pixel_type = 5}, std::nullopt},
        HeaderCase{"ColourSpace1", {.colour_space = 1}, kJpeg},
        HeaderCase{"ColourSpace2", {.colour_space = 2}, std::nullopt},
        HeaderCase{"Compression0", with_compression(0), EtsCompression::Raw},
        HeaderCase{"Compression1", with_compression(1), std::nullopt},
        HeaderCase{"Compression3", with_compression(3), EtsCompression::Jpeg2000},
        HeaderCase{"Compression4", with_compression(4), std::nullopt},
        HeaderCase{"Compression5", with_compression(5), EtsCompression::LosslessJpeg},
        HeaderCase{"Compression6", with_compression(6), std::nullopt},
        HeaderCase{"Compression7", with_compression(7), std::nullopt},
        HeaderCase{"Compression8", with_compression(8), EtsCompression::Png},
        HeaderCase{"Compression9", with_compression(9), EtsCompression::Bmp},
        HeaderCase{"Compression10", with_compression(10), std::nullopt},
        // A block that does not fit is skipped in place; the last two values
        // are then read from where it would have started.
        HeaderCase{"Size40", with_size(40), std::nullopt},
        HeaderCase{"Size48", with_size(48), std::nullopt},
        HeaderCase{"Size49", with_size(49), kJpeg},
        HeaderCase{"Size108", with_size(108), kJpeg},
        HeaderCase{"Size116", with_size(116), std::nullopt},
        HeaderCase{"Size120", with_size(120), kJpeg},
        HeaderCase{"Size148", with_size(148), kJpeg},
        HeaderCase{"Size149", with_size(149), std::nullopt},
        HeaderCase{"Size152", with_size(152), std::nullopt},
        HeaderCase{"Size156", with_size(156), std::nullopt},
        HeaderCase{"Size157", with_size(157), kJpeg}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(OlympusHeader, ShortBuffersRefused) {
  EXPECT_EQ(outcome(parse_ets_header({})), kHeaderRefused);
  const Bytes sis = ets_file({{0, 0}}).bytes;
  EXPECT_EQ(outcome(parse_sis_header(ByteSpan(sis).first(44))), kHeaderRefused);
  EXPECT_TRUE(parse_sis_header(ByteSpan(sis).first(45)).ok());
}

// --- tile table ---------------------------------------------------------------

struct Shape {
  std::uint64_t across, down, planes, width, height;
  friend bool operator==(const Shape&, const Shape&) = default;
};

struct TableCase {
  std::string name;
  std::vector<Entry> entries;
  std::string outcome;        // "ok" or the error's debug text
  std::vector<Shape> shapes = {};  // when ok
};

class OlympusTileTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(OlympusTileTable, Levels) {
  const auto& c = GetParam();
  const auto decoder = decode_tile_table(tile_table(c.entries), kJpeg512, 4);
  ASSERT_EQ(outcome(decoder), c.outcome);
  if (!decoder.ok()) return;
  std::vector<Shape> shapes;
  for (const auto& l : decoder->levels()) {
    shapes.push_back({l.tiles_across, l.tiles_down, l.planes, l.width, l.height});
    EXPECT_EQ(l.slots, l.tiles_across * l.tiles_down * l.planes);
  }
  EXPECT_EQ(shapes, c.shapes);
}

constexpr std::uint32_t kFF = 0xFFFFFFFF;
const std::string kTooLarge = "UnableToAllocateLargeSize";
const std::string kOutOfRange =
    R"(Decoding("Olympus Error Tile column, row or plane out of range in ETS table"))";

INSTANTIATE_TEST_SUITE_P(
    Table, OlympusTileTable,
    ::testing::Values(
        TableCase{"PerLevelMaxima",
                  {{0, 1, 0, 1}, {3, 0}, {0, 1}, {1, 0, 0, 1}, {0, 0}},
                  "ok",
                  {{4, 2, 1, 2048, 1024}, {2, 2, 1, 1024, 1024}}},
        TableCase{"ExtentCountsEveryPlane", {{0, 0}, {2, 0, 1}}, "ok", {{3, 1, 2, 1536, 512}}},
        TableCase{"LevelGap",
                  {{0, 0}, {0, 0, 0, 2}},
                  R"(Decoding("Olympus Error Failed to decode ETS"))"},
        TableCase{"NoLevelZero", {{0, 0, 0, 1}}, R"(Decoding("Olympus Error Failed to decode ETS"))"},
        TableCase{"LevelFFFFFFFF",
                  {{0, 0}, {0, 0, 0, kFF}},
                  R"(Decoding("Olympus Error Failed to decode ETS"))"},
        TableCase{"ExactlyTheCap", {{1023, 1023}}, "ok", {{1024, 1024, 1, 524288, 524288}}},
        TableCase{"TwiceTheCap", {{0, 0}, {1023, 0}, {0, 1023}, {0, 0, 1}}, kTooLarge},
        TableCase{"ProductOverflows64Bits", {{kFF - 1, kFF - 1, kFF - 1}}, kTooLarge},
        TableCase{"ColumnFFFFFFFF", {{0, 0}, {kFF, 0}}, kOutOfRange},
        TableCase{"RowFFFFFFFF", {{0, 0}, {0, kFF}}, kOutOfRange},
        TableCase{"PlaneFFFFFFFF", {{0, 0}, {0, 0, kFF}}, kOutOfRange},
        TableCase{"Empty", {}, R"(Decoding("Olympus Error No tile in ETS table"))"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(OlympusTileTable, PartialEntryIgnored) {
  Bytes table = tile_table({{1, 0}});
  EXPECT_EQ(outcome(decode_tile_table(ByteSpan(table).first(35), kJpeg512, 4)),
            R"(Decoding("Olympus Error No tile in ETS table"))");
  table.resize(36 + 35, 0xFF);  // a partial second entry full of 0xFFFFFFFF
  const auto decoder = decode_tile_table(table, kJpeg512, 4);
  ASSERT_TRUE(decoder.ok()) << outcome(decoder);
  EXPECT_EQ(decoder->levels().at(0).tiles_across, 2u);
}

TEST(OlympusTileTable, WidthKeepsLow32Bits) {
  EtsHeader wide = kJpeg512;
  wide.tile_width = 0x80000001;
  const auto decoder = decode_tile_table(tile_table({{3, 0}}), wide, 4);
  ASSERT_TRUE(decoder.ok());
  EXPECT_EQ(decoder->levels()[0].width, (4ull * 0x80000001) & 0xFFFFFFFF);
}

// --- dimension counts --------------------------------------------------------------

// A tile read of (level, x, y) and the entry it returns, or -1 for TileNotFound.
struct Lookup {
  std::uint64_t level, x, y;
  int entry;
};

struct DimensionsCase {
  std::string name;
  std::uint32_t dimensions;
  std::vector<Coordinates> entries;
  std::string outcome;  // "ok" or the error's debug text
  std::vector<Shape> shapes = {};
  std::vector<Lookup> lookups = {};
};

class OlympusDimensions : public ::testing::TestWithParam<DimensionsCase> {};

TEST_P(OlympusDimensions, EntriesSizedByTheDimensionCount) {
  const auto& c = GetParam();
  const EtsFile f = ets_file_of(c.entries, c.dimensions);
  RecordingSource source(f.bytes);
  const auto decoder = run_consumer<EtsDecoderConstructor>(source);
  ASSERT_EQ(outcome(decoder), c.outcome);
  if (!decoder.ok()) {
    if (c.dimensions < kMinDimensions || c.dimensions > kMaxDimensions) {
      // Refused from the SIS header alone.
      EXPECT_EQ(source.reads(), (Reads{{0, 64}}));
    }
    return;
  }
  // The table is read as tile-count entries of 20 + 4 x dimensions bytes, and
  // ends exactly at the end of the file.
  const std::uint64_t table = c.entries.size() * (20 + 4 * c.dimensions);
  EXPECT_EQ(entry_size(c.dimensions), 20 + 4 * c.dimensions);
  EXPECT_EQ(source.reads(), (Reads{{0, 64}, {64, 228}, {f.bytes.size() - table, table}}));
  std::vector<Shape> shapes;
  for (const auto& l : decoder->levels()) {
    shapes.push_back({l.tiles_across, l.tiles_down, l.planes, l.width, l.height});
  }
  EXPECT_EQ(shapes, c.shapes);
  for (const auto& [level, x, y, entry] : c.lookups) {
    const auto tile = decoder->read_tile(level, x, y);
    if (entry < 0) {
      EXPECT_EQ(outcome(tile), "TileNotFound { x: " + std::to_string(x) + ", y: " +
                                   std::to_string(y) + ", z: 0 }");
    } else {
      ASSERT_EQ(outcome(tile), "ok") << level << " " << x << " " << y;
      EXPECT_EQ(*tile, f.tiles[static_cast<std::size_t>(entry)]);
    }
  }
}

const std::string kDecodeRefused = R"(Decoding("Olympus Error Failed to decode ETS"))";

INSTANTIATE_TEST_SUITE_P(
    Table, OlympusDimensions,
    ::testing::Values(
        DimensionsCase{"Two", 2, {{0, 0}, {1, 0}}, kDecodeRefused},
        DimensionsCase{"Zero", 0, {{}}, kDecodeRefused},
        // (x, y, level): no plane coordinate, every tile is in plane 0.
        DimensionsCase{"Three",
                       3,
                       {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 0, 1}},
                       "ok",
                       {{2, 2, 1, 1024, 1024}, {1, 1, 1, 512, 512}},
                       {{0, 1, 1, 2}, {0, 0, 1, -1}, {1, 0, 0, 3}, {0, 2, 0, -1}}},
        // (x, y, plane, level), the brightfield layout: 36-byte entries.
        DimensionsCase{"Four",
                       4,
                       {{0, 0, 0, 0}, {1, 0, 0, 0}, {1, 1, 1, 0}, {0, 0, 0, 1}},
                       "ok",
                       {{2, 2, 2, 1024, 1024}, {1, 1, 1, 512, 512}},
                       {{0, 1, 0, 1}, {0, 1, 1, -1}, {1, 0, 0, 3}}},
        // (x, y, a, b, level): plane 0 needs a = b = 0; a tile with either set
        // is not read, and the level is the last coordinate, not the fourth.
        DimensionsCase{"Five",
                       5,
                       {{0, 0, 0, 0, 0}, {1, 0, 0, 1, 0}, {1, 0, 2, 0, 0}, {0, 1, 0, 0, 0},
                        {0, 0, 0, 0, 1}, {1, 1, 0, 1, 1}},
                       "ok",
                       {{2, 2, 6, 1024, 1024}, {2, 2, 2, 1024, 1024}},
                       {{0, 0, 0, 0}, {0, 1, 0, -1}, {0, 0, 1, 3}, {1, 0, 0, 4}, {1, 1, 1, -1}}},
        // (x, y, T, Z, C, level), as a cellSens fluorescence stack stores it:
        // 44-byte entries, 3 focus planes x 2 channels.
        DimensionsCase{"Six",
                       6,
                       {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 1, 0, 0}, {0, 0, 0, 2, 0, 0},
                        {0, 0, 0, 0, 1, 0}, {0, 0, 0, 1, 1, 0}, {0, 0, 0, 2, 1, 0},
                        {1, 0, 0, 2, 1, 0}, {0, 0, 0, 0, 0, 1}},
                       "ok",
                       {{2, 1, 6, 1024, 512}, {1, 1, 1, 512, 512}},
                       {{0, 0, 0, 0}, {0, 1, 0, -1}, {1, 0, 0, 7}}},
        DimensionsCase{"Sixteen",
                       16,
                       {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                        {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
                       "ok",
                       {{2, 1, 2, 1024, 512}},
                       {{0, 0, 0, 0}, {0, 1, 0, -1}}},
        DimensionsCase{"Seventeen", 17, {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                       kDecodeRefused},
        // Every plane coordinate counts towards the slots of a level.
        DimensionsCase{"SixPlanesPastTheCap", 6,
                       {{1023, 1023, 0, 0, 0, 0}, {0, 0, 0, 1, 0, 0}, {0, 0, 0, 0, 1, 0}},
                       kTooLarge},
        DimensionsCase{"SixPlaneCoordinateFFFFFFFF", 6, {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, kFF, 0}},
                       kOutOfRange},
        DimensionsCase{"SixPlaneProductOverflows", 6,
                       {{0, 0, kFF - 1, kFF - 1, kFF - 1, 0}}, kTooLarge},
        DimensionsCase{"SixLevelGap", 6, {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 2}}, kDecodeRefused}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(OlympusDimensions, DecodeTileTableRefusesTheSameCounts) {
  const Bytes table = coordinate_table({{0, 0, 0}, {0, 0, 0}});
  for (const std::uint32_t dimensions : {0u, 1u, 2u, 17u, 0xFFFFFFFFu}) {
    EXPECT_EQ(outcome(decode_tile_table(table, kJpeg512, dimensions)), kDecodeRefused)
        << dimensions;
  }
  EXPECT_EQ(outcome(decode_tile_table(table, kJpeg512, 3)), "ok");
}

TEST(OlympusDimensions, PartialEntryOfSixDimensionsIgnored) {
  Bytes table = coordinate_table({{2, 0, 0, 0, 0, 0}});
  ASSERT_EQ(table.size(), 44u);
  table.resize(44 + 43, 0xFF);
  const auto decoder = decode_tile_table(table, kJpeg512, 6);
  ASSERT_TRUE(decoder.ok()) << outcome(decoder);
  EXPECT_EQ(decoder->levels().at(0).tiles_across, 3u);
  // The same bytes read as 36-byte entries would be two entries, the second
  // one all 0xFF.
  EXPECT_EQ(outcome(decode_tile_table(table, kJpeg512, 4)), kOutOfRange);
}

// --- lookups -------------------------------------------------------------------

// Level 0: 3 x 2 with (1, 0) empty, (1, 1) only in plane 1 and (0, 0) stored
// twice; level 1: one tile.
KolvaResult<EtsDecoder> grid() {
  return decode_tile_table(tile_table({{0, 0}, {2, 0}, {0, 1}, {2, 1}, {1, 1, 1}, {0, 0, 0, 1},
                                       {0, 0}}),
                           kJpeg512, 4);
}

struct LookupCase {
  std::string name;
  std::uint64_t level, x, y;
  std::string outcome;  // the entry index read, or the error's debug text
};

class OlympusLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(OlympusLookup, ReadTile) {
  const auto& c = GetParam();
  const auto decoder = grid();
  ASSERT_TRUE(decoder.ok());
  const auto tile = decoder->read_tile(c.level, c.x, c.y);
  if (!tile.ok()) {
    EXPECT_EQ(tile.error().debug(), c.outcome);
    return;
  }
  const std::size_t entry = std::stoul(c.outcome);
  EXPECT_EQ(*tile, (EtsTile{1000 + 100 * entry, 10 + entry}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, OlympusLookup,
    ::testing::Values(
        LookupCase{"LastSlotOfPlane0", 0, 2, 1, "3"},
        LookupCase{"LaterDuplicateWins", 0, 0, 0, "6"},
        LookupCase{"OtherLevel", 1, 0, 0, "5"},
        LookupCase{"OnePastRowEndNotWrapped", 0, 3, 0, "TileNotFound { x: 3, y: 0, z: 0 }"},
        LookupCase{"BelowLastRow", 0, 0, 2, "TileNotFound { x: 0, y: 2, z: 0 }"},
        LookupCase{"EmptySlot", 0, 1, 0, "TileNotFound { x: 1, y: 0, z: 0 }"},
        LookupCase{"OnlyInPlane1", 0, 1, 1, "TileNotFound { x: 1, y: 1, z: 0 }"},
        LookupCase{"HugeCoordinates", 0, ~0ull, ~0ull,
                   "TileNotFound { x: 18446744073709551615, y: 18446744073709551615, z: 0 }"},
        LookupCase{"LevelEqualToCount", 2, 0, 0, "LevelNotFound { selected: 2, num_level: 2 }"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(OlympusLookup, InconsistentLevelNeverReadsOutside) {
  const EtsTile t{1, 2};
  // Level 0 claims a 2 x 2 grid but has only two slots; level 1 has no plane.
  const EtsDecoder d({EtsLevel{{{0, t}, {1, t}}, 2, 2, 2, 1, 0, 0},
                      EtsLevel{{{0, t}}, 1, 1, 1, 0, 0, 0}},
                     1, 1, EtsCompression::Jpeg);
  EXPECT_EQ(d.read_tile(0, 1, 0).ok(), true);
  EXPECT_EQ(outcome(d.read_tile(0, 0, 1)), "TileNotFound { x: 0, y: 1, z: 0 }");  // slot 2 of 2
  EXPECT_EQ(outcome(d.read_tile(1, 0, 0)), "TileNotFound { x: 0, y: 0, z: 0 }");  // no plane
}

// --- level descriptions ------------------------------------------------------------

class OlympusGetLevel
    : public ::testing::TestWithParam<std::pair<EtsCompression, std::optional<TileEncoding>>> {};

TEST_P(OlympusGetLevel, PerCompression) {
  const auto [compression, encoding] = GetParam();
  EtsHeader header = kJpeg512;
  header.compression = compression;
  header.tile_height = 256;
  const auto d = decode_tile_table(tile_table({{3, 1}, {0, 0, 0, 1}}), header, 4);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->level_count(), 2u);
  EXPECT_EQ(d->get_level(2), std::nullopt);
  if (!encoding) {
    EXPECT_EQ(d->get_level(0), std::nullopt);
    EXPECT_EQ(d->get_level(1), std::nullopt);
    return;
  }
  EXPECT_EQ(d->get_level(0), (LevelInfo{{2048, 512}, {512, 256}, {4, 2}, *encoding}));
  EXPECT_EQ(d->get_level(1), (LevelInfo{{512, 256}, {512, 256}, {1, 1}, *encoding}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, OlympusGetLevel,
    ::testing::Values(std::pair{EtsCompression::Raw, std::optional<TileEncoding>{}},
                      std::pair{EtsCompression::Jpeg, std::optional{TileEncoding::Jpeg}},
                      std::pair{EtsCompression::Jpeg2000, std::optional{TileEncoding::Jpeg2000}},
                      std::pair{EtsCompression::LosslessJpeg, std::optional<TileEncoding>{}},
                      std::pair{EtsCompression::Png, std::optional<TileEncoding>{}},
                      std::pair{EtsCompression::Bmp, std::optional{TileEncoding::Bmp}}));

// --- the consumers through the driver --------------------------------------------

TEST(OlympusConsumer, OpeningReadsAndTileBytes) {
  // The table is the last thing in the file: its final entry ends at the end.
  const EtsFile f = ets_file({{0, 0}, {1, 0}, {1, 1}, {0, 0, 0, 1}}, with_size(200));
  RecordingSource source(f.bytes);
  const auto decoder = run_consumer<EtsDecoderConstructor>(source);
  ASSERT_TRUE(decoder.ok()) << outcome(decoder);
  const std::uint64_t table_at = f.bytes.size() - 4 * 36;
  EXPECT_EQ(source.reads(), (Reads{{0, 64}, {64, 200}, {table_at, 4 * 36}}));
  EXPECT_EQ(decoder->level_count(), 2u);

  const auto request = decoder->read_tile(1, 0, 0);
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(*request, f.tiles[3]);
  source.clear();
  const auto tile = run_consumer<EtsReadTile>(source, *request);
  ASSERT_TRUE(tile.ok());
  EXPECT_EQ(*tile, Bytes(13, 3));
  EXPECT_EQ(source.reads(), (Reads{{f.tiles[3].offset, 13}}));
}

TEST(OlympusConsumer, WholeOpeningTriesTiffThenNdpiThenEts) {
  // Not a TIFF: the TIFF branch reads 4 bytes, the NDPI branch's TIFF reader 4
  // again, its 64-bit-offset reader 12, and only then the ETS reader starts.
  const EtsFile f = ets_file({{0, 0}, {1, 0}, {1, 1}, {0, 0, 0, 1}}, with_size(200));
  RecordingSource source(f.bytes);
  auto slide = std_io::open_slide(std::move(source));
  ASSERT_TRUE(slide.ok()) << slide.error().debug();
  const std::uint64_t table_at = f.bytes.size() - 4 * 36;
  EXPECT_EQ(slide->reader().reads(),
            (Reads{{0, 4}, {0, 4}, {0, 12}, {0, 64}, {64, 200}, {table_at, 4 * 36}}));
  EXPECT_STREQ(slide->decoder().format_name(), "Olympus ETS");
  slide->reader().clear();
  const auto tile = slide->read_tile_as_bytes(1, 0, 0);
  ASSERT_TRUE(tile.ok()) << tile.error().debug();
  EXPECT_EQ(*tile, Bytes(13, 3));
  EXPECT_EQ(slide->reader().reads(), (Reads{{f.tiles[3].offset, 13}}));
}

TEST(OlympusConsumer, EmptyTableReadsNothingPastTheEnd) {
  RecordingSource source(ets_file({}).bytes);
  EXPECT_EQ(outcome(run_consumer<EtsDecoderConstructor>(source)),
            R"(Decoding("Olympus Error No tile in ETS table"))");
  // The table read asks for nothing, so it cannot reach past the end.
  EXPECT_EQ(source.reads(), (Reads{{0, 64}, {64, 228}, {64 + 228, 0}}));
}

TEST(OlympusConsumer, CallsOutOfPhase) {
  const EtsFile f = ets_file({{0, 0}});
  const ByteSpan file(f.bytes);
  {
    auto [c, first] = EtsDecoderConstructor::dispatch({});
    EXPECT_EQ(first, ReadInstruction(ReadAndStep{0, 64}));
    EXPECT_EQ(outcome(std::move(c).receive(file)),
              R"(Decoding("Olympus Error Failed to parse ETS"))");
  }
  auto [c, first] = EtsDecoderConstructor::dispatch({});
  ASSERT_TRUE(c.step(file.first(64)).ok());
  EXPECT_EQ(outcome(EtsDecoderConstructor(c).receive(file)),
            R"(Decoding("Olympus Error Failed to parse ETS"))");
  const auto table = c.step(file.subspan(64, 228));
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(*table, ReadInstruction(ReadAndReceive{64 + 228 + 10, 36}));
  EXPECT_EQ(outcome(c.step(file)), "UnexpectedStep");

  auto [tile, read] = EtsReadTile::dispatch({7, 3});
  EXPECT_EQ(read, ReadInstruction(ReadAndReceive{7, 3}));
  EXPECT_EQ(outcome(tile.step(file)), "UnexpectedStep");
}

}  // namespace
}  // namespace kolva::test
