#pragma once

// Plain tiled TIFF / BigTIFF with JPEG tables shared through the JPEGTables tag
// (TIFF's abbreviated JPEG layout). A tile read splices the level's tables and
// the tile's own bytes into one complete JPEG stream. Philips files use the same
// tile reader.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::format::generic_tiff {

// ceil(a / b); b must not be 0.
inline std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// Splices JPEG tables (SOI, tables, EOI) and an abbreviated tile (SOI, ...,
// EOI) into one stream: the tables without their last 2 bytes, then the tile
// without its first 2. Tables or tiles shorter than 2 bytes have nothing to
// cut: they are refused with "ReadTile Error JPEG tables or tile too short to
// splice" rather than guessed at.
KolvaResult<Bytes> splice_jpeg(ByteSpan tables, ByteSpan tile);

struct Level {
  std::vector<std::uint64_t> tile_offsets;
  std::vector<std::uint64_t> tile_byte_counts;
  Bytes jpeg_tables;
  std::uint64_t width;
  std::uint64_t height;
  std::uint64_t tile_width;
  std::uint64_t tile_height;
  std::uint64_t tiles_across;
  std::uint64_t tiles_down;

  // A level when the directory has the seven tags in usable forms and a
  // non-zero tile size; nothing otherwise.
  static std::optional<Level> from_ifd(const tiff_tools::Ifd& ifd);
  LevelInfo info() const;
};

// The tile-read consumer: one ReadAndReceive of the stored tile. It borrows the
// level's tables, which the opened slide keeps alive for the whole read.
class ReadTile {
 public:
  using Input = ReadTile;
  using Output = Bytes;

  ReadTile(ByteSpan jpeg_tables, std::uint64_t offset, std::uint64_t length)
      : jpeg_tables_(jpeg_tables), offset_(offset), length_(length) {}

  static std::pair<ReadTile, ReadInstruction> dispatch(ReadTile request);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Bytes> receive(ByteSpan bytes) &&;

  std::uint64_t offset() const { return offset_; }
  std::uint64_t length() const { return length_; }
  ByteSpan jpeg_tables() const { return jpeg_tables_; }

 private:
  ByteSpan jpeg_tables_;
  std::uint64_t offset_;
  std::uint64_t length_;
};

// Tile index x + y * tiles_across, or nothing when it overflows 64 bits.
std::optional<std::uint64_t> tile_index(std::uint64_t x, std::uint64_t y,
                                        std::uint64_t tiles_across);

// Looks a tile up in a level's lists: LevelNotFound / TileNotFound on failure.
template <class L>
KolvaResult<ReadTile> read_tile_from(const std::vector<L>& levels, std::uint64_t level,
                                     std::uint64_t x, std::uint64_t y) {
  if (level >= levels.size()) return KolvaError::LevelNotFound{level, levels.size()};
  const L& l = levels[level];
  const auto i = tile_index(x, y, l.tiles_across);
  if (!i || *i >= l.tile_offsets.size() || *i >= l.tile_byte_counts.size()) {
    return KolvaError::TileNotFound{x, y, 0};
  }
  return ReadTile(l.jpeg_tables, l.tile_offsets[*i], l.tile_byte_counts[*i]);
}

class GenericTiffDecoder {
 public:
  static KolvaResult<GenericTiffDecoder> with_ifds(const std::vector<tiff_tools::Ifd>& ifds);

  KolvaResult<ReadTile> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  std::optional<LevelInfo> get_level(std::uint64_t level) const;
  std::uint64_t level_count() const { return levels_.size(); }
  const std::vector<Level>& levels() const { return levels_; }

 private:
  std::vector<Level> levels_;
};

}  // namespace kolva::format::generic_tiff
