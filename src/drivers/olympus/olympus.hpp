#pragma once

// Olympus: ETS image files ("SIS" header, then the ETS header and tile table),
// opened on their own or through the .vsi that names them.
//
// A .vsi holds metadata and a thumbnail; the pyramids are ETS files in stack
// folders beside it (_name_/stackN/frame_t.ets, or frame_t_0.ets). Which stack
// is the main scan comes from the .vsi's metadata tree, not from the folder
// numbers: the image stack (STACK_TYPE 0) with the largest image boundary.
// Stacks with companion files are paired with the stack folders in order, and
// a pairing is only trusted when the ETS's level 0 has the stack's size;
// otherwise every companion is tried for one that has it. The slide is that
// ETS, with the .vsi's pixel size, objective and its thumbnail as the
// associated image "overview". The companions are siblings in the SourceSet,
// so a .vsi opens wherever its folder can be listed (a local directory, a
// remote store).

#include "drivers/driver.hpp"

namespace kolva::drivers {

class OlympusDriver final : public Driver {
 public:
  const Family& family() const override;
  // A .vsi by its name; any file that is not a TIFF may be an ETS.
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
