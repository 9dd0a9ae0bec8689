// Opens arbitrary bytes as a slide through the whole opening composition, then
// reads tiles of whatever opened, both through the tile consumer and straight
// into a caller's buffer (as the Python binding does); the two must agree. Any
// crash, hang, leak or sanitizer report is a defect: hostile files must end in a
// KolvaError.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dynamic_decoder/dynamic_decoder.hpp"

namespace {

constexpr std::uint64_t kMaxTilesPerLevel = 64;

void drop_line(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  auto slide = kolva::std_io::open_slide(kolva::std_io::MemorySource(kolva::Bytes(data, data + size)));
  if (!slide.ok()) return 0;
  const std::uint64_t levels = slide->level_count();
  for (std::uint64_t level = 0; level <= levels; ++level) {  // one past the end on purpose
    const auto info = slide->get_level(level);
    const std::uint64_t across = info ? info->tile_grid.first : 1;
    const std::uint64_t down = info ? info->tile_grid.second : 1;
    std::uint64_t read = 0;
    for (std::uint64_t y = 0; y <= down && read < kMaxTilesPerLevel; ++y) {
      for (std::uint64_t x = 0; x <= across && read < kMaxTilesPerLevel; ++x, ++read) {
        const auto consumed = slide->read_tile_as_bytes(level, x, y);
        kolva::Bytes into;
        const auto placed = slide->read_tile_into(level, x, y, [&](std::size_t n) {
          into.reserve(n + 1);  // a buffer even for an empty tile
          into.resize(n);
          return into.data();
        });
        if (consumed.ok() != placed.ok()) __builtin_trap();
        if (consumed.ok() && *consumed != into) __builtin_trap();
      }
    }
    (void)slide->read_tile_as_bytes(level, UINT64_MAX, UINT64_MAX);
  }
  return 0;
}
