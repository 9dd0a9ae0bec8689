#pragma once

// Decoded tiles, least recently used first out, bounded in bytes. A tile may
// be held whole or as the part of it that was decoded; readers share entries
// (immutable once made) with the threads that look them up.

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kolva::region {

// An allocator whose resize() leaves new bytes as they are: a decoded tile's
// pixels are written by the decoder, and only those it painted are read.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// RGB pixels of rows [y, y + height) and columns [x, x + width) of a tile.
struct DecodedTile {
  std::uint32_t x = 0, y = 0, width = 0, height = 0;
  // How much of it the stored tile painted (from its top left): an edge tile
  // stored cut to the level holds less than its rectangle.
  std::uint32_t painted_width = 0, painted_height = 0;
  std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>> rgb;
  bool holds(std::uint32_t px, std::uint32_t py, std::uint32_t w, std::uint32_t h) const {
    return px >= x && py >= y && px + w <= x + width && py + h <= y + height;
  }
};

struct TileKey {
  std::uint64_t level = 0, col = 0, row = 0;
  std::uint32_t scale_denom = 1;
  friend bool operator==(const TileKey&, const TileKey&) = default;
};

class TileCache {
 public:
  struct Stats {
    std::uint64_t hits = 0, misses = 0, bytes = 0, capacity = 0;
  };

  explicit TileCache(std::uint64_t capacity) : capacity_(capacity) {}
  std::uint64_t capacity() const { return capacity_; }
  // The entry of `key`, or nullptr (counted as a miss). On a miss, `asked`
  // (when given) tells whether `key` missed before: the keys of recent misses
  // are remembered (a bounded number of them, oldest forgotten first), so that
  // a caller can keep only tiles asked for more than once.
  std::shared_ptr<const DecodedTile> find(const TileKey& key, bool* asked = nullptr);
  // Keeps `tile` for `key` (replacing what was there), dropping the least
  // recently used entries beyond the capacity. Entries larger than the whole
  // capacity are not kept.
  void put(const TileKey& key, std::shared_ptr<const DecodedTile> tile);
  Stats stats() const;

 private:
  struct Hash {
    std::size_t operator()(const TileKey& k) const {
      std::uint64_t h = k.level * 0x9E3779B97F4A7C15ULL;
      h ^= k.col + 0x632BE59BD9B4E019ULL + (h << 6) + (h >> 2);
      h ^= k.row + 0x85EBCA77C2B2AE63ULL + (h << 6) + (h >> 2);
      h ^= k.scale_denom + (h << 6) + (h >> 2);
      return static_cast<std::size_t>(h);
    }
  };
  using Order = std::list<std::pair<TileKey, std::shared_ptr<const DecodedTile>>>;

  const std::uint64_t capacity_;
  mutable std::mutex mutex_;
  Order order_;  // most recently used first
  std::unordered_map<TileKey, Order::iterator, Hash> index_;
  std::uint64_t bytes_ = 0, hits_ = 0, misses_ = 0;
  // Keys that missed, in the order they first did.
  static constexpr std::size_t kMissedKeys = 4096;
  std::unordered_set<TileKey, Hash> missed_;
  std::deque<TileKey> missed_order_;
};

}  // namespace kolva::region
