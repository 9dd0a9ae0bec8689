#pragma once

// The TIFF directory reader for files whose directories carry SubIFDs in the
// IFD entry types (13 and 18, as OME-TIFF pyramids are written), which the
// plain reader refuses: the same walk, entries of those types read as LONG and
// LONG8 offsets. On every other file it reads what the plain reader reads.

#include <utility>
#include <vector>

#include "base/base.hpp"
#include "tiff_tools/decode/decode.hpp"

namespace kolva::tiff_tools {

class SubIfdTiffDecoder {
 public:
  using Input = NoInput;
  using Output = std::vector<Ifd>;

  static std::pair<SubIfdTiffDecoder, ReadInstruction> dispatch(NoInput);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Output> receive(ByteSpan bytes) &&;

 private:
  SubIfdTiffDecoder() = default;
  Decoder decoder_;
};

}  // namespace kolva::tiff_tools
