#pragma once

// The TIFF directory reader for files whose directories carry SubIFDs in the
// IFD entry types (13 and 18, as OME-TIFF pyramids are written), which the
// plain reader refuses: the same walk, entries of those types read as LONG and
// LONG8 offsets. On every other file it reads what the plain reader reads,
// asking for a directory's values together where they lie close.

#include <utility>

#include "tiff_tools/tiff_tools.hpp"

namespace kolva::tiff_tools {

class SubIfdTiffDecoder : public TiffDecoder {
 public:
  struct Input {
    // Tile and strip tables of this many bytes or more stay in the file
    // (Decoder::leave_tables_in_file); 0: every value is read.
    std::uint64_t tables_in_file = 0;
  };
  static std::pair<SubIfdTiffDecoder, ReadInstruction> dispatch(Input input);

 private:
  SubIfdTiffDecoder() = default;
};

}  // namespace kolva::tiff_tools
