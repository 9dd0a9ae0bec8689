#pragma once

// JPEG streams put together from stored pieces, without decoding: the strips of
// a JPEG-in-TIFF image joined into one baseline frame, and the Adobe marker
// that tells decoders an RGB-coded stream carries no colour transform.

#include <cstdint>
#include <span>
#include <string>

#include "base/base.hpp"
#include "jpeg_tools/jpeg_tools.hpp"

namespace kolva::slide {

using jpeg_tools::kAdobeRgbApp14;

// What goes in front of an abbreviated JPEG (SOI, frame, scan, EOI) stored
// with JPEGTables `tables` (possibly empty) so that, with the stream's own SOI
// cut, it is complete: SOI, the Adobe marker when `rgb` and the tables carry
// none, the tables' segments. Empty when the stream needs nothing in front.
Bytes jpeg_stream_head(ByteSpan tables, bool rgb);

struct StripImage {
  ByteSpan tables;              // the directory's JPEGTables (SOI ... EOI), maybe empty
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t rows_per_strip = 0;
  bool rgb = false;             // Photometric RGB: add the Adobe marker
};

// One complete JPEG of the image whose strips are `strips` (each SOI, its own
// header, SOS, entropy-coded data, EOI; tables in `image.tables` or in the
// strips): the tables, the first strip's header with the frame height of the
// whole image and a restart interval of one strip's MCUs, then each strip's
// entropy-coded data with RST0..7 between them. Fails, in words, when the
// strips cannot be joined that way: a strip height that is not a whole number
// of MCU rows, strips with differing headers, their own restart markers, or a
// frame that is not baseline/extended sequential.
Result<Bytes, std::string> join_jpeg_strips(const StripImage& image,
                                            std::span<const ByteSpan> strips);

}  // namespace kolva::slide
