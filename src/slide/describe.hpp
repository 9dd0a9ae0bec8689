#pragma once

// What a slide says about itself beyond its pyramid: properties (pixel size,
// objective power, the vendor's own keys) and associated images (label, macro,
// thumbnail), taken from the directories read while opening. Nothing is read
// here: associated images are planned, not fetched.

#include <string>
#include <vector>

#include "slide/slide.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide {

// Fills slide.properties_ and slide.associated_ from its format and directories.
void describe_slide(Slide& slide);

// Why a TIFF that no format took is not a slide, in words: "TIFF whose images
// are stored in strips, not tiles", "tiled TIFF whose tiles are LZW-compressed
// (compression 5)", ...
std::string describe_refusal(const std::vector<tiff_tools::Ifd>& ifds);

// "LZW", "Deflate", "JPEG", ... for a TIFF compression code; "unknown" else.
const char* compression_name(std::uint64_t code);

}  // namespace kolva::slide
