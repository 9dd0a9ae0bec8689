// Ventana XMP packets over arbitrary text: the iScan attributes, level 0's
// EncodeInfo and the stitching of its areas must refuse in words or place
// every area inside the tile grid, with positive advances.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "drivers/ventana/stitch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kolva::drivers::ventana;
  if (size < 2) return 0;
  // The first two bytes choose the grid: 1..16 tiles of 64 pixels each way.
  const std::uint64_t cols = data[0] % 16 + 1, rows = data[1] % 16 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  (void)parse_iscan(text);
  auto areas = parse_encode_info(text);
  if (!areas.ok() || !*areas) return 0;
  auto s = stitch(**areas, 64, 64, cols, rows);
  if (!s.ok()) return 0;
  if (!(s->advance_x > 0) || !(s->advance_y > 0)) __builtin_trap();
  for (const Placed& p : s->areas) {
    if (p.start_col + p.cols > cols || p.start_row + p.rows > rows) __builtin_trap();
  }
  for (const Area& a : **areas) {
    if (a.cols == 0 || a.rows == 0) continue;
    for (const Joint& j : a.joints) {
      if (j.tile1 >= 1 && j.tile1 <= a.cols * a.rows) {
        const auto [c, r] = serpentine(j.tile1, a.cols, a.rows);
        if (c >= a.cols || r >= a.rows) __builtin_trap();
      }
    }
  }
  return 0;
}
