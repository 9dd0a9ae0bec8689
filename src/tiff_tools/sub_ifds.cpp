#include "tiff_tools/sub_ifds.hpp"

namespace kolva::tiff_tools {

std::pair<SubIfdTiffDecoder, ReadInstruction> SubIfdTiffDecoder::dispatch(NoInput) {
  SubIfdTiffDecoder d;
  d.decoder_.take_ifd_types_as_offsets();
  return {std::move(d), ReadAndStep{0, 4}};
}

}  // namespace kolva::tiff_tools
