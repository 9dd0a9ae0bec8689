#pragma once

// A small tiled TIFF built in memory for the Slide tests: shared JPEG tables
// and 5 x 4 tiles that each differ in length and content.

#include <memory>
#include <vector>

#include "slide/slide.hpp"
#include "std_io/source.hpp"
#include "test_support.hpp"

namespace kolva::test {

using slide::ErrorKind;
using slide::Slide;

constexpr std::uint64_t kAcross = 5;
constexpr std::uint64_t kDown = 4;
constexpr std::uint64_t kTile = 16;

// A tiled TIFF with shared tables whose tiles are SOI, 2 + i bytes of value i,
// EOI: each tile differs in length and content.
struct TiledTiff {
  Bytes file;
  Bytes tables = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x03, 0x07, 0xFF, 0xD9};
  std::vector<Bytes> tiles;

  TiledTiff() {
    const TiffFlavour f{ByteOrder::Little, false};
    const Enc e = f.enc();
    // Tiles first, directory after (as scanners write them).
    file = {'I', 'I', 42, 0, 0, 0, 0, 0};
    std::vector<std::uint64_t> offsets, counts;
    for (std::uint64_t i = 0; i < kAcross * kDown; ++i) {
      Bytes tile = {0xFF, 0xD8};
      tile.insert(tile.end(), 2 + i, static_cast<std::uint8_t>(i));
      tile.push_back(0xFF);
      tile.push_back(0xD9);
      offsets.push_back(file.size());
      counts.push_back(tile.size());
      file.insert(file.end(), tile.begin(), tile.end());
      tiles.push_back(std::move(tile));
    }
    Bytes offs, cnts;
    for (auto o : offsets) put(offs, o, 4, f.order);
    for (auto c : counts) put(cnts, c, 4, f.order);
    const TiffDir dir{{
        {256, 4, 1, e.u32({kAcross * kTile})},
        {257, 4, 1, e.u32({kDown * kTile})},
        {259, 3, 1, e.u16({7})},
        {322, 4, 1, e.u32({kTile})},
        {323, 4, 1, e.u32({kTile})},
        {324, 4, kAcross * kDown, offs},
        {325, 4, kAcross * kDown, cnts},
        {347, 7, tables.size(), tables},
    }};
    // Lay the directory out after the tiles by building it alone and shifting.
    const TiffImage alone = build_tiff(f, {dir});
    const std::uint64_t shift = file.size() - 8;
    Bytes tail(alone.bytes.begin() + 8, alone.bytes.end());
    // Out-of-line value offsets move with the directory.
    for (std::size_t i = 0; i < dir.entries.size(); ++i) {
      if (const auto block = alone.blocks[0][i]) {
        const std::size_t field = alone.dirs[0] - 8 + 2 + i * 12 + 8;
        patch(tail, field, *block + shift, 4, f.order);
      }
    }
    patch(file, 4, alone.dirs[0] + shift, 4, f.order);
    file.insert(file.end(), tail.begin(), tail.end());
  }

  Bytes expected(std::uint64_t x, std::uint64_t y) const {
    Bytes out(tables.begin(), tables.end() - 2);
    const Bytes& t = tiles[y * kAcross + x];
    out.insert(out.end(), t.begin() + 2, t.end());
    return out;
  }
};

inline std::shared_ptr<const Slide> open_memory(const Bytes& bytes) {
  auto opened = Slide::open(std::make_shared<std_io::SharedMemorySource>(bytes, "mem.tif"));
  if (!opened.ok()) ADD_FAILURE() << opened.error().message;
  return opened.ok() ? std::move(opened).value() : nullptr;
}

}  // namespace kolva::test
