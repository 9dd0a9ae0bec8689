#pragma once

// Decoded regions of a slide: read_region(level, x0, y0, w, h) -> pixels.
//
// A region reads and decodes only the stored tiles under it, through the
// Slide's plans and its read executor (a remote slide fetches just those
// tiles), and of each tile only the rows and iMCU columns the region needs.
// Tiles are painted at their rectangles in the level, in the layout's order,
// clipped to the level: a later tile covers an earlier one where they
// overlap. Pixels no stored tile covers (outside the level, tiles the file
// does not store) are the background colour, or transparent in RGBA output.
//
// Decoded tiles (or the parts of them that were decoded) are kept in a cache
// bounded in bytes, shared by every thread reading through the same reader.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "region/tile_cache.hpp"
#include "slide/slide.hpp"

namespace kolva::region {

// Where one stored tile lies in its level, in level pixels.
struct TileRect {
  std::int64_t x = 0, y = 0;
  std::uint64_t width = 0, height = 0;
};

// A stored tile under a region: its coordinates in the level's tile table, its
// rectangle and, where only a piece of it is painted, that piece (`clip`, in
// the same level pixels, inside `rect`; no area: the whole rectangle).
struct PlacedTile {
  std::uint64_t col = 0, row = 0;
  TileRect rect;
  TileRect clip = {};
  const TileRect& shown() const { return clip.width > 0 && clip.height > 0 ? clip : rect; }
};

// Where a level's stored tiles lie.
class Layout {
 public:
  virtual ~Layout() = default;
  // The tiles whose rectangle meets `area`, in painting order.
  virtual void tiles_under(const TileRect& area, std::vector<PlacedTile>& out) const = 0;
};

// A plain grid: tile (c, r) at (c * tile_w, r * tile_h), tile-sized.
class GridLayout final : public Layout {
 public:
  GridLayout(std::pair<std::uint64_t, std::uint64_t> tile_size,
             std::pair<std::uint64_t, std::uint64_t> grid)
      : tile_(tile_size), grid_(grid) {}
  void tiles_under(const TileRect& area, std::vector<PlacedTile>& out) const override;

 private:
  std::pair<std::uint64_t, std::uint64_t> tile_;
  std::pair<std::uint64_t, std::uint64_t> grid_;
};

// Tiles at recorded rectangles (overlapping, offset): rects[row * cols + col],
// painted row by row, each row left to right (OpenSlide's order), or in the
// level's own paint order where it records one, so that a later tile covers an
// earlier one where they overlap. Empty rectangles are tiles the level does not
// store. A tile lies near its grid cell; how far the
// farthest one strays bounds the cells searched for a region.
// A level painted in pieces (from_pieces) is the same over its grid of pieces:
// each cell a piece of a stored tile, painted row by row.
class RectLayout final : public Layout {
 public:
  RectLayout(std::pair<std::uint64_t, std::uint64_t> tile_size,
             std::pair<std::uint64_t, std::uint64_t> grid, std::vector<TileRect> rects,
             std::span<const std::uint64_t> paint_order = {});
  // A level's recorded rectangles at whole pixels: each edge rounded to the
  // nearest one, so that neighbours that meet keep meeting.
  static std::vector<TileRect> from_level(std::span<const slide::TileRect> rects);
  // A level whose stored tiles (tile_size, tile_grid) are painted as `pieces`,
  // piece_grid of them, each edge rounded as from_level does.
  static RectLayout from_pieces(std::pair<std::uint64_t, std::uint64_t> tile_size,
                                std::pair<std::uint64_t, std::uint64_t> tile_grid,
                                std::pair<std::uint64_t, std::uint64_t> piece_grid,
                                std::span<const slide::TilePiece> pieces);
  void tiles_under(const TileRect& area, std::vector<PlacedTile>& out) const override;

 private:
  RectLayout(std::pair<std::uint64_t, std::uint64_t> cell,
             std::pair<std::uint64_t, std::uint64_t> grid, std::vector<PlacedTile> cells,
             std::span<const std::uint64_t> paint_order);

  std::pair<std::uint64_t, std::uint64_t> tile_;  // a cell's size
  std::pair<std::uint64_t, std::uint64_t> grid_;
  std::vector<PlacedTile> cells_;  // what each cell paints; nothing where shown() has no area
  std::vector<std::uint64_t> rank_;  // each cell's place in the paint order; empty: row by row
  std::uint64_t reach_x_ = 0, reach_y_ = 0;  // the most a tile's edge strays from its cell's
};

// One region in a level's pixels, decoded at 1/scale_denom (the DCT scales
// JPEG tiles by 1/2, 1/4 or 1/8; x, y, width and height are then in the
// scaled level's pixels).
struct LevelRegion {
  std::uint64_t level = 0;
  std::int64_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
  std::uint32_t scale_denom = 1;
};

struct PaintOptions {
  std::array<std::uint8_t, 3> background{255, 255, 255};
  // RGBA out: alpha 255 where stored tiles cover, (0, 0, 0, 0) elsewhere.
  bool alpha = false;
};

class RegionReader {
 public:
  static constexpr std::uint64_t kDefaultCacheBytes = 256ULL << 20;

  RegionReader(std::shared_ptr<const slide::Slide> slide, std::uint64_t cache_bytes);

  const slide::Slide& slide() const { return *slide_; }
  // Whether this reader decodes the tiles of `level` (JPEG); others are left
  // to the caller's codecs.
  bool decodes(std::uint64_t level) const;
  // The stored tiles of `level` whose rectangles meet `area` (level pixels), in
  // painting order: where the caller's codecs paint the tiles this reader
  // does not decode.
  std::vector<PlacedTile> tiles_under(std::uint64_t level, const TileRect& area) const;
  // The level's region under level-0 (x0, y0): the level pixel holding it.
  static std::pair<std::int64_t, std::int64_t> level_origin(const slide::Level& level,
                                                            std::int64_t x0, std::int64_t y0);

  // Decodes `region` into `out` (height rows of width * 3, or * 4 with alpha,
  // bytes). Returns whether stored tiles cover every pixel of it.
  slide::SlideResult<bool> read(const LevelRegion& region, std::span<std::uint8_t> out,
                                const PaintOptions& options = {}) const;
  // read_region(level, x0, y0, w, h): x0, y0 in level-0 pixels.
  slide::SlideResult<bool> read_region(std::uint64_t level, std::int64_t x0, std::int64_t y0,
                                       std::uint32_t width, std::uint32_t height,
                                       std::span<std::uint8_t> out,
                                       const PaintOptions& options = {}) const;
  // Equal-sized regions of one level at level-0 `origins`, one after the other
  // in `out`, decoded on `threads` threads. Stops at the first failure.
  slide::SlideResult<Unit> read_regions(std::uint64_t level,
                                        std::span<const std::pair<std::int64_t, std::int64_t>> origins,
                                        std::uint32_t width, std::uint32_t height,
                                        std::span<std::uint8_t> out, const PaintOptions& options,
                                        unsigned threads) const;

  TileCache::Stats cache_stats() const { return cache_.stats(); }

 private:
  // read(), the background painted first when `fill` (otherwise only when
  // stored tiles may leave pixels uncovered).
  slide::SlideResult<bool> paint(const LevelRegion& region, std::span<std::uint8_t> out,
                                 const PaintOptions& options, bool fill) const;

  std::shared_ptr<const slide::Slide> slide_;
  std::vector<std::unique_ptr<Layout>> layouts_;  // per level
  mutable TileCache cache_;
};

}  // namespace kolva::region
