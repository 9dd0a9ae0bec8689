#pragma once

// Tiled TIFF pyramids in every common tile codec, for the TIFFs the JPEG-tables
// reader does not take. A tile read hands out one complete stream, never
// decoded:
//  * JPEG tiles as stored (spliced with JPEGTables when the directory has
//    them); RGB-coded JPEG gets the Adobe "no transform" marker in front;
//  * JPEG 2000, WebP, JPEG XL, PNG and JPEG XR tiles as stored;
//  * LZW, Deflate, Zstd, PackBits and uncompressed tiles wrapped unchanged in a
//    one-directory TIFF whose header is made per tile (tiff_wrap).
// Levels follow OpenSlide's generic-tiff rule: the first directory, tiled, and
// every other tiled directory marked reduced-resolution (masks skipped), the
// widest first.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "slide/slide.hpp"

namespace kolva::drivers {

using slide::Level;
using slide::Tiler;

struct CodecPyramid {
  std::vector<Level> levels;
  std::shared_ptr<const Tiler> tiler;
};

// The pyramid of `ifds` (a TIFF of byte order `order`), or why there is none,
// in words ("TIFF whose images are stored in strips, not tiles", ...).
Result<CodecPyramid, std::string> plan_tiff_pyramid(const std::vector<tiff_tools::Ifd>& ifds,
                                                    ByteOrder order);

// The levels of the directories `chosen` (tiled, in that order), as the pyramid
// above plans them; for families that choose their levels their own way.
Result<CodecPyramid, std::string> plan_tiff_levels(std::span<const tiff_tools::Ifd* const> chosen,
                                                   ByteOrder order);

// The media type of tiles in TIFF compression `code` as this layer hands them
// out ("image/tiff" for wrapped ones); empty when it cannot.
std::string_view tile_media_type(std::uint64_t code);

}  // namespace kolva::drivers
