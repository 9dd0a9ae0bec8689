#include "slide/executor.hpp"

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>

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
  if (threads <= 1) {
    for (std::size_t i = 0; i < plans.size(); ++i) {
      if (auto error = read_one_plan(i)) return std::move(*error);
    }
    return Unit{};
  }
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::optional<std::pair<std::size_t, SlideError>> first_error;
  parallel_chunks(plans.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
      if (auto error = read_one_plan(i)) {
        std::lock_guard lock(error_mutex);
        if (!first_error || first_error->first > i) first_error.emplace(i, std::move(*error));
        failed.store(true, std::memory_order_relaxed);
      }
    }
  });
  if (first_error) return std::move(first_error->second);
  return Unit{};
}

}  // namespace kolva::slide
