#include "slide/executor.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "base/platform.hpp"
#include "slide/pool.hpp"

namespace kolva::slide {
namespace {

// The driver's checks before a read: no range past the end of the source (its
// size taken afresh when the known one is too short), none over 2 GiB.
KolvaResult<Unit> check_range(std_io::RangeSource& source, const Range& range) {
  if (range.length > std_io::kLargestRange) return KolvaError::UnableToAllocateLargeSize{};
  auto reaches_past = [&](std::uint64_t size) {
    return range.offset > size || range.length > size - range.offset;
  };
  if (range.length > 0 && reaches_past(source.known_size())) {
    auto size = source.size();
    if (!size.ok()) return std::move(size).error();
    if (reaches_past(*size)) return KolvaError::UnexpectedStep{};
  }
  return Unit{};
}

}  // namespace

SlideResult<Unit> check_read(const SourceSet& sources, const Range& range) {
  if (range.source >= sources.size() || sources.frames(range.source) != nullptr) {
    return SlideError{ErrorKind::Corrupt, "a range was planned outside the slide's sources",
                      std::nullopt};
  }
  if (auto checked = check_range(sources.at(range.source), range); !checked.ok()) {
    return errors::read_failed(sources.name(range.source), checked.error());
  }
  return Unit{};
}

namespace {

KolvaResult<Unit> read_one(std_io::RangeSource& source, const Range& range,
                           std::span<std::uint8_t> dst) {
  if (auto checked = check_range(source, range); !checked.ok()) return checked;
  if (range.length == 0) return Unit{};
  auto got = source.read_at(range.offset, dst.first(range.length));
  if (!got.ok()) return std::move(got).error();
  if (*got < range.length) return KolvaError::UnexpectedStep{};
  return Unit{};
}

// Every range of remote source `index` in one read_many.
SlideResult<Unit> read_remote(const SourceSet& sources, SourceIndex index,
                              std::span<const Range> ranges,
                              std::span<const std::span<std::uint8_t>> dst) {
  std_io::RangeSource& source = sources.at(index);
  std::vector<std_io::ByteRange> wanted;
  std::vector<std::span<std::uint8_t>> into;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].source != index || ranges[i].length == 0) continue;
    if (auto checked = check_range(source, ranges[i]); !checked.ok()) {
      return errors::read_failed(sources.name(index), checked.error());
    }
    wanted.push_back(std_io::ByteRange{ranges[i].offset, ranges[i].length});
    into.push_back(dst[i].first(ranges[i].length));
  }
  if (wanted.empty()) return Unit{};
  if (auto got = source.read_many(wanted, into); !got.ok()) {
    return errors::read_failed(sources.name(index), got.error());
  }
  return Unit{};
}

// The frames of frame sources among `ranges` (the others are left empty):
// one fetch per fetcher, of every frame it serves.
SlideResult<Unit> fetch_frames(const SourceSet& sources, std::span<const Range> ranges,
                               std::vector<Bytes>& frames) {
  frames.resize(ranges.size());
  std::vector<bool> done(ranges.size(), false);
  for (std::size_t first = 0; first < ranges.size(); ++first) {
    const FrameSource* source = sources.frames(ranges[first].source);
    if (source == nullptr || done[first]) continue;
    FrameFetcher& fetcher = source->fetcher();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> wanted;
    std::vector<std::size_t> at;
    for (std::size_t i = first; i < ranges.size(); ++i) {
      const FrameSource* s = sources.frames(ranges[i].source);
      if (s == nullptr || &s->fetcher() != &fetcher) continue;
      wanted.emplace_back(s->instance(), ranges[i].offset);
      at.push_back(i);
      done[i] = true;
    }
    auto got = fetcher.fetch(wanted);
    if (!got.ok()) return std::move(got).error();
    if (got->size() != at.size()) {
      return errors::read_failed(sources.name(ranges[first].source), KolvaError::UnexpectedStep{});
    }
    for (std::size_t k = 0; k < at.size(); ++k) frames[at[k]] = std::move((*got)[k]);
  }
  return Unit{};
}

// Tiles read in one go: either one tile read on its own, or tiles that are
// each one range of the same local file, straight into their buffers, stored
// back to back (or the same tile asked for more than once), in file order.
struct Run {
  std::size_t begin = 0, end = 0;  // into Runs::order
  std::size_t first = 0;           // the lowest plan index among them
};
struct Runs {
  std::vector<std::size_t> order;  // plan indices, run after run
  std::vector<Run> runs;
};

// A run holds at most this many tiles and bytes: runs are what the pool's
// threads share, and a run's pieces go to the kernel in one call.
constexpr std::size_t kRunTiles = 64;
constexpr std::uint64_t kRunBytes = std::uint64_t{16} << 20;

// Whether a batch writing `bytes` lands them with streaming stores: past the
// last-level cache, the caller finds none of them cached anyway, and ordinary
// stores would read every line they write first.
bool streams(std::uint64_t bytes) {
  static const std::uint64_t cache = [] {
    const std::size_t reported = platform::last_level_cache_bytes();
    return reported != 0 ? std::uint64_t{reported} : std::uint64_t{32} << 20;
  }();
  return bytes >= cache;
}

// A tile's range, copied out of its plan for sorting, and the plan's index.
struct Key {
  Range range;
  std::size_t plan;
};

// Keys by source, offset, length, then plan. A batch of one file's tiles in
// random order (the usual training read) is sorted by its offsets' bytes,
// lowest first, keeping the plans' order among equal offsets; then each run
// of equal offsets by length and plan. A comparison sort mispredicts about
// every other branch on such keys.
void sort_in_file_order(std::vector<Key>& keys) {
  auto before = [](const Key& a, const Key& b) {
    if (a.range.source != b.range.source) return a.range.source < b.range.source;
    if (a.range.offset != b.range.offset) return a.range.offset < b.range.offset;
    if (a.range.length != b.range.length) return a.range.length < b.range.length;
    return a.plan < b.plan;
  };
  constexpr std::size_t kFew = 64;
  const bool one_source = std::all_of(keys.begin(), keys.end(), [&](const Key& k) {
    return k.range.source == keys.front().range.source;
  });
  if (keys.size() < kFew || !one_source) {
    std::sort(keys.begin(), keys.end(), before);
    return;
  }
  std::uint64_t most = 0;
  for (const Key& k : keys) most = std::max(most, k.range.offset);
  std::vector<Key> other(keys.size());
  for (unsigned shift = 0; shift < 64 && (most >> shift) != 0; shift += 8) {
    std::array<std::size_t, 257> at{};
    for (const Key& k : keys) ++at[((k.range.offset >> shift) & 0xFF) + 1];
    for (std::size_t b = 1; b < at.size(); ++b) at[b] += at[b - 1];
    for (const Key& k : keys) other[at[(k.range.offset >> shift) & 0xFF]++] = k;
    keys.swap(other);
  }
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    while (j < keys.size() && keys[j].range.offset == keys[i].range.offset) ++j;
    if (j - i > 1) {
      std::sort(keys.begin() + static_cast<std::ptrdiff_t>(i),
                keys.begin() + static_cast<std::ptrdiff_t>(j), before);
    }
    i = j;
  }
}

// The batch as runs: tiles stored one after another in a file (a level read
// whole, or rows of it) cost one read each run instead of one per tile. Tiles
// read another way are runs of their own, after those.
Runs file_order_runs(const SourceSet& sources, std::span<const TilePlan> plans,
                     std::span<const std::span<std::uint8_t>> dst, std::size_t run_tiles) {
  Runs out;
  out.order.reserve(plans.size());
  out.runs.reserve(plans.size());
  std::vector<Key> keys;
  keys.reserve(plans.size());
  std::vector<std::size_t> other;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const TilePlan& plan = plans[i];
    const bool one_local_range =
        i < dst.size() && !dst[i].empty() && plan.ranges.size() == 1 &&
        std::holds_alternative<Splice>(plan.assembly) && plan.ranges[0].length > 0 &&
        plan.ranges[0].source < sources.size() && !sources.remote(plan.ranges[0].source) &&
        sources.frames(plan.ranges[0].source) == nullptr;
    if (one_local_range) {
      keys.push_back(Key{plan.ranges[0], i});
    } else {
      other.push_back(i);
    }
  }
  sort_in_file_order(keys);
  for (const Key& key : keys) out.order.push_back(key.plan);
  auto range = [&](std::size_t k) -> const Range& { return keys[k].range; };
  std::uint64_t bytes = 0;
  std::size_t distinct = 0;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const std::size_t i = out.order[k];
    const Range& r = range(k);
    bool joins = false;
    if (k > 0 && distinct < run_tiles && bytes < kRunBytes) {
      const Range& p = range(k - 1);
      const bool again = r.source == p.source && r.offset == p.offset && r.length == p.length;
      const bool next = r.source == p.source && p.length <= UINT64_MAX - p.offset &&
                        r.offset == p.offset + p.length;
      joins = again || next;
      if (next) {
        ++distinct;
        bytes += r.length;
      }
    }
    if (joins) {
      out.runs.back().end = k + 1;
      out.runs.back().first = std::min(out.runs.back().first, i);
    } else {
      out.runs.push_back(Run{k, k + 1, i});
      distinct = 1;
      bytes = r.length;
    }
  }
  for (std::size_t i : other) {
    out.runs.push_back(Run{out.order.size(), out.order.size() + 1, i});
    out.order.push_back(i);
  }
  return out;
}

}  // namespace

SlideResult<std::vector<Bytes>> read_frames(const SourceSet& sources,
                                            std::span<const Range> ranges) {
  std::vector<Bytes> frames;
  for (const Range& r : ranges) {
    if (r.source >= sources.size() || sources.frames(r.source) == nullptr) {
      return SlideError{ErrorKind::Corrupt, "a frame was planned outside the slide's sources",
                        std::nullopt};
    }
  }
  if (auto got = fetch_frames(sources, ranges, frames); !got.ok()) return std::move(got).error();
  return frames;
}

SlideResult<Unit> read_range(const SourceSet& sources, const Range& range,
                             std::span<std::uint8_t> dst) {
  if (range.source >= sources.size() || dst.size() < range.length) {
    return SlideError{ErrorKind::Corrupt, "a range was planned outside the slide's sources",
                      std::nullopt};
  }
  if (auto got = read_one(sources.at(range.source), range, dst); !got.ok()) {
    return errors::read_failed(sources.name(range.source), got.error());
  }
  return Unit{};
}

SlideResult<Unit> read_scattered(const SourceSet& sources, const Range& range,
                                 std::span<const std::span<std::uint8_t>> pieces) {
  std::uint64_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  if (range.source >= sources.size() || sources.frames(range.source) != nullptr || total != range.length) {
    return SlideError{ErrorKind::Corrupt, "a range was planned outside the slide's sources",
                      std::nullopt};
  }
  std_io::RangeSource& source = sources.at(range.source);
  if (auto checked = check_range(source, range); !checked.ok()) {
    return errors::read_failed(sources.name(range.source), checked.error());
  }
  if (range.length == 0) return Unit{};
  if (auto got = source.read_scattered(range.offset, pieces); !got.ok()) {
    return errors::read_failed(sources.name(range.source), got.error());
  }
  return Unit{};
}

SlideResult<Unit> read_ranges(const SourceSet& sources, std::span<const Range> ranges,
                              std::span<const std::span<std::uint8_t>> dst, unsigned threads) {
  if (ranges.size() != dst.size()) {
    return SlideError{ErrorKind::Corrupt, "ranges were read into the wrong number of buffers",
                      std::nullopt};
  }
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].source >= sources.size() || dst[i].size() < ranges[i].length ||
        sources.frames(ranges[i].source) != nullptr) {
      return SlideError{ErrorKind::Corrupt, "a range was planned outside the slide's sources",
                        std::nullopt};
    }
  }
  // Remote sources first, each in one request batch.
  bool local = false;
  for (SourceIndex s = 0; s < sources.size(); ++s) {
    if (!sources.remote(s)) {
      local = true;
      continue;
    }
    if (auto r = read_remote(sources, s, ranges, dst); !r.ok()) return r;
  }
  if (!local) return Unit{};

  // Local ranges: pread, spread over the pool.
  auto read_local = [&](std::size_t i) -> std::optional<SlideError> {
    const Range& r = ranges[i];
    if (sources.remote(r.source)) return std::nullopt;
    if (auto got = read_one(sources.at(r.source), r, dst[i]); !got.ok()) {
      return errors::read_failed(sources.name(r.source), got.error());
    }
    return std::nullopt;
  };
  if (threads <= 1 || ranges.size() < 2) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      if (auto error = read_local(i)) return std::move(*error);
    }
    return Unit{};
  }
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::optional<std::pair<std::size_t, SlideError>> first_error;
  parallel_chunks(ranges.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
      if (auto error = read_local(i)) {
        std::lock_guard lock(error_mutex);
        if (!first_error || first_error->first > i) first_error.emplace(i, std::move(*error));
        failed.store(true, std::memory_order_relaxed);
      }
    }
  });
  if (first_error) return std::move(first_error->second);
  return Unit{};
}

SlideResult<Unit> read_plans(const Slide& slide, std::span<const TilePlan> plans,
                             std::span<const std::span<std::uint8_t>> dst,
                             std::vector<Bytes>& assembled, unsigned threads) {
  assembled.resize(plans.size());
  if (slide.remote()) {
    // Every range of every plan in one go (frames in one fetch per fetcher,
    // bytes in one read_many per source), then each plan assembled.
    std::vector<Range> ranges;
    std::vector<std_io::Buffer> buffers;
    std::vector<std::span<std::uint8_t>> into;
    std::vector<Range> frame_ranges;
    std::vector<Bytes> frames;
    std::vector<std::size_t> frame_at;  // the range each frame stands for
    std::size_t count = 0;
    for (const TilePlan& plan : plans) {
      for (const Range& r : plan.ranges) {
        if (r.source < slide.sources().size() && slide.sources().frames(r.source) != nullptr) {
          frame_ranges.push_back(r);
          frame_at.push_back(count++);
          continue;
        }
        ++count;
        auto buffer = std_io::Buffer::allocate(r.length > std_io::kLargestRange ? 0 : r.length);
        if (!buffer.ok()) return slide.read_error(buffer.error(), r.source);
        into.push_back({buffer->data(), static_cast<std::size_t>(r.length)});
        buffers.push_back(std::move(buffer).value());
        ranges.push_back(r);
      }
    }
    if (auto r = read_ranges(slide.sources(), ranges, into, threads); !r.ok()) return r;
    if (auto r = fetch_frames(slide.sources(), frame_ranges, frames); !r.ok()) return r;
    // Every range's bytes in plan order: frames where they stand, bytes between.
    std::vector<ByteSpan> all;
    all.reserve(count);
    for (std::size_t i = 0, b = 0, f = 0; i < count; ++i) {
      if (f < frame_at.size() && frame_at[f] == i) {
        all.emplace_back(frames[f++]);
      } else {
        all.emplace_back(into[b++]);
      }
    }
    std::size_t at = 0;
    std::vector<ByteSpan> spans;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      spans.assign(all.begin() + static_cast<std::ptrdiff_t>(at),
                   all.begin() + static_cast<std::ptrdiff_t>(at + plans[i].ranges.size()));
      at += plans[i].ranges.size();
      auto tile = slide.assemble(plans[i], spans);
      if (!tile.ok()) return std::move(tile).error();
      if (i < dst.size() && !dst[i].empty()) {
        if (tile->size() != dst[i].size()) {
          return errors::wrong_tile_size();
        }
        std::memcpy(dst[i].data(), tile->data(), tile->size());
      } else {
        assembled[i] = std::move(tile).value();
      }
    }
    return Unit{};
  }

  // Local: each tile read where it goes, tiles spread over the pool.
  auto read_one_plan = [&](std::size_t i) -> std::optional<SlideError> {
    const bool direct = i < dst.size() && !dst[i].empty();
    if (direct || plans[i].output_size() == std::uint64_t{0}) {
      auto r = slide.read_into(plans[i], direct ? dst[i] : std::span<std::uint8_t>());
      if (!r.ok()) return std::move(r).error();
      return std::nullopt;
    }
    auto r = slide.read(plans[i]);
    if (!r.ok()) return std::move(r).error();
    assembled[i] = std::move(r).value();
    return std::nullopt;
  };
  // Runs are what the pool's threads share: with threads, a batch of 32 tiles
  // a thread or more read whole from a small level (a few long runs) is cut
  // into a few runs a thread, of 4 tiles at least. A smaller batch keeps its
  // long runs (one scattered read each) and its one thread.
  const bool cut = threads > 1 && plans.size() >= 32 * std::size_t{threads};
  const std::size_t run_tiles =
      cut ? std::clamp<std::size_t>(plans.size() / (8 * std::size_t{threads}), 4, kRunTiles)
          : kRunTiles;
  const Runs batch = file_order_runs(slide.sources(), plans, dst, run_tiles);
  std::uint64_t landing = 0;
  for (const auto& d : dst) landing += d.size();
  const bool stream = streams(landing);
  const std::vector<Run>& runs = batch.runs;
  // One run: its tiles' heads written, their ranges read in one scattered
  // read, a tile asked for again copied from the first, then each finished.
  // A run that fails is read again tile by tile, for the error of its tile.
  auto read_job = [&](const Run& run, std::vector<Slide::DirectRead>& reads)
      -> std::optional<std::pair<std::size_t, SlideError>> {
    const std::span<const std::size_t> tiles(batch.order.data() + run.begin, run.end - run.begin);
    auto one_by_one = [&]() -> std::optional<std::pair<std::size_t, SlideError>> {
      std::optional<std::pair<std::size_t, SlideError>> first;
      for (std::size_t i : tiles) {
        if (first && first->first < i) continue;
        if (auto error = read_one_plan(i)) first.emplace(i, std::move(*error));
      }
      return first;
    };
    if (tiles.size() == 1) return one_by_one();
    reads.clear();
    std::vector<std::span<std::uint8_t>> pieces;
    std::vector<std::size_t> copy_from(tiles.size());
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < tiles.size(); ++k) {
      const std::size_t i = tiles[k];
      auto read = slide.begin_direct(plans[i], dst[i]);
      if (!read) {
        for (std::size_t j = 0; j < reads.size(); ++j) {
          slide.finish_direct(plans[tiles[j]], dst[tiles[j]], reads[j], false);
        }
        return one_by_one();
      }
      // Within a run, a range at the offset of the one before is that range again.
      const Range& r = plans[i].ranges[0];
      const bool again = k > 0 && r.offset == plans[tiles[k - 1]].ranges[0].offset;
      copy_from[k] = again ? copy_from[k - 1] : k;
      if (!again) {
        pieces.emplace_back(read->at, static_cast<std::size_t>(r.length));
        total += r.length;
      }
      reads.push_back(*read);
    }
    const Range& first = plans[tiles.front()].ranges[0];
    const bool ok =
        read_scattered(slide.sources(), Range{first.offset, total, first.source}, pieces).ok();
    for (std::size_t k = 0; ok && k < tiles.size(); ++k) {
      if (copy_from[k] != k) {
        const auto length = static_cast<std::size_t>(plans[tiles[k]].ranges[0].length);
        if (stream) {
          platform::stream_copy(reads[k].at, reads[copy_from[k]].at, length);
        } else {
          std::memcpy(reads[k].at, reads[copy_from[k]].at, length);
        }
      }
    }
    if (stream) platform::stream_fence();
    for (std::size_t k = 0; k < tiles.size(); ++k) {
      slide.finish_direct(plans[tiles[k]], dst[tiles[k]], reads[k], ok);
    }
    if (!ok) return one_by_one();
    return std::nullopt;
  };
  if (threads <= 1 || runs.size() < 2) {
    // Every run, then the error of the first tile that failed, as reading
    // the tiles in their order would give it.
    std::optional<std::pair<std::size_t, SlideError>> first_error;
    std::vector<Slide::DirectRead> reads;
    for (const Run& run : runs) {
      if (first_error && run.first > first_error->first) continue;
      auto error = read_job(run, reads);
      if (error && (!first_error || error->first < first_error->first)) {
        first_error = std::move(error);
      }
    }
    if (first_error) return std::move(first_error->second);
    return Unit{};
  }
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::optional<std::pair<std::size_t, SlideError>> first_error;
  // A run of several tiles is worth a thread of its own; single tiles, a
  // pool's usual share of them.
  const std::size_t least = cut && runs.size() * 4 < plans.size() ? 2 : 16;
  parallel_chunks(runs.size(), threads, [&](std::size_t begin, std::size_t end) {
    std::vector<Slide::DirectRead> mine;
    for (std::size_t k = begin; k < end && !failed.load(std::memory_order_relaxed); ++k) {
      if (auto error = read_job(runs[k], mine)) {
        std::lock_guard lock(error_mutex);
        if (!first_error || first_error->first > error->first) first_error = std::move(error);
        failed.store(true, std::memory_order_relaxed);
      }
    }
  }, least);
  if (first_error) return std::move(first_error->second);
  return Unit{};
}

}  // namespace kolva::slide
