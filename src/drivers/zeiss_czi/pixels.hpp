#pragma once

// Sub-block pixels that have no standard media type of their own, made into
// an uncompressed TIFF (image/tiff, lossless, the same single-directory
// wrapper uncompressed DICOM frames get): LZW (TIFF's), Zstd frames (zstd0) and Zeiss's
// zstd1 (a small header, a Zstd frame, 16-bit samples optionally split into
// all low bytes then all high bytes) are decompressed, blue-first colour
// samples are put in RGB order.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "drivers/zeiss_czi/format.hpp"

namespace kolva::czi {

enum class Compression : std::int32_t { None = 0, Jpeg = 1, Lzw = 2, JpegXr = 4, Zstd0 = 5, Zstd1 = 6 };

// The header of the TIFF a width x height sub-block of `format` hands out as;
// nothing when it would not fit a classic TIFF.
std::optional<Bytes> tiff_head(const PixelFormat& format, std::uint32_t width, std::uint32_t height);

// Puts blue-first samples of `format` in RGB order where they lie; nullptr for
// a format stored in the order it goes out.
using SampleFix = void (*)(std::span<std::uint8_t> pixels);
SampleFix to_rgb(const PixelFormat& format);

// The TIFF of a sub-block whose stored data is `data`; an error in words.
Result<Bytes, std::string> to_tiff(ByteSpan data, Compression compression, const PixelFormat& format,
                                   std::uint32_t width, std::uint32_t height);

}  // namespace kolva::czi
