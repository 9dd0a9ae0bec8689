#include "tiff_tools/sub_ifds.hpp"

#include "tiff_tools/tiff_tools.hpp"

namespace kolva::tiff_tools {

std::pair<SubIfdTiffDecoder, ReadInstruction> SubIfdTiffDecoder::dispatch(NoInput) {
  SubIfdTiffDecoder d;
  d.decoder_.take_ifd_types_as_offsets();
  return {std::move(d), ReadAndStep{0, 4}};
}

KolvaResult<ReadInstruction> SubIfdTiffDecoder::step(ByteSpan bytes) {
  auto next = decoder_.step(bytes);
  if (!next.ok()) return to_kolva_error(next.error());
  return std::move(next).value();
}

KolvaResult<SubIfdTiffDecoder::Output> SubIfdTiffDecoder::receive(ByteSpan) && {
  auto ifds = std::move(decoder_).receive();
  if (!ifds.ok()) return to_kolva_error(ifds.error());
  return std::move(ifds).value();
}

}  // namespace kolva::tiff_tools
