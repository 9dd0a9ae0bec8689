#include "tiff_tools/sub_ifds.hpp"

namespace kolva::tiff_tools {

std::pair<SubIfdTiffDecoder, ReadInstruction> SubIfdTiffDecoder::dispatch(Input input) {
  SubIfdTiffDecoder d;
  d.decoder_.leave_tables_in_file(input.tables_in_file);
  d.decoder_.take_ifd_types_as_offsets();
  d.decoder_.read_values_together();
  d.decoder_.end_chain_at_repeats();
  return {std::move(d), ReadAndStep{0, 4}};
}

}  // namespace kolva::tiff_tools
