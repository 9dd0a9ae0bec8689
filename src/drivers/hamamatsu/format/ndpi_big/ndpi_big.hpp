#pragma once

// The directory reader for NDPI files whose offsets pass 4 GiB. Such a file
// keeps the classic little-endian header (magic 42) and 12-byte entries, but
// widens every file offset to 64 bits:
//
//   0                 "II" 42, then the first directory offset (u64)
//   D                 entry count n (u16)
//   D + 2             n entries: tag, type, count (u32), value/offset (u32)
//   D + 2 + 12n       next directory offset (u64), 0 ends the chain
//   D + 10 + 12n      n high words (u32): the upper half of each entry's
//                     value/offset field
//
// This reader takes the header; the TIFF directory reader walks the
// directories in its high-word layout. The output is the same list of
// directories the plain TIFF reader builds.

#include <cstdint>
#include <utility>
#include <vector>

#include "base/base.hpp"
#include "tiff_tools/decode/decode.hpp"

namespace kolva::format::ndpi_big {

class NdpiBigIfdDecoder {
 public:
  using Input = NoInput;
  using Output = std::vector<tiff_tools::Ifd>;

  // First request: the 12-byte header at 0.
  static std::pair<NdpiBigIfdDecoder, ReadInstruction> dispatch(NoInput);
  // Never answers ReadAndReceive; Finish once the chain ends.
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  // Hands over the directories once the chain has ended.
  KolvaResult<Output> receive(ByteSpan bytes) &&;

 private:
  enum class Phase : std::uint8_t {
    Header,
    Directories,
    Failed,  // an error ended the decoder
  };

  NdpiBigIfdDecoder() = default;

  tiff_tools::TiffResult<ReadInstruction> read_header(ByteSpan bytes);

  Phase phase_ = Phase::Header;
  tiff_tools::Decoder directories_;
};

}  // namespace kolva::format::ndpi_big
