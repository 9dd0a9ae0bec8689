#pragma once

// Trestle / MedMicro: a classic TIFF whose Software begins with "MedScan" and
// whose every directory is tiled, one level each, widest first. Neighbouring
// tiles overlap by the level's (OverlapX, OverlapY) from the description's
// `OverlapsXY` list: a level with overlap is positioned, tile (c, r) at
// (c * (tile width - OverlapX), r * (tile height - OverlapY)), and its size is
// the stored size less the overlaps (OpenSlide's). Properties: `trestle.<key>`
// for every `key=value` of the `;`-separated description; the resolution tags
// hold micrometres per pixel directly. The macro is the JPEG beside the slide
// named like it with the extension `.Full`.

#include <string_view>
#include <utility>
#include <vector>

#include "drivers/driver.hpp"

namespace kolva::drivers {

class TrestleDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  bool reads_tables_in_file() const override { return true; }
};

namespace trestle {

// The description's `key=value` pairs, in order, keys and values trimmed.
std::vector<std::pair<std::string, std::string>> description_fields(std::string_view text);

// `OverlapsXY`: (x, y) per level, in pixels; nothing for text that is not
// pairs of whole numbers.
std::vector<std::pair<std::uint64_t, std::uint64_t>> overlaps(std::string_view text);

}  // namespace trestle
}  // namespace kolva::drivers
