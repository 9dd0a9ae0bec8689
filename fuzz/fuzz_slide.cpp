// Opens arbitrary bytes as a `kolva` package slide (slide::Slide over a memory
// source): the specified decoders, the tiled-TIFF codec planner, associated
// images. Then reads tiles of every level, in and out of range, both through
// the planned read and straight into a buffer of the planned size, and every
// associated image. Any crash, hang, leak or sanitizer report is a defect.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "slide/slide.hpp"
#include "slide_reads.hpp"
#include "std_io/source.hpp"

namespace {

constexpr std::uint64_t kMaxTilesPerLevel = 48;

void drop_line(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(
      kolva::Bytes(data, data + size), "fuzz input");
  auto opened = kolva::slide::Slide::open(source);
  if (!opened.ok()) return 0;
  const auto& slide = **opened;
  const std::uint64_t levels = slide.levels().size();
  for (std::uint64_t level = 0; level <= levels; ++level) {  // one past the end on purpose
    const bool exists = level < levels;
    const std::uint64_t across = exists ? slide.levels()[level].info.tile_grid.first : 1;
    const std::uint64_t down = exists ? slide.levels()[level].info.tile_grid.second : 1;
    std::uint64_t read = 0;
    std::vector<kolva::slide::TilePlan> plans;
    for (std::uint64_t y = 0; y <= down && read < kMaxTilesPerLevel; ++y) {
      for (std::uint64_t x = 0; x <= across && read < kMaxTilesPerLevel; ++x, ++read) {
        auto plan = slide.plan_tile(level, x, y);
        if (!plan.ok()) continue;
        kolva::fuzz::read_both_ways(slide, *plan);
        plans.push_back(std::move(plan).value());
      }
    }
    kolva::fuzz::read_as_batch(slide, plans);
    (void)slide.plan_tile(level, UINT64_MAX, UINT64_MAX);
  }
  for (const auto& image : slide.associated_images()) {
    kolva::fuzz::read_both_ways(slide, image.plan);
    (void)slide.read_associated(image.name);
  }
  (void)slide.read_associated("no such image");
  return 0;
}
