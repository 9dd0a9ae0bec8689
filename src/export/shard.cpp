#include "export/shard.hpp"

#include <algorithm>
#include <cstring>

#include "export/tar.hpp"
#include "slide/executor.hpp"
#include "std_io/std_io.hpp"
#include "text/json.hpp"

namespace kolva::shard {
namespace {

using slide::ErrorKind;
using slide::SlideError;
using slide::SlideResult;

// Output is gathered in memory before it goes to the sink: first in a block of
// kFirstChunk bytes (small shards stay cheap), doubled after each flush up to
// kChunk.
constexpr std::size_t kFirstChunk = 256u << 10;
constexpr std::size_t kChunk = 8u << 20;
// Tiles of a remote slide fetched together.
constexpr std::size_t kRemoteGroup = 256;

using text::append_number;

class Writer {
 public:
  Writer(std_io::ByteSink& sink, std::uint64_t start) : sink_(sink), flushed_(start) {}

  std::uint64_t position() const { return flushed_ + used_; }

  // `n` contiguous bytes at the end of the output, to be filled by the caller.
  SlideResult<std::uint8_t*> claim(std::size_t n) {
    if (used_ + n > buffer_.size()) {
      if (auto r = flush(); !r.ok()) return std::move(r).error();
      const std::size_t grown =
          buffer_.size() == 0 ? kFirstChunk
                              : static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, 2 * buffer_.size()));
      if (n > buffer_.size() || grown > buffer_.size()) {
        // Not zero-filled: every byte handed out is written before it is flushed.
        auto fresh = std_io::Buffer::allocate(std::max<std::uint64_t>(n, grown));
        if (!fresh.ok()) {
          return SlideError{ErrorKind::Invalid, "cannot hold a tile of " + std::to_string(n) +
                                                    " bytes in memory",
                            fresh.error()};
        }
        buffer_ = std::move(fresh).value();
      }
    }
    std::uint8_t* at = buffer_.data() + used_;
    used_ += n;
    return at;
  }

  // Gives back the last `n` claimed bytes (a read that failed).
  void unclaim(std::size_t n) { used_ -= n; }

  SlideResult<Unit> flush() {
    if (used_ == 0) return Unit{};
    if (auto r = sink_.write({buffer_.data(), used_}); !r.ok()) return sink_error(r.error());
    flushed_ += used_;
    used_ = 0;
    return Unit{};
  }

  SlideResult<Unit> finish() {
    if (auto r = flush(); !r.ok()) return r;
    if (auto r = sink_.finish(); !r.ok()) return sink_error(r.error());
    return Unit{};
  }

 private:
  static SlideError sink_error(const KolvaError& cause) {
    return SlideError{ErrorKind::Io, "cannot write the shard: " + cause.display(), cause};
  }
  std_io::ByteSink& sink_;
  std_io::Buffer buffer_;
  std::size_t used_ = 0;
  std::uint64_t flushed_ = 0;
};

// Claims a member: its header and its padded data; returns the data's start.
SlideResult<std::uint8_t*> begin_member(Writer& out, std::string_view name, std::uint64_t size) {
  const std::uint64_t padded = tar_padded(size);
  if (size > kTarSizeMax || name.size() > kTarNameMax) {
    return SlideError{ErrorKind::Invalid,
                      "cannot store " + std::string(name) + " in a tar shard: " +
                          (size > kTarSizeMax ? "it is larger than 8 GiB"
                                              : "its name is longer than 100 bytes"),
                      std::nullopt};
  }
  auto at = out.claim(static_cast<std::size_t>(kTarBlock + padded));
  if (!at.ok()) return at;
  if (!write_tar_header(name, size, *at)) {
    out.unclaim(static_cast<std::size_t>(kTarBlock + padded));
    return SlideError{ErrorKind::Invalid, "cannot store " + std::string(name) + " in a tar shard",
                      std::nullopt};
  }
  std::uint8_t* data = *at + kTarBlock;
  std::memset(data + size, 0, static_cast<std::size_t>(padded - size));
  return data;
}

}  // namespace

SlideResult<std::vector<std::int64_t>> tile_sizes(const slide::Slide& s, std::uint64_t level) {
  if (level >= s.levels().size()) return slide::errors::level_not_found(level, s.levels().size());
  const auto [across, down] = s.levels()[level].info.tile_grid;
  std::uint64_t count = 0;
  if (!checked_mul(across, down, count) || count > (1ULL << 32)) {
    return SlideError{ErrorKind::Corrupt,
                      "level " + std::to_string(level) + " claims " + std::to_string(across) +
                          " x " + std::to_string(down) + " tiles",
                      std::nullopt};
  }
  std::vector<std::int64_t> sizes(static_cast<std::size_t>(count), kTileAbsent);
  // Frames fetched by number (DICOMweb) tell their size once fetched: a group
  // at a time, each tile's size that of its frame as stored.
  std::vector<slide::Range> frames;
  std::vector<std::size_t> frame_tiles;
  auto fetch_frames = [&]() -> SlideResult<Unit> {
    auto got = slide::read_frames(s.sources(), frames);
    if (!got.ok()) return std::move(got).error();
    for (std::size_t k = 0; k < frames.size(); ++k) {
      sizes[frame_tiles[k]] = (*got)[k].size() <= kTarSizeMax
                                  ? static_cast<std::int64_t>((*got)[k].size())
                                  : kTileUnreadable;
    }
    frames.clear();
    frame_tiles.clear();
    return Unit{};
  };
  for (std::uint64_t y = 0; y < down; ++y) {
    for (std::uint64_t x = 0; x < across; ++x) {
      std::int64_t& size = sizes[static_cast<std::size_t>(y * across + x)];
      auto plan = s.plan_tile(level, x, y);
      if (!plan.ok()) {
        size = plan.error().kind == ErrorKind::TileNotFound ? kTileAbsent : kTileUnreadable;
        continue;
      }
      if (plan->ranges.size() == 1 && plan->ranges[0].source < s.sources().size() &&
          s.sources().frames(plan->ranges[0].source) != nullptr) {
        frames.push_back(plan->ranges[0]);
        frame_tiles.push_back(static_cast<std::size_t>(y * across + x));
        if (frames.size() == kRemoteGroup) {
          if (auto r = fetch_frames(); !r.ok()) return std::move(r).error();
        }
        continue;
      }
      std::uint64_t stored = 0;
      bool inside = true;
      for (const slide::Range& r : plan->ranges) {
        std::uint64_t end = 0;
        inside = inside && r.source < s.sources().size() && checked_add(r.offset, r.length, end) &&
                 end <= s.sources().at(r.source).known_size();
        stored += r.length;
      }
      if (stored == 0) continue;  // an empty tile stores nothing (sparse files)
      const std::uint64_t total = plan->output_size().value_or(stored);
      size = inside && total <= kTarSizeMax ? static_cast<std::int64_t>(total) : kTileUnreadable;
    }
  }
  if (!frames.empty()) {
    if (auto r = fetch_frames(); !r.ok()) return std::move(r).error();
  }
  return sizes;
}

SlideResult<ShardSummary> write_shard(std::span<const ShardPiece> pieces,
                                      std::string_view shard_name, std_io::ByteSink& sink,
                                      std::uint64_t start) {
  Writer out(sink, start);
  ShardSummary summary;
  std::string key;
  std::string name;
  std::string json;
  for (const ShardPiece& piece : pieces) {
    const slide::Slide& s = *piece.slide;
    if (piece.level >= s.levels().size()) {
      return SlideError{ErrorKind::LevelNotFound,
                        "level " + std::to_string(piece.level) + " does not exist in " + s.name(),
                        std::nullopt};
    }
    const LevelInfo& info = s.levels()[piece.level].info;
    const auto [across, down] = info.tile_grid;
    const auto [width, height] = info.dimensions;
    const auto [tile_w, tile_h] = info.tile_size;
    const std::vector<slide::TileRect>& rects = s.levels()[piece.level].tile_rects;
    // A remote slide's tiles are fetched a group at a time, all ranges of a
    // group in one request batch; a local slide's are read one by one straight
    // into the shard.
    const std::size_t group = s.remote() ? kRemoteGroup : 1;
    std::vector<slide::TilePlan> plans;
    std::vector<slide::Coord> coords;
    std::vector<Bytes> fetched;
    for (std::size_t first = 0; first < piece.tiles.size(); first += group) {
      const std::size_t last = std::min(piece.tiles.size(), first + group);
      plans.clear();
      coords.clear();
      for (std::size_t t = first; t < last; ++t) {
        const std::uint64_t index = piece.tiles[t];
        const std::uint64_t x = across == 0 ? 0 : index % across;
        const std::uint64_t y = across == 0 ? index : index / across;
        if (y >= down) {
          return SlideError{ErrorKind::TileNotFound,
                            "tile " + std::to_string(index) + " of level " +
                                std::to_string(piece.level) + " does not exist in " + s.name(),
                            std::nullopt};
        }
        auto plan = s.plan_tile(piece.level, x, y);
        if (!plan.ok()) return std::move(plan).error();
        plans.push_back(std::move(plan).value());
        coords.emplace_back(x, y);
      }
      fetched.clear();
      if (group > 1) {
        if (auto r = slide::read_plans(s, plans, {}, fetched, 1); !r.ok()) {
          return std::move(r).error();
        }
      }
      for (std::size_t t = 0; t < plans.size(); ++t) {
        const auto [x, y] = coords[t];
        const slide::TilePlan* plan = &plans[t];

        // The key: prefix + "x<X>-y<Y>"; the members: key.ext, key.json.
        key.assign(piece.key_prefix);
        key += 'x';
        append_number(key, x);
        key += "-y";
        append_number(key, y);
        name.assign(key);
        name += '.';
        name += piece.extension;

        std::uint64_t tile_offset = 0;
        std::uint64_t tile_size = 0;
        const auto known = plan->output_size();
        if (known && fetched.empty()) {
          tile_size = *known;
          auto data = begin_member(out, name, tile_size);
          if (!data.ok()) return std::move(data).error();
          tile_offset = out.position() - tar_padded(tile_size);
          auto read = s.read_into(*plan, {*data, static_cast<std::size_t>(tile_size)});
          if (!read.ok()) return std::move(read).error();
        } else {
          Bytes own;
          if (fetched.empty()) {
            auto bytes = s.read(*plan);
            if (!bytes.ok()) return std::move(bytes).error();
            own = std::move(bytes).value();
          }
          const Bytes& bytes = fetched.empty() ? own : fetched[t];
          tile_size = bytes.size();
          auto data = begin_member(out, name, tile_size);
          if (!data.ok()) return std::move(data).error();
          tile_offset = out.position() - tar_padded(tile_size);
          if (tile_size > 0) std::memcpy(*data, bytes.data(), bytes.size());
        }
        // The pixels the tile covers, clipped to the level.
        const std::uint64_t left = x * tile_w;
        const std::uint64_t top = y * tile_h;
        // A positioned level's placed tiles also carry the rectangle the file records.
        const slide::TileRect* rect =
            rects.empty() ? nullptr : &rects[static_cast<std::size_t>(y * across + x)];
        if (rect != nullptr && !rect->stored()) rect = nullptr;
        json.clear();
        {
          text::JsonObject sample(json);
          sample.string("key", key)
              .members(piece.json_fields)
              .number("x", x)
              .number("y", y)
              .numbers("box", {left, top, std::min(tile_w, width > left ? width - left : 0),
                               std::min(tile_h, height > top ? height - top : 0)});
          if (rect) sample.reals("rect", {rect->x, rect->y, rect->width, rect->height});
          sample.number("bytes", tile_size).close();
        }
        name.assign(key);
        name += ".json";
        auto meta = begin_member(out, name, json.size());
        if (!meta.ok()) return std::move(meta).error();
        std::memcpy(*meta, json.data(), json.size());

        {
          text::JsonObject line(summary.manifest);
          line.string("key", key)
              .string("shard", shard_name)
              .number("offset", tile_offset)
              .number("bytes", tile_size)
              .members(piece.manifest_fields)
              .number("x", x)
              .number("y", y);
          if (rect) line.reals("rect", {rect->x, rect->y, rect->width, rect->height});
          line.close();
        }
        summary.manifest += '\n';

        summary.samples += 1;
        summary.tile_bytes += tile_size;
      }
    }
  }
  // The end of the archive: two zero blocks.
  auto end = out.claim(kArchiveEnd);
  if (!end.ok()) return std::move(end).error();
  std::memset(*end, 0, kArchiveEnd);
  summary.size = out.position();
  if (auto r = out.finish(); !r.ok()) return std::move(r).error();
  return summary;
}

}  // namespace kolva::shard
