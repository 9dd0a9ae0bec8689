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

}  // namespace

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

SlideResult<Unit> read_ranges(const SourceSet& sources, std::span<const Range> ranges,
                              std::span<const std::span<std::uint8_t>> dst, unsigned threads) {
  if (ranges.size() != dst.size()) {
    return SlideError{ErrorKind::Corrupt, "ranges were read into the wrong number of buffers",
                      std::nullopt};
  }
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].source >= sources.size() || dst[i].size() < ranges[i].length) {
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
    // Every range of every plan in one go, then each plan assembled.
    std::vector<Range> ranges;
    std::vector<std_io::Buffer> buffers;
    std::vector<std::span<std::uint8_t>> into;
    for (const TilePlan& plan : plans) {
      for (const Range& r : plan.ranges) {
        auto buffer = std_io::Buffer::allocate(r.length > std_io::kLargestRange ? 0 : r.length);
        if (!buffer.ok()) return slide.read_error(buffer.error(), r.source);
        into.push_back({buffer->data(), static_cast<std::size_t>(r.length)});
        buffers.push_back(std::move(buffer).value());
        ranges.push_back(r);
      }
    }
    if (auto r = read_ranges(slide.sources(), ranges, into, threads); !r.ok()) return r;
    std::size_t at = 0;
    std::vector<ByteSpan> spans;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      spans.assign(into.begin() + static_cast<std::ptrdiff_t>(at),
                   into.begin() + static_cast<std::ptrdiff_t>(at + plans[i].ranges.size()));
      at += plans[i].ranges.size();
      auto tile = slide.assemble(plans[i], spans);
      if (!tile.ok()) return std::move(tile).error();
      if (i < dst.size() && !dst[i].empty()) {
        if (tile->size() != dst[i].size()) {
          return SlideError{ErrorKind::Corrupt, "a tile was read into a buffer of the wrong size",
                            std::nullopt};
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
