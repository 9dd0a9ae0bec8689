#pragma once

// What the slide fuzz targets do with a slide that opened: read its tiles and
// associated images, through the planned read and straight into a buffer of
// the planned size (the two must agree).

#include <cstdint>
#include <vector>

#include "slide/slide.hpp"

namespace kolva::fuzz {

// Reads `plan` both ways; traps when both succeed with different bytes.
inline void read_both_ways(const slide::Slide& slide, const slide::TilePlan& plan) {
  auto bytes = slide.read(plan);
  if (const auto size = plan.output_size(); size && *size <= (1U << 24)) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(*size));
    auto into = slide.read_into(plan, buffer);
    if (bytes.ok() && into.ok() && *bytes != buffer) __builtin_trap();
  }
}

// The first `per_level` tiles of every level, row by row, and every associated image.
inline void read_first_tiles(const slide::Slide& slide, std::uint64_t per_level) {
  for (std::uint64_t level = 0; level < slide.levels().size(); ++level) {
    const auto grid = slide.levels()[level].info.tile_grid;
    std::uint64_t read = 0;
    for (std::uint64_t y = 0; y < grid.second && read < per_level; ++y) {
      for (std::uint64_t x = 0; x < grid.first && read < per_level; ++x, ++read) {
        (void)slide.read_tile(level, x, y);
      }
    }
  }
  for (const auto& image : slide.associated_images()) (void)slide.read_associated(image.name);
}

}  // namespace kolva::fuzz
