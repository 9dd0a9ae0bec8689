#pragma once

// Olympus ETS (the tile store of a cellSens .vsi bundle). A 64-byte SIS header
// gives the number of dimensions and points at an ETS header (tile size, pixel
// format, compression) and at a flat table of tile entries. Each entry holds one
// coordinate per dimension (column, row, then the extra planes such as time,
// focus or channel, the pyramid level last) and where the tile's bytes lie, so
// an entry is 4 + 4 x dimensions + 16 bytes: 36 in brightfield files (4
// dimensions), 44 in a fluorescence stack of 6. There is no directory of levels:
// levels and their tile grids follow from the entries, and a level is as large
// as its highest column and row. Tiles are handed out exactly as stored. Every
// number in the three structures is little-endian.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <unordered_map>
#include <vector>

#include "base/base.hpp"

namespace kolva::format::olympus {

// A strict cursor over borrowed bytes. A read of width n at position p succeeds
// only if p + n is strictly below the length (at least one byte must remain
// after it); a failed read gives nothing and leaves the position where it was.
class BytesParser {
 public:
  explicit BytesParser(ByteSpan bytes) : bytes_(bytes) {}

  std::optional<std::uint32_t> consume_u32();
  std::optional<std::uint64_t> consume_u64();
  // Four characters, each byte taken as the code point of the same value.
  std::optional<std::u32string> consume_ascii();
  std::optional<Bytes> consume(std::uint64_t n);

  std::uint64_t position() const { return pos_; }

 private:
  // Whether n bytes can be read at the position under the strict rule.
  bool fits(std::uint64_t n) const { return n < bytes_.size() - pos_; }

  ByteSpan bytes_;
  std::uint64_t pos_ = 0;
};

// The file's compression codes 0, 2, 3, 5, 8, 9, renumbered.
enum class EtsCompression : std::uint8_t {
  Raw = 0,
  Jpeg = 1,
  Jpeg2000 = 2,
  LosslessJpeg = 3,
  Png = 4,
  Bmp = 5,
};

// The internal code of a file compression code; nothing for codes not accepted.
std::optional<EtsCompression> compression_from_file_code(std::uint32_t code);
// The tile encoding a level description announces; nothing for Raw,
// LosslessJpeg and Png, which have none.
std::optional<TileEncoding> tile_encoding(EtsCompression compression);

// Where a stored tile lies; also the request of a tile read.
struct EtsTile {
  std::uint64_t offset;
  std::uint64_t length;
  friend bool operator==(const EtsTile&, const EtsTile&) = default;
};

// Dimension counts a tile table may have: column, row and level at least; the
// scanner writes 4 to 6.
inline constexpr std::uint32_t kMinDimensions = 3;
inline constexpr std::uint32_t kMaxDimensions = 16;

// Size of one tile-table entry: 4 ignored bytes, one 32-bit coordinate per
// dimension, the 64-bit file offset, the 32-bit byte count, 4 ignored bytes.
constexpr std::uint64_t entry_size(std::uint32_t dimensions) {
  return 4 + 4 * std::uint64_t{dimensions} + 16;
}
// Most tile slots (columns x rows x planes) one level may have.
inline constexpr std::uint64_t kMaxLevelSlots = 0x100000;

struct SisHeader {
  std::uint32_t version;
  std::uint32_t dimensions;
  std::uint64_t ets_offset;
  std::uint32_t ets_size;
  std::uint64_t table_offset;
  std::uint32_t tile_count;
};

struct EtsHeader {
  std::uint32_t version;
  std::uint32_t pixel_type;
  std::uint32_t channels;
  std::uint32_t colour_space;
  EtsCompression compression;
  std::uint32_t quality;
  std::uint32_t tile_width;
  std::uint32_t tile_height;
  std::uint32_t tile_depth;
  std::uint32_t value_148;
  std::uint32_t pyramid;
};

// Both refuse with "Olympus Error Failed to parse SIS header".
KolvaResult<SisHeader> parse_sis_header(ByteSpan bytes);
KolvaResult<EtsHeader> parse_ets_header(ByteSpan bytes);

struct EtsLevel {
  // The filled slots of the level's tiles_across x tiles_down x planes tile map;
  // slot of (x, y, z) is (z * tiles_down + y) * tiles_across + x. The plane z
  // numbers the coordinates between row and level, the first of them counting
  // fastest; plane 0 has all of them 0. Kept sparse:
  // a small crafted table can claim many levels of a million slots each, and
  // memory must follow the entries, not the claims.
  std::unordered_map<std::uint64_t, EtsTile> tiles;
  std::uint64_t slots;
  std::uint64_t tiles_across;
  std::uint64_t tiles_down;
  std::uint64_t planes;
  std::uint64_t width;   // low 32 bits of tiles_across * tile width
  std::uint64_t height;  // low 32 bits of tiles_down * tile height
};

// What an opened ETS file offers. Only plane 0 is reachable by tile reads.
class EtsDecoder {
 public:
  EtsDecoder(std::vector<EtsLevel> levels, std::uint64_t tile_width, std::uint64_t tile_height,
             EtsCompression compression)
      : levels_(std::move(levels)),
        tile_width_(tile_width),
        tile_height_(tile_height),
        compression_(compression) {}

  // LevelNotFound past the last level; TileNotFound {x, y, 0} outside the grid
  // or for an empty slot.
  KolvaResult<EtsTile> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  // Nothing past the last level, and for every level of a compression without
  // a tile encoding.
  std::optional<LevelInfo> get_level(std::uint64_t level) const;
  std::uint64_t level_count() const { return levels_.size(); }

  const std::vector<EtsLevel>& levels() const { return levels_; }
  std::uint64_t tile_width() const { return tile_width_; }
  std::uint64_t tile_height() const { return tile_height_; }
  EtsCompression compression() const { return compression_; }

 private:
  std::vector<EtsLevel> levels_;
  std::uint64_t tile_width_;
  std::uint64_t tile_height_;
  EtsCompression compression_;
};

// Builds the levels from a tile table of `dimensions`-coordinate entries (its
// length divided by the entry size, a remainder ignored). A dimension count
// outside 3 to 16 is refused with "Olympus Error Failed to decode ETS".
KolvaResult<EtsDecoder> decode_tile_table(ByteSpan table, const EtsHeader& header,
                                          std::uint32_t dimensions);

// The opening consumer: SIS header (64 bytes at 0), ETS header, tile table. A
// dimension count outside 3 to 16 is refused right after the SIS header.
class EtsDecoderConstructor {
 public:
  using Input = NoInput;
  using Output = EtsDecoder;

  static std::pair<EtsDecoderConstructor, ReadInstruction> dispatch(NoInput);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<EtsDecoder> receive(ByteSpan bytes) &&;

 private:
  struct Sis {};
  struct Ets {
    SisHeader sis;
  };
  struct TileTable {
    SisHeader sis;
    EtsHeader ets;
  };
  using Phase = std::variant<Sis, Ets, TileTable>;

  explicit EtsDecoderConstructor(Phase phase) : phase_(std::move(phase)) {}
  Phase phase_;
};

// The tile consumer: one ReadAndReceive; the bytes come back unchanged.
class EtsReadTile {
 public:
  using Input = EtsTile;
  using Output = Bytes;

  static std::pair<EtsReadTile, ReadInstruction> dispatch(EtsTile tile);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Bytes> receive(ByteSpan bytes) &&;
};

}  // namespace kolva::format::olympus
