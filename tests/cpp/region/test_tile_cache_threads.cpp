// The decoded-tile cache: misses remembered (a bounded number), entries bounded
// in bytes, and any number of threads finding and keeping tiles at once.

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "region/tile_cache.hpp"

namespace kolva::region {
namespace {

std::shared_ptr<const DecodedTile> tile_of(std::size_t bytes) {
  auto t = std::make_shared<DecodedTile>();
  t->rgb.resize(bytes);
  return t;
}

TEST(TileCache, TellsKeysThatMissedBeforeAndForgetsTheOldest) {
  TileCache cache(1000);
  const TileKey a{0, 1, 2, 1};
  bool asked = true;
  EXPECT_EQ(cache.find(a, &asked), nullptr);
  EXPECT_FALSE(asked);
  EXPECT_EQ(cache.find(a, &asked), nullptr);
  EXPECT_TRUE(asked);
  EXPECT_EQ(cache.find(TileKey{0, 1, 2, 2}, &asked), nullptr);  // another scale
  EXPECT_FALSE(asked);
  cache.put(a, tile_of(600));
  EXPECT_NE(cache.find(a, &asked), nullptr);
  cache.put(TileKey{0, 9, 9, 1}, tile_of(600));  // beyond the bytes: `a` goes
  EXPECT_EQ(cache.find(a), nullptr);
  // Enough other misses push `a` out of the remembered keys.
  for (std::uint64_t i = 0; i < 5000; ++i) cache.find(TileKey{1, i, 0, 1}, &asked);
  EXPECT_EQ(cache.find(a, &asked), nullptr);
  EXPECT_FALSE(asked);
  const auto stats = cache.stats();
  EXPECT_EQ(stats.hits, 1U);
  EXPECT_EQ(stats.bytes, 600U);
}

TEST(TileCache, ThreadsFindAndKeepTilesAtOnce) {
  TileCache cache(64 * 100);  // room for all 50 tiles
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (std::uint64_t i = 0; i < 2000; ++i) {
        const TileKey key{0, (i * 7 + static_cast<std::uint64_t>(t)) % 50, 0, 1};
        bool asked = false;
        if (auto hit = cache.find(key, &asked)) {
          EXPECT_EQ(hit->rgb.size(), 100U);
        } else if (asked) {
          cache.put(key, tile_of(100));
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  const auto stats = cache.stats();
  EXPECT_LE(stats.bytes, stats.capacity);
  EXPECT_EQ(stats.hits + stats.misses, 8000U);
  EXPECT_GT(stats.hits, 0U);
}

}  // namespace
}  // namespace kolva::region
