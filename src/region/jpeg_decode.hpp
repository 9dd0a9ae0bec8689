#pragma once

// Decodes the part of one JPEG tile a region needs, with libjpeg-turbo: rows
// above the part are skipped (jpeg_skip_scanlines), columns are narrowed to
// the iMCU columns that hold it (jpeg_crop_scanline), rows below it are never
// decoded, and the DCT can scale the tile by 1/2, 1/4 or 1/8 on the way.
//
// libjpeg reports fatal errors through longjmp: the setjmp lives in a C-style
// function of jpeg_decode.cpp that holds no object with a destructor, so the
// jump never crosses a C++ frame. Failures come back as words.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kolva::region {

// The part of a tile to decode, in the pixels of the (scaled) tile.
struct JpegCrop {
  std::uint32_t x = 0, y = 0, width = 0, height = 0;
  std::uint32_t scale_denom = 1;  // 1, 2, 4 or 8
};

// The (scaled) size of a JPEG stream, from its header alone.
struct JpegSize {
  std::uint32_t width = 0, height = 0;
};

// Decodes `crop` of the JPEG `data` as RGB into `out`: up to crop.height rows
// of up to crop.width * 3 bytes, `stride` bytes apart. The part of the crop
// that lies inside the (scaled) image is decoded and its size left in
// `painted`; the rest of `out` is not touched (edge tiles stored cut to the
// level are smaller than the level's tiles). Returns "" on success, or what
// went wrong (libjpeg's message).
std::string decode_jpeg_rgb(std::span<const std::uint8_t> data, const JpegCrop& crop,
                            std::uint8_t* out, std::size_t stride, JpegSize* painted = nullptr);

}  // namespace kolva::region
