#pragma once

// ARGOS AVS: a tiled BigTIFF whose first directory carries XML rooted at
// <Argos.Scan.Metadata> in private tag 65000. Tiled directories hold one
// pyramid per focal plane, lowest plane first (a plane starts where the width
// stops decreasing); levels are sparse (a tile at offset 0 is not stored).
// The last directory is the macro, the one before it the thumbnail. Properties:
// `argos.*` (the XML's text elements, nested names joined with dots),
// kolva.objective-power (ObjectiveMagnification), kolva.barcode, kolva.mpp-*
// from level 0's resolution tags.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class ArgosDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  bool reads_tables_in_file() const override { return true; }
};

}  // namespace kolva::drivers
