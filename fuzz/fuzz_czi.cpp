// Zeiss CZI: the input as a CZI file ("slide.czi"), opened with the plane
// chosen by its last byte (series, channel, focal plane), then its properties
// worked out and up to 64 tiles of every level and every associated image
// read. Hostile segment sizes, directory counts, dimension lists, metadata
// and embedded CZIs must end in a SlideError: no crash, hang or leak.

#include <cstddef>
#include <cstdint>

#include "slide/slide.hpp"
#include "slide_reads.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kolva::slide;
  auto source = std::make_shared<kolva::std_io::SharedMemorySource>(kolva::Bytes(data, data + size),
                                                                    "slide.czi");
  OpenOptions options;
  if (size > 0) {
    const std::uint8_t pick = data[size - 1];
    if (pick & 0x80) {
      options.planes[PlaneAxis::Series].index = pick & 1;
      options.planes[PlaneAxis::Channel].index = (pick >> 1) & 1;
      options.planes[PlaneAxis::FocalPlane].index = (pick >> 2) & 1;
    }
  }
  auto opened = Slide::open(source, options);
  if (!opened.ok()) return 0;
  const Slide& s = **opened;
  (void)s.properties();  // the metadata XML may be read only now
  kolva::fuzz::read_first_tiles(s, 64);
  return 0;
}
