#pragma once

// Lossless JPEG crops in the DCT domain (libjpeg's coefficient API, as
// jpegtran -crop): the quantised coefficients of the kept blocks are copied
// into a new baseline stream, so a crop decodes to exactly the pixels it
// covered in the source. Memory in, memory out; nothing is decoded to pixels.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/base.hpp"

namespace kolva::jpeg_tools {

// A crop in source pixels. x and y must lie on the source's MCU grid; the
// width and height may end anywhere inside the source.
struct CropRect {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const CropRect&, const CropRect&) = default;
};

// Cuts every crop out of `jpeg` with one entropy decode of the source: one
// output stream per crop, in order. The error is libjpeg's message, or says
// which crop is off the MCU grid or past the image.
// Recoverable damage the decoder reports (data it skips before a marker, say)
// fails the call unless `tolerate_warnings`.
Result<std::vector<Bytes>, std::string> lossless_crops(ByteSpan jpeg,
                                                        std::span<const CropRect> crops,
                                                        bool tolerate_warnings = false);

}  // namespace kolva::jpeg_tools
