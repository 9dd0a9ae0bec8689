#include "tiff_tools/tiff_tools.hpp"

#include <algorithm>

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

std::pair<SubDirectoryDecoder, ReadInstruction> SubDirectoryDecoder::dispatch(Input input) {
  SubDirectoryDecoder d(std::move(input));
  ReadInstruction first = d.next();
  return {std::move(d), first};
}

ReadInstruction SubDirectoryDecoder::next() {
  while (index_ < input_.offsets.size() && read_ < input_.limit) {
    const std::uint64_t offset = input_.offsets[index_];
    if (offset == 0) {
      out_.emplace_back();
      ++index_;
      continue;
    }
    std::size_t most = input_.limit - read_;
    if (input_.per_offset != 0) most = std::min(most, input_.per_offset);
    decoder_ = Decoder::at(input_.order, input_.big, offset, most);
    decoder_.read_values_together();
    decoder_.end_chain_at_repeats();
    decoder_.leave_tables_in_file(input_.tables_in_file);
    return decoder_.first_read();
  }
  return Finish{};
}

KolvaResult<ReadInstruction> SubDirectoryDecoder::step(ByteSpan bytes) {
  auto next_read = decoder_.step(bytes);
  if (!next_read.ok()) return to_kolva_error(next_read.error());
  if (!std::holds_alternative<Finish>(*next_read)) return std::move(next_read).value();
  auto ifds = std::move(decoder_).receive();
  if (!ifds.ok()) return to_kolva_error(ifds.error());
  read_ += ifds->size();
  out_.push_back(std::move(ifds).value());
  ++index_;
  return next();
}

KolvaResult<SubDirectoryDecoder::Output> SubDirectoryDecoder::receive(ByteSpan) && {
  return std::move(out_);
}

}  // namespace kolva::tiff_tools
