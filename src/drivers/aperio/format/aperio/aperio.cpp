#include "drivers/aperio/format/aperio/aperio.hpp"

#include <array>

#include "drivers/generic_tiff/format/generic_tiff/generic_tiff.hpp"

namespace kolva::format::aperio {
namespace {

constexpr std::array<std::uint8_t, 16> kAdobeApp14 = {
    0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F, 0x62, 0x65, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00,
};

using generic_tiff::ceil_div;
using tiff_tools::Ifd;

std::optional<AperioLevel> level_from_ifd(const Ifd& ifd) {
  const auto width = ifd.scalar(256);
  const auto height = ifd.scalar(257);
  const auto tile_width = ifd.scalar(322);
  const auto tile_height = ifd.scalar(323);
  if (!width || !height || !tile_width || !tile_height) return std::nullopt;
  // A zero tile size has no tile grid.
  if (*tile_width == 0 || *tile_height == 0) return std::nullopt;
  const auto* offsets = ifd.get(324);
  const auto* counts = ifd.get(325);
  if (!offsets || !counts) return std::nullopt;
  auto tile_offsets = offsets->to_u64vec();
  auto tile_byte_counts = counts->to_u64vec();
  if (!tile_offsets || !tile_byte_counts) return std::nullopt;
  const auto compression = ifd.scalar(259);
  if (!compression) return std::nullopt;

  std::optional<Bytes> tables;
  TileEncoding encoding;
  if (*compression == 7) {
    const auto* stored = ifd.get(347);
    const auto* bytes = stored ? stored->u8vec() : nullptr;
    if (!bytes) return std::nullopt;
    tables = *bytes;
    if (ifd.scalar(262) == 2) repair_app14(*tables);
    encoding = TileEncoding::Jpeg;
  } else if (*compression == 33003) {
    encoding = TileEncoding::Jpeg2000YCbCr;
  } else if (*compression == 33005) {
    encoding = TileEncoding::Jpeg2000;
  } else {
    return std::nullopt;
  }
  const std::uint64_t across = ceil_div(*width, *tile_width);
  const std::uint64_t down = ceil_div(*height, *tile_height);
  return AperioLevel{std::move(*tile_offsets),
                     std::move(*tile_byte_counts),
                     std::move(tables),
                     across,
                     LevelInfo{{*width, *height}, {*tile_width, *tile_height}, {across, down},
                               encoding}};
}

}  // namespace

void repair_app14(Bytes& tables) {
  const std::size_t n = tables.size();
  if (n < 2) return;
  std::optional<std::size_t> last_dht;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (tables[i] != 0xFF) continue;
    if (tables[i + 1] == 0xEE) {
      // The transform byte of a segment cut off by the end of the tables does
      // not exist; nothing is written then.
      if (i + 15 < n) tables[i + 15] = 0;
      return;
    }
    if (tables[i + 1] == 0xC4) last_dht = i;
  }
  if (last_dht) {
    tables.insert(tables.begin() + static_cast<std::ptrdiff_t>(*last_dht), kAdobeApp14.begin(),
                  kAdobeApp14.end());
  }
}

std::pair<ReadTile, ReadInstruction> ReadTile::dispatch(ReadTile request) {
  const ReadInstruction first = ReadAndReceive{request.offset_, request.length_};
  return {request, first};
}

KolvaResult<ReadInstruction> ReadTile::step(ByteSpan) { return KolvaError::UnexpectedStep{}; }

KolvaResult<Bytes> ReadTile::receive(ByteSpan bytes) && {
  if (jpeg_tables_) return generic_tiff::splice_jpeg(*jpeg_tables_, bytes);
  return Bytes(bytes.begin(), bytes.end());
}

KolvaResult<AperioDecoder> AperioDecoder::with_ifds(const std::vector<Ifd>& ifds) {
  AperioDecoder decoder;
  for (const auto& ifd : ifds) {
    if (auto level = level_from_ifd(ifd)) decoder.levels_.push_back(std::move(*level));
  }
  return decoder;
}

KolvaResult<ReadTile> AperioDecoder::read_tile(std::uint64_t level, std::uint64_t x,
                                               std::uint64_t y) const {
  if (level >= levels_.size()) return KolvaError::LevelNotFound{level, levels_.size()};
  const AperioLevel& l = levels_[level];
  const auto i = generic_tiff::tile_index(x, y, l.tiles_across);
  if (!i || *i >= l.tile_offsets.size() || *i >= l.tile_byte_counts.size()) {
    return KolvaError::TileNotFound{x, y, 0};
  }
  std::optional<ByteSpan> tables;
  if (l.jpeg_tables) tables = ByteSpan(*l.jpeg_tables);
  return ReadTile(tables, l.tile_offsets[*i], l.tile_byte_counts[*i]);
}

std::optional<LevelInfo> AperioDecoder::get_level(std::uint64_t level) const {
  if (level >= levels_.size()) return std::nullopt;
  return levels_[level].info;
}

}  // namespace kolva::format::aperio
