// Hostile tiles into the region reader: the input is a few parameter bytes (tile
// size, region, scale, cache) and then one stream that every stored tile of a
// 3 x 2 grid hands out as its JPEG. Tile (1, 0) is not stored. The level is a
// plain grid or painted in overlapping pieces (2 x 2 a tile). Regions straddle
// tiles and the level's edges; the reader must decode or fail, never crash.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "region/region.hpp"
#include "slide/slide.hpp"
#include "std_io/source.hpp"

namespace {

using namespace kolva;

class OneStreamTiler final : public slide::Tiler {
 public:
  explicit OneStreamTiler(std::uint64_t length) : length_(length) {}
  slide::SlideResult<slide::TilePlan> plan(std::uint64_t level, std::uint64_t x,
                                           std::uint64_t y) const override {
    if (x == 1 && y == 0) return slide::errors::tile_not_stored(level, x, y);
    return slide::TilePlan{slide::RangeList{slide::Range{kParams, length_ - kParams}},
                           slide::Splice{}};
  }
  static constexpr std::uint64_t kParams = 8;

 private:
  std::uint64_t length_;
};

const slide::Family kFamily{"fuzz", "fuzz", "Fuzz"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Drivers plan no empty tile (a zero length is a tile not stored).
  if (size <= OneStreamTiler::kParams) return 0;
  const std::uint64_t tile = 8 * (1 + data[0] % 8);            // 8 .. 64
  const std::uint64_t width = 2 * tile + data[1] % tile + 1;   // the last column is partial
  const std::uint64_t height = tile + data[2] % tile + 1;
  const std::int64_t x = static_cast<std::int64_t>(data[3] % (3 * tile)) - static_cast<std::int64_t>(tile / 2);
  const std::int64_t y = static_cast<std::int64_t>(data[4] % (2 * tile)) - static_cast<std::int64_t>(tile / 2);
  const std::uint32_t w = 1 + data[5] % 96, h = 1 + data[6] % 96;
  const std::uint32_t denom = 1U << (data[7] % 4);
  const bool alpha = data[7] & 4, cached = data[7] & 8;

  slide::Level level{LevelInfo{{width, height}, {tile, tile}, {3, 2}, TileEncoding::Jpeg},
                     "image/jpeg", 1.0};
  if (data[7] & 16) {
    // Painted in pieces: each stored tile as 2 x 2 pieces, advancing by a
    // little less than a piece (they overlap), the first piece left out.
    const double half = static_cast<double>(tile / 2);
    const double advance = half - static_cast<double>(data[7] >> 5);
    level.tile_rects.assign(6, slide::TileRect{});
    for (std::uint64_t t = 0; t < 6; ++t) {
      level.tile_rects[t] = slide::TileRect{static_cast<double>(t % 3) * 2 * advance,
                                            static_cast<double>(t / 3) * 2 * advance,
                                            static_cast<double>(tile), static_cast<double>(tile)};
    }
    level.piece_grid = {6, 4};
    level.pieces.assign(24, slide::TilePiece{});
    for (std::uint64_t p = 1; p < 24; ++p) {
      const std::uint64_t c = p % 6, r = p / 6;
      level.pieces[p] = slide::TilePiece{(r / 2) * 3 + c / 2, static_cast<std::uint32_t>((c % 2) * (tile / 2)),
                                         static_cast<std::uint32_t>((r % 2) * (tile / 2)),
                                         slide::TileRect{static_cast<double>(c) * advance,
                                                         static_cast<double>(r) * advance, half, half}};
    }
  }
  slide::SlideParts parts{{level}, {}, {}, std::make_shared<OneStreamTiler>(size)};
  auto source = std::make_shared<std_io::SharedMemorySource>(Bytes(data, data + size), "fuzz");
  auto s = std::make_shared<const slide::Slide>(slide::SourceSet(source), kFamily, std::move(parts));
  region::RegionReader reader(s, cached ? 1 << 20 : 0);

  std::vector<std::uint8_t> out(std::size_t{w} * h * (alpha ? 4 : 3));
  region::PaintOptions options;
  options.alpha = alpha;
  (void)reader.read(region::LevelRegion{0, x, y, w, h, denom}, out, options);
  // Twice: the second read may come from the cache.
  (void)reader.read(region::LevelRegion{0, x, y, w, h, denom}, out, options);
  const std::pair<std::int64_t, std::int64_t> origins[2] = {{x, y}, {y, x}};
  std::vector<std::uint8_t> many(out.size() * 2);
  (void)reader.read_regions(0, origins, w, h, many, options, 1);
  return 0;
}
