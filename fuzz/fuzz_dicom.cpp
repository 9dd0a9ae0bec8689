// The DICOM instance reader over arbitrary bytes (data elements, sequences of
// undefined length nested deep, offset tables, fragments), then the series
// built from it and every tile it plans (bounded), read and assembled. The
// same bytes also go through the fragment joiner and the RLE unpacker.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "drivers/dicom/parser.hpp"
#include "drivers/dicom/series.hpp"
#include "slide/slide.hpp"
#include "std_io/source.hpp"
#include "std_io/std_io.hpp"

namespace {

namespace dicom = kolva::dicom;

constexpr std::uint64_t kMaxTiles = 64;

void drop_line(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  const kolva::ByteSpan bytes(data, size);
  (void)dicom::join_fragments(bytes);
  if (size > 2) (void)dicom::unpack_rle(bytes.subspan(2), 1 + data[0] % 16, 1 + data[1] % 16, 3, 1);

  auto memory = std::make_shared<kolva::std_io::SharedMemorySource>(kolva::Bytes(data, data + size),
                                                                     "fuzz.dcm");
  kolva::std_io::MemorySource source(kolva::Bytes(data, data + size));
  auto [reader, first] = dicom::InstanceReader::dispatch(size);
  auto instance = kolva::std_io::run(source, std::move(reader), first);
  if (!instance.ok()) return 0;
  for (const auto& frame : instance->frames) {
    if (frame.offset > size || frame.length > size - frame.offset) __builtin_trap();
  }
  auto opened = kolva::slide::Slide::open(kolva::slide::SourceSet(memory), {});
  if (!opened.ok()) return 0;
  const auto& slide = **opened;
  std::uint64_t tried = 0;
  for (std::uint64_t level = 0; level <= slide.levels().size(); ++level) {
    std::uint64_t across = 1, down = 1;
    if (level < slide.levels().size()) {
      across = slide.levels()[level].info.tile_grid.first;
      down = slide.levels()[level].info.tile_grid.second;
    }
    for (std::uint64_t y = 0; y <= down && tried < kMaxTiles; ++y) {
      for (std::uint64_t x = 0; x <= across && tried < kMaxTiles; ++x, ++tried) {
        (void)slide.read_tile(level, x, y);
      }
    }
  }
  for (const auto& image : slide.associated_images()) (void)slide.read_associated(image.name);
  return 0;
}
