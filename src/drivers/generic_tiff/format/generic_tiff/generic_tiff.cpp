#include "drivers/generic_tiff/format/generic_tiff/generic_tiff.hpp"

#include <cstring>

namespace kolva::format::generic_tiff {

using tiff_tools::Ifd;

KolvaResult<Bytes> splice_jpeg(ByteSpan tables, ByteSpan tile) {
  if (tables.size() < 2 || tile.size() < 2) {
    return DecodeError(DecodeError::ReadTile{"JPEG tables or tile too short to splice"});
  }
  Bytes out;
  out.reserve(tables.size() - 2 + tile.size() - 2);
  out.insert(out.end(), tables.begin(), tables.end() - 2);
  out.insert(out.end(), tile.begin() + 2, tile.end());
  return out;
}

std::optional<std::uint64_t> tile_index(std::uint64_t x, std::uint64_t y,
                                        std::uint64_t tiles_across) {
  std::uint64_t row_start;
  std::uint64_t index;
  // A wrapped index would land on some other, valid tile.
  if (!checked_mul(y, tiles_across, row_start) || !checked_add(x, row_start, index)) {
    return std::nullopt;
  }
  return index;
}

std::optional<Level> Level::from_ifd(const Ifd& ifd) {
  const auto width = ifd.scalar(256);
  const auto height = ifd.scalar(257);
  const auto tile_width = ifd.scalar(322);
  const auto tile_height = ifd.scalar(323);
  if (!width || !height || !tile_width || !tile_height) return std::nullopt;
  const auto* offsets = ifd.get(324);
  const auto* counts = ifd.get(325);
  const auto* tables = ifd.get(347);
  if (!offsets || !counts || !tables) return std::nullopt;
  auto tile_offsets = offsets->to_u64vec();
  if (!tile_offsets) return std::nullopt;
  auto tile_byte_counts = counts->to_u64vec();
  if (!tile_byte_counts) return std::nullopt;
  const auto* jpeg_tables = tables->u8vec();
  if (!jpeg_tables) return std::nullopt;
  // A zero tile size has no tile grid.
  if (*tile_width == 0 || *tile_height == 0) return std::nullopt;
  return Level{std::move(*tile_offsets),
               std::move(*tile_byte_counts),
               *jpeg_tables,
               *width,
               *height,
               *tile_width,
               *tile_height,
               ceil_div(*width, *tile_width),
               ceil_div(*height, *tile_height)};
}

LevelInfo Level::info() const {
  return {{width, height}, {tile_width, tile_height}, {tiles_across, tiles_down},
          TileEncoding::Jpeg};
}

std::pair<ReadTile, ReadInstruction> ReadTile::dispatch(ReadTile request) {
  const ReadInstruction first = ReadAndReceive{request.offset_, request.length_};
  return {std::move(request), first};
}

KolvaResult<ReadInstruction> ReadTile::step(ByteSpan) { return KolvaError::UnexpectedStep{}; }

KolvaResult<Bytes> ReadTile::receive(ByteSpan bytes) && { return splice_jpeg(jpeg_tables_, bytes); }

KolvaResult<GenericTiffDecoder> GenericTiffDecoder::with_ifds(const std::vector<Ifd>& ifds) {
  GenericTiffDecoder decoder;
  for (const auto& ifd : ifds) {
    if (auto level = Level::from_ifd(ifd)) decoder.levels_.push_back(std::move(*level));
  }
  return decoder;
}

KolvaResult<ReadTile> GenericTiffDecoder::read_tile(std::uint64_t level, std::uint64_t x,
                                                    std::uint64_t y) const {
  return read_tile_from(levels_, level, x, y);
}

std::optional<LevelInfo> GenericTiffDecoder::get_level(std::uint64_t level) const {
  if (level >= levels_.size()) return std::nullopt;
  return levels_[level].info();
}

}  // namespace kolva::format::generic_tiff
