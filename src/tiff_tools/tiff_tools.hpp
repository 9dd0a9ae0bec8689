#pragma once

// The TIFF directory reader as a read consumer of the library's protocol.

#include <utility>
#include <vector>

#include "base/base.hpp"
#include "tiff_tools/decode/decode.hpp"

namespace kolva::tiff_tools {

// Reads every directory of a TIFF or BigTIFF file; first request 4 bytes at 0.
class TiffDecoder {
 public:
  using Input = NoInput;
  using Output = std::vector<Ifd>;

  static std::pair<TiffDecoder, ReadInstruction> dispatch(NoInput);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Output> receive(ByteSpan bytes) &&;

 private:
  TiffDecoder() = default;
  Decoder decoder_;
};

// "Tiff Error " + the TiffError's display text, inside KolvaError::Decoding.
KolvaError to_kolva_error(const TiffError& error);

}  // namespace kolva::tiff_tools
