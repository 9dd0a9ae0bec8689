// The JPEG marker-segment parser, the sampling-factor reader and the Adobe
// marker check over arbitrary bytes.

#include <cstddef>
#include <cstdint>
#include <variant>

#include "jpeg_tools/jpeg_tools.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kolva::ByteSpan bytes(data, size);
  const auto segments = kolva::jpeg_tools::JpegParser::parse(bytes);
  for (const auto& segment : segments) {
    if (segment.offset >= size) __builtin_trap();
    if (std::holds_alternative<kolva::jpeg_tools::SegmentKind::Sof0>(segment.kind.v)) {
      (void)kolva::jpeg_tools::sof0_sampling(bytes, segment.offset);
    }
  }
  (void)kolva::jpeg_tools::sof0_sampling(bytes, 0);
  (void)kolva::jpeg_tools::has_adobe_marker(bytes);
  return 0;
}
