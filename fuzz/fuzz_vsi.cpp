// The .vsi metadata tree parser over arbitrary bytes, then the stack summary and
// the choice of the main stack; and the lossless crop of the input as a JPEG.

#include <cstddef>
#include <cstdint>

#include "drivers/olympus/format/vsi/vsi.hpp"
#include "jpeg_tools/transform.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kolva::ByteSpan bytes(data, size);
  namespace vsi = kolva::format::vsi;
  for (const std::uint64_t offset : {std::uint64_t{0}, vsi::kTreeOffset}) {
    auto tree = vsi::parse_tag_tree(bytes, offset);
    if (!tree.ok()) continue;
    const auto stacks = vsi::stacks(*tree);
    (void)vsi::main_stack(stacks);
    for (const auto& stack : stacks) (void)vsi::micrometres_per_unit(stack.pixel_unit);
  }
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
    const kolva::jpeg_tools::CropRect crops[] = {{0, 0, 8, 8}, {8, 0, 16, 8}};
    (void)kolva::jpeg_tools::lossless_crops(bytes, crops, true);
  }
  return 0;
}
