#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "jpeg_encode.hpp"

#include "jpeg_tools/extend.hpp"

namespace kolva::jpeg_tools {
namespace {

// A textured RGB gradient with luma sampling h x v and a restart marker
// every 3 MCUs.
Bytes encode(unsigned width, unsigned height, int h_samp, int v_samp) {
  return test::encode(width, height, 3, h_samp, v_samp, 0, 3);
}

struct Decoded {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<unsigned char> rgb;
};

Decoded decode(const Bytes& jpeg) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  Decoded out{d.output_width, d.output_height, {}};
  out.rgb.resize(std::size_t{out.width} * out.height * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW rows[1] = {out.rgb.data() + std::size_t{d.output_scanline} * out.width * 3};
    jpeg_read_scanlines(&d, rows, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return out;
}

// 4:4:4: the stream's blocks cover 104 x 80; past them every sample is white.
TEST(ExtendJpeg, KeepsTheVisiblePixelsAndFillsWhite) {
  const Bytes source = encode(100, 75, 1, 1);
  auto extended = extend_jpeg(source, 120, 88);
  ASSERT_TRUE(extended.ok()) << extended.error();
  const Decoded a = decode(source);
  const Decoded b = decode(*extended);
  ASSERT_EQ(b.width, 120u);
  ASSERT_EQ(b.height, 88u);
  for (unsigned y = 0; y < b.height; ++y) {
    for (unsigned x = 0; x < b.width; ++x) {
      for (unsigned k = 0; k < 3; ++k) {
        const unsigned char got = b.rgb[(std::size_t{y} * b.width + x) * 3 + k];
        if (x < a.width && y < a.height) {
          ASSERT_EQ(got, a.rgb[(std::size_t{y} * a.width + x) * 3 + k]) << x << ", " << y;
        } else if (x >= 104 || y >= 80) {
          ASSERT_GE(got, 250) << x << ", " << y;
        }
      }
    }
  }
}

TEST(ExtendJpeg, RefusesWhatItCannotExtend) {
  const Bytes source = encode(100, 70, 2, 2);
  EXPECT_FALSE(extend_jpeg(source, 96, 80).ok());   // smaller than the stream
  EXPECT_FALSE(extend_jpeg(source, 120, 80).ok());  // not whole 16 x 16 MCUs
  const Bytes cut(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(source.size() / 2));
  EXPECT_FALSE(extend_jpeg(cut, 112, 80).ok());     // damaged entropy data
  EXPECT_FALSE(extend_jpeg(Bytes{0xFF, 0xD8, 0xFF}, 16, 16).ok());
  auto same = extend_jpeg(source, 100, 70);
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(*same, source);
  auto bigger = extend_jpeg(source, 112, 80);
  ASSERT_TRUE(bigger.ok()) << bigger.error();
  EXPECT_EQ(decode(*bigger).width, 112u);
}

}  // namespace
}  // namespace kolva::jpeg_tools
