// Streaming copies land every byte at any alignment and length, and nothing
// past the end; the cache size is a plausible figure or unknown.

#include <cstdint>
#include <vector>

#include "base/platform.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

TEST(Platform, StreamCopyLandsEveryByteAtAnyAlignmentAndNothingPastTheEnd) {
  std::vector<std::uint8_t> src(4200);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (const std::size_t length : {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 4099}) {
    for (std::size_t to = 0; to < 17; ++to) {
      for (const std::size_t from : {0, 1, 9}) {
        std::vector<std::uint8_t> dst(length + 48, 0xA5);
        platform::stream_copy(dst.data() + to, src.data() + from, length);
        platform::stream_fence();
        for (std::size_t i = 0; i < dst.size(); ++i) {
          const bool inside = i >= to && i < to + length;
          ASSERT_EQ(dst[i], inside ? src[from + i - to] : 0xA5)
              << "length " << length << " to " << to << " from " << from << " byte " << i;
        }
      }
    }
  }
}

TEST(Platform, LastLevelCacheIsUnknownOrBetweenAKibibyteAndAGibibyte) {
  const std::size_t bytes = platform::last_level_cache_bytes();
  if (bytes != 0) {
    EXPECT_GE(bytes, std::size_t{1} << 10);
    EXPECT_LE(bytes, std::size_t{1} << 30);
  }
}

}  // namespace
}  // namespace kolva::test
