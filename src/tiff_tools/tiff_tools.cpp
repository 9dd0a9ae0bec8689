#include "tiff_tools/tiff_tools.hpp"

namespace kolva::tiff_tools {

KolvaError to_kolva_error(const TiffError& error) { return DecodeError(DecodeError::Tiff{error}); }

std::pair<TiffDecoder, ReadInstruction> TiffDecoder::dispatch(NoInput) {
  return {TiffDecoder(), ReadAndStep{0, 4}};
}

KolvaResult<ReadInstruction> TiffDecoder::step(ByteSpan bytes) {
  auto next = decoder_.step(bytes);
  if (!next.ok()) return to_kolva_error(next.error());
  return std::move(next).value();
}

KolvaResult<TiffDecoder::Output> TiffDecoder::receive(ByteSpan) && {
  auto ifds = std::move(decoder_).receive();
  if (!ifds.ok()) return to_kolva_error(ifds.error());
  return std::move(ifds).value();
}

}  // namespace kolva::tiff_tools
