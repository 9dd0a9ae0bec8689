#pragma once

// Hamamatsu VMS and VMU: an INI file ([Virtual Microscope Specimen] or
// [Uncompressed Virtual Microscope Specimen]) naming image files beside it.
//
// VMS: level 0 is a grid of baseline JPEGs, edge to edge, each with restart
// markers; a tile is one restart interval (MCU width x interval by one MCU
// high), handed out as a JPEG of its own: the file's tables and frame header
// (its size made the tile's) before the interval's entropy-coded bytes, as
// stored. The map (MapFile) is the last level, tiled the same way; a JPEG
// without restart markers is one tile. Finding the intervals reads each JPEG
// once while the slide opens (the markers are the only index a VMS has that
// is always right; the optimisation file is a hint OpenSlide verifies too).
//
// VMU: one NGR file of uncompressed 12-bit RGB (three little-endian 16-bit
// samples a pixel) in vertical columns; a tile is 64 rows of a column, handed
// out as those bytes unchanged in a one-strip TIFF (16 bits a sample).
//
// MacroImage is the "macro" associated image; every key of the group is a
// `hamamatsu.*` property.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class VmsDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
