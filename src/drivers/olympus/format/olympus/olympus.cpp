#include "drivers/olympus/format/olympus/olympus.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "base/bytes.hpp"

namespace kolva::format::olympus {
namespace {

constexpr const char* kHeaderError = "Failed to parse SIS header";
// A coordinate of 0xFFFFFFFF has no count (largest value + 1) in 32 bits.
constexpr std::uint32_t kNoCoordinate = 0xFFFFFFFF;

// "Olympus Error " and the message.
KolvaError olympus_error(const char* message) { return DecodeError(DecodeError::Olympus{message}); }

const std::u32string kSisMagic(U"SIS\0", 4);
const std::u32string kEtsMagic(U"ETS\0", 4);

constexpr const char* kDecodeError = "Failed to decode ETS";

// Whether a tile table with this many coordinates per entry can be read.
bool usable_dimensions(std::uint32_t dimensions) {
  return dimensions >= kMinDimensions && dimensions <= kMaxDimensions;
}

// Most coordinates between row and level.
constexpr std::size_t kMaxPlaneCoordinates = kMaxDimensions - 3;

// One tile-table entry, read at fixed offsets: the table is the last thing in
// the file, so its final field may end exactly at the end of the data.
// Coordinates: column, row, the plane coordinates, the level last.
class EntryView {
 public:
  EntryView(ByteSpan table, std::size_t pos, std::uint32_t dimensions)
      : table_(table), coordinates_(pos + 4), dimensions_(dimensions) {}

  std::uint32_t x() const { return coordinate(0); }
  std::uint32_t y() const { return coordinate(1); }
  std::uint32_t level() const { return coordinate(dimensions_ - 1); }
  // The coordinates between row and level: dimensions - 3 of them.
  std::size_t plane_coordinates() const { return dimensions_ - 3; }
  std::uint32_t plane_coordinate(std::size_t i) const {
    return coordinate(2 + static_cast<std::uint32_t>(i));
  }
  EtsTile tile() const {
    const std::size_t after = coordinates_ + 4 * std::size_t{dimensions_};
    return EtsTile{read_le<std::uint64_t>(table_, after),
                   read_le<std::uint32_t>(table_, after + 8)};
  }

 private:
  std::uint32_t coordinate(std::uint32_t i) const {
    return read_le<std::uint32_t>(table_, coordinates_ + 4 * std::size_t{i});
  }

  ByteSpan table_;
  std::size_t coordinates_;
  std::uint32_t dimensions_;
};

// Largest column, row and plane coordinates of one level's entries.
struct Extent {
  std::uint32_t x;
  std::uint32_t y;
  std::array<std::uint32_t, kMaxPlaneCoordinates> planes;
};

// (z * tiles_down + y) * tiles_across + x, or nothing outside the level's
// slots or on overflow.
std::optional<std::uint64_t> slot_index(const EtsLevel& level, std::uint64_t x, std::uint64_t y,
                                        std::uint64_t z) {
  std::uint64_t index;
  if (!checked_mul(z, level.tiles_down, index) || !checked_add(index, y, index) ||
      !checked_mul(index, level.tiles_across, index) || !checked_add(index, x, index) ||
      index >= level.slots) {
    return std::nullopt;
  }
  return index;
}

}  // namespace

std::optional<std::uint32_t> BytesParser::consume_u32() {
  if (!fits(4)) return std::nullopt;
  const auto value = read_le<std::uint32_t>(bytes_, pos_);
  pos_ += 4;
  return value;
}

std::optional<std::uint64_t> BytesParser::consume_u64() {
  if (!fits(8)) return std::nullopt;
  const auto value = read_le<std::uint64_t>(bytes_, pos_);
  pos_ += 8;
  return value;
}

std::optional<std::u32string> BytesParser::consume_ascii() {
  if (!fits(4)) return std::nullopt;
  std::u32string text;
  for (std::size_t i = 0; i < 4; ++i) text.push_back(static_cast<char32_t>(bytes_[pos_ + i]));
  pos_ += 4;
  return text;
}

std::optional<Bytes> BytesParser::consume(std::uint64_t n) {
  if (!fits(n)) return std::nullopt;
  const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(pos_);
  Bytes out(first, first + static_cast<std::ptrdiff_t>(n));
  pos_ += n;
  return out;
}

std::optional<EtsCompression> compression_from_file_code(std::uint32_t code) {
  switch (code) {
    case 0: return EtsCompression::Raw;
    case 2: return EtsCompression::Jpeg;
    case 3: return EtsCompression::Jpeg2000;
    case 5: return EtsCompression::LosslessJpeg;
    case 8: return EtsCompression::Png;
    case 9: return EtsCompression::Bmp;
    default: return std::nullopt;
  }
}

std::optional<TileEncoding> tile_encoding(EtsCompression compression) {
  switch (compression) {
    case EtsCompression::Jpeg: return TileEncoding::Jpeg;
    case EtsCompression::Jpeg2000: return TileEncoding::Jpeg2000;
    case EtsCompression::Bmp: return TileEncoding::Bmp;
    default: return std::nullopt;
  }
}

KolvaResult<SisHeader> parse_sis_header(ByteSpan bytes) {
  const KolvaError refused = olympus_error(kHeaderError);
  BytesParser p(bytes);
  const auto magic = p.consume_ascii();
  if (!magic || *magic != kSisMagic || !p.consume(4)) return refused;
  const auto version = p.consume_u32();
  const auto dimensions = p.consume_u32();
  const auto ets_offset = p.consume_u64();
  const auto ets_size = p.consume_u32();
  const auto reserved = p.consume(4);
  const auto table_offset = p.consume_u64();
  const auto tile_count = p.consume_u32();
  if (!version || !dimensions || !ets_offset || !ets_size || !reserved || !table_offset ||
      !tile_count) {
    return refused;
  }
  return SisHeader{*version, *dimensions, *ets_offset, *ets_size, *table_offset, *tile_count};
}

KolvaResult<EtsHeader> parse_ets_header(ByteSpan bytes) {
  const KolvaError refused = olympus_error(kHeaderError);
  BytesParser p(bytes);
  const auto magic = p.consume_ascii();
  if (!magic || *magic != kEtsMagic) return refused;
  const auto version = p.consume_u32();
  if (!version) return refused;
  const auto pixel_type = p.consume_u32();
  if (!pixel_type || *pixel_type < 1 || *pixel_type > 4) return refused;
  const auto channels = p.consume_u32();
  if (!channels) return refused;
  const auto colour_space = p.consume_u32();
  if (!colour_space || (*colour_space != 1 && *colour_space != 4)) return refused;
  const auto compression_code = p.consume_u32();
  const auto compression =
      compression_code ? compression_from_file_code(*compression_code) : std::nullopt;
  if (!compression) return refused;
  const auto quality = p.consume_u32();
  const auto tile_width = p.consume_u32();
  const auto tile_height = p.consume_u32();
  const auto tile_depth = p.consume_u32();
  if (!quality || !tile_width || !tile_height || !tile_depth) return refused;
  // Two blocks nobody uses. A block that does not fit is not an error: the
  // position stays, and the last two values are read from there.
  (void)p.consume(68);
  (void)p.consume(40);
  const auto value_148 = p.consume_u32();
  const auto pyramid = p.consume_u32();
  if (!value_148 || !pyramid) return refused;
  return EtsHeader{*version,   *pixel_type,  *channels,    *colour_space,
                   *compression, *quality,   *tile_width,  *tile_height,
                   *tile_depth,  *value_148, *pyramid};
}

KolvaResult<EtsDecoder> decode_tile_table(ByteSpan table, const EtsHeader& header,
                                          std::uint32_t dimensions) {
  if (!usable_dimensions(dimensions)) return olympus_error(kDecodeError);
  const std::uint64_t size = entry_size(dimensions);
  const std::uint64_t count = table.size() / size;
  // No entry means no level at all: there is nothing to open.
  if (count == 0) return olympus_error("No tile in ETS table");

  // First pass: the extent of every level.
  std::unordered_map<std::uint32_t, Extent> extents;
  std::uint32_t top = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const EntryView e(table, i * size, dimensions);
    bool out_of_range = e.x() == kNoCoordinate || e.y() == kNoCoordinate;
    for (std::size_t k = 0; k < e.plane_coordinates(); ++k) {
      out_of_range = out_of_range || e.plane_coordinate(k) == kNoCoordinate;
    }
    if (out_of_range) {
      return olympus_error("Tile column, row or plane out of range in ETS table");
    }
    auto [it, inserted] = extents.try_emplace(e.level(), Extent{e.x(), e.y(), {}});
    Extent& extent = it->second;
    if (!inserted) {
      extent.x = std::max(extent.x, e.x());
      extent.y = std::max(extent.y, e.y());
    }
    for (std::size_t k = 0; k < e.plane_coordinates(); ++k) {
      extent.planes[k] = std::max(extent.planes[k], e.plane_coordinate(k));
    }
    top = std::max(top, e.level());
  }

  // Levels 0 to top, each with at least one entry. Every level present needs an
  // entry, so this stops at the first gap, after at most count + 1 rounds.
  std::vector<EtsLevel> levels;
  std::vector<const Extent*> level_extents;
  for (std::uint64_t n = 0; n <= top; ++n) {
    const auto it = extents.find(static_cast<std::uint32_t>(n));
    if (it == extents.end()) return olympus_error(kDecodeError);
    const Extent& extent = it->second;
    const std::uint64_t across = std::uint64_t{extent.x} + 1;
    const std::uint64_t down = std::uint64_t{extent.y} + 1;
    // Every combination of the plane coordinates is one plane.
    std::uint64_t planes = 1;
    bool fits = true;
    for (std::size_t k = 0; k + 3 < dimensions; ++k) {
      fits = fits && checked_mul(planes, std::uint64_t{extent.planes[k]} + 1, planes);
    }
    std::uint64_t slots;
    if (!fits || !checked_mul(across, down, slots) || !checked_mul(slots, planes, slots) ||
        slots > kMaxLevelSlots) {
      return KolvaError::UnableToAllocateLargeSize{};
    }
    levels.push_back(EtsLevel{{}, slots, across, down, planes,
                              (across * header.tile_width) & 0xFFFFFFFF,
                              (down * header.tile_height) & 0xFFFFFFFF});
    level_extents.push_back(&extent);
  }

  // Second pass, in table order: when two entries name one slot, the later one
  // stays. The plane is the mixed-radix number of the plane coordinates, the
  // first counting fastest; it stays below the level's planes, which fit.
  for (std::uint64_t i = 0; i < count; ++i) {
    const EntryView e(table, i * size, dimensions);
    EtsLevel& level = levels[e.level()];
    const Extent& extent = *level_extents[e.level()];
    std::uint64_t z = 0;
    std::uint64_t stride = 1;
    for (std::size_t k = 0; k < e.plane_coordinates(); ++k) {
      z += stride * e.plane_coordinate(k);
      stride *= std::uint64_t{extent.planes[k]} + 1;
    }
    const auto slot = slot_index(level, e.x(), e.y(), z);
    if (!slot) return KolvaError::Panic{"ETS entry outside the extent of its level"};
    level.tiles.insert_or_assign(*slot, e.tile());
  }
  return EtsDecoder(std::move(levels), header.tile_width, header.tile_height, header.compression);
}

KolvaResult<EtsTile> EtsDecoder::read_tile(std::uint64_t level, std::uint64_t x,
                                           std::uint64_t y) const {
  if (level >= levels_.size()) return KolvaError::LevelNotFound{level, levels_.size()};
  const EtsLevel& l = levels_[level];
  const KolvaError not_found = KolvaError::TileNotFound{x, y, 0};
  if (x >= l.tiles_across || y >= l.tiles_down || l.planes == 0) return not_found;
  // Plane 0 only: the slot of (x, y, 0).
  const auto slot = slot_index(l, x, y, 0);
  if (!slot) return not_found;
  const auto it = l.tiles.find(*slot);
  if (it == l.tiles.end()) return not_found;
  return it->second;
}

std::optional<LevelInfo> EtsDecoder::get_level(std::uint64_t level) const {
  if (level >= levels_.size()) return std::nullopt;
  const auto encoding = tile_encoding(compression_);
  if (!encoding) return std::nullopt;
  const EtsLevel& l = levels_[level];
  return LevelInfo{{l.width, l.height},
                   {tile_width_, tile_height_},
                   {l.tiles_across, l.tiles_down},
                   *encoding};
}

std::pair<EtsDecoderConstructor, ReadInstruction> EtsDecoderConstructor::dispatch(NoInput) {
  return {EtsDecoderConstructor(Sis{}), ReadAndStep{0, 64}};
}

KolvaResult<ReadInstruction> EtsDecoderConstructor::step(ByteSpan bytes) {
  if (std::holds_alternative<Sis>(phase_)) {
    KOLVA_TRY(const SisHeader sis, parse_sis_header(bytes));
    // The entry size follows from the dimension count: refuse it before reading on.
    if (!usable_dimensions(sis.dimensions)) return olympus_error(kDecodeError);
    phase_ = Ets{sis};
    return ReadInstruction{ReadAndStep{sis.ets_offset, sis.ets_size}};
  }
  if (const auto* ets = std::get_if<Ets>(&phase_)) {
    KOLVA_TRY(const EtsHeader header, parse_ets_header(bytes));
    const SisHeader sis = ets->sis;
    phase_ = TileTable{sis, header};
    return ReadInstruction{
        ReadAndReceive{sis.table_offset, sis.tile_count * entry_size(sis.dimensions)}};
  }
  return KolvaError::UnexpectedStep{};
}

KolvaResult<EtsDecoder> EtsDecoderConstructor::receive(ByteSpan bytes) && {
  const auto* table = std::get_if<TileTable>(&phase_);
  if (!table) return olympus_error("Failed to parse ETS");
  return decode_tile_table(bytes, table->ets, table->sis.dimensions);
}

std::pair<EtsReadTile, ReadInstruction> EtsReadTile::dispatch(EtsTile tile) {
  return {EtsReadTile{}, ReadAndReceive{tile.offset, tile.length}};
}

KolvaResult<ReadInstruction> EtsReadTile::step(ByteSpan) { return KolvaError::UnexpectedStep{}; }

KolvaResult<Bytes> EtsReadTile::receive(ByteSpan bytes) && {
  return Bytes(bytes.begin(), bytes.end());
}

static_assert(ReadConsumer<EtsDecoderConstructor>);
static_assert(ReadConsumer<EtsReadTile>);

}  // namespace kolva::format::olympus
