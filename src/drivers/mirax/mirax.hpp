#pragma once

// 3DHistech MIRAX: `<name>.mrxs` and a folder `<name>/` beside it holding
// Slidedat.ini (the slide's INI), the index file (index.hpp) and data files.
// Every stored image (JPEG, PNG or BMP, one level's images all one size) is a
// tile, handed out as stored; a level's tile (i, j) is the image of level-0
// image index (i * step, j * step), step being the level's downsample in
// images. Images are placed by the camera positions (the position buffer,
// zlib-compressed in version 2.2 slides) or, without one, on the overlapping
// camera grid, so each level's tiles carry rectangles of their own; images not
// stored are absent tiles. Opening reads the INI, the whole index (one read),
// then the position buffer and the associated images' headers together.
// Associated: label, macro, thumbnail (JPEG). Properties: `mirax.<section>.<key>`
// for every INI key, pixel size and objective power.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class MiraxDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
