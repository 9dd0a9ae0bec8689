// TIFF format detection (FromTiffIfd), the DynamicDecoder / DynamicReadTile
// wrappers over the TIFF-based formats, and opening small TIFF and BigTIFF
// files end to end through the file driver.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dynamic_decoder/dynamic_decoder.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

namespace tt = tiff_tools;
namespace dd = dynamic_decoder;
using tt::Data;
using tt::Ifd;
using Tags = std::map<std::uint16_t, Data>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kDqt = {0xFF, 0xDB, 0x00, 0x04, 0x00, 0x01};
const Bytes kDht = {0xFF, 0xC4, 0x00, 0x03, 0x00};
const Bytes kApp14 = {0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F, 0x62,
                      0x65, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kTables = cat({{0xFF, 0xD8}, kDqt, kDht, {0xFF, 0xD9}});

std::string str(const LevelInfo& l) {
  return std::to_string(l.dimensions.first) + "x" + std::to_string(l.dimensions.second) + " tile " +
         std::to_string(l.tile_size.first) + "x" + std::to_string(l.tile_size.second) + " grid " +
         std::to_string(l.tile_grid.first) + "x" + std::to_string(l.tile_grid.second) + " enc " +
         std::to_string(static_cast<int>(l.encoding));
}

// A tiled JPEG directory with no vendor text; tile i at base + 100 * i, 10 + i bytes.
Tags tiled(std::uint32_t width, std::uint32_t height, std::uint32_t base = 1000) {
  std::vector<std::uint32_t> offsets, counts;
  for (std::uint32_t i = 0; i < ((width + 255) / 256) * ((height + 255) / 256); ++i) {
    offsets.push_back(base + 100 * i);
    counts.push_back(10 + i);
  }
  return Tags{{256, tt::LONG{width}},         {257, tt::LONG{height}},     {322, tt::SHORT{256}},
              {323, tt::SHORT{256}},          {324, tt::LONG_ARRAY{offsets}}, {325, tt::LONG_ARRAY{counts}},
              {347, tt::BYTE_ARRAY{kTables}}, {259, tt::SHORT{7}}};
}

Ifd dir(Tags tags, std::initializer_list<std::pair<const std::uint16_t, Data>> extra = {}) {
  for (const auto& [tag, data] : extra) tags.insert_or_assign(tag, data);
  Ifd ifd;
  for (const auto& [tag, data] : tags) ifd.insert(tag, data);
  return ifd;
}

Ifd level0(std::initializer_list<std::pair<const std::uint16_t, Data>> extra = {}) {
  return dir(tiled(1024, 768), extra);
}
Ifd strips(std::initializer_list<std::pair<const std::uint16_t, Data>> extra = {}) {
  return dir(Tags{{256, tt::LONG{64}}, {257, tt::LONG{64}}, {273, tt::LONG{8}}, {279, tt::LONG{9}}},
             extra);
}

Data text(const char* s) { return tt::ASCII{std::string(s) + '\0'}; }
Data bytes_of(const char* s) { return tt::BYTE_ARRAY{ascii_bytes(s)}; }

// --- FromTiffIfd -------------------------------------------------------------------

struct DetectCase {
  const char* name;
  std::vector<Ifd> ifds;
  const char* expected;  // format name, or the error's debug text
  std::uint64_t levels;
};
void PrintTo(const DetectCase& c, std::ostream* os) { *os << c.name; }

class TiffDetection : public ::testing::TestWithParam<DetectCase> {};

TEST_P(TiffDetection, ClassifiesTheDirectoryList) {
  const auto& c = GetParam();
  const auto decoder = dd::FromTiffIfd::map(c.ifds);
  if (!decoder.ok()) {
    EXPECT_EQ(decoder.error().debug(), c.expected);
    return;
  }
  EXPECT_EQ(std::string(decoder->format_name()), c.expected);
  EXPECT_EQ(decoder->level_count(), c.levels);
  EXPECT_FALSE(decoder->get_level(c.levels).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Passes, TiffDetection,
    ::testing::Values(
        DetectCase{"HamamatsuCapitalsBeatAperio",
                   {level0({{271, text("HAMAMATSU")}, {270, text("Aperio Image Library")}})},
                   "UnexpectedStep", 0},
        DetectCase{"HamamatsuMixedCaseInLastDirectory",
                   {level0({{270, text("Aperio")}}), strips(),
                    level0({{271, text("xx HaMaMaTsU Photonics")}})},
                   "UnexpectedStep", 0},
        DetectCase{"MakeAsBytesNotRejected",
                   {level0({{271, bytes_of("Hamamatsu")}, {270, text("Aperio")}})}, "Aperio", 1},
        DetectCase{"MakeAsUndefinedNotRejected",
                   {level0({{271, tt::UNDEFINED_ARRAY{ascii_bytes("hamamatsu")}}})}, "Generic TIFF",
                   1},
        DetectCase{"OtherMakeNotRejected", {level0({{271, text("Leica")}, {270, text("Aperio")}})},
                   "Aperio", 1},
        DetectCase{"AperioInThirdBeatsPhilipsInFirst",
                   {level0({{305, text("Philips DP v1")}, {270, text("<x/>")}}), strips(),
                    strips({{270, text("APERIO Image Library")}})},
                   "Aperio", 1},
        DetectCase{"AperioDescriptionAsBytes", {level0({{270, bytes_of("Aperio")}})},
                   "Generic TIFF", 1},
        DetectCase{"Philips",
                   {level0({{305, text("Philips DP v1.0")}, {270, text("<DataObject/>")}}), strips()},
                   "Philips", 1},
        // Detection ignores case; the Philips level rules do not.
        DetectCase{"PhilipsUpperCaseDetectedWithoutLevels",
                   {level0({{305, text("PHILIPS")}, {270, text("<x/>")}})}, "Philips", 0},
        DetectCase{"PhilipsSoftwareAsBytes",
                   {level0({{305, bytes_of("Philips")}, {270, text("<x/>")}})}, "Generic TIFF", 1},
        DetectCase{"PlainTiled", {level0(), dir(tiled(512, 384))}, "Generic TIFF", 2},
        DetectCase{"StrippedOnlyHasNoLevels", {strips(), strips()}, "Generic TIFF", 0},
        DetectCase{"EmptyList", {}, "Generic TIFF", 0}),
    [](const auto& p) { return std::string(p.param.name); });

// --- DynamicDecoder and DynamicReadTile per variant -----------------------------------

std::string request_kind(const dd::TileRequest& r) {
  if (std::holds_alternative<format::generic_tiff::ReadTile>(r)) return "Generic TIFF";
  if (std::holds_alternative<format::aperio::ReadTile>(r)) return "Aperio";
  if (std::holds_alternative<dd::PhilipsTile>(r)) return "Philips";
  return "?";
}

ReadAndReceive first_read(const dd::TileRequest& r) {
  auto [consumer, first] = dd::DynamicReadTile::dispatch(r);
  const auto* read = std::get_if<ReadAndReceive>(&first);
  EXPECT_NE(read, nullptr);
  return read ? *read : ReadAndReceive{0, 0};
}

class TiffDynamicDecoder : public ::testing::TestWithParam<const char*> {};

std::vector<Ifd> two_levels(const std::string& format) {
  if (format == "Aperio") return {level0({{270, text("Aperio")}}), dir(tiled(512, 384, 5000))};
  if (format == "Philips") {
    return {level0({{305, text("Philips")}, {270, text("x")}}),
            dir(tiled(512, 384, 5000), {{305, text("Philips")}, {270, text("x")}})};
  }
  return {level0(), dir(tiled(512, 384, 5000))};
}

TEST_P(TiffDynamicDecoder, PassesRequestsAndErrorsThrough) {
  const std::string format = GetParam();
  const auto decoder = dd::FromTiffIfd::map(two_levels(format));
  ASSERT_TRUE(decoder.ok()) << decoder.error().debug();
  EXPECT_EQ(std::string(decoder->format_name()), format);
  EXPECT_EQ(decoder->level_count(), 2u);
  EXPECT_EQ(str(*decoder->get_level(1)),
            str(LevelInfo{{512, 384}, {256, 256}, {2, 2}, TileEncoding::Jpeg}));
  EXPECT_FALSE(decoder->get_level(2).has_value());

  const auto request = decoder->read_tile(0, 1, 2);  // tile 9 of 4 x 3
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request_kind(*request), format);
  EXPECT_EQ(first_read(*request), (ReadAndReceive{1900, 19}));
  EXPECT_EQ(first_read(*decoder->read_tile(1, 1, 1)), (ReadAndReceive{5300, 13}));

  EXPECT_EQ(decoder->read_tile(2, 0, 0).error().debug(),
            "LevelNotFound { selected: 2, num_level: 2 }");
  EXPECT_EQ(decoder->read_tile(1, 0, 2).error().debug(), "TileNotFound { x: 0, y: 2, z: 0 }");
  EXPECT_EQ(decoder->read_tile(0, 1ULL << 62, 1ULL << 62).error().debug(),
            "TileNotFound { x: 4611686018427387904, y: 4611686018427387904, z: 0 }");
}

TEST_P(TiffDynamicDecoder, ReadTileNeverStepsAndReceiveSplices) {
  const auto decoder = dd::FromTiffIfd::map(two_levels(GetParam()));
  ASSERT_TRUE(decoder.ok());
  {
    auto [consumer, first] = dd::DynamicReadTile::dispatch(*decoder->read_tile(0, 0, 0));
    const auto step = consumer.step(Bytes{0xFF, 0xD8});
    ASSERT_FALSE(step.ok());
    EXPECT_EQ(step.error().debug(), "UnexpectedStep");
  }
  auto [consumer, first] = dd::DynamicReadTile::dispatch(*decoder->read_tile(0, 0, 0));
  const Bytes stored = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x55, 0xFF, 0xD9};
  const auto tile = std::move(consumer).receive(stored);
  ASSERT_TRUE(tile.ok());
  EXPECT_EQ(*tile, cat({Bytes(kTables.begin(), kTables.end() - 2),
                        Bytes(stored.begin() + 2, stored.end())}));
  auto [short_consumer, unused] = dd::DynamicReadTile::dispatch(*decoder->read_tile(0, 0, 0));
  EXPECT_EQ(std::move(short_consumer).receive(Bytes{0xFF}).error().debug(),
            "Decoding(\"ReadTile Error JPEG tables or tile too short to splice\")");
}

INSTANTIATE_TEST_SUITE_P(Variants, TiffDynamicDecoder,
                         ::testing::Values("Aperio", "Philips", "Generic TIFF"),
                         [](const auto& p) {
                           std::string name = p.param;
                           return name == "Generic TIFF" ? std::string("GenericTiff") : name;
                         });

// --- Opening files -----------------------------------------------------------------

enum class Vendor { Generic, AperioRgbJpeg, AperioJ2k, Philips };

struct Slide {
  Vendor vendor;
  const char* format;
  TileEncoding encoding;
  const char* name;
};
void PrintTo(const Slide& s, std::ostream* os) { *os << s.name; }

TiffEntry ints(TiffFlavour f, std::uint16_t tag, std::uint16_t type,
               std::vector<std::uint64_t> values) {
  const int width = type == 3 ? 2 : type == 4 ? 4 : 8;
  Bytes b;
  for (const auto v : values) put(b, v, width, f.order);
  return {tag, type, values.size(), b};
}
TiffEntry ascii(std::uint16_t tag, const std::string& s) {
  return {tag, 2, s.size() + 1, cat({ascii_bytes(s), {0}})};
}

// Two tiled levels (64 x 48 and 32 x 24 in 32-pixel tiles: 2 x 2 and 1 x 1)
// around a stripped thumbnail, then the tile bytes `tiles[level][i]`.
Bytes build_slide(TiffFlavour f, Vendor v, const std::vector<std::vector<Bytes>>& tiles) {
  const std::uint16_t offset_type = f.big ? 16 : 4;
  auto make = [&](const std::vector<std::vector<std::uint64_t>>& offsets) {
    std::vector<TiffDir> dirs;
    const std::pair<std::uint64_t, std::uint64_t> sizes[] = {{64, 48}, {32, 24}};
    for (std::size_t l = 0; l < 2; ++l) {
      std::vector<std::uint64_t> counts;
      for (const auto& t : tiles[l]) counts.push_back(t.size());
      TiffDir d;
      d.entries = {ints(f, 256, 3, {sizes[l].first}), ints(f, 257, 4, {sizes[l].second})};
      const std::uint16_t compression = v == Vendor::AperioJ2k ? 33005 : 7;
      d.entries.push_back(ints(f, 259, 3, {compression}));
      if (v == Vendor::AperioRgbJpeg) d.entries.push_back(ints(f, 262, 3, {2}));
      if (v != Vendor::Generic) d.entries.push_back(ascii(270, v == Vendor::Philips ? "<DataObject/>" : "Aperio Image Library v12"));
      if (v == Vendor::Philips) d.entries.push_back(ascii(305, "Philips DP v1.0"));
      d.entries.push_back(ints(f, 322, f.big ? 16 : 3, {32}));
      d.entries.push_back(ints(f, 323, 3, {32}));
      d.entries.push_back(ints(f, 324, offset_type, offsets[l]));
      d.entries.push_back(ints(f, 325, 4, counts));
      if (v != Vendor::AperioJ2k) d.entries.push_back({347, 7, kTables.size(), kTables});
      dirs.push_back(d);
      if (l == 0) {
        dirs.push_back(TiffDir{{ints(f, 256, 3, {16}), ints(f, 257, 3, {12}), ints(f, 273, 4, {8}),
                                ints(f, 279, 4, {4})},
                               std::nullopt});
      }
    }
    return build_tiff(f, dirs).bytes;
  };
  std::vector<std::vector<std::uint64_t>> offsets(2);
  for (std::size_t l = 0; l < 2; ++l) offsets[l].assign(tiles[l].size(), 0);
  std::uint64_t at = make(offsets).size();
  for (std::size_t l = 0; l < 2; ++l) {
    for (std::size_t i = 0; i < tiles[l].size(); ++i) {
      offsets[l][i] = at;
      at += tiles[l][i].size();
    }
  }
  Bytes file = make(offsets);
  for (const auto& level : tiles) {
    for (const auto& t : level) file.insert(file.end(), t.begin(), t.end());
  }
  EXPECT_EQ(file.size(), at);
  return file;
}

Bytes stored_tile(Vendor v, std::uint8_t level, std::uint8_t i) {
  if (v == Vendor::AperioJ2k) return {0xFF, 0x4F, 0xFF, 0x51, level, i};
  return {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x03, level, i, 0xFF, 0xD9};
}

std::vector<std::vector<Bytes>> stored_tiles(Vendor v) {
  return {{stored_tile(v, 0, 0), stored_tile(v, 0, 1), stored_tile(v, 0, 2), stored_tile(v, 0, 3)},
          {stored_tile(v, 1, 0)}};
}

// What a read of the stored tile gives back.
Bytes served_tile(Vendor v, const Bytes& stored) {
  if (v == Vendor::AperioJ2k) return stored;
  const Bytes tables = v == Vendor::AperioRgbJpeg ? cat({{0xFF, 0xD8}, kDqt, kApp14, kDht}) : Bytes(kTables.begin(), kTables.end() - 2);
  return cat({tables, Bytes(stored.begin() + 2, stored.end())});
}

const TiffFlavour kFlavours[] = {{ByteOrder::Little, false},
                                 {ByteOrder::Big, false},
                                 {ByteOrder::Little, true},
                                 {ByteOrder::Big, true}};

class TiffOpenSlide : public ::testing::TestWithParam<std::tuple<TiffFlavour, Slide>> {};

TEST_P(TiffOpenSlide, OpensAndReadsTiles) {
  const auto& [flavour, slide] = GetParam();
  auto opened = std_io::open_slide(std_io::MemorySource(build_slide(flavour, slide.vendor, stored_tiles(slide.vendor))));
  ASSERT_TRUE(opened.ok()) << opened.error().debug();
  EXPECT_EQ(std::string(opened->decoder().format_name()), slide.format);
  ASSERT_EQ(opened->level_count(), 2u);
  EXPECT_EQ(str(*opened->get_level(0)), str(LevelInfo{{64, 48}, {32, 32}, {2, 2}, slide.encoding}));
  EXPECT_EQ(str(*opened->get_level(1)), str(LevelInfo{{32, 24}, {32, 32}, {1, 1}, slide.encoding}));

  const auto a = opened->read_tile_as_bytes(0, 1, 1);
  ASSERT_TRUE(a.ok()) << a.error().debug();
  EXPECT_EQ(*a, served_tile(slide.vendor, stored_tile(slide.vendor, 0, 3)));
  EXPECT_EQ(opened->read_tile_as_bytes(0, 2, 1).error().debug(), "TileNotFound { x: 2, y: 1, z: 0 }");
  EXPECT_EQ(opened->read_tile_as_bytes(2, 0, 0).error().debug(),
            "LevelNotFound { selected: 2, num_level: 2 }");
  // A failed read leaves the slide usable.
  const auto b = opened->read_tile_as_bytes(1, 0, 0);
  ASSERT_TRUE(b.ok()) << b.error().debug();
  EXPECT_EQ(*b, served_tile(slide.vendor, stored_tile(slide.vendor, 1, 0)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, TiffOpenSlide,
    ::testing::Combine(::testing::ValuesIn(kFlavours),
                       ::testing::Values(Slide{Vendor::Generic, "Generic TIFF", TileEncoding::Jpeg, "Generic"},
                                         Slide{Vendor::AperioRgbJpeg, "Aperio", TileEncoding::Jpeg, "AperioRgbJpeg"},
                                         Slide{Vendor::AperioJ2k, "Aperio", TileEncoding::Jpeg2000, "AperioJ2k"},
                                         Slide{Vendor::Philips, "Philips", TileEncoding::Jpeg, "Philips"})),
    [](const auto& p) {
      return std::get<0>(p.param).name() + "_" + std::get<1>(p.param).name;
    });

class TiffOpenBroken : public ::testing::TestWithParam<TiffFlavour> {};

TEST_P(TiffOpenBroken, ChainPastTheEndIsUnexpectedStep) {
  const TiffFlavour f = GetParam();
  std::vector<TiffDir> dirs = {TiffDir{{ints(f, 256, 3, {1}), ints(f, 257, 3, {1})}, std::nullopt},
                               TiffDir{{ints(f, 256, 3, {1})}, std::nullopt}};
  // The second directory's next-directory offset points past the end of the file.
  dirs[1].next = build_tiff(f, dirs).bytes.size() + 64;
  auto opened = std_io::open_slide(std_io::MemorySource(build_tiff(f, dirs).bytes));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().debug(), "UnexpectedStep");
}

TEST_P(TiffOpenBroken, TileBytesPastTheEndFailOnlyThatRead) {
  Bytes file = build_slide(GetParam(), Vendor::Generic, stored_tiles(Vendor::Generic));
  file.resize(file.size() - 1);  // cuts the last tile (level 1) short
  auto opened = std_io::open_slide(std_io::MemorySource(file));
  ASSERT_TRUE(opened.ok()) << opened.error().debug();
  EXPECT_EQ(opened->read_tile_as_bytes(1, 0, 0).error().debug(), "UnexpectedStep");
  EXPECT_TRUE(opened->read_tile_as_bytes(0, 0, 0).ok());
}

TEST_P(TiffOpenBroken, OneByteTileIsASpliceError) {
  auto tiles = stored_tiles(Vendor::Philips);
  tiles[1][0] = {0xFF};
  auto opened =
      std_io::open_slide(std_io::MemorySource(build_slide(GetParam(), Vendor::Philips, tiles)));
  ASSERT_TRUE(opened.ok()) << opened.error().debug();
  EXPECT_EQ(opened->read_tile_as_bytes(1, 0, 0).error().debug(),
            "Decoding(\"ReadTile Error JPEG tables or tile too short to splice\")");
}

INSTANTIATE_TEST_SUITE_P(Files, TiffOpenBroken, ::testing::ValuesIn(kFlavours),
                         [](const auto& p) { return p.param.name(); });

TEST(TiffOpenShortFile, FewerThanFourBytesIsUnexpectedStep) {
  for (const Bytes& file : {Bytes{}, Bytes{'I'}, Bytes{'I', 'I', 0x2A}, Bytes{'M', 'M', 0x00}}) {
    SCOPED_TRACE(file.size());
    auto opened = std_io::open_slide(std_io::MemorySource(file));
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().debug(), "UnexpectedStep");
  }
}

// The vendor text search: any case in the text, a lower-case needle anywhere
// (first, last, after a near miss), only in ASCII values of the tag asked for.
TEST(AnyAsciiContains, FindsTheNeedleInAnyCase) {
  const struct {
    Data value;
    bool found;
  } cases[] = {
      {text("Aperio Image Library"), true},  {text("xx APERIO"), true},
      {text("apeRIo"), true},                {text("aperi aperio"), true},
      {text("aperaperio!"), true},           {text("aperi"), false},
      {text("a p e r i o"), false},          {text("aperjo aperix"), false},
      {text(""), false},                     {bytes_of("aperio"), false},
  };
  for (const auto& c : cases) {
    const std::vector<Ifd> ifds{strips({{305, text("aperio")}}), strips({{270, c.value}})};
    const Ifd* found = nullptr;
    EXPECT_EQ(dd::any_ascii_contains(ifds, 270, "aperio", &found), c.found);
    EXPECT_EQ(found, c.found ? &ifds[1] : nullptr);
  }
  // Long texts are searched sixteen places at a time: the needle at every
  // place across three blocks, in texts of near misses.
  for (std::size_t at = 0; at + 6 <= 50; ++at) {
    std::string filler(50, 'a');
    for (std::size_t i = 1; i < filler.size(); i += 2) filler[i] = (i % 4 == 1) ? 'P' : 'p';
    std::string hit = filler;
    hit.replace(at, 6, "ApErIo");
    SCOPED_TRACE(hit);
    EXPECT_TRUE(dd::any_ascii_contains({strips({{270, text(hit.c_str())}})}, 270, "aperio", nullptr));
    EXPECT_FALSE(dd::any_ascii_contains({strips({{270, text(filler.c_str())}})}, 270, "aperio", nullptr));
  }
}

}  // namespace
}  // namespace kolva::test
