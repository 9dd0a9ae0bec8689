#pragma once

// Leica SCN (SCN400, Versa): a BigTIFF whose first ImageDescription is the
// SCN XML. Each scanned region (an image of the collection that is not the
// macro) is a series, the first one by default; its pyramid is the dimension
// set of the chosen channel (c) and focal plane (z), largest first, each one
// tiled directory. The last series, "collection", is the slide as OpenSlide
// shows it: the brightfield regions (main images) in focal plane 0 composed
// into levels of the collection's size, each region at its view offset;
// these levels are positioned (every stored tile of every region at its
// rectangle, cut to its region), with kolva.region[i].* and kolva.bounds-*.
// Main images that differ in illumination, objective, level count or
// resolution are refused for that series only. The macro image's largest dimension is the associated image
// "macro". Properties under OpenSlide's names: leica.aperture, leica.barcode,
// leica.creation-date, leica.device-model, leica.device-version,
// leica.illumination-source, leica.objective; kolva.objective-power, and
// kolva.mpp-* from level 0's resolution tags.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class LeicaDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
