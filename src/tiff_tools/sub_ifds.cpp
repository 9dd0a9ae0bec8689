#include "tiff_tools/sub_ifds.hpp"

namespace kolva::tiff_tools {

std::pair<SubIfdTiffDecoder, ReadInstruction> SubIfdTiffDecoder::dispatch(NoInput) {
  SubIfdTiffDecoder d;
  d.decoder_.take_ifd_types_as_offsets();
  d.decoder_.read_values_together();
  d.decoder_.end_chain_at_repeats();
  return {std::move(d), ReadAndStep{0, 4}};
}

}  // namespace kolva::tiff_tools
