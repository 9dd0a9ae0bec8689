// The readers of files with several images and planes: the OME-XML and QPI
// description dialects on their own, then the whole input opened as a slide
// (OME-TIFF SubIFD chains, QPTIFF page sets) with a series, channel, focal
// plane and timepoint chosen from its first bytes, every tile of every level
// read through the planned read and straight into a buffer (they must agree),
// and every associated image. Any crash, hang, leak or sanitizer report is a
// defect.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "drivers/ome_tiff/ome_xml.hpp"
#include "drivers/qptiff/qpi_xml.hpp"
#include "slide/slide.hpp"
#include "slide_reads.hpp"
#include "std_io/source.hpp"

namespace {

constexpr std::uint64_t kMaxTilesPerLevel = 32;

void drop_line(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto doc = kolva::drivers::ome::parse_ome_xml(text, 4096)) {
    for (const auto& image : doc->images) {
      if (image.plane_ifds.size() != image.plane_count()) __builtin_trap();
    }
  }
  {
    // The opening's reading (type and name only) agrees with the whole one.
    namespace qpi = kolva::drivers::qpi;
    const std::string utf8 = qpi::description_text(text);
    const auto whole = qpi::parse_qpi_description(utf8);
    const auto facts = qpi::parse_qpi_description(utf8, false);
    if (whole.has_value() != facts.has_value() ||
        (whole && (whole->image_type != facts->image_type || whole->name != facts->name ||
                   !facts->fields.empty()))) {
      __builtin_trap();
    }
  }
  if (size < 4) return 0;

  kolva::slide::OpenOptions options;
  // The first four bytes choose along each axis: the high bit a name, else an index.
  for (std::size_t a = 0; a < kolva::slide::kPlaneAxisCount; ++a) {
    const std::uint8_t b = data[a];
    if (b == 0) continue;
    if (b & 0x80) {
      options.planes.axes[a].name = std::string(1, static_cast<char>('A' + (b & 0x1F)));
    } else {
      options.planes.axes[a].index = b & 0x07;
    }
  }
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(
      kolva::Bytes(data + 4, data + size), "fuzz input");
  auto opened = kolva::slide::Slide::open(source, options);
  if (!opened.ok()) return 0;
  const auto& slide = **opened;
  for (const auto& list : slide.planes().axes) {
    if (list.selected >= list.count) __builtin_trap();
  }
  const std::uint64_t levels = slide.levels().size();
  for (std::uint64_t level = 0; level < levels; ++level) {
    const auto grid = slide.levels()[level].info.tile_grid;
    const auto& rects = slide.levels()[level].tile_rects;
    std::uint64_t read = 0;
    std::vector<kolva::slide::TilePlan> plans;
    for (std::uint64_t y = 0; y < grid.second && read < kMaxTilesPerLevel; ++y) {
      for (std::uint64_t x = 0; x < grid.first && read < kMaxTilesPerLevel; ++x) {
        // A positioned level's cells where it places no tile are skipped.
        if (!rects.empty() && !rects[y * grid.first + x].stored()) continue;
        ++read;
        auto plan = slide.plan_tile(level, x, y);
        if (!plan.ok()) continue;
        kolva::fuzz::read_both_ways(slide, *plan);
        plans.push_back(std::move(plan).value());
      }
    }
    kolva::fuzz::read_as_batch(slide, plans);
  }
  for (const auto& image : slide.associated_images()) kolva::fuzz::read_both_ways(slide, image.plan);
  return 0;
}
