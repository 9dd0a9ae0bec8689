// The lossless JPEG edge extension over arbitrary bytes: its marker parser,
// then libjpeg's coefficient decode and re-encode into frames of a few sizes
// (the first two bytes choose one, in MCUs).

#include <cstddef>
#include <cstdint>

#include "jpeg_tools/extend.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t width = 16u * (1 + data[0] % 16);
  const std::uint32_t height = 16u * (1 + data[1] % 16);
  const kolva::ByteSpan jpeg(data + 2, size - 2);
  auto out = kolva::jpeg_tools::extend_jpeg(jpeg, width, height);
  if (out.ok() && (out->size() < 4 || (*out)[0] != 0xFF || (*out)[1] != 0xD8)) __builtin_trap();
  return 0;
}
