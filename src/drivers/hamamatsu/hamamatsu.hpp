#pragma once

// Hamamatsu NDPI: TIFF directories (64-bit offsets past 4 GiB), each level one
// restart-marked JPEG. Tiles are runs of restart intervals as stored, or, with
// a tile size, cut losslessly from the stripes that cover them (ndpi_tiles).
// Associated images: "macro" and "map", told apart by SourceLens.
// Properties: `hamamatsu.*` from NDPI's own tags.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class HamamatsuDriver final : public Driver {
 public:
  const Family& family() const override;
  // Any TIFF the families before declined: the NDPI level scan decides.
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

slide::Properties hamamatsu_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                       const std::vector<slide::Level>& levels);

}  // namespace kolva::drivers
