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
// The output is the same list of directories the plain TIFF reader builds.

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "tiff_tools/decode/decode.hpp"
#include "tiff_tools/tiff_tools.hpp"

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
  struct ReadHeader {};
  struct ReadCount {};
  struct ReadEntries {};
  struct ReadValue {};
  struct ReadNextOffset {};
  struct Finished {};
  struct Failed {};  // an error ended the decoder
  using Phase = std::variant<ReadHeader, ReadCount, ReadEntries, ReadValue, ReadNextOffset,
                             Finished, Failed>;

  NdpiBigIfdDecoder() = default;

  tiff_tools::TiffResult<ReadInstruction> advance(ByteSpan bytes);
  tiff_tools::TiffResult<ReadInstruction> read_header(ByteSpan bytes);
  tiff_tools::TiffResult<ReadInstruction> read_count(ByteSpan bytes);
  tiff_tools::TiffResult<ReadInstruction> read_entries(ByteSpan bytes);
  tiff_tools::TiffResult<ReadInstruction> read_value(ByteSpan bytes);
  tiff_tools::TiffResult<ReadInstruction> read_next_offset(ByteSpan bytes);
  // Requests the most recently deferred value, or finishes the directory.
  tiff_tools::TiffResult<ReadInstruction> next_value_or_finish();
  tiff_tools::TiffResult<ReadInstruction> finish_directory();
  tiff_tools::TiffResult<ReadInstruction> request_count(std::uint64_t ifd_offset);

  Phase phase_ = ReadHeader{};
  std::vector<tiff_tools::Ifd> ifds_;
  tiff_tools::DirectoryEntries directory_;
  std::uint64_t ifd_offset_ = 0;
  std::uint16_t entry_count_ = 0;
};

}  // namespace kolva::format::ndpi_big
