// Sakura SVSlide: the input as an SQLite database ("slide.svslide"), read
// through the read-only VFS; its tables (the unique table's ids and header,
// the slide, scan and image rows) opened, then every tile of every level and
// every associated image read. SQLite's refusals and hostile rows must end in
// a SlideError: no crash, hang or leak.

#include <cstddef>
#include <cstdint>

#include "slide/slide.hpp"
#include "slide_reads.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(
      kolva::Bytes(data, data + size), "slide.svslide");
  auto opened = kolva::slide::Slide::open(source);
  if (!opened.ok()) return 0;
  const kolva::slide::Slide& s = **opened;
  kolva::fuzz::read_first_tiles(s, 64);
  return 0;
}
