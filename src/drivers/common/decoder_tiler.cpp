#include "drivers/common/decoder_tiler.hpp"

#include <algorithm>

namespace kolva::drivers {

using slide::Range;
using slide::SlideError;
using slide::SlideResult;
using slide::TilePlan;
namespace errors = slide::errors;

namespace {

// The stored format's own tile consumer, fed the ranges' bytes in order;
// failures name `name` (the slide's first file).
SlideResult<Bytes> replay(const dynamic_decoder::TileRequest& tile,
                          std::span<const ByteSpan> ranges, const std::string& name) {
  auto [consumer, instruction] = dynamic_decoder::DynamicReadTile::dispatch(tile);
  std::size_t next = 0;
  while (true) {
    if (std::holds_alternative<Finish>(instruction)) {
      auto out = std::move(consumer).receive({});
      if (!out.ok()) return errors::read_failed(name, out.error());
      return std::move(out).value();
    }
    if (next >= ranges.size()) break;
    const ByteSpan bytes = ranges[next++];
    if (std::holds_alternative<ReadAndReceive>(instruction)) {
      auto out = std::move(consumer).receive(bytes);
      if (!out.ok()) return errors::read_failed(name, out.error());
      return std::move(out).value();
    }
    auto step = consumer.step(bytes);
    if (!step.ok()) return errors::read_failed(name, step.error());
    instruction = step.value();
  }
  return SlideError{slide::ErrorKind::Corrupt, "a tile asked for more ranges than planned",
                    std::nullopt};
}

}  // namespace

void DecoderTiler::tabulate() {
  const std::uint64_t count = decoder_.level_count();
  stored_.resize(count);
  for (std::uint64_t level = 0; level < count; ++level) {
    const auto table = decoder_.stored_tiles(level);
    if (!table) continue;
    // Tables that cannot be cut leave the level to the decoder, which reports them.
    const auto splice = dynamic_decoder::DynamicReadTile::direct(table->jpeg_tables, 0, 0);
    if (!splice) continue;
    StoredLevel& stored = stored_[level].emplace(StoredLevel{});
    stored.across = table->across;
    stored.prefix = splice->prefix;
    stored.skip = splice->skip;
    const std::size_t n = std::min(table->offsets.size(), table->byte_counts.size());
    stored.tiles.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      stored.tiles.emplace_back(table->offsets[i], table->byte_counts[i]);
    }
  }
}

SlideResult<TilePlan> DecoderTiler::plan(std::uint64_t level, std::uint64_t x,
                                         std::uint64_t y) const {
  if (level < stored_.size() && stored_[level]) {
    // What the decoder's read_tile and its direct read would give, from the table.
    const StoredLevel& l = *stored_[level];
    std::uint64_t index = 0;
    if (!checked_mul(y, l.across, index) || !checked_add(index, x, index) ||
        index >= l.tiles.size()) {
      return errors::tile_not_stored(level, x, y, KolvaError::TileNotFound{x, y, 0});
    }
    const auto [offset, length] = l.tiles[index];
    // A tile stored with byte count 0 (Philips leaves the tiles outside its
    // scanned regions so) is absent, not damaged.
    if (length == 0) return errors::tile_not_stored(level, x, y);
    if (length >= l.skip) {
      return TilePlan{{Range{offset, length, source_}}, slide::Splice{l.prefix, {}, l.skip}};
    }
  }
  return plan_request(level, x, y);
}

SlideResult<TilePlan> DecoderTiler::plan_request(std::uint64_t level, std::uint64_t x,
                                                 std::uint64_t y) const {
  auto request = decoder_.read_tile(level, x, y);
  if (!request.ok()) {
    const KolvaError& cause = request.error();
    if (cause.is<KolvaError::LevelNotFound>()) {
      return errors::level_not_found(level, decoder_.level_count());
    }
    if (cause.is<KolvaError::TileNotFound>()) return errors::tile_not_stored(level, x, y, cause);
    return errors::read_failed(name_, cause);
  }
  if (const auto direct = dynamic_decoder::DynamicReadTile::direct(*request)) {
    if (direct->length == 0) return errors::tile_not_stored(level, x, y);
    if (direct->length >= direct->skip) {
      return TilePlan{{Range{direct->offset, direct->length, source_}},
                      slide::Splice{direct->prefix, {}, direct->skip}};
    }
  }
  dynamic_decoder::TileRequest tile = std::move(request).value();
  slide::RangeList ranges;
  std::optional<std::uint64_t> size;
  if (const auto* ndpi = std::get_if<format::ndpi::TilePlan>(&tile)) {
    // The header, the stripes as stored (their markers renumbered in place)
    // and an end marker.
    ranges.reserve(ndpi->strips.size());
    std::uint64_t total = ndpi->header.size() + 2;
    bool fits = true;
    for (const auto& strip : ndpi->strips) {
      ranges.push_back(Range{strip.offset, strip.length, source_});
      fits = fits && checked_add(total, strip.length, total);
    }
    if (fits) size = total;
  } else {
    // Every other request is one stored range; take it from the consumer.
    auto [consumer, first] = dynamic_decoder::DynamicReadTile::dispatch(tile);
    (void)consumer;
    if (const auto* read = std::get_if<ReadAndReceive>(&first)) {
      if (read->length == 0) return errors::tile_not_stored(level, x, y);
      ranges.push_back(Range{read->offset, read->length, source_});
    }
  }
  return TilePlan{std::move(ranges),
                  slide::Custom{[stored = std::move(tile), file = first_name_](
                                    std::span<const ByteSpan> pieces) {
                    return replay(stored, pieces, file);
                  },
                                size}};
}

void mean_downsamples(std::vector<slide::Level>& levels) {
  if (levels.empty()) return;
  const auto [w0, h0] = levels[0].info.dimensions;
  for (slide::Level& level : levels) {
    const auto [w, h] = level.info.dimensions;
    if (w > 0 && h > 0) {
      level.downsample = (static_cast<double>(w0) / static_cast<double>(w) +
                          static_cast<double>(h0) / static_cast<double>(h)) / 2.0;
    }
  }
}

SlideResult<std::vector<slide::Level>> decoder_levels(
    const dynamic_decoder::DynamicDecoder& decoder, const std::string& name) {
  std::vector<slide::Level> levels;
  const std::uint64_t count = decoder.level_count();
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto info = decoder.get_level(i);
    if (!info) {
      return errors::unsupported(
          name, "level " + std::to_string(i) + " has tiles in an encoding kolva cannot hand out",
          KolvaError::LevelNotFound{i, count});
    }
    levels.push_back(slide::Level{*info, std::string(media_type(info->encoding)), 1.0});
  }
  mean_downsamples(levels);
  return levels;
}

}  // namespace kolva::drivers
