#pragma once

// Aperio SVS: a TIFF whose ImageDescription says "Aperio". Levels are the
// tiled directories (JPEG with shared tables, or JPEG 2000); the first
// stripped directory after level 0 is the thumbnail, the others name
// themselves ("label", "macro") on the second line of their description.
// Properties: `aperio.<key>` from the description's `key = value` fields.

#include <string_view>
#include <utility>

#include "drivers/driver.hpp"
#include "slide/metadata.hpp"

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

// `aperio.<key>` for every `key = value` field after the first `|`-separated
// field of an Aperio ImageDescription (keys and values trimmed, the last of a
// repeated key wins), and kolva.mpp-x/-y from MPP, kolva.objective-power from
// AppMag.
void add_aperio(std::string_view description, slide::metadata::PropertyMap& out);

// "thumbnail" (the first stripped directory after level 0), "label" and
// "macro" (named on their description's second line, else by NewSubfileType).
std::vector<slide::AssociatedImage> aperio_images(const std::vector<tiff_tools::Ifd>& ifds,
                                                  ByteOrder order);

}  // namespace kolva::drivers
