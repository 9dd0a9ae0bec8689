#include "std_io/cache.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kolva::std_io {

CachedSource::CachedSource(std::shared_ptr<RangeSource> inner, CacheOptions options)
    : inner_(std::move(inner)), options_(options) {
  if (options_.window == 0) options_.window = 1;
}

void CachedSource::set_walking(bool on) {
  std::lock_guard lock(mutex_);
  walking_.store(on, std::memory_order_relaxed);
  walk_end_ = UINT64_MAX;
  walk_window_ = options_.walk_window;
}

CacheStats CachedSource::stats() const {
  std::lock_guard lock(mutex_);
  return CacheStats{hits_, misses_, fetched_, held_};
}

std::uint64_t CachedSource::first_missing(std::uint64_t offset, std::uint64_t end) const {
  std::uint64_t pos = offset;
  auto it = pieces_.upper_bound(pos);
  if (it == pieces_.begin()) return pos;
  --it;
  while (pos < end) {
    if (it == pieces_.end() || it->first > pos) return pos;
    const std::uint64_t piece_end = it->first + it->second.length;
    if (piece_end <= pos) return pos;
    pos = piece_end;
    ++it;
  }
  return end;
}

bool CachedSource::copy_if_covered(std::uint64_t offset, std::span<std::uint8_t> dst,
                                   bool first_try) {
  std::lock_guard lock(mutex_);
  const std::uint64_t end = offset + dst.size();
  if (first_missing(offset, end) < end) return false;
  const std::uint64_t tick = ++tick_;
  auto it = std::prev(pieces_.upper_bound(offset));
  std::uint64_t pos = offset;
  while (pos < end) {
    Piece& piece = it->second;
    const std::uint64_t from = pos - it->first;
    const std::uint64_t n = std::min(piece.length - from, end - pos);
    std::memcpy(dst.data() + (pos - offset), piece.buffer->data() + piece.begin + from, n);
    piece.used = tick;
    pos += n;
    ++it;
  }
  if (first_try) ++hits_;
  return true;
}

void CachedSource::insert_locked(std::uint64_t offset, std::shared_ptr<const Bytes> buffer) {
  const std::uint64_t end = offset + buffer->size();
  const std::uint64_t tick = ++tick_;
  std::uint64_t pos = offset;
  // Only the gaps between pieces already held are added.
  if (auto it = pieces_.upper_bound(pos); it != pieces_.begin()) {
    const auto& prev = *std::prev(it);
    pos = std::max(pos, prev.first + prev.second.length);
  }
  while (pos < end) {
    const auto next = pieces_.lower_bound(pos);
    const std::uint64_t gap_end = next == pieces_.end() ? end : std::min(end, next->first);
    if (gap_end > pos) {
      pieces_.emplace(pos, Piece{buffer, static_cast<std::size_t>(pos - offset), gap_end - pos, tick});
      held_ += gap_end - pos;
    }
    if (next == pieces_.end() || next->first >= end) break;
    pos = next->first + next->second.length;
  }
  evict_locked();
}

void CachedSource::evict_locked() {
  while (held_ > options_.capacity && !pieces_.empty()) {
    auto oldest = pieces_.begin();
    for (auto it = pieces_.begin(); it != pieces_.end(); ++it) {
      if (it->second.used < oldest->second.used) oldest = it;
    }
    held_ -= oldest->second.length;
    pieces_.erase(oldest);
  }
}

void CachedSource::insert(std::uint64_t offset, Bytes bytes) {
  if (bytes.empty() || bytes.size() > options_.capacity) return;
  auto buffer = std::make_shared<const Bytes>(std::move(bytes));
  std::lock_guard lock(mutex_);
  insert_locked(offset, std::move(buffer));
}

KolvaResult<std::uint64_t> CachedSource::read_at(std::uint64_t offset,
                                                 std::span<std::uint8_t> dst) {
  const std::uint64_t size = inner_->known_size();
  if (dst.empty() || offset >= size) return inner_->read_at(offset, dst);
  const std::uint64_t n = std::min<std::uint64_t>(dst.size(), size - offset);
  const std::span<std::uint8_t> want = dst.first(static_cast<std::size_t>(n));
  // A walk's step: how far this read starts past the end of the one before.
  bool short_step = false;
  if (walking_.load(std::memory_order_relaxed)) {
    std::lock_guard lock(mutex_);
    short_step = walk_end_ != UINT64_MAX && offset > walk_end_ &&
                 offset - walk_end_ <= options_.walk_skip;
    walk_end_ = offset + n;
  }
  if (copy_if_covered(offset, want, true)) return n;

  auto direct = [&]() -> KolvaResult<std::uint64_t> {
    {
      std::lock_guard lock(mutex_);
      ++misses_;
      fetched_ += dst.size();
    }
    return inner_->read_at(offset, dst);
  };
  if (walking_.load(std::memory_order_relaxed)) {
    if (!short_step) return direct();  // a long step: the body is skipped
    std::uint64_t start;
    std::uint64_t end;
    {
      std::lock_guard lock(mutex_);
      // From the first byte not held, or from the end of the piece before
      // when the step lies in the gap after it (the short body stepped over
      // comes along: it is a frame read later).
      start = first_missing(offset, offset + n);
      if (auto after = pieces_.upper_bound(offset); start == offset && after != pieces_.begin()) {
        const auto& prev = *std::prev(after);
        const std::uint64_t prev_end = prev.first + prev.second.length;
        if (prev_end < offset && offset - prev_end <= options_.walk_skip) start = prev_end;
      }
      const std::uint64_t window = std::min(walk_window_, options_.capacity / 4);
      end = std::min(size, std::max(offset + n, offset + window));
      if (auto next = pieces_.lower_bound(offset + n); next != pieces_.end()) {
        end = std::min(end, std::max(offset + n, next->first));
      }
      walk_window_ = std::min(walk_window_ * 2, std::max(options_.walk_most, options_.walk_window));
    }
    if (end == offset + n) return direct();
    return fetch_window(start, end, offset, dst);
  }
  if (!read_ahead_.load(std::memory_order_relaxed)) return direct();

  // From the first byte not held to the end of the read or of one window,
  // whichever is further.
  // Stops early at the next held piece past the read.
  // A read whose first byte is missing also takes up to `behind` bytes before
  // it: values stored just before a directory (NDPI writes them so) then come
  // with it.
  std::uint64_t start;
  std::uint64_t end;
  {
    std::lock_guard lock(mutex_);
    start = first_missing(offset, offset + n);
    end = std::min(size, std::max(offset + n, start + std::min(options_.window, size - start)));
    if (auto next = pieces_.lower_bound(offset + n); next != pieces_.end()) {
      end = std::min(end, std::max(offset + n, next->first));
    }
    // A gap of at most one window back to the held piece before is filled too:
    // the next read often lands in it (a tile array between two directories).
    if (start == offset) {
      std::uint64_t floor = offset - std::min(offset, options_.behind);
      if (auto after = pieces_.upper_bound(offset); after != pieces_.begin()) {
        const auto& prev = *std::prev(after);
        const std::uint64_t prev_end = std::min(offset, prev.first + prev.second.length);
        floor = offset - prev_end <= options_.window ? prev_end : std::max(floor, prev_end);
      }
      start = floor;
    }
  }
  if (end - start > options_.capacity) return direct();
  return fetch_window(start, end, offset, dst);
}

KolvaResult<std::uint64_t> CachedSource::fetch_window(std::uint64_t start, std::uint64_t end,
                                                      std::uint64_t offset, std::span<std::uint8_t> dst) {
  Bytes fetched(static_cast<std::size_t>(end - start));
  KOLVA_TRY(const std::uint64_t got, inner_->read_at(start, fetched));
  fetched.resize(static_cast<std::size_t>(got));
  {
    std::lock_guard lock(mutex_);
    ++misses_;
    fetched_ += got;
    if (!fetched.empty()) insert_locked(start, std::make_shared<const Bytes>(std::move(fetched)));
  }
  const std::uint64_t size = inner_->known_size();
  if (offset >= size) return inner_->read_at(offset, dst);
  const std::uint64_t n = std::min<std::uint64_t>(dst.size(), size - offset);
  if (copy_if_covered(offset, dst.first(static_cast<std::size_t>(n)), false)) return n;
  // Evicted meanwhile, or the source ended early: read exactly what was asked.
  return inner_->read_at(offset, dst);
}

KolvaResult<Unit> CachedSource::read_many(std::span<const ByteRange> ranges,
                                          std::span<const std::span<std::uint8_t>> dst) {
  if (ranges.size() != dst.size()) return KolvaError::UnexpectedStep{};
  std::vector<ByteRange> missed;
  std::vector<std::span<std::uint8_t>> missed_dst;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (dst[i].size() != ranges[i].length) return KolvaError::UnexpectedStep{};
    if (ranges[i].length == 0 || copy_if_covered(ranges[i].offset, dst[i], true)) continue;
    missed.push_back(ranges[i]);
    missed_dst.push_back(dst[i]);
  }
  if (missed.empty()) return Unit{};
  {
    std::lock_guard lock(mutex_);
    misses_ += missed.size();
    for (const ByteRange& r : missed) fetched_ += r.length;
  }
  return inner_->read_many(missed, missed_dst);
}

}  // namespace kolva::std_io
