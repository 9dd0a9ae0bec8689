// Sakura SVSlide: the input as an SQLite database ("slide.svslide"), read
// through the read-only VFS; its tables (the unique table's ids and header,
// the slide, scan and image rows) opened, then every tile of every level and
// every associated image read. SQLite's refusals and hostile rows must end in
// a SlideError: no crash, hang or leak.

#include <cstddef>
#include <cstdint>

#include "slide/slide.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(
      kolva::Bytes(data, data + size), "slide.svslide");
  auto opened = kolva::slide::Slide::open(source);
  if (!opened.ok()) return 0;
  const kolva::slide::Slide& s = **opened;
  for (std::uint64_t level = 0; level < s.levels().size(); ++level) {
    const auto grid = s.levels()[level].info.tile_grid;
    std::uint64_t read = 0;
    for (std::uint64_t y = 0; y < grid.second && read < 64; ++y) {
      for (std::uint64_t x = 0; x < grid.first && read < 64; ++x, ++read) {
        (void)s.read_tile(level, x, y);
      }
    }
  }
  for (const auto& image : s.associated_images()) (void)s.read_associated(image.name);
  return 0;
}
