#pragma once

// Lossless extension of a baseline JPEG to a larger, MCU-aligned frame, in the
// DCT domain (libjpeg's coefficient API): every block of the stream is kept
// exactly, the partial blocks at its right and bottom edge included, so the
// area it covered decodes to the same pixels. New blocks hold only the DC of
// white; with subsampled chroma, the chroma blocks just past the old edge
// mirror the last old ones (a block with its odd frequencies negated decodes to
// its mirror image), so a smoothing upsampler sees the edge samples repeated as
// it did at the old edge. The result is entropy-coded with the standard Huffman
// tables of the JPEG standard's Annex K (which hold every symbol a baseline
// stream can need), without restart markers; the source's APPn and DQT
// segments come first, as they were.

#include <cstdint>
#include <string>

#include "base/base.hpp"

namespace kolva::jpeg_tools {

// `jpeg` (single-scan baseline or extended, 8-bit) extended to `width` x
// `height`, which are multiples of its MCU size and no smaller than it; the
// stream itself when it already has that size. The error says why not, in words.
Result<Bytes, std::string> extend_jpeg(ByteSpan jpeg, std::uint32_t width, std::uint32_t height);

}  // namespace kolva::jpeg_tools
