#pragma once

// Sakura SVSlide: one SQLite database (read through sqlite_source's VFS, so
// every page goes through the read executor, locally or remotely). A unique
// table named in DataManagerSQLiteConfigXPO holds the header and the tiles,
// keyed "T;<x>|<y>;<downsample>;<colour>;<plane>" (x, y in level-0 pixels):
// each tile is three greyscale JPEGs, one per colour, handed out joined into
// one RGB JPEG without decoding (rgb_jpeg). Levels are the downsamples that
// tiles are stored at; tiles not stored are absent. Reads use the middle
// focal plane, as OpenSlide does. Label and macro come from
// SVScannedImageDataXPO, the thumbnail from SVHRScanDataXPO; `sakura.*`
// properties from the slide and scan rows.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class SakuraDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
