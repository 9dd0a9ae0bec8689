#pragma once

// Olympus .vsi slides. The .vsi itself holds metadata and a thumbnail; the
// pyramids are ETS files in stack folders beside it (_name_/stackN/frame_t.ets).
// Which stack is the main scan comes from the .vsi's metadata tree, not from
// the folder numbers: the image stack (STACK_TYPE 0) with the largest image
// boundary. Stacks with companion files are paired with the stack folders in
// order, and a pairing is only trusted when the ETS's level 0 has the stack's
// size; otherwise every companion is tried for one that has it. The slide is
// that ETS, with the .vsi's pixel size, objective and its thumbnail as the
// associated image "overview".

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "slide/slide.hpp"
#include "std_io/source.hpp"

namespace kolva::slide {

// An ETS file found beside a .vsi, with the name of its stack folder.
struct VsiCompanion {
  std::string folder;  // "stack10001"
  std::string path;
};

using SourceOpener =
    std::function<SlideResult<std::shared_ptr<std_io::RangeSource>>(const std::string& path)>;

// Opens the main image of the .vsi read through `vsi`. `companions` are in
// folder order; `open` opens one of them.
SlideResult<std::shared_ptr<const Slide>> open_vsi(std::shared_ptr<std_io::RangeSource> vsi,
                                                   const std::vector<VsiCompanion>& companions,
                                                   const SourceOpener& open,
                                                   const OpenOptions& options = {});

}  // namespace kolva::slide
