#pragma once

// Tiled TIFF and BigTIFF pyramids of no scanner family. Tiles in JPEG with
// shared tables are planned by the JPEG-tables reader; tiles in any other
// common codec (or JPEG without tables) by this layer's codec pyramid, which
// takes OpenSlide's generic-tiff levels. Properties: `tiff.*`, and the pixel
// size from the resolution tags.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class GenericTiffDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

slide::Properties generic_tiff_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                          const std::vector<slide::Level>& levels);

}  // namespace kolva::drivers
