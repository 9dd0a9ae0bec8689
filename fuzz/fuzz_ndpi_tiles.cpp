// NDPI slides at a chosen tile size: opening through the package's Slide, then
// single tile reads (bands shrunk to the tile) and one batch (whole bands) per
// level, all cut by lossless crops from whatever the stripes hold.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "slide/slide.hpp"
#include "std_io/source.hpp"

namespace {

constexpr std::uint64_t kMaxTilesPerLevel = 32;

void drop_line(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(kolva::Bytes(data, data + size),
                                                                    "fuzz.ndpi");
  kolva::slide::OpenOptions options;
  options.tile_size = std::uint64_t{16} << (size % 4);
  auto opened = kolva::slide::Slide::open(source, options);
  if (!opened.ok()) return 0;
  const kolva::slide::Slide& slide = **opened;
  for (std::uint64_t level = 0; level < slide.levels().size(); ++level) {
    const auto [across, down] = slide.levels()[level].info.tile_grid;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> coords;
    for (std::uint64_t y = 0; y < down && coords.size() < kMaxTilesPerLevel; ++y) {
      for (std::uint64_t x = 0; x < across && coords.size() < kMaxTilesPerLevel; ++x) {
        coords.emplace_back(x, y);
        (void)slide.read_tile(level, x, y);
      }
    }
    if (auto batch = slide.plan_batch(level, coords); batch.ok()) {
      std::vector<kolva::Bytes> tiles;
      (void)slide.read_batch(*batch, {}, tiles, 1);
    }
  }
  return 0;
}
