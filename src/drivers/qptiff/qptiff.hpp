#pragma once

// Akoya / PerkinElmer QPTIFF (Vectra, PhenoImager, PhenoCycler): a TIFF or
// BigTIFF whose pages each carry a <PerkinElmer-QPI-ImageDescription> XML.
// The FullResolution pages are the channels (one grayscale page each, or one
// RGB page for brightfield scans); each reduced level repeats them as
// ReducedResolution pages, one set per level. Thumbnail, Overview and Label
// pages are the associated images "thumbnail", "macro" and "label". Tiled or
// stripped pages (common/tiff_levels). Properties: `qptiff.*` from the first
// page's description, `qptiff.channel[i].*` (name, colour, exposure time,
// ...), kolva.mpp-* from the resolution tags, kolva.objective-power from
// Objective ("20x").

#include "drivers/driver.hpp"

namespace kolva::drivers {

class QptiffDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  bool reads_tables_in_file() const override { return true; }
};

}  // namespace kolva::drivers
