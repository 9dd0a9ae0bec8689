#pragma once

// A range cache in front of any RangeSource, for sources where a read costs a
// round trip (HTTP, S3, ...). Opening a slide reads the header several times,
// then each directory's entries and the values stored next to them; with
// read-ahead on, a read that no cached window covers fetches one window around
// its first missing byte, so a directory costs one round trip, not one per
// range. With read-ahead off (after opening) a miss is read exactly as asked
// and not kept, so tiles cost their own bytes and nothing more, while ranges
// that cached windows hold are still answered from them.
//
// Bounded in bytes (least recently used windows go first); any number of
// threads may read at once. Fetches run without the lock held, so two threads
// missing the same window may both fetch it: the bytes are the same and the
// second copy is dropped.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "std_io/source.hpp"

namespace kolva::std_io {

struct CacheOptions {
  std::uint64_t capacity = 32ULL << 20;  // bytes kept at most
  std::uint64_t window = 64ULL << 10;    // bytes fetched for a small miss, from its start
  std::uint64_t behind = 16ULL << 10;    // and at most this many before it
  // While walking (see WalkReads): a miss that steps at most `walk_skip`
  // bytes past the end of the read before fetches `walk_window` bytes from its
  // start, twice as many at each such miss, up to `walk_most`.
  std::uint64_t walk_skip = 32ULL << 10;
  std::uint64_t walk_window = 256ULL << 10;
  std::uint64_t walk_most = 8ULL << 20;
};

struct CacheStats {
  std::uint64_t hits = 0;     // reads answered from cached windows alone
  std::uint64_t misses = 0;   // reads that went to the inner source
  std::uint64_t fetched = 0;  // bytes read from the inner source
  std::uint64_t held = 0;     // bytes held now
};

class CachedSource final : public RangeSource {
 public:
  CachedSource(std::shared_ptr<RangeSource> inner, CacheOptions options);

  std::uint64_t known_size() const override { return inner_->known_size(); }
  KolvaResult<std::uint64_t> size() override { return inner_->size(); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override;
  const std::string& name() const override { return inner_->name(); }
  bool remote() const override { return inner_->remote(); }
  // Ranges the cached windows hold are copied; the rest go to the inner
  // source in one read_many.
  KolvaResult<Unit> read_many(std::span<const ByteRange> ranges,
                              std::span<const std::span<std::uint8_t>> dst) override;

  // Keeps bytes fetched elsewhere (the first round trip of an opening).
  void insert(std::uint64_t offset, Bytes bytes);
  // Windows for small misses, and keeping what misses read: on while opening.
  void set_read_ahead(bool on) { read_ahead_.store(on, std::memory_order_relaxed); }
  bool read_ahead() const { return read_ahead_.load(std::memory_order_relaxed); }
  // Walking: for a reader that steps forward from header to header, skipping
  // the bodies between them. Reads are exact while the steps are long (a
  // body is skipped, not fetched); where they are short, a miss fetches a
  // window that holds many headers, so a walk over small bodies costs a few
  // round trips instead of one per header. Takes precedence over read-ahead.
  void set_walking(bool on);
  bool walking() const { return walking_.load(std::memory_order_relaxed); }
  CacheStats stats() const;
  RangeSource& inner() { return *inner_; }

 private:
  // A piece of a fetched buffer; pieces never overlap.
  struct Piece {
    std::shared_ptr<const Bytes> buffer;
    std::size_t begin;    // within buffer
    std::uint64_t length;
    std::uint64_t used;   // tick of the last read it served
  };

  // Copies [offset, offset + dst.size()) when the pieces cover it all.
  // Counts a hit when `first_try`.
  bool copy_if_covered(std::uint64_t offset, std::span<std::uint8_t> dst, bool first_try);
  // The first byte of [offset, end) no piece holds (end when all are held).
  std::uint64_t first_missing(std::uint64_t offset, std::uint64_t end) const;
  // Reads [start, end) from the inner source, keeps it, and answers the read
  // of dst at offset from it (or directly, when it is gone or came back short).
  KolvaResult<std::uint64_t> fetch_window(std::uint64_t start, std::uint64_t end,
                                          std::uint64_t offset, std::span<std::uint8_t> dst);
  void insert_locked(std::uint64_t offset, std::shared_ptr<const Bytes> buffer);
  void evict_locked();

  std::shared_ptr<RangeSource> inner_;
  CacheOptions options_;
  std::atomic<bool> read_ahead_{true};
  std::atomic<bool> walking_{false};

  mutable std::mutex mutex_;
  std::map<std::uint64_t, Piece> pieces_;  // by offset
  std::uint64_t held_ = 0;
  std::uint64_t tick_ = 0;
  std::uint64_t hits_ = 0;
  std::uint64_t misses_ = 0;
  std::uint64_t fetched_ = 0;
  // The walk: where the last read ended (none yet: max), the next window.
  std::uint64_t walk_end_ = UINT64_MAX;
  std::uint64_t walk_window_ = 0;
};

// While alive, reads through `source` (when it is a cache) walk (see
// CachedSource::set_walking): for a parser that names its own windows and steps
// from header to header over bodies it need not read.
class WalkReads {
 public:
  explicit WalkReads(RangeSource& source)
      : cache_(dynamic_cast<CachedSource*>(&source)), was_(cache_ && cache_->walking()) {
    if (cache_) cache_->set_walking(true);
  }
  ~WalkReads() {
    if (cache_) cache_->set_walking(was_);
  }
  WalkReads(const WalkReads&) = delete;
  WalkReads& operator=(const WalkReads&) = delete;

 private:
  CachedSource* cache_;
  bool was_;
};

}  // namespace kolva::std_io
