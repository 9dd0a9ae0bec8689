// The CZI segment readers' refusals, and the pixels that leave as a TIFF:
// zstd1 hi-lo bytes joined and blue-first samples swapped.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "drivers/zeiss_czi/format.hpp"
#include "drivers/zeiss_czi/pixels.hpp"

namespace kolva::czi {
namespace {

Bytes segment_head(const char* id, std::uint64_t used, std::size_t total) {
  Bytes b(total, 0);
  std::memcpy(b.data(), id, std::strlen(id));
  for (int i = 0; i < 8; ++i) b[24 + i] = static_cast<std::uint8_t>(used >> (8 * i));
  return b;
}

TEST(CziFormat, SegmentsAndDirectoriesPastTheFileAreRefused) {
  struct Case {
    const char* id;
    std::uint64_t used, position, file_size;
    bool ok;
  };
  for (const Case& c : {Case{"ZISRAWDIRECTORY", 128, 0, 1000, true}, Case{"ZISRAWDIRECTORY", 2000, 0, 1000, false},
                        Case{"ZISRAWDIRECTORY", 128, 990, 1000, false},
                        Case{"ZISRAWDIRECTORY", ~std::uint64_t{0} - 8, 8, ~std::uint64_t{0}, false},
                        Case{"ZISRAWSUBBLOCK", 128, 0, 1000, false}}) {
    EXPECT_EQ(segment(segment_head(c.id, c.used, 32), "ZISRAWDIRECTORY", c.position, c.file_size).ok(), c.ok)
        << c.id << " " << c.used << " " << c.position;
  }
  // A directory claiming more entries than its bytes hold.
  Bytes dir = segment_head("ZISRAWDIRECTORY", 128 + 64, kDirectoryHead);
  dir[32] = 3;
  EXPECT_FALSE(directory_extent(dir, 0, 10000).ok());
  dir[32] = 2;
  ASSERT_TRUE(directory_extent(dir, 0, 10000).ok());
  // An entry whose dimensions run past the directory.
  Bytes entries(64, 0);
  entries[0] = 'D';
  entries[1] = 'V';
  entries[28] = 2;  // 2 x 20 bytes after 32: past 64
  EXPECT_FALSE(parse_entries(entries, 1).ok());
  entries[28] = 1;
  EXPECT_TRUE(parse_entries(ByteSpan(entries).first(52), 1).ok());
  EXPECT_FALSE(parse_entries(entries, 2).ok());
}

// A zstd frame of one raw block holding `raw` (at most 255 bytes).
Bytes raw_zstd(const Bytes& raw) {
  Bytes f{0x28, 0xB5, 0x2F, 0xFD, 0x20, static_cast<std::uint8_t>(raw.size())};
  const std::uint32_t block = static_cast<std::uint32_t>(raw.size()) << 3 | 1;
  f.push_back(static_cast<std::uint8_t>(block));
  f.push_back(static_cast<std::uint8_t>(block >> 8));
  f.push_back(static_cast<std::uint8_t>(block >> 16));
  f.insert(f.end(), raw.begin(), raw.end());
  return f;
}

TEST(CziPixels, Zstd1HiLoBgr48AndBgr24LeaveInRgbOrder) {
  // Two Bgr48 pixels: B, G, R = 0x0102, 0x0304, 0x0506 then 0x0708, 0x090A, 0x0B0C.
  const Bytes lo{0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C}, hi{0x01, 0x03, 0x05, 0x07, 0x09, 0x0B};
  Bytes split = lo;
  split.insert(split.end(), hi.begin(), hi.end());
  Bytes stored{3, 1, 1};
  const Bytes frame = raw_zstd(split);
  stored.insert(stored.end(), frame.begin(), frame.end());
  const PixelFormat bgr48 = *pixel_format(4);
  auto tiff = to_tiff(stored, Compression::Zstd1, bgr48, 2, 1);
  ASSERT_TRUE(tiff.ok()) << tiff.error();
  const Bytes expected{0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07};
  EXPECT_EQ(Bytes(tiff->end() - 12, tiff->end()), expected);
  EXPECT_EQ(Bytes(tiff->begin(), tiff->end() - 12), *tiff_head(bgr48, 2, 1));

  auto bgr24 = to_tiff(Bytes{1, 2, 3, 4, 5, 6}, Compression::None, *pixel_format(3), 2, 1);
  ASSERT_TRUE(bgr24.ok());
  EXPECT_EQ(Bytes(bgr24->end() - 6, bgr24->end()), (Bytes{3, 2, 1, 6, 5, 4}));

  // Wrong sizes and broken headers are refused in words.
  EXPECT_FALSE(to_tiff(Bytes{1, 2, 3}, Compression::None, bgr48, 2, 1).ok());
  EXPECT_FALSE(to_tiff(Bytes{3, 2, 1, 0}, Compression::Zstd1, bgr48, 2, 1).ok());
  EXPECT_FALSE(to_tiff(raw_zstd(Bytes(11, 0)), Compression::Zstd0, bgr48, 2, 1).ok());
  EXPECT_FALSE(to_tiff(Bytes{}, Compression::Zstd1, bgr48, 2, 1).ok());
}

TEST(CziPixels, BlueFirstSamplesOfAnyLengthSwapInPlace) {
  // Lengths around the 48- and 192-byte blocks the swaps work in, a partial pixel at the end left as it is.
  // Bgr24, Bgr48, Bgr96Float (3 samples) and Bgra32 (alpha last, left in place).
  for (std::int32_t type : {3, 4, 8, 9}) {
    const PixelFormat format = *pixel_format(type);
    const std::size_t pixel = std::size_t{format.samples} * format.sample_bytes;
    for (std::size_t n : {0, 3, 6, 45, 47, 48, 49, 95, 96, 100, 191, 192, 193, 2 * 192 + 60, 6 * 100 + 5, 196608}) {
      Bytes data(n);
      for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
      Bytes expected = data;
      for (std::size_t p = 0; p + pixel <= n; p += pixel) {
        std::swap_ranges(expected.begin() + static_cast<std::ptrdiff_t>(p),
                         expected.begin() + static_cast<std::ptrdiff_t>(p + format.sample_bytes),
                         expected.begin() + static_cast<std::ptrdiff_t>(p + 2 * format.sample_bytes));
      }
      to_rgb(format)(data);
      EXPECT_EQ(data, expected) << type << " " << n;
    }
  }
  EXPECT_EQ(to_rgb(*pixel_format(0)), nullptr);
}

}  // namespace
}  // namespace kolva::czi
