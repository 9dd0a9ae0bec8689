#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"

#include "base/bytes.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::format::ndpi_big {
namespace {

using tiff_tools::TiffError;
using tiff_tools::TiffResult;

constexpr std::uint64_t kHeaderSize = 12;

TiffError invalid() { return TiffError::InvalidDecodingProcess{"Invalid"}; }

}  // namespace

std::pair<NdpiBigIfdDecoder, ReadInstruction> NdpiBigIfdDecoder::dispatch(NoInput) {
  return {NdpiBigIfdDecoder(), ReadAndStep{0, kHeaderSize}};
}

KolvaResult<ReadInstruction> NdpiBigIfdDecoder::step(ByteSpan bytes) {
  TiffResult<ReadInstruction> next = invalid();
  if (phase_ == Phase::Header) {
    next = read_header(bytes);
  } else if (phase_ == Phase::Directories) {
    next = directories_.step(bytes);
  }
  if (!next.ok()) {
    phase_ = Phase::Failed;
    return tiff_tools::to_kolva_error(next.error());
  }
  return std::move(next).value();
}

KolvaResult<NdpiBigIfdDecoder::Output> NdpiBigIfdDecoder::receive(ByteSpan) && {
  if (phase_ != Phase::Directories) return tiff_tools::to_kolva_error(invalid());
  auto ifds = std::move(directories_).receive();
  if (!ifds.ok()) return tiff_tools::to_kolva_error(ifds.error());
  return std::move(ifds).value();
}

TiffResult<ReadInstruction> NdpiBigIfdDecoder::read_header(ByteSpan bytes) {
  if (bytes.size() < kHeaderSize || bytes[0] != 'I' || bytes[1] != 'I' || bytes[2] != 42 ||
      bytes[3] != 0) {
    return TiffError(TiffError::InvalidDecodingProcess{"Invalid Header"});
  }
  const auto first = read_le<std::uint64_t>(bytes, 4);
  if (first == 0) return TiffError(TiffError::ParseHeaderError{""});
  directories_ = tiff_tools::Decoder::with_high_words(first);
  phase_ = Phase::Directories;
  return directories_.first_read();
}

}  // namespace kolva::format::ndpi_big
