#pragma once

// Huron TissueScope: a TIFF laid out like Aperio SVS whose Make begins with
// "Huron". Levels are the first directory and every later tiled one (plain
// grids); the second directory is the thumbnail, stripped directories of
// NewSubfileType 1 and 9 the label and macro. Properties: `huron.<key>` from
// the first description's `key = value` lines; the pixel size from the
// resolution tags.

#include <string_view>
#include <utility>
#include <vector>

#include "drivers/driver.hpp"

namespace kolva::drivers {

class HuronDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  bool reads_tables_in_file() const override { return true; }
};

}  // namespace kolva::drivers
