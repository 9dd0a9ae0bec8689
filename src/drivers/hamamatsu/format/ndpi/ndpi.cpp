#include "drivers/hamamatsu/format/ndpi/ndpi.hpp"

#include <algorithm>
#include <string>

#include "base/bytes.hpp"
#include "jpeg_tools/jpeg_tools.hpp"

namespace kolva::format::ndpi {
namespace {

using tiff_tools::Ifd;
using tiff_tools::LONG_ARRAY;

constexpr std::uint64_t kMaxFrameSize = 65535;  // SOF0 sizes are 16 bits
constexpr std::uint64_t kWrap = std::uint64_t{1} << 32;
// Pieces are joined into one read only up to the longest range a driver reads
// (2 GiB), so joining never refuses a tile that row-by-row reads would serve.
constexpr std::uint64_t kLargestRead = std::uint64_t{1} << 31;

KolvaError ndpi_error(const char* msg) { return DecodeError(DecodeError::Ndpi{msg}); }
KolvaError read_tile_error(const char* msg) { return DecodeError(DecodeError::ReadTile{msg}); }

// The restart offsets of tags 65426 / 65432, or nothing when the low words
// wrap more often than 64 bits can count.
std::optional<std::vector<std::uint64_t>> join_restart_offsets(const LONG_ARRAY& low,
                                                               const LONG_ARRAY* high) {
  std::vector<std::uint64_t> offsets;
  if (high != nullptr) {
    const std::size_t k = std::min(low.values.size(), high->values.size());
    offsets.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
      offsets.push_back(low.values[i] | (std::uint64_t{high->values[i]} << 32));
    }
    return offsets;
  }
  // Without high words, a stream past 4 GiB shows up as low words that fall
  // back: each fall is one more wrap past 2^32. The caller's ordering check
  // against the strip byte count decides whether that reading holds.
  offsets.reserve(low.values.size());
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < low.values.size(); ++i) {
    if (i > 0 && low.values[i] < low.values[i - 1] && !checked_add(carry, kWrap, carry)) {
      return std::nullopt;
    }
    std::uint64_t value;
    if (!checked_add(carry, low.values[i], value)) return std::nullopt;
    offsets.push_back(value);
  }
  return offsets;
}

}  // namespace

std::optional<DecodingLevel> DecodingLevel::from_ifd(const Ifd& ifd) {
  const auto width = ifd.scalar(256);
  const auto height = ifd.scalar(257);
  const auto strip_offset = ifd.scalar(273);
  const auto strip_byte_count = ifd.scalar(279);
  if (!width || !height || !strip_offset || !strip_byte_count) return std::nullopt;
  const auto* low_data = ifd.get(kRestartOffsetsTag);
  const auto* low = low_data ? low_data->get_if<LONG_ARRAY>() : nullptr;
  if (low == nullptr) return std::nullopt;
  const auto* high_data = ifd.get(kRestartOffsetsHighTag);
  const auto* high = high_data ? high_data->get_if<LONG_ARRAY>() : nullptr;

  auto offsets = join_restart_offsets(*low, high);
  if (!offsets || offsets->empty()) return std::nullopt;
  // The last interval ends where the stream ends.
  std::vector<std::uint64_t> sizes;
  sizes.reserve(offsets->size());
  for (std::size_t i = 0; i < offsets->size(); ++i) {
    const std::uint64_t end = i + 1 < offsets->size() ? (*offsets)[i + 1] : *strip_byte_count;
    if (end <= (*offsets)[i]) return std::nullopt;
    sizes.push_back(end - (*offsets)[i]);
  }
  DecodingLevel level;
  level.header_len = offsets->front();
  level.restart_offsets = std::move(*offsets);
  level.interval_sizes = std::move(sizes);
  level.strip_offset = *strip_offset;
  level.strip_byte_count = *strip_byte_count;
  level.width = *width;
  level.height = *height;
  return level;
}

KolvaResult<DecodedLevel> DecodingLevel::to_level(ByteSpan bytes) const {
  if (bytes.size() != header_len) return ndpi_error("JPEG Header is not match");
  const auto segments = jpeg_tools::JpegParser::parse(bytes);
  std::optional<std::uint64_t> dri;
  std::optional<std::uint64_t> sof;
  for (const auto& segment : segments) {
    if (const auto* d = std::get_if<jpeg_tools::SegmentKind::Dri>(&segment.kind.v)) {
      dri = d->restart_interval;
    } else if (std::holds_alternative<jpeg_tools::SegmentKind::Sof0>(segment.kind.v)) {
      sof = segment.offset;
    }
  }
  if (!sof) return ndpi_error("SOF not found");
  if (!dri) return ndpi_error("DRI not found");
  DecodedLevel decoded;
  static_cast<DecodingLevel&>(decoded) = *this;
  decoded.header.assign(bytes.begin(), bytes.end());
  decoded.restart_interval = *dri;
  decoded.sof_offset = *sof;
  decoded.sampling = jpeg_tools::sof0_sampling(bytes, *sof);
  return decoded;
}

LevelInfo Level::info() const {
  return {{width, height}, {tile_width, tile_height}, {tiles_across, tiles_down},
          TileEncoding::Jpeg};
}

void update_img_shape(Bytes& header, std::uint64_t sof_offset, bool set_width,
                      std::uint16_t width, bool set_height, std::uint16_t height) {
  auto put = [&](std::uint64_t pos, std::uint16_t value) {
    if (pos >= header.size() || header.size() - pos < 2) return;
    header[pos] = static_cast<std::uint8_t>(value >> 8);
    header[pos + 1] = static_cast<std::uint8_t>(value);
  };
  if (sof_offset > header.size()) return;
  if (set_width) put(sof_offset + 7, width);
  if (set_height) put(sof_offset + 5, height);
}

KolvaResult<NdpiDecoder> NdpiDecoder::from_levels(std::vector<DecodedLevel> decoded) {
  if (decoded.empty()) return KolvaError::UnexpectedStep{};
  std::uint64_t tile_mcus = 0;
  for (const auto& level : decoded) tile_mcus = std::max(tile_mcus, level.restart_interval);
  diagnostic_line("Max DRI " + std::to_string(tile_mcus));
  NdpiDecoder decoder;
  decoder.levels_.reserve(decoded.size());
  for (const auto& level : decoded) {
    KOLVA_TRY(auto converted, to_level(level, tile_mcus));
    decoder.levels_.push_back(std::move(converted));
  }
  return decoder;
}

KolvaResult<Level> NdpiDecoder::to_level(const DecodedLevel& level, std::uint64_t tile_mcus) {
  const std::uint64_t t = tile_mcus;
  const std::uint64_t d = level.restart_interval;
  const std::uint64_t w = level.width;
  const std::uint64_t h = level.height;
  const std::uint64_t mcu_w = 8 * std::uint64_t{level.sampling.h};
  const std::uint64_t mcu_h = 8 * std::uint64_t{level.sampling.v};
  // Every level's interval must tile the longest one exactly.
  if (d == 0 ? t != 0 : t % d != 0) {
    return ndpi_error("Lv0 DRI is not divisible by other levels's DRI");
  }
  std::uint64_t tile_w;
  std::uint64_t tile_h;
  std::uint64_t interval_w;
  if (!checked_mul(mcu_w, t, tile_w) || !checked_mul(mcu_h, t, tile_h) ||
      !checked_mul(mcu_w, d, interval_w) || tile_w > kMaxFrameSize || tile_h > kMaxFrameSize) {
    return KolvaError::UnexpectedStep{};
  }
  if (interval_w == 0 ? w != 0 : w % interval_w != 0) {
    return ndpi_error("Width of Level is not divisibe by DRI size x 8");
  }
  // The SOF0 fields run to sof_offset + 8; the parser only reports a frame
  // header that holds them, but a hand-built level might not.
  if (level.sof_offset > level.header.size() || level.header.size() - level.sof_offset < 9) {
    return KolvaError::UnexpectedStep{};
  }
  Bytes header = level.header;
  update_img_shape(header, level.sof_offset, true, static_cast<std::uint16_t>(tile_w), true,
                   static_cast<std::uint16_t>(tile_h));
  if (d == 0 || d > t) return KolvaError::UnexpectedStep{};

  const std::uint64_t per_tile = t / d;
  const std::uint64_t per_row = w / interval_w;
  const std::uint64_t mcu_rows = h / mcu_h;
  const std::uint64_t partial_intervals = per_row % per_tile;
  const std::uint64_t partial_rows = mcu_rows % t;
  std::uint64_t last_w;
  if (!checked_mul(partial_intervals, interval_w, last_w) || last_w > kMaxFrameSize ||
      partial_rows * mcu_h > kMaxFrameSize) {
    return KolvaError::UnexpectedStep{};
  }

  Level out;
  out.restart_offsets = level.restart_offsets;
  out.interval_sizes = level.interval_sizes;
  out.header = std::move(header);
  out.width = w;
  out.height = h;
  out.tile_width = tile_w;
  out.tile_height = tile_h;
  out.tiles_across = w / tile_w + (partial_intervals != 0);
  out.tiles_down = h / tile_h + (partial_rows != 0);
  out.strip_offset = level.strip_offset;
  out.strip_byte_count = level.strip_byte_count;
  out.sof_offset = level.sof_offset;
  out.restart_interval = d;
  out.mcu_width = mcu_w;
  out.mcu_height = mcu_h;
  out.intervals_per_tile = per_tile;
  out.intervals_per_row = per_row;
  out.mcu_rows = mcu_rows;
  out.tile_mcus = t;
  out.partial_intervals = partial_intervals;
  out.partial_mcu_rows = partial_rows;
  out.last_tile_width = static_cast<std::uint16_t>(last_w);
  out.last_tile_height = static_cast<std::uint16_t>(partial_rows * mcu_h);
  return out;
}

KolvaResult<TilePlan> NdpiDecoder::read_tile(std::uint64_t lv, std::uint64_t x,
                                             std::uint64_t y) const {
  if (lv >= levels_.size()) return KolvaError::LevelNotFound{lv, levels_.size()};
  const Level& level = levels_[lv];
  // A level without tile rows or columns has no tiles at all.
  if (x >= level.tiles_across || y >= level.tiles_down) return KolvaError::TileNotFound{x, y, 0};

  const bool narrow = x == level.tiles_across - 1 && level.partial_intervals != 0;
  const bool low = y == level.tiles_down - 1 && level.partial_mcu_rows != 0;
  const std::uint64_t rows = low ? level.partial_mcu_rows : level.tile_mcus;
  const std::uint64_t per_row = narrow ? level.partial_intervals : level.intervals_per_tile;

  // Every interval the tile needs must be in both tables: a table shorter than
  // the grid is refused here, before anything is read.
  const std::size_t table = std::min(level.restart_offsets.size(), level.interval_sizes.size());
  std::uint64_t first;
  std::uint64_t last_row_start;
  std::uint64_t end;
  if (rows == 0 || per_row == 0 || !checked_mul(y, level.tile_mcus, first) ||
      !checked_mul(first, level.intervals_per_row, first) ||
      !checked_mul(x, level.intervals_per_tile, end) || !checked_add(first, end, first) ||
      !checked_mul(rows - 1, level.intervals_per_row, last_row_start) ||
      !checked_add(first, last_row_start, last_row_start) ||
      !checked_add(last_row_start, per_row, end) || end > table) {
    return read_tile_error("tile reaches past the restart-offset table");
  }

  TilePlan plan;
  plan.header = level.header;
  for (std::uint64_t j = 0; j < rows; ++j) {
    // Within bounds: checked above for the last row, and rows only grow.
    const std::size_t v = first + j * level.intervals_per_row;
    std::uint64_t offset;
    if (!checked_add(level.strip_offset, level.restart_offsets[v], offset)) {
      return read_tile_error("tile offset overflows 64 bits");
    }
    std::uint64_t length = 0;
    const auto sizes_begin = level.interval_sizes.begin() + static_cast<std::ptrdiff_t>(v);
    const auto sizes_end = sizes_begin + static_cast<std::ptrdiff_t>(per_row);
    for (auto it = sizes_begin; it != sizes_end; ++it) {
      if (!checked_add(length, *it, length)) {
        return read_tile_error("tile offset overflows 64 bits");
      }
    }
    // An MCU row that starts where the previous one ends joins its read: a tile
    // as wide as the level is one range of the stream.
    if (!plan.strips.empty()) {
      ReadTileStrip& last = plan.strips.back();
      std::uint64_t last_end;
      if (checked_add(last.offset, last.length, last_end) && last_end == offset &&
          last.length <= kLargestRead && length <= kLargestRead - last.length) {
        last.interval_sizes.insert(last.interval_sizes.end(), sizes_begin, sizes_end);
        last.length += length;
        continue;
      }
    }
    plan.strips.push_back(ReadTileStrip{std::vector<std::uint64_t>(sizes_begin, sizes_end),
                                        offset, length});
  }
  update_img_shape(plan.header, level.sof_offset, narrow, level.last_tile_width, low,
                   level.last_tile_height);
  return plan;
}

std::optional<LevelInfo> NdpiDecoder::get_level(std::uint64_t level) const {
  if (level >= levels_.size()) return std::nullopt;
  return levels_[level].info();
}

std::pair<IfdToNdpiDecoder, ReadInstruction> IfdToNdpiDecoder::dispatch(std::vector<Ifd> ifds) {
  std::deque<DecodingLevel> pending;
  for (const auto& ifd : ifds) {
    if (auto level = DecodingLevel::from_ifd(ifd)) pending.push_back(std::move(*level));
  }
  if (pending.empty()) return {IfdToNdpiDecoder(Done{}), Finish{}};
  DecodingLevel current = std::move(pending.front());
  pending.pop_front();
  const ReadInstruction first = ReadAndStep{current.strip_offset, current.header_len};
  return {IfdToNdpiDecoder(Scanning{std::move(current), std::move(pending), {}}), first};
}

void IfdToNdpiDecoder::scan(const DecodingLevel& level, ByteSpan bytes,
                            std::vector<DecodedLevel>& decoded) {
  auto result = level.to_level(bytes);
  if (!result.ok()) {
    // The error's display text: "During IFDtoDecoder Decoding Error NDPI Error
    // DRI not found".
    diagnostic_line("During IFDtoDecoder " + result.error().display());
    return;
  }
  decoded.push_back(std::move(result).value());
}

KolvaResult<ReadInstruction> IfdToNdpiDecoder::step(ByteSpan bytes) {
  if (auto* scanning = std::get_if<Scanning>(&state_)) {
    scan(scanning->current, bytes, scanning->decoded);
    if (scanning->pending.empty()) {
      state_ = Done{std::move(scanning->decoded)};
      return ReadInstruction{Finish{}};
    }
    DecodingLevel next = std::move(scanning->pending.front());
    scanning->pending.pop_front();
    const std::uint64_t offset = next.strip_offset;
    const std::uint64_t length = next.header_len;
    if (scanning->pending.empty()) {
      state_ = ScanningLast{std::move(next), std::move(scanning->decoded)};
      return ReadInstruction{ReadAndReceive{offset, length}};
    }
    scanning->current = std::move(next);
    return ReadInstruction{ReadAndStep{offset, length}};
  }
  if (auto* last = std::get_if<ScanningLast>(&state_)) {
    // The last level's bytes arrive here when an enclosing combinator turned
    // its ReadAndReceive into ReadAndStep.
    scan(last->current, bytes, last->decoded);
    state_ = Done{std::move(last->decoded)};
    return ReadInstruction{Finish{}};
  }
  return ReadInstruction{Finish{}};
}

KolvaResult<NdpiDecoder> IfdToNdpiDecoder::receive(ByteSpan bytes) && {
  if (auto* last = std::get_if<ScanningLast>(&state_)) {
    scan(last->current, bytes, last->decoded);
    return NdpiDecoder::from_levels(std::move(last->decoded));
  }
  if (auto* done = std::get_if<Done>(&state_)) return NdpiDecoder::from_levels(std::move(done->decoded));
  return KolvaError::UnexpectedStep{};
}

std::pair<NdpiReadTile, ReadInstruction> NdpiReadTile::dispatch(TilePlan plan) {
  NdpiReadTile consumer;
  consumer.output_ = std::move(plan.header);
  consumer.strips_ = std::move(plan.strips);
  // The tile's whole size is known: grow the output once, not row by row. The
  // pieces lie inside the file, so a size past what one read may hold is left
  // for the driver to refuse.
  std::uint64_t total = consumer.output_.size() + 2;
  bool fits = true;
  for (const ReadTileStrip& strip : consumer.strips_) {
    fits = fits && checked_add(total, strip.length, total);
  }
  if (fits && total <= (std::uint64_t{1} << 31)) consumer.output_.reserve(total);
  const ReadInstruction first = consumer.request_next();
  return {std::move(consumer), first};
}

ReadInstruction NdpiReadTile::request_next() {
  if (next_ >= strips_.size()) {
    awaiting_ = false;
    return Finish{};
  }
  ReadTileStrip& strip = strips_[next_++];
  current_sizes_ = std::move(strip.interval_sizes);
  awaiting_ = true;
  if (next_ == strips_.size()) return ReadAndReceive{strip.offset, strip.length};
  return ReadAndStep{strip.offset, strip.length};
}

namespace {

// Whether every interval of `sizes` ends inside `length` bytes.
bool intervals_reach(const std::vector<std::uint64_t>& sizes, std::uint64_t length) {
  std::uint64_t end = 0;
  for (const std::uint64_t size : sizes) {
    if (!checked_add(end, size, end) || end == 0 || end - 1 >= length) return false;
  }
  return true;
}

}  // namespace

bool strip_is_whole(const ReadTileStrip& strip) {
  return intervals_reach(strip.interval_sizes, strip.length);
}

bool renumber_restart_markers(const std::vector<ReadTileStrip>& pieces,
                              std::span<std::uint8_t> body, std::uint64_t restart_count) {
  // Each interval ends with the marker that followed it in the level's
  // stream: it becomes the tile's own RSTn.
  jpeg_tools::RestartMarkers markers(restart_count);
  std::size_t at = 0;
  for (const ReadTileStrip& piece : pieces) {
    if (piece.length > body.size() - at || !strip_is_whole(piece)) return false;
    markers.renumber(body.subspan(at), piece.interval_sizes);
    at += static_cast<std::size_t>(piece.length);
  }
  return true;
}

KolvaResult<Unit> NdpiReadTile::process(ByteSpan bytes) {
  if (!intervals_reach(current_sizes_, bytes.size())) return read_tile_error("unable to reach");
  const std::size_t base = output_.size();
  output_.insert(output_.end(), bytes.begin(), bytes.end());
  markers_.renumber(std::span(output_).subspan(base), current_sizes_);
  awaiting_ = false;
  return Unit{};
}

KolvaResult<ReadInstruction> NdpiReadTile::step(ByteSpan bytes) {
  if (!awaiting_) return KolvaError::UnexpectedStep{};
  KOLVA_TRY(Unit done, process(bytes));
  (void)done;
  return request_next();
}

KolvaResult<Bytes> NdpiReadTile::receive(ByteSpan bytes) && {
  if (!bytes.empty()) {
    if (!awaiting_) return KolvaError::UnexpectedStep{};
    KOLVA_TRY(Unit done, process(bytes));
    (void)done;
  }
  output_.push_back(0xFF);
  output_.push_back(0xD9);
  return std::move(output_);
}

}  // namespace kolva::format::ndpi
