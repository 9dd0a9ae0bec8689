#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"

#include <string>

#include "base/bytes.hpp"

namespace kolva::format::ndpi_big {
namespace {

using tiff_tools::DataType;
using tiff_tools::TiffError;
using tiff_tools::TiffResult;

constexpr std::uint64_t kHeaderSize = 12;
constexpr std::uint64_t kEntrySize = 12;
constexpr std::uint64_t kOffsetSize = 8;
constexpr std::uint64_t kInlineSize = 4;

TiffError overflow() { return TiffError::InvalidDecodingProcess{"Buffer length overflow"}; }
TiffError short_buffer() { return TiffError::InvalidDecodingProcess{"Buf size not enough"}; }

}  // namespace

std::pair<NdpiBigIfdDecoder, ReadInstruction> NdpiBigIfdDecoder::dispatch(NoInput) {
  return {NdpiBigIfdDecoder(), ReadAndStep{0, kHeaderSize}};
}

KolvaResult<ReadInstruction> NdpiBigIfdDecoder::step(ByteSpan bytes) {
  auto next = advance(bytes);
  if (!next.ok()) {
    phase_ = Failed{};
    return tiff_tools::to_kolva_error(next.error());
  }
  return std::move(next).value();
}

KolvaResult<NdpiBigIfdDecoder::Output> NdpiBigIfdDecoder::receive(ByteSpan) && {
  if (!std::holds_alternative<Finished>(phase_)) {
    return tiff_tools::to_kolva_error(TiffError::InvalidDecodingProcess{"Invalid"});
  }
  return std::move(ifds_);
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::advance(ByteSpan bytes) {
  struct Visitor {
    NdpiBigIfdDecoder& d;
    ByteSpan bytes;
    TiffResult<ReadInstruction> operator()(ReadHeader) { return d.read_header(bytes); }
    TiffResult<ReadInstruction> operator()(ReadCount) { return d.read_count(bytes); }
    TiffResult<ReadInstruction> operator()(ReadEntries) { return d.read_entries(bytes); }
    TiffResult<ReadInstruction> operator()(ReadValue) { return d.read_value(bytes); }
    TiffResult<ReadInstruction> operator()(ReadNextOffset) { return d.read_next_offset(bytes); }
    TiffResult<ReadInstruction> operator()(Finished) {
      return TiffError(TiffError::InvalidDecodingProcess{"Invalid"});
    }
    TiffResult<ReadInstruction> operator()(Failed) {
      return TiffError(TiffError::InvalidDecodingProcess{"Invalid"});
    }
  };
  return std::visit(Visitor{*this, bytes}, phase_);
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::read_header(ByteSpan bytes) {
  if (bytes.size() < kHeaderSize || bytes[0] != 'I' || bytes[1] != 'I' || bytes[2] != 42 ||
      bytes[3] != 0) {
    return TiffError(TiffError::InvalidDecodingProcess{"Invalid Header"});
  }
  const auto first = read_le<std::uint64_t>(bytes, 4);
  if (first == 0) return TiffError(TiffError::ParseHeaderError{""});
  return request_count(first);
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::request_count(std::uint64_t ifd_offset) {
  ifd_offset_ = ifd_offset;
  phase_ = ReadCount{};
  return ReadInstruction{ReadAndStep{ifd_offset_, 2}};
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::read_count(ByteSpan bytes) {
  const TiffError count_error = TiffError::DecodeCountError{"Failed to parse IFD count"};
  if (bytes.size() < 2) return count_error;
  const auto n = read_le<std::uint16_t>(bytes, 0);
  if (n == 0) return count_error;
  std::uint64_t start;
  // A directory just below 2^64 must not wrap round to the start of the file.
  if (!checked_add(ifd_offset_, 2, start)) return overflow();
  entry_count_ = n;
  phase_ = ReadEntries{};
  // Entries, next-directory offset and high words in one read.
  return ReadInstruction{ReadAndStep{start, 16 * std::uint64_t{n} + kOffsetSize}};
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::read_entries(ByteSpan bytes) {
  directory_.clear();
  const std::size_t n = entry_count_;
  if (bytes.size() < 16 * n + kOffsetSize) return short_buffer();
  const std::size_t high_words = kEntrySize * n + kOffsetSize;
  for (std::size_t i = 0; i < n; ++i) {
    const ByteSpan entry = bytes.subspan(i * kEntrySize, kEntrySize);
    const auto tag = read_le<std::uint16_t>(entry, 0);
    const auto code = read_le<std::uint16_t>(entry, 2);
    const std::uint64_t count = read_le<std::uint32_t>(entry, 4);
    const ByteSpan value = entry.subspan(8, kInlineSize);
    const std::uint64_t high = read_le<std::uint32_t>(bytes, high_words + 4 * i);
    const auto dt = tiff_tools::data_type_from_code(code);
    if (!dt) {
      diagnostic_line("Unknown data type " + std::to_string(code));
      return TiffError(TiffError::DecodeEntryError{"Cannot parse entry data-type"});
    }
    // At most (2^32 - 1) * 8: cannot overflow.
    const std::uint64_t byte_len = count * tiff_tools::element_size(*dt);
    if (byte_len > kInlineSize) {
      const std::uint64_t offset = read_le<std::uint32_t>(value, 0) | (high << 32);
      directory_.defer({offset, byte_len, count, tag, *dt});
      continue;
    }
    // A LONG with a non-zero high word is a 64-bit value split in two halves;
    // every other inline value ignores its high word.
    std::uint8_t wide[8] = {};
    const bool long8 = *dt == DataType::LONG && high != 0;
    if (long8) {
      for (std::size_t k = 0; k < 4; ++k) {
        wide[k] = value[k];
        wide[4 + k] = bytes[high_words + 4 * i + k];
      }
    }
    KOLVA_TRY(auto data, long8 ? tiff_tools::parse_data(ByteSpan(wide, 8), count, DataType::LONG8,
                                                        ByteOrder::Little)
                               : tiff_tools::parse_data(value, count, *dt, ByteOrder::Little));
    directory_.add({std::move(data), count, tag});
  }
  return next_value_or_finish();
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::read_value(ByteSpan bytes) {
  KOLVA_TRY(Unit taken, directory_.take_value(bytes, ByteOrder::Little));
  (void)taken;
  return next_value_or_finish();
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::next_value_or_finish() {
  const auto next = directory_.next_value();
  if (!next) return finish_directory();
  phase_ = ReadValue{};
  return ReadInstruction{*next};
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::finish_directory() {
  ifds_.emplace_back(directory_.finish());
  std::uint64_t next;
  if (!checked_add(ifd_offset_, 2 + kEntrySize * entry_count_, next)) return overflow();
  phase_ = ReadNextOffset{};
  return ReadInstruction{ReadAndStep{next, kOffsetSize}};
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::read_next_offset(ByteSpan bytes) {
  if (bytes.size() < kOffsetSize) return short_buffer();
  const auto next = read_le<std::uint64_t>(bytes, 0);
  if (next == 0) {
    phase_ = Finished{};
    return ReadInstruction{Finish{}};
  }
  return request_count(next);
}

}  // namespace kolva::format::ndpi_big
