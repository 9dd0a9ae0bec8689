#pragma once

// Small JPEGs made by libjpeg for the C++ tests.

#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "base/base.hpp"

namespace kolva::test {

// A gradient with some texture, encoded by libjpeg: `sampling` is luma's
// horizontal and vertical factor (chroma is 1x1), `components` 1 or 3,
// `shade` added to every sample, a restart marker every `restart_interval`
// MCUs (none: 0).
inline Bytes encode(unsigned width, unsigned height, int components, int h_samp, int v_samp,
                    unsigned shade = 0, unsigned restart_interval = 0) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = width;
  c.image_height = height;
  c.input_components = components;
  c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  c.comp_info[0].h_samp_factor = h_samp;
  c.comp_info[0].v_samp_factor = v_samp;
  c.restart_interval = restart_interval;
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(std::size_t{width} * components);
  while (c.next_scanline < height) {
    const unsigned y = c.next_scanline;
    for (unsigned x = 0; x < width; ++x) {
      for (int k = 0; k < components; ++k) {
        const unsigned value = x * 3 + y * 5 + k * 70 + (x * y) % 23 + shade;
        row[x * components + k] = static_cast<unsigned char>(value & 0xFF);
      }
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

}  // namespace kolva::test
