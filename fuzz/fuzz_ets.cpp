// The Olympus ETS opening consumer alone over arbitrary bytes, then every tile
// request the opened table allows (plus some outside it), resolved and read.
// The same bytes are also taken as a bare tile table of 3 to 16 dimensions
// (chosen by the first byte), so every entry size meets arbitrary entries.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "drivers/olympus/format/olympus/olympus.hpp"
#include "std_io/std_io.hpp"

namespace {

namespace olympus = kolva::format::olympus;

constexpr std::uint64_t kMaxTilesPerLevel = 64;

void drop_line(std::string_view) {}

// A bare tile table: the levels it yields must be consistent with their slots.
void table_alone(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::uint32_t dimensions = olympus::kMinDimensions + data[0] % 14;
  const olympus::EtsHeader header{0x30001, 2, 3, 4, olympus::EtsCompression::Jpeg, 90, 16, 16,
                                  1, 0, 1};
  auto decoder = olympus::decode_tile_table({data + 1, size - 1}, header, dimensions);
  if (!decoder.ok()) return;
  for (const auto& level : decoder->levels()) {
    if (level.slots != level.tiles_across * level.tiles_down * level.planes ||
        level.slots > olympus::kMaxLevelSlots || level.tiles.size() > level.slots) {
      __builtin_trap();
    }
    for (const auto& [slot, tile] : level.tiles) {
      if (slot >= level.slots) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  table_alone(data, size);
  kolva::std_io::MemorySource source(kolva::Bytes(data, data + size));
  auto [constructor, first] = olympus::EtsDecoderConstructor::dispatch(kolva::NoInput{});
  auto decoder = kolva::std_io::run(source, std::move(constructor), first);
  if (!decoder.ok()) return 0;
  const std::uint64_t levels = decoder->level_count();
  for (std::uint64_t level = 0; level <= levels; ++level) {  // one past the end on purpose
    (void)decoder->get_level(level);
    std::uint64_t across = 1;
    std::uint64_t down = 1;
    if (level < levels) {
      across = decoder->levels()[level].tiles_across;
      down = decoder->levels()[level].tiles_down;
    }
    std::uint64_t tried = 0;
    for (std::uint64_t y = 0; y <= down && tried < kMaxTilesPerLevel; ++y) {
      for (std::uint64_t x = 0; x <= across && tried < kMaxTilesPerLevel; ++x, ++tried) {
        auto tile = decoder->read_tile(level, x, y);
        if (!tile.ok()) continue;
        auto [reader, read_first] = olympus::EtsReadTile::dispatch(*tile);
        auto bytes = kolva::std_io::run(source, std::move(reader), read_first);
        if (bytes.ok() && bytes->size() != tile->length) __builtin_trap();
      }
    }
    (void)decoder->read_tile(level, UINT64_MAX, UINT64_MAX);
    (void)decoder->read_tile(level, across, 0);
    (void)decoder->read_tile(level, 0, down);
  }
  return 0;
}
