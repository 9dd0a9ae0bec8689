#pragma once

// Tiled TIFF pyramids in every common tile codec, for the TIFFs the JPEG-tables
// reader does not take; each tile is handed out as one complete stream, never
// decoded (common/tiff_levels). Levels follow OpenSlide's generic-tiff rule:
// the first directory, tiled, and every other tiled directory marked
// reduced-resolution (masks skipped), the widest first.

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/common/tiff_levels.hpp"
#include "slide/slide.hpp"

namespace kolva::drivers {

using slide::Level;
using slide::Tiler;

// The pyramid of `ifds` (a TIFF of byte order `order`), or why there is none,
// in words ("TIFF whose images are stored in strips, not tiles", ...).
Result<CodecPyramid, std::string> plan_tiff_pyramid(const std::vector<tiff_tools::Ifd>& ifds,
                                                    ByteOrder order);

}  // namespace kolva::drivers
