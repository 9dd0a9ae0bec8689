#pragma once

// TIFF's LZW (compression 5): codes of 9 to 12 bits, most significant bit
// first, 256 clears the table, 257 ends the data, and the code width grows
// one code early. Zeiss CZI uses the same coding for its LZW sub-blocks.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kolva::tiff_tools {

// Decodes `data` into exactly `out.size()` bytes. False when the data is not
// LZW of that length: a code past the table, or fewer bytes than `out` holds.
// Bytes past out.size() are a damaged stream's and are dropped.
bool lzw_decode(std::span<const std::uint8_t> data, std::span<std::uint8_t> out);

}  // namespace kolva::tiff_tools
