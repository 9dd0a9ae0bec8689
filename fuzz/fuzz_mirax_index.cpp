// MIRAX's index pages: the first two bytes say how many level and
// non-hierarchical records to read, the rest is the index file (its slide id
// "0123456789abcdef"). Cycles, counts and pointers past the end must end in an
// error, never a loop, an allocation past the input or a read outside it.

#include <cstddef>
#include <cstdint>

#include "drivers/mirax/index.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const kolva::ByteSpan index(data + 2, size - 2);
  auto parsed = kolva::drivers::mirax::parse_index(index, "0123456789abcdef", data[0] % 40,
                                                   data[1] % 40);
  if (parsed.ok()) {
    std::size_t items = 0;
    for (const auto& level : parsed->levels) items += level.size();
    if (items > index.size() / 16) __builtin_trap();  // every item is read from the file
  }
  return 0;
}
