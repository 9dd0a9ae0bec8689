#pragma once

// OME-TIFF: a TIFF or BigTIFF whose first ImageDescription is OME-XML. Each
// OME Image is a series (those named label, macro or thumbnail are the
// associated images of those names); each of its planes (channel, focal plane,
// timepoint) is one main-chain directory, mapped by TiffData. A plane's
// pyramid is its directory and the reduced levels in its SubIFDs, or, in
// older files, the reduced-resolution pages that follow it. Tiled and stripped
// levels, every TIFF codec (common/tiff_levels). Properties: `ome.*` of the
// image served (names, sizes, channels with their wavelengths), kolva.mpp-*
// from PhysicalSizeX/Y, kolva.objective-power from the objective's
// NominalMagnification, `tiff.*` of the first directory.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class OmeTiffDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  bool reads_tables_in_file() const override { return true; }
};

}  // namespace kolva::drivers
