#pragma once

// Hamamatsu NDPI: TIFF directories (64-bit offsets past 4 GiB), each level one
// restart-marked JPEG. Tiles are runs of restart intervals as stored, or, with
// a tile size, cut losslessly from the stripes that cover them (ndpi_tiles).
// Associated images: "macro" and "map", told apart by SourceLens.
// Properties: `hamamatsu.*` from NDPI's own tags.

#include <string_view>
#include <utility>

#include "drivers/driver.hpp"
#include "slide/metadata.hpp"

namespace kolva::drivers {

class HamamatsuDriver final : public Driver {
 public:
  const Family& family() const override;
  // Any TIFF the families before declined: the NDPI level scan decides.
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  // NDPI files past 4 GiB: a classic TIFF header over directories of 64-bit
  // offsets.
  SlideResult<std::optional<std::vector<tiff_tools::Ifd>>> own_directories(
      std_io::RangeSource& source) const override;
};

slide::Properties hamamatsu_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                       const std::vector<slide::Level>& levels);

// `hamamatsu.*` from an NDPI directory: SourceLens (65421), the offsets from
// the slide centre (65422/65423), Reference (65427) and the `key=value` lines
// of 65449; kolva.objective-power from SourceLens.
void add_hamamatsu(const tiff_tools::Ifd& ifd, slide::metadata::PropertyMap& out);

// "macro" (SourceLens -1, a complete JPEG handed out as stored) and "map" (-2).
std::vector<slide::AssociatedImage> ndpi_images(const std::vector<tiff_tools::Ifd>& ifds);

}  // namespace kolva::drivers
