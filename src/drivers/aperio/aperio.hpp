#pragma once

// Aperio SVS: a TIFF whose ImageDescription says "Aperio". Levels are the
// tiled directories (JPEG with shared tables, or JPEG 2000); the first
// stripped directory after level 0 is the thumbnail, the others name
// themselves ("label", "macro") on the second line of their description.
// Properties: `aperio.<key>` from the description's `key = value` fields.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class AperioDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

// The properties of an Aperio slide with these directories and levels.
slide::Properties aperio_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                    const std::vector<slide::Level>& levels);

}  // namespace kolva::drivers
