#pragma once

// The TIFF directory reader as a read consumer of the library's protocol.

#include <algorithm>
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

 protected:
  TiffDecoder() = default;
  Decoder decoder_;
};

// Reads the directories at given offsets of a TIFF whose header is known (the
// SubIFDs, tag 330, of a directory): each directory and the chain that follows
// it (at most `per_offset` of it when not 0), `limit` directories in all at most;
// a directory's values that lie close are asked for together, large tables
// left in the file when asked to.
class SubDirectoryDecoder {
 public:
  struct Input {
    std::vector<std::uint64_t> offsets;
    ByteOrder order = ByteOrder::Little;
    bool big = false;
    std::size_t limit = 4096;
    std::size_t per_offset = 0;
    // As Decoder::leave_tables_in_file.
    std::uint64_t tables_in_file = 0;
  };
  // Per offset, its directory and the ones chained after it.
  using Output = std::vector<std::vector<Ifd>>;

  static std::pair<SubDirectoryDecoder, ReadInstruction> dispatch(Input input);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Output> receive(ByteSpan bytes) &&;

 private:
  explicit SubDirectoryDecoder(Input input) : input_(std::move(input)) {
    out_.reserve(std::min(input_.offsets.size(), input_.limit));
  }
  // Starts the next offset's chain, or finishes.
  ReadInstruction next();
  Input input_;
  std::size_t index_ = 0;
  std::size_t read_ = 0;
  Decoder decoder_;
  Output out_;
};

// "Tiff Error " + the TiffError's display text, inside KolvaError::Decoding.
KolvaError to_kolva_error(const TiffError& error);

}  // namespace kolva::tiff_tools
