#include "region/region.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "region/jpeg_decode.hpp"
#include "slide/pool.hpp"

namespace kolva::region {

using slide::ErrorKind;
using slide::SlideError;
using slide::SlideResult;

namespace {

std::int64_t clamp_add(std::int64_t a, std::uint64_t b) {
  const auto limit = static_cast<std::uint64_t>(INT64_MAX - std::max<std::int64_t>(a, 0));
  return a + static_cast<std::int64_t>(std::min(b, limit));
}

// The intersection of two rectangles (empty: width or height 0).
TileRect intersect(const TileRect& a, const TileRect& b) {
  const std::int64_t x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const std::int64_t x1 = std::min(clamp_add(a.x, a.width), clamp_add(b.x, b.width));
  const std::int64_t y1 = std::min(clamp_add(a.y, a.height), clamp_add(b.y, b.height));
  if (x1 <= x0 || y1 <= y0) return TileRect{x0, y0, 0, 0};
  return TileRect{x0, y0, static_cast<std::uint64_t>(x1 - x0), static_cast<std::uint64_t>(y1 - y0)};
}

std::uint64_t floor_div(std::int64_t a, std::uint64_t b) {
  return a <= 0 ? 0 : static_cast<std::uint64_t>(a) / b;
}

}  // namespace

void GridLayout::tiles_under(const TileRect& area, std::vector<PlacedTile>& out) const {
  const auto [tw, th] = tile_;
  if (tw == 0 || th == 0 || area.width == 0 || area.height == 0) return;
  const std::uint64_t c0 = floor_div(area.x, tw), r0 = floor_div(area.y, th);
  const std::int64_t right = clamp_add(area.x, area.width), bottom = clamp_add(area.y, area.height);
  if (right <= 0 || bottom <= 0) return;
  const std::uint64_t c1 = std::min(grid_.first, (static_cast<std::uint64_t>(right) - 1) / tw + 1);
  const std::uint64_t r1 = std::min(grid_.second, (static_cast<std::uint64_t>(bottom) - 1) / th + 1);
  for (std::uint64_t r = r0; r < r1; ++r) {
    for (std::uint64_t c = c0; c < c1; ++c) {
      out.push_back(PlacedTile{c, r,
                               TileRect{static_cast<std::int64_t>(c * tw),
                                        static_cast<std::int64_t>(r * th), tw, th}});
    }
  }
}

namespace {

std::vector<PlacedTile> cells_of(std::pair<std::uint64_t, std::uint64_t> grid,
                                 std::vector<TileRect> rects) {
  std::vector<PlacedTile> out(rects.size());
  for (std::size_t i = 0; i < rects.size() && grid.first > 0; ++i) {
    out[i] = PlacedTile{i % grid.first, i / grid.first, rects[i]};
  }
  return out;
}

}  // namespace

RectLayout::RectLayout(std::pair<std::uint64_t, std::uint64_t> tile_size,
                       std::pair<std::uint64_t, std::uint64_t> grid, std::vector<TileRect> rects,
                       std::span<const std::uint64_t> paint_order)
    : RectLayout(tile_size, grid, cells_of(grid, std::move(rects)), paint_order) {}

RectLayout::RectLayout(std::pair<std::uint64_t, std::uint64_t> cell,
                       std::pair<std::uint64_t, std::uint64_t> grid, std::vector<PlacedTile> cells,
                       std::span<const std::uint64_t> paint_order)
    : tile_(cell), grid_(grid), cells_(std::move(cells)) {
  if (grid_.first == 0 || cells_.size() < grid_.first * grid_.second) {
    grid_ = {0, 0};
    return;
  }
  if (!paint_order.empty()) {
    // Tiles the order leaves out keep row order after those it names.
    rank_.assign(cells_.size(), paint_order.size());
    for (std::size_t k = 0; k < paint_order.size(); ++k) {
      if (paint_order[k] < rank_.size()) rank_[paint_order[k]] = k;
    }
  }
  auto stray = [](std::int64_t edge, std::uint64_t at) {
    const auto c = static_cast<std::int64_t>(std::min<std::uint64_t>(at, INT64_MAX));
    return static_cast<std::uint64_t>(edge > c ? edge - c : c - edge);
  };
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    const TileRect& r = cells_[i].shown();
    if (r.width == 0 || r.height == 0) continue;
    const std::uint64_t col = i % grid_.first, row = i / grid_.first;
    reach_x_ = std::max({reach_x_, stray(r.x, col * tile_.first),
                         stray(clamp_add(r.x, r.width), (col + 1) * tile_.first)});
    reach_y_ = std::max({reach_y_, stray(r.y, row * tile_.second),
                         stray(clamp_add(r.y, r.height), (row + 1) * tile_.second)});
  }
}

RectLayout RectLayout::from_pieces(std::pair<std::uint64_t, std::uint64_t> tile_size,
                                   std::pair<std::uint64_t, std::uint64_t> tile_grid,
                                   std::pair<std::uint64_t, std::uint64_t> piece_grid,
                                   std::span<const slide::TilePiece> pieces) {
  const auto [tw, th] = tile_size;
  const std::uint64_t tiles = tile_grid.first * tile_grid.second;
  std::vector<slide::TileRect> shown;
  shown.reserve(pieces.size());
  for (const slide::TilePiece& p : pieces) shown.push_back(p.to);
  std::vector<TileRect> clips = from_level(shown);
  std::vector<PlacedTile> cells(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const slide::TilePiece& p = pieces[i];
    const TileRect& clip = clips[i];
    if (clip.width == 0 || p.tile >= tiles || p.from_x >= tw || p.from_y >= th) continue;
    cells[i] = PlacedTile{p.tile % tile_grid.first, p.tile / tile_grid.first,
                          TileRect{clip.x - p.from_x, clip.y - p.from_y, tw, th},
                          intersect(clip, TileRect{clip.x - p.from_x, clip.y - p.from_y, tw, th})};
    if (cells[i].clip.width == 0) cells[i] = PlacedTile{};
  }
  // A cell is a piece's share of its stored tile.
  const std::pair<std::uint64_t, std::uint64_t> cell{
      std::max<std::uint64_t>(1, piece_grid.first ? tw * tile_grid.first / piece_grid.first : tw),
      std::max<std::uint64_t>(1, piece_grid.second ? th * tile_grid.second / piece_grid.second : th)};
  return RectLayout(cell, piece_grid, std::move(cells), {});
}

std::vector<TileRect> RectLayout::from_level(std::span<const slide::TileRect> rects) {
  std::vector<TileRect> out;
  out.reserve(rects.size());
  constexpr double kLimit = 4.0e18;
  auto whole = [&](double v) {
    return static_cast<std::int64_t>(std::llround(std::clamp(v, -kLimit, kLimit)));
  };
  for (const slide::TileRect& r : rects) {
    if (!r.stored() || !std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.width) ||
        !std::isfinite(r.height)) {
      out.push_back(TileRect{});
      continue;
    }
    const std::int64_t x0 = whole(r.x), y0 = whole(r.y);
    const std::int64_t x1 = whole(r.x + r.width), y1 = whole(r.y + r.height);
    out.push_back(x1 > x0 && y1 > y0 ? TileRect{x0, y0, static_cast<std::uint64_t>(x1 - x0),
                                                static_cast<std::uint64_t>(y1 - y0)}
                                     : TileRect{});
  }
  return out;
}

void RectLayout::tiles_under(const TileRect& area, std::vector<PlacedTile>& out) const {
  const auto [tw, th] = tile_;
  if (tw == 0 || th == 0 || grid_.first == 0 || area.width == 0 || area.height == 0) return;
  // The cells whose tiles may reach the area: the area widened by the reach.
  const TileRect wide{area.x - static_cast<std::int64_t>(std::min<std::uint64_t>(reach_x_, INT32_MAX)),
                      area.y - static_cast<std::int64_t>(std::min<std::uint64_t>(reach_y_, INT32_MAX)),
                      area.width + 2 * std::min<std::uint64_t>(reach_x_, INT32_MAX),
                      area.height + 2 * std::min<std::uint64_t>(reach_y_, INT32_MAX)};
  const std::int64_t right = clamp_add(wide.x, wide.width), bottom = clamp_add(wide.y, wide.height);
  if (right <= 0 || bottom <= 0) return;
  const std::uint64_t c0 = floor_div(wide.x, tw), r0 = floor_div(wide.y, th);
  const std::size_t first = out.size();
  const std::uint64_t c1 = std::min(grid_.first, (static_cast<std::uint64_t>(right) - 1) / tw + 1);
  const std::uint64_t r1 = std::min(grid_.second, (static_cast<std::uint64_t>(bottom) - 1) / th + 1);
  for (std::uint64_t row = r0; row < r1; ++row) {
    for (std::uint64_t col = c0; col < c1; ++col) {
      const PlacedTile& cell = cells_[row * grid_.first + col];
      const TileRect& r = cell.shown();
      if (r.width == 0 || r.height == 0 || intersect(r, area).width == 0) continue;
      out.push_back(cell);
    }
  }
  if (!rank_.empty()) {
    std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                     [&](const PlacedTile& a, const PlacedTile& b) {
                       return rank_[a.row * grid_.first + a.col] < rank_[b.row * grid_.first + b.col];
                     });
  }
}

RegionReader::RegionReader(std::shared_ptr<const slide::Slide> slide, std::uint64_t cache_bytes)
    : slide_(std::move(slide)), cache_(cache_bytes) {
  for (const slide::Level& level : slide_->levels()) {
    if (level.positioned() && !level.pieces.empty()) {
      layouts_.push_back(std::make_unique<RectLayout>(RectLayout::from_pieces(
          level.info.tile_size, level.info.tile_grid, level.piece_grid, level.pieces)));
    } else if (level.positioned()) {
      layouts_.push_back(std::make_unique<RectLayout>(level.info.tile_size, level.info.tile_grid,
                                                      RectLayout::from_level(level.tile_rects), level.paint_order));
    } else {
      layouts_.push_back(std::make_unique<GridLayout>(level.info.tile_size, level.info.tile_grid));
    }
  }
}

std::vector<PlacedTile> RegionReader::tiles_under(std::uint64_t level, const TileRect& area) const {
  std::vector<PlacedTile> out;
  if (level < layouts_.size()) layouts_[level]->tiles_under(area, out);
  return out;
}

bool RegionReader::decodes(std::uint64_t level) const {
  return level < slide_->levels().size() &&
         slide_->levels()[level].media_type == "image/jpeg";
}

std::pair<std::int64_t, std::int64_t> RegionReader::level_origin(const slide::Level& level,
                                                                 std::int64_t x0,
                                                                 std::int64_t y0) {
  const double ds = level.downsample > 0 ? level.downsample : 1.0;
  if (ds == 1.0) return {x0, y0};
  return {static_cast<std::int64_t>(std::floor(static_cast<double>(x0) / ds)),
          static_cast<std::int64_t>(std::floor(static_cast<double>(y0) / ds))};
}

SlideResult<bool> RegionReader::read_region(std::uint64_t level, std::int64_t x0,
                                            std::int64_t y0, std::uint32_t width,
                                            std::uint32_t height, std::span<std::uint8_t> out,
                                            const PaintOptions& options) const {
  const auto& levels = slide_->levels();
  if (level >= levels.size()) return slide::errors::level_not_found(level, levels.size());
  const auto [x, y] = level_origin(levels[level], x0, y0);
  return read(LevelRegion{level, x, y, width, height, 1}, out, options);
}

SlideResult<bool> RegionReader::read(const LevelRegion& region, std::span<std::uint8_t> out,
                                     const PaintOptions& options) const {
  return paint(region, out, options, false);
}

SlideResult<bool> RegionReader::paint(const LevelRegion& region, std::span<std::uint8_t> out,
                                      const PaintOptions& options, bool fill) const {
  const auto& levels = slide_->levels();
  if (region.level >= levels.size()) {
    return slide::errors::level_not_found(region.level, levels.size());
  }
  const std::size_t channels = options.alpha ? 4 : 3;
  const std::size_t stride = static_cast<std::size_t>(region.width) * channels;
  if (out.size() != stride * region.height) {
    return SlideError{ErrorKind::Invalid, "a region was read into a buffer of the wrong size",
                      std::nullopt};
  }
  if (!decodes(region.level)) {
    return SlideError{ErrorKind::Unsupported,
                      "the tiles of level " + std::to_string(region.level) + " are " +
                          levels[region.level].media_type + ", which this reader does not decode",
                      std::nullopt};
  }
  const std::uint32_t denom = region.scale_denom;
  const LevelInfo& info = levels[region.level].info;
  if ((denom != 1 && denom != 2 && denom != 4 && denom != 8) || info.tile_size.first % denom ||
      info.tile_size.second % denom) {
    return SlideError{ErrorKind::Invalid,
                      "tiles of " + std::to_string(info.tile_size.first) + " x " +
                          std::to_string(info.tile_size.second) + " pixels do not scale by 1/" +
                          std::to_string(denom),
                      std::nullopt};
  }

  auto fill_background = [&] {
    if (options.alpha) {
      std::memset(out.data(), 0, out.size());
    } else if (options.background[0] == options.background[1] &&
               options.background[1] == options.background[2]) {
      std::memset(out.data(), options.background[0], out.size());
    } else {
      for (std::size_t i = 0; i < out.size(); i += 3) {
        std::memcpy(&out[i], options.background.data(), 3);
      }
    }
  };
  if (region.width == 0 || region.height == 0) {
    fill_background();
    return true;
  }

  // Everything in level pixels at full scale, then divided by `denom`.
  const TileRect area{region.x, region.y, region.width, region.height};
  const TileRect level_rect{0, 0, (info.dimensions.first + denom - 1) / denom,
                            (info.dimensions.second + denom - 1) / denom};
  const TileRect full_area{region.x * static_cast<std::int64_t>(denom),
                           region.y * static_cast<std::int64_t>(denom),
                           std::uint64_t{region.width} * denom, std::uint64_t{region.height} * denom};
  std::vector<PlacedTile> under;
  layouts_[region.level]->tiles_under(full_area, under);

  // The part each tile gives (in scaled level pixels), the cached ones found.
  struct Need {
    PlacedTile tile;
    TileRect part;                                // scaled level pixels
    TileRect scaled;                              // the tile's scaled rectangle
    TileRect inside;                              // what it paints of the level, scaled
    std::shared_ptr<const DecodedTile> decoded;   // from the cache, or decoded
    std::optional<slide::TilePlan> plan;
    std::size_t bytes_index = 0;
    bool asked_before = false;  // whether the tile missed the cache before
  };
  std::vector<Need> needs;
  needs.reserve(under.size());
  std::uint64_t covered = 0;
  const std::uint64_t level_bytes = level_rect.width * level_rect.height * 3;
  const bool whole_tiles = level_bytes <= cache_.capacity() / 2;
  slide::Batch batch{region.level, {}, {}};
  bool every_tile_stored = true;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> planned;  // pieced tiles read
  for (const PlacedTile& t : under) {
    auto scale = [&](const TileRect& r) {
      return TileRect{r.x / static_cast<std::int64_t>(denom), r.y / static_cast<std::int64_t>(denom),
                      r.width / denom, r.height / denom};
    };
    const TileRect scaled = scale(t.rect);
    // What the tile paints: inside the level, and only its piece where it is
    // painted in pieces.
    const TileRect inside = intersect(intersect(scaled, level_rect), scale(t.shown()));
    const TileRect part = intersect(inside, area);
    if (part.width == 0) continue;
    Need need{t, part, scaled, inside, nullptr, std::nullopt, 0, false};
    const TileKey key{region.level, t.col, t.row, denom};
    if (auto hit = cache_.find(key, &need.asked_before);
        hit && hit->holds(static_cast<std::uint32_t>(part.x - scaled.x),
                          static_cast<std::uint32_t>(part.y - scaled.y),
                          static_cast<std::uint32_t>(part.width),
                          static_cast<std::uint32_t>(part.height))) {
      need.decoded = std::move(hit);
    } else if (auto again = t.clip.width > 0 ? planned.find({t.col, t.row}) : planned.end();
               again != planned.end()) {
      need.bytes_index = again->second;  // another piece of a tile read already
    } else {
      auto plan = slide_->plan_tile(region.level, t.col, t.row);
      if (!plan.ok()) {
        if (plan.error().kind == ErrorKind::TileNotFound) {  // not stored
          every_tile_stored = false;
          continue;
        }
        return std::move(plan).error();
      }
      need.bytes_index = batch.plans.size();
      if (t.clip.width > 0) planned.emplace(std::pair(t.col, t.row), need.bytes_index);
      batch.coords.emplace_back(t.col, t.row);
      batch.plans.push_back(std::move(plan).value());
    }
    needs.push_back(std::move(need));
  }

  // Background first; tiles paint over it. A region inside the level whose
  // grid tiles are all stored is painted whole by them: no background, unless
  // a tile turns out to paint less (then the region is painted again over it).
  const bool within = area.x >= 0 && area.y >= 0 &&
                      static_cast<std::uint64_t>(area.x) + area.width <= level_rect.width &&
                      static_cast<std::uint64_t>(area.y) + area.height <= level_rect.height;
  fill = fill || !within || !every_tile_stored || levels[region.level].positioned();
  if (fill) fill_background();

  std::vector<Bytes> encoded;
  if (!batch.plans.empty()) {
    const std::vector<std::span<std::uint8_t>> nowhere(batch.plans.size());
    if (auto got = slide_->read_batch(batch, nowhere, encoded, 1); !got.ok()) {
      return std::move(got).error();
    }
  }

  // A tile painted in pieces is decoded once for all of them: the box around
  // the parts its pieces paint here (tile pixels, scaled), by bytes_index.
  std::map<std::size_t, std::shared_ptr<const DecodedTile>> pieces_decoded;
  std::map<std::size_t, TileRect> pieces_box;
  for (const Need& need : needs) {
    if (need.decoded || need.tile.clip.width == 0) continue;
    const TileRect in_tile{need.part.x - need.scaled.x, need.part.y - need.scaled.y,
                           need.part.width, need.part.height};
    auto [it, fresh] = pieces_box.emplace(need.bytes_index, in_tile);
    if (fresh) continue;
    TileRect& box = it->second;
    const std::int64_t x1 = std::max(clamp_add(box.x, box.width), clamp_add(in_tile.x, in_tile.width));
    const std::int64_t y1 = std::max(clamp_add(box.y, box.height), clamp_add(in_tile.y, in_tile.height));
    box.x = std::min(box.x, in_tile.x);
    box.y = std::min(box.y, in_tile.y);
    box.width = static_cast<std::uint64_t>(x1 - box.x);
    box.height = static_cast<std::uint64_t>(y1 - box.y);
  }
  for (Need& need : needs) {
    const TileRect& part = need.part;
    const TileRect& scaled = need.scaled;
    const auto dx = static_cast<std::size_t>(part.x - area.x);
    const auto dy = static_cast<std::size_t>(part.y - area.y);
    // Whole tiles are decoded and kept for the next regions when the level
    // fits the cache, or when the region needs most of a tile asked for
    // before (regions that overlap, or walk the level). Otherwise just the
    // region's part of it is decoded, straight into place: a tile of a large
    // level asked for once (random patches) seldom serves another region, and
    // decoding it whole and keeping it costs more (the rows and columns the
    // region does not need, fresh pages for every entry) than it saves. A tile
    // wholly inside the region goes straight into place too: the region is a
    // level or a large part of one (a thumbnail), whose tiles are seldom read
    // again.
    const TileRect& inside = need.inside;
    const bool whole_in_region = part.x == inside.x && part.y == inside.y &&
                                 part.width == inside.width && part.height == inside.height;
    const bool keep = cache_.capacity() > 0 && !whole_in_region &&
                      (whole_tiles || (need.asked_before && 2 * part.width * part.height >=
                                                                scaled.width * scaled.height));
    const bool pieced = need.tile.clip.width > 0;
    if (!need.decoded && pieced) {
      if (auto it = pieces_decoded.find(need.bytes_index); it != pieces_decoded.end()) {
        need.decoded = it->second;
      }
    }
    if (!need.decoded && !keep && !pieced && channels == 3) {
      const JpegCrop crop{static_cast<std::uint32_t>(part.x - scaled.x),
                          static_cast<std::uint32_t>(part.y - scaled.y),
                          static_cast<std::uint32_t>(part.width),
                          static_cast<std::uint32_t>(part.height), denom};
      JpegSize painted;
      if (auto why = decode_jpeg_rgb(encoded[need.bytes_index], crop,
                                     out.data() + dy * stride + dx * 3, stride, &painted);
          !why.empty()) {
        return slide::errors::tile_undecodable(slide_->name(), region.level, need.tile.col,
                                               need.tile.row, why);
      }
      covered += std::uint64_t{painted.width} * painted.height;
      continue;
    }
    if (!need.decoded) {
      auto tile = std::make_shared<DecodedTile>();
      // A kept tile is the part of it inside the level: edge tiles may be
      // stored cut to the level (NDPI) or padded past it (TIFF).
      // A tile painted in pieces is kept whole (its other pieces lie apart),
      // or decoded as far as its pieces here need.
      TileRect want = keep ? intersect(scaled, level_rect) : part;
      if (pieced) {
        const TileRect& box = pieces_box[need.bytes_index];
        want = keep ? scaled : TileRect{scaled.x + box.x, scaled.y + box.y, box.width, box.height};
      }
      tile->x = static_cast<std::uint32_t>(want.x - scaled.x);
      tile->y = static_cast<std::uint32_t>(want.y - scaled.y);
      tile->width = static_cast<std::uint32_t>(want.width);
      tile->height = static_cast<std::uint32_t>(want.height);
      tile->rgb.resize(std::size_t{tile->width} * tile->height * 3);
      const JpegCrop crop{tile->x, tile->y, tile->width, tile->height, denom};
      JpegSize painted;
      if (auto why = decode_jpeg_rgb(encoded[need.bytes_index], crop, tile->rgb.data(),
                                     std::size_t{tile->width} * 3, &painted);
          !why.empty()) {
        return slide::errors::tile_undecodable(slide_->name(), region.level, need.tile.col,
                                               need.tile.row, why);
      }
      tile->painted_width = painted.width;
      tile->painted_height = painted.height;
      need.decoded = tile;
      if (pieced) pieces_decoded.emplace(need.bytes_index, tile);
      if (keep) {
        cache_.put(TileKey{region.level, need.tile.col, need.tile.row, denom}, std::move(tile));
      }
    }
    const DecodedTile& d = *need.decoded;
    const auto sx = static_cast<std::size_t>(part.x - scaled.x - d.x);
    const auto sy = static_cast<std::size_t>(part.y - scaled.y - d.y);
    const std::size_t src_stride = std::size_t{d.width} * 3;
    // Only what the stored tile painted; the rest stays background.
    const std::size_t rows = sy < d.painted_height
                                 ? std::min<std::size_t>(part.height, d.painted_height - sy)
                                 : 0;
    const std::size_t cols = sx < d.painted_width
                                 ? std::min<std::size_t>(part.width, d.painted_width - sx)
                                 : 0;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint8_t* src = d.rgb.data() + (sy + r) * src_stride + sx * 3;
      std::uint8_t* dst = out.data() + (dy + r) * stride + dx * channels;
      if (channels == 3) {
        std::memcpy(dst, src, cols * 3);
      } else {
        for (std::size_t c = 0; c < cols; ++c) {
          dst[4 * c] = src[3 * c];
          dst[4 * c + 1] = src[3 * c + 1];
          dst[4 * c + 2] = src[3 * c + 2];
          dst[4 * c + 3] = 255;
        }
      }
    }
    covered += rows * cols;
  }
  // Tiles may overlap: coverage is exact for grids, where they do not.
  const bool whole = covered >= std::uint64_t{region.width} * region.height;
  if (!whole && !fill) return paint(region, out, options, true);
  return whole;
}

SlideResult<Unit> RegionReader::read_regions(
    std::uint64_t level, std::span<const std::pair<std::int64_t, std::int64_t>> origins,
    std::uint32_t width, std::uint32_t height, std::span<std::uint8_t> out,
    const PaintOptions& options, unsigned threads) const {
  const std::size_t each = std::size_t{width} * height * (options.alpha ? 4 : 3);
  if (out.size() != each * origins.size()) {
    return SlideError{ErrorKind::Invalid, "regions were read into a buffer of the wrong size",
                      std::nullopt};
  }
  std::mutex mutex;
  std::optional<SlideError> failure;
  // The pool hands out work by the dozen (it is sized for tile reads); a
  // region is worth a dozen tile reads, so each one stands for kSpread items.
  constexpr std::size_t kSpread = 16;
  slide::parallel_chunks(origins.size() * kSpread, std::max(1U, threads),
                         [&](std::size_t b, std::size_t e) {
    for (std::size_t i = (b + kSpread - 1) / kSpread; i * kSpread < e; ++i) {
      {
        std::lock_guard lock(mutex);
        if (failure) return;
      }
      auto got = read_region(level, origins[i].first, origins[i].second, width, height,
                             out.subspan(i * each, each), options);
      if (!got.ok()) {
        std::lock_guard lock(mutex);
        if (!failure) failure = std::move(got).error();
        return;
      }
    }
  });
  if (failure) return std::move(*failure);
  return Unit{};
}

}  // namespace kolva::region
