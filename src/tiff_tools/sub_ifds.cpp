#include "tiff_tools/sub_ifds.hpp"

#include "tiff_tools/tiff_tools.hpp"

namespace kolva::tiff_tools {
namespace {

constexpr std::uint16_t kIfd = 13;
constexpr std::uint16_t kIfd8 = 18;
constexpr std::uint16_t kLong = 4;
constexpr std::uint16_t kLong8 = 16;

}  // namespace

std::pair<SubIfdTiffDecoder, ReadInstruction> SubIfdTiffDecoder::dispatch(NoInput) {
  SubIfdTiffDecoder d;
  d.last_ = ReadAndStep{0, 4};
  return {std::move(d), ReadAndStep{0, 4}};
}

KolvaResult<ReadInstruction> SubIfdTiffDecoder::step(ByteSpan bytes) {
  const std::uint64_t count_size = big_ ? 8 : 2;
  const std::uint64_t entry_size = big_ ? 20 : 12;
  Bytes rewritten;
  if (last_ && last_->offset == 0 && last_->length == 4 && bytes.size() >= 4) {
    little_ = bytes[0] == 'I';
    big_ = (little_ ? bytes[2] : bytes[3]) == 43;
  } else if (last_ && entries_ && *last_ == *entries_) {
    // A directory's entries: IFD-typed ones read as the unsigned offsets they are.
    rewritten.assign(bytes.begin(), bytes.end());
    for (std::size_t at = 0; at + entry_size <= rewritten.size(); at += entry_size) {
      std::uint8_t* type = rewritten.data() + at + 2;
      const std::uint16_t code =
          little_ ? static_cast<std::uint16_t>(type[0] | type[1] << 8)
                  : static_cast<std::uint16_t>(type[0] << 8 | type[1]);
      if (code != kIfd && code != kIfd8) continue;
      const std::uint16_t as = code == kIfd ? kLong : kLong8;
      type[little_ ? 0 : 1] = static_cast<std::uint8_t>(as);
      type[little_ ? 1 : 0] = 0;
    }
    bytes = rewritten;
  }
  std::optional<std::uint64_t> count;
  const std::uint64_t count_at = last_ ? last_->offset : 0;
  if (last_ && last_->length == count_size && bytes.size() >= count_size && last_->offset != 0) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count_size; ++i) {
      n |= std::uint64_t{bytes[little_ ? i : count_size - 1 - i]} << (8 * i);
    }
    count = n;
  }
  auto next = decoder_.step(bytes);
  if (!next.ok()) return to_kolva_error(next.error());
  last_.reset();
  entries_.reset();
  if (const auto* read = std::get_if<ReadAndStep>(&*next)) {
    last_ = *read;
    std::uint64_t length = 0;
    if (count && checked_mul(*count, entry_size, length) && read->offset == count_at + count_size &&
        read->length == length) {
      entries_ = *read;
    }
  }
  return std::move(next).value();
}

KolvaResult<SubIfdTiffDecoder::Output> SubIfdTiffDecoder::receive(ByteSpan) && {
  auto ifds = std::move(decoder_).receive();
  if (!ifds.ok()) return to_kolva_error(ifds.error());
  return std::move(ifds).value();
}

}  // namespace kolva::tiff_tools
