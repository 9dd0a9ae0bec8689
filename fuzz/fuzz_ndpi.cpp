// The NDPI branch alone: the directory readers (plain TIFF, else the 64-bit
// offset layout) followed by the level scan, then tile plans and reads of
// whatever opened. The input also goes to the 64-bit offset reader alone,
// which the plain reader otherwise mostly shadows.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "drivers/hamamatsu/format/ndpi/ndpi.hpp"
#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"
#include "std_io/std_io.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace {

namespace ndpi = kolva::format::ndpi;
namespace ndpi_big = kolva::format::ndpi_big;
using Directories = kolva::OrElseReadConsumer<kolva::tiff_tools::TiffDecoder, ndpi_big::NdpiBigIfdDecoder>;
using Branch = kolva::ConcatReadConsumer<Directories, ndpi::IfdToNdpiDecoder>;

constexpr std::uint64_t kMaxTilesPerLevel = 48;

void drop_line(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  kolva::std_io::MemorySource source(kolva::Bytes(data, data + size));

  {
    auto [big, big_first] = ndpi_big::NdpiBigIfdDecoder::dispatch(kolva::NoInput{});
    auto ifds = kolva::std_io::run(source, std::move(big), big_first);
    if (ifds.ok()) {
      for (const auto& ifd : *ifds) (void)ndpi::DecodingLevel::from_ifd(ifd);
    }
  }

  auto [branch, first] = Branch::dispatch(kolva::NoInput{});
  auto decoder = kolva::std_io::run(source, std::move(branch), first);
  if (!decoder.ok()) return 0;
  const std::uint64_t levels = decoder->level_count();
  for (std::uint64_t level = 0; level <= levels; ++level) {  // one past the end on purpose
    const auto info = decoder->get_level(level);
    const std::uint64_t across = info ? info->tile_grid.first : 1;
    const std::uint64_t down = info ? info->tile_grid.second : 1;
    std::uint64_t tried = 0;
    for (std::uint64_t y = 0; y <= down && tried < kMaxTilesPerLevel; ++y) {
      for (std::uint64_t x = 0; x <= across && tried < kMaxTilesPerLevel; ++x, ++tried) {
        auto plan = decoder->read_tile(level, x, y);
        if (!plan.ok()) continue;
        auto [reader, read_first] = ndpi::NdpiReadTile::dispatch(std::move(plan).value());
        (void)kolva::std_io::run(source, std::move(reader), read_first);
      }
    }
    (void)decoder->read_tile(level, UINT64_MAX, UINT64_MAX);
  }
  return 0;
}
