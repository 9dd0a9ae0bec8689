#pragma once

// Roche/Ventana BIF and Ventana TIF: a TIFF whose first directory's XMP holds
// an `iScan` element. Levels are the tiled directories described
// "level=N mag=M ...", numbered in file order, magnification falling; the
// downsample is level 0's magnification over the level's. The directory
// described "Label Image" is the slide's overview (OpenSlide's `macro`),
// "Thumbnail" its thumbnail.
//
// A BIF's level 0 also carries EncodeInfo (stitch.hpp): its stored tiles are
// still the TIFF grid, handed out as stored, but they overlap where the
// scanner stitched them, and tiles outside every scanned area are not part of
// the image. Every level of a BIF is positioned: level 0's tiles at the
// stitched places; a tile of level n holds 2^n x 2^n level-0 tiles shrunk and
// is placed where its first one goes, divided by the downsample, and painted
// in those pieces, each where its level-0 tile goes (OpenSlide's). Level sizes
// are the bounding box of the placed tiles (OpenSlide's).
// Properties: `ventana.<attribute>` for every iScan attribute that is not
// empty, the pixel size from ScanRes, the objective from Magnification, and
// `kolva.region[i].*` for each scanned area.

#include "drivers/driver.hpp"
#include "drivers/ventana/stitch.hpp"
#include "slide/metadata.hpp"

namespace kolva::drivers {

class VentanaDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
  bool reads_tables_in_file() const override { return true; }
};

namespace ventana {

// ventana.*, kolva.mpp-x/-y and kolva.objective-power from the iScan attributes,
// kolva.region[i].* from the placed areas (none for a Ventana TIF).
void add_ventana(const Attributes& iscan, const Stitch* stitched,
                 slide::metadata::PropertyMap& out);

}  // namespace ventana
}  // namespace kolva::drivers
