#pragma once

// What the slide fuzz targets do with a slide that opened: read its tiles and
// associated images, through the planned read and straight into a buffer of
// the planned size (the two must agree).

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "slide/executor.hpp"
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

// `plans` read as one batch, backwards and over again (the executor puts them
// in file order and copies repeats; from 64 tiles it sorts them in bulk), on
// one and on two threads; traps when the batch succeeds with other bytes than
// a tile read alone.
inline void read_as_batch(const slide::Slide& slide, const std::vector<slide::TilePlan>& plans) {
  if (plans.empty()) return;
  std::vector<slide::TilePlan> batch;
  const std::size_t rounds = std::min<std::size_t>(8, std::max<std::size_t>(2, 64 / plans.size() + 1));
  for (std::size_t round = 0; round < rounds; ++round) {
    batch.insert(batch.end(), plans.rbegin(), plans.rend());
  }
  std::vector<std::vector<std::uint8_t>> buffers(batch.size());
  std::vector<std::span<std::uint8_t>> dst(batch.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto size = batch[i].output_size();
    if (!size || *size == 0 || *size > (1U << 20) || (total += *size) > (1U << 24)) return;
    buffers[i].resize(static_cast<std::size_t>(*size));
    dst[i] = buffers[i];
  }
  for (unsigned threads : {1U, 2U}) {
    std::vector<Bytes> assembled;
    if (!slide::read_plans(slide, batch, dst, assembled, threads).ok()) continue;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      auto alone = slide.read(batch[i]);
      if (alone.ok() && *alone != buffers[i]) __builtin_trap();
    }
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
