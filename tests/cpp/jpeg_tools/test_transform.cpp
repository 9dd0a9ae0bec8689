#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "jpeg_encode.hpp"
#include "jpeg_tools/transform.hpp"

namespace kolva::jpeg_tools {
namespace {

using test::encode;

struct Pixels {
  unsigned width = 0, height = 0, components = 0;
  std::vector<unsigned char> data;
};

// Decoded in the stream's own colour space, so nothing but the DCT decides a pixel.
Pixels decode(const Bytes& jpeg) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), jpeg.size());
  jpeg_read_header(&d, TRUE);
  d.out_color_space = d.jpeg_color_space;
  jpeg_start_decompress(&d);
  Pixels p{d.output_width, d.output_height, static_cast<unsigned>(d.output_components), {}};
  p.data.resize(std::size_t{p.width} * p.height * p.components);
  while (d.output_scanline < d.output_height) {
    JSAMPROW rows[] = {p.data.data() + std::size_t{d.output_scanline} * p.width * p.components};
    jpeg_read_scanlines(&d, rows, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return p;
}

Pixels cut(const Pixels& whole, const CropRect& r) {
  Pixels p{r.width, r.height, whole.components, {}};
  for (unsigned y = r.y; y < r.y + r.height; ++y) {
    const auto* from = whole.data.data() + (std::size_t{y} * whole.width + r.x) * whole.components;
    p.data.insert(p.data.end(), from, from + std::size_t{r.width} * whole.components);
  }
  return p;
}

struct CropCase {
  const char* name;
  int components, h_samp, v_samp;
  std::vector<CropRect> crops;
};

class CropsDecodeToTheSource : public testing::TestWithParam<CropCase> {};

// Without chroma subsampling each pixel depends on its own blocks only, so a
// crop decodes to exactly the source's pixels there, edge crops included.
TEST_P(CropsDecodeToTheSource, AllCropsFromOneCall) {
  const CropCase& c = GetParam();
  const Bytes source = encode(100, 60, c.components, c.h_samp, c.v_samp);
  const Pixels whole = decode(source);
  auto crops = lossless_crops(source, c.crops);
  ASSERT_TRUE(crops.ok()) << crops.error();
  ASSERT_EQ(crops->size(), c.crops.size());
  for (std::size_t i = 0; i < c.crops.size(); ++i) {
    const Pixels tile = decode((*crops)[i]);
    const Pixels want = cut(whole, c.crops[i]);
    EXPECT_EQ(tile.width, want.width) << i;
    EXPECT_EQ(tile.height, want.height) << i;
    EXPECT_TRUE(tile.data == want.data) << "crop " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transform, CropsDecodeToTheSource,
    testing::Values(
        CropCase{"ycc444", 3, 1, 1,
                 {{0, 0, 100, 60}, {8, 16, 24, 8}, {96, 56, 4, 4}, {40, 0, 60, 33}}},
        CropCase{"grey", 1, 1, 1, {{0, 0, 16, 16}, {88, 48, 12, 12}, {8, 8, 1, 1}}},
        // A grey stream whose header claims 2x2 sampling still has an 8 x 8 MCU.
        CropCase{"grey_2x2", 1, 2, 2, {{8, 8, 50, 20}, {0, 40, 100, 20}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Transform, RefusesCropsOffTheGridOrPastTheImage) {
  const Bytes ycc420 = encode(100, 60, 3, 2, 2);
  const struct {
    CropRect crop;
    const char* says;
  } cases[] = {
      {{8, 0, 16, 16}, "16 x 16 MCU grid"},
      {{0, 8, 16, 16}, "16 x 16 MCU grid"},
      {{96, 0, 5, 16}, "past the 100 x 60 image"},
      {{0, 48, 16, 13}, "past the 100 x 60 image"},
      {{112, 0, 1, 1}, "past the 100 x 60 image"},
  };
  for (const auto& c : cases) {
    auto r = lossless_crops(ycc420, std::span(&c.crop, 1));
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().find(c.says), std::string::npos) << r.error();
  }
  // The refusal leaves the thread's decoder ready for the next call.
  const CropRect fine{16, 16, 32, 32};
  EXPECT_TRUE(lossless_crops(ycc420, std::span(&fine, 1)).ok());
}

TEST(Transform, DamageFailsUnlessWarningsAreTolerated) {
  Bytes cut_short = encode(64, 64, 3, 1, 1);
  cut_short.resize(cut_short.size() * 2 / 3);  // no EOI, the last rows missing
  const CropRect crop{0, 0, 64, 64};
  auto strict = lossless_crops(cut_short, std::span(&crop, 1));
  ASSERT_FALSE(strict.ok());
  EXPECT_NE(strict.error().find("Premature end of JPEG file"), std::string::npos) << strict.error();
  auto tolerant = lossless_crops(cut_short, std::span(&crop, 1), true);
  ASSERT_TRUE(tolerant.ok()) << tolerant.error();
  EXPECT_EQ(decode(tolerant->front()).width, 64u);

  const Bytes empty;
  EXPECT_FALSE(lossless_crops(empty, std::span(&crop, 1)).ok());
}

}  // namespace
}  // namespace kolva::jpeg_tools
