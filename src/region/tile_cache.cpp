#include "region/tile_cache.hpp"

namespace kolva::region {

std::shared_ptr<const DecodedTile> TileCache::find(const TileKey& key, bool* asked) {
  std::lock_guard lock(mutex_);
  const auto it = index_.find(key);
  if (it == index_.end()) {
    ++misses_;
    if (asked != nullptr) {
      *asked = !missed_.insert(key).second;
      if (!*asked) {
        missed_order_.push_back(key);
        if (missed_order_.size() > kMissedKeys) {
          missed_.erase(missed_order_.front());
          missed_order_.pop_front();
        }
      }
    }
    return nullptr;
  }
  ++hits_;
  order_.splice(order_.begin(), order_, it->second);
  return it->second->second;
}

void TileCache::put(const TileKey& key, std::shared_ptr<const DecodedTile> tile) {
  const std::uint64_t size = tile->rgb.size();
  if (size > capacity_) return;
  std::lock_guard lock(mutex_);
  if (const auto it = index_.find(key); it != index_.end()) {
    bytes_ -= it->second->second->rgb.size();
    order_.erase(it->second);
    index_.erase(it);
  }
  while (!order_.empty() && bytes_ + size > capacity_) {
    bytes_ -= order_.back().second->rgb.size();
    index_.erase(order_.back().first);
    order_.pop_back();
  }
  order_.emplace_front(key, std::move(tile));
  index_.emplace(key, order_.begin());
  bytes_ += size;
}

TileCache::Stats TileCache::stats() const {
  std::lock_guard lock(mutex_);
  return Stats{hits_, misses_, bytes_, capacity_};
}

}  // namespace kolva::region
