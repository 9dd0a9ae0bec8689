// Sakura SVSlide: the input as an SQLite database ("slide.svslide"), read
// through the read-only VFS; its tables (the unique table's ids and header,
// the slide, scan and image rows) opened, then every tile of every level and
// every associated image read, then the tiles again as a batch straight into
// buffers of their size (their planes read to their places), which must come
// out as read first. Tiles' blobs are read from the file's pages (b-tree
// cells, overflow chains), SQLite reading those that are not as expected. SQLite's refusals and hostile rows must end in a
// SlideError: no crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "slide/slide.hpp"
#include "slide_reads.hpp"

namespace {

void read_sized_batches(const kolva::slide::Slide& s, std::uint64_t per_level) {
  for (std::uint64_t level = 0; level < s.levels().size(); ++level) {
    const auto grid = s.levels()[level].info.tile_grid;
    kolva::slide::Batch batch{level, {}, {}};
    std::vector<kolva::Bytes> expected, buffers;
    for (std::uint64_t i = 0; i < per_level && i < grid.first * grid.second; ++i) {
      const std::uint64_t x = i % grid.first, y = i / grid.first;
      auto tile = s.read_tile(level, x, y);
      auto plan = s.plan_tile(level, x, y);  // sized, once the tile was read
      if (!plan.ok() || !tile.ok() || plan->output_size() != tile->size()) continue;
      batch.coords.emplace_back(x, y);
      batch.plans.push_back(std::move(plan).value());
      expected.push_back(std::move(tile).value());
      buffers.emplace_back(expected.back().size());
    }
    std::vector<std::span<std::uint8_t>> dst(buffers.begin(), buffers.end());
    std::vector<kolva::Bytes> assembled;
    if (!s.read_batch(batch, dst, assembled, 1).ok()) continue;
    if (buffers != expected) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(
      kolva::Bytes(data, data + size), "slide.svslide");
  auto opened = kolva::slide::Slide::open(source);
  if (!opened.ok()) return 0;
  const kolva::slide::Slide& s = **opened;
  kolva::fuzz::read_first_tiles(s, 64);
  read_sized_batches(s, 64);
  return 0;
}
