#pragma once

// Why a file is not a slide, in words, for the refusal a user reads.

#include <string>
#include <vector>

#include "slide/slide.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide {

// Why a TIFF that no format took is not a slide, in words: "TIFF whose images
// are stored in strips, not tiles", "tiled TIFF whose tiles are LZW-compressed
// (compression 5)", ...
std::string describe_refusal(const std::vector<tiff_tools::Ifd>& ifds);

// "LZW", "Deflate", "JPEG", ... for a TIFF compression code; "unknown" else.
const char* compression_name(std::uint64_t code);

}  // namespace kolva::slide
