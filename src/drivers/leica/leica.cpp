#include "drivers/leica/leica.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <set>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/tiff_levels.hpp"
#include "drivers/leica/scn_xml.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {
namespace {

namespace md = slide::metadata;
using slide::PlaneAxis;
using tiff_tools::Ifd;

constexpr std::uint16_t kDescription = 270;

// The distinct values of `key` among the image's dimensions, lowest first.
template <class Key>
std::vector<std::uint64_t> distinct(const scn::Image& image, Key key) {
  std::set<std::uint64_t> values;
  for (const scn::Dimension& d : image.dimensions) values.insert(key(d));
  return {values.begin(), values.end()};
}

std::uint64_t first_channel(const scn::Image& image) {
  return distinct(image, [](const scn::Dimension& d) { return d.c; }).front();
}

// One level of an image: its dimension and the directory holding it.
struct Member {
  scn::Dimension dimension;
  const Ifd* ifd = nullptr;
};

// The pyramid of `image` in channel `c` and focal plane `z`: largest first,
// one directory per size.
std::vector<Member> pyramid(const std::vector<Ifd>& ifds, const scn::Image& image,
                            std::uint64_t c, std::uint64_t z) {
  std::vector<scn::Dimension> dims;
  for (const scn::Dimension& d : image.dimensions) {
    if (d.c == c && d.z == z && d.ifd < ifds.size()) dims.push_back(d);
  }
  std::sort(dims.begin(), dims.end(), [](const scn::Dimension& a, const scn::Dimension& b) {
    return a.width != b.width ? a.width > b.width : a.resolution < b.resolution;
  });
  std::vector<Member> out;
  for (const scn::Dimension& d : dims) {
    const Ifd& ifd = ifds[d.ifd];
    if (!out.empty() && ifd.scalar(256).value_or(0) >= out.back().ifd->scalar(256).value_or(0)) {
      continue;
    }
    out.push_back(Member{d, &ifd});
  }
  return out;
}

// The collection's series: every brightfield main image on one slide-sized
// level per resolution.
constexpr std::string_view kCollection = "collection";
// Collection levels beyond these are no scanner's.
constexpr double kMaxPixels = 1e9;
constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 22;

// A stored tile of the collection's level: tile (col, row) of `inner`, a
// level of the images' pyramids one after the other.
struct Cell {
  std::uint64_t inner = UINT64_MAX;
  std::uint64_t col = 0, row = 0;
};

// Tile (x, y) of a collection level is the tile of a main image's level that
// its cell names; the main images' own plans read it.
class CollectionTiler final : public slide::Tiler {
 public:
  CollectionTiler(std::shared_ptr<const slide::Tiler> inner,
                  std::vector<std::pair<std::uint64_t, std::vector<Cell>>> levels)
      : inner_(std::move(inner)), levels_(std::move(levels)) {}

  SlideResult<slide::TilePlan> plan(std::uint64_t level, std::uint64_t x,
                                    std::uint64_t y) const override {
    if (level >= levels_.size()) return slide::errors::level_not_found(level, levels_.size());
    const auto& [across, cells] = levels_[level];
    const std::uint64_t at = y * across + x;
    if (x >= across || at >= cells.size() || cells[at].inner == UINT64_MAX) {
      return slide::errors::tile_not_stored(level, x, y);
    }
    auto planned = inner_->plan(cells[at].inner, cells[at].col, cells[at].row);
    if (!planned.ok() && planned.error().kind == slide::ErrorKind::TileNotFound) {
      return slide::errors::tile_not_stored(level, x, y);
    }
    return planned;
  }

 private:
  std::shared_ptr<const slide::Tiler> inner_;
  std::vector<std::pair<std::uint64_t, std::vector<Cell>>> levels_;  // (across, cells) per level
};

// The main image's place at a level, as OpenSlide puts it: its view offset
// over the level's nanometres per pixel, cut to whole pixels.
std::pair<std::int64_t, std::int64_t> offset_at(const scn::Image& image, double nm_per_pixel) {
  auto at = [&](std::uint64_t nm) {
    return static_cast<std::int64_t>(std::min(static_cast<double>(nm) / nm_per_pixel, kMaxPixels));
  };
  return {at(image.view_x), at(image.view_y)};
}

double nm_per_pixel(const scn::Image& image, const scn::Dimension& d) {
  return d.width == 0 ? 0.0 : static_cast<double>(image.view_width) / static_cast<double>(d.width);
}

// The collection's levels: level n of every main image placed at its offset
// on a level of the collection's size, the tiles of each image after the
// previous image's, each cut to its image. Tile (x, y) is the cell of the
// level's largest tile size holding the tile's corner; tiles that share a
// cell go to rows added below.
// OpenSlide's kolva.region[i].* (each main image at level 0) and
// kolva.bounds-* (the box around them) go to `map`.
SlideResult<SlideParts> compose(const SourceSet& sources, const Probe& probe,
                                const scn::Collection& collection,
                                const std::vector<const scn::Image*>& mains, md::PropertyMap& map) {
  const auto& ifds = probe.tiff->ifds;
  const std::string name = sources.name();
  auto refuse = [&](const std::string& why) {
    return slide::errors::not_composable(name, std::string(kCollection), why);
  };
  std::vector<std::vector<Member>> pyramids;
  for (const scn::Image* image : mains) {
    pyramids.push_back(pyramid(ifds, *image, first_channel(*image), 0));
  }
  const scn::Image& first = *mains.front();
  const std::size_t count = pyramids.front().size();
  for (std::size_t k = 1; k < mains.size(); ++k) {
    if (mains[k]->illumination_source != first.illumination_source ||
        mains[k]->objective != first.objective || pyramids[k].size() != count) {
      return refuse("main images " + std::to_string(k) +
                    " and 0 are dissimilar (illumination, objective or number of levels)");
    }
  }
  if (count == 0) return refuse("its main images have no level in focal plane 0");
  std::vector<const Ifd*> flat;
  for (const auto& members : pyramids) {
    for (const Member& m : members) flat.push_back(m.ifd);
  }
  auto planned = plan_tiff_levels(flat, probe.tiff->order, 0, probe.tiff);
  if (!planned.ok()) {
    return slide::errors::unsupported(name, planned.error(), KolvaError::LevelNotFound{0, 0});
  }
  const std::vector<slide::Level>& inner = planned->levels;

  SlideParts parts;
  std::vector<std::pair<std::uint64_t, std::vector<Cell>>> cells_of;
  for (std::size_t n = 0; n < count; ++n) {
    const double nm = nm_per_pixel(first, pyramids[0][n].dimension);
    if (!(nm > 0) || !std::isfinite(nm)) return refuse("its level " + std::to_string(n) + " has no size");
    std::uint64_t tw = 1, th = 1;
    for (std::size_t k = 0; k < mains.size(); ++k) {
      const double own = nm_per_pixel(*mains[k], pyramids[k][n].dimension);
      if (!(std::abs(own - nm) <= 0.02 * nm)) {
        return refuse("the resolutions of main images " + std::to_string(k) + " and 0 at level " +
                      std::to_string(n) + " are inconsistent");
      }
      const slide::Level& l = inner[k * count + n];
      if (l.media_type != inner[n].media_type) {
        return refuse("main images " + std::to_string(k) + " and 0 store level " +
                      std::to_string(n) + " in different codecs");
      }
      tw = std::max(tw, l.info.tile_size.first);
      th = std::max(th, l.info.tile_size.second);
    }
    const double wide = static_cast<double>(collection.width) / nm;
    const double high = static_cast<double>(collection.height) / nm;
    if (wide > kMaxPixels || high > kMaxPixels) {
      return refuse("its level " + std::to_string(n) + " would be too large");
    }
    const auto width = static_cast<std::uint64_t>(wide), height = static_cast<std::uint64_t>(high);
    // The tiles, image by image, each row by row: OpenSlide's painting order.
    struct Placed {
      Cell cell;
      slide::TileRect rect;
      std::uint64_t x = 0, y = 0;  // the cell of its corner
    };
    std::vector<Placed> tiles;
    std::uint64_t across = std::max<std::uint64_t>(1, (width + tw - 1) / tw);
    std::uint64_t down = std::max<std::uint64_t>(1, (height + th - 1) / th);
    for (std::size_t k = 0; k < mains.size(); ++k) {
      const slide::Level& l = inner[k * count + n];
      const auto [ox, oy] = offset_at(*mains[k], nm_per_pixel(*mains[k], pyramids[k][n].dimension));
      const auto [iw, ih] = l.info.dimensions;
      const auto [itw, ith] = l.info.tile_size;
      for (std::uint64_t r = 0; r < l.info.tile_grid.second; ++r) {
        for (std::uint64_t c = 0; c < l.info.tile_grid.first; ++c) {
          const std::int64_t x = ox + static_cast<std::int64_t>(c * itw);
          const std::int64_t y = oy + static_cast<std::int64_t>(r * ith);
          const std::uint64_t w = std::min(itw, iw - std::min(iw, c * itw));
          const std::uint64_t h = std::min(ith, ih - std::min(ih, r * ith));
          if (w == 0 || h == 0) continue;
          Placed p{Cell{k * count + n, c, r},
                   slide::TileRect{static_cast<double>(x), static_cast<double>(y),
                                   static_cast<double>(w), static_cast<double>(h)},
                   static_cast<std::uint64_t>(std::max<std::int64_t>(x, 0)) / tw,
                   static_cast<std::uint64_t>(std::max<std::int64_t>(y, 0)) / th};
          across = std::max(across, p.x + 1);
          down = std::max(down, p.y + 1);
          tiles.push_back(p);
        }
      }
    }
    if (across * down > kMaxCells || tiles.size() > kMaxCells) {
      return refuse("its level " + std::to_string(n) + " would be too large");
    }
    std::vector<Cell> cells(across * down);
    std::vector<slide::TileRect> rects(across * down);
    std::vector<std::uint64_t> order;
    std::vector<const Placed*> overflow;
    for (const Placed& p : tiles) {
      const std::uint64_t at = p.y * across + p.x;
      if (cells[at].inner != UINT64_MAX) {
        overflow.push_back(&p);
        continue;
      }
      cells[at] = p.cell;
      rects[at] = p.rect;
      order.push_back(at);
    }
    for (std::size_t i = 0; i < overflow.size(); ++i) {
      if (i % across == 0) {
        cells.resize(cells.size() + across);
        rects.resize(rects.size() + across);
        ++down;
      }
      const std::uint64_t at = (down - 1) * across + i % across;
      cells[at] = overflow[i]->cell;
      rects[at] = overflow[i]->rect;
      order.push_back(at);
    }
    // Painted in image order; row by row is the same where images do not overlap.
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
      return cells[a].inner < cells[b].inner;
    });
    slide::Level level = inner[n];
    level.info.dimensions = {width, height};
    level.info.tile_size = {tw, th};
    level.info.tile_grid = {across, down};
    level.tile_rects = std::move(rects);
    if (mains.size() > 1) level.paint_order = std::move(order);
    parts.levels.push_back(std::move(level));
    cells_of.emplace_back(across, std::move(cells));
  }
  mean_downsamples(parts.levels);
  std::int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
  for (std::size_t k = 0; k < mains.size(); ++k) {
    const slide::Level& l = inner[k * count];
    const auto [x, y] = offset_at(*mains[k], nm_per_pixel(*mains[k], pyramids[k][0].dimension));
    const auto w = static_cast<std::int64_t>(l.info.dimensions.first);
    const auto h = static_cast<std::int64_t>(l.info.dimensions.second);
    const std::string key = "kolva.region[" + std::to_string(k) + "].";
    map[key + "x"] = std::to_string(x);
    map[key + "y"] = std::to_string(y);
    map[key + "width"] = std::to_string(w);
    map[key + "height"] = std::to_string(h);
    x0 = std::min(x0, x);
    y0 = std::min(y0, y);
    x1 = std::max(x1, x + w);
    y1 = std::max(y1, y + h);
  }
  map["kolva.bounds-x"] = std::to_string(x0);
  map["kolva.bounds-y"] = std::to_string(y0);
  map["kolva.bounds-width"] = std::to_string(x1 - x0);
  map["kolva.bounds-height"] = std::to_string(y1 - y0);
  parts.tiler = std::make_shared<CollectionTiler>(std::move(planned->tiler), std::move(cells_of));
  return parts;
}

}  // namespace

const Family& LeicaDriver::family() const {
  static const Family family{"leica", "leica", "Leica SCN"};
  return family;
}

bool LeicaDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  if (probe.tiff->ifds[0].get(322) == nullptr) return false;
  const std::string* description = md::ascii_tag(probe.tiff->ifds[0], kDescription);
  return description != nullptr && scn::is_scn_xml(*description);
}

SlideResult<Opening> LeicaDriver::open(SourceSet& sources, const Probe& probe,
                                       const OpenOptions& options) const {
  const auto& ifds = probe.tiff->ifds;
  const std::string_view description(*md::ascii_tag(ifds[0], kDescription));
  auto collection = scn::parse_scn_xml(description.substr(0, description.find('\0')));
  if (!collection) return Opening(Declined{});
  std::vector<const scn::Image*> regions;
  const scn::Image* macro = nullptr;
  for (const scn::Image& image : collection->images) {
    if (image.dimensions.empty()) continue;
    if (collection->is_macro(image) && macro == nullptr) {
      macro = &image;
    } else {
      regions.push_back(&image);
    }
  }
  if (regions.empty()) return Opening(Declined{});

  // OpenSlide composes the brightfield main images into one level per
  // resolution: the collection, offered as the last series.
  std::vector<const scn::Image*> mains;
  for (const scn::Image* image : regions) {
    if (image->illumination_source == "brightfield") mains.push_back(image);
  }

  slide::Planes planes;
  auto& series = planes[PlaneAxis::Series];
  series.count = regions.size() + (mains.empty() ? 0 : 1);
  {
    std::set<std::string> seen;
    for (const scn::Image* image : regions) {
      if (!image->name.empty() && seen.insert(image->name).second) series.names.push_back(image->name);
    }
    if (!mains.empty() && seen.insert(std::string(kCollection)).second) {
      series.names.emplace_back(kCollection);
    }
    if (series.names.size() != series.count) series.names.clear();
  }
  auto chosen = slide::choose_plane(PlaneAxis::Series, options.planes[PlaneAxis::Series], series);
  if (!chosen.ok()) return std::move(chosen).error();
  series.selected = *chosen;
  const bool composed = *chosen == regions.size();
  // The image whose settings the properties describe: the first main image of
  // the collection.
  const scn::Image& image = composed ? *mains.front() : *regions[*chosen];

  SlideParts parts;
  md::PropertyMap map;
  std::vector<const Ifd*> chosen_ifds;  // the served pyramid's directories, largest first
  if (composed) {
    auto made = compose(sources, probe, *collection, mains, map);
    if (!made.ok()) return std::move(made).error();
    parts = std::move(made).value();
    parts.planes = std::move(planes);
    for (const Member& m : pyramid(ifds, image, first_channel(image), 0)) chosen_ifds.push_back(m.ifd);
  } else {
    const auto channels = distinct(image, [](const scn::Dimension& d) { return d.c; });
    const auto focal = distinct(image, [](const scn::Dimension& d) { return d.z; });
    auto& channel_list = planes[PlaneAxis::Channel];
    channel_list.count = channels.size();
    if (image.channel_names.size() == channels.size()) channel_list.names = image.channel_names;
    auto c = slide::choose_plane(PlaneAxis::Channel, options.planes[PlaneAxis::Channel], channel_list);
    if (!c.ok()) return std::move(c).error();
    channel_list.selected = *c;
    planes[PlaneAxis::FocalPlane].count = focal.size();
    auto z = slide::choose_plane(PlaneAxis::FocalPlane, options.planes[PlaneAxis::FocalPlane],
                                 planes[PlaneAxis::FocalPlane]);
    if (!z.ok()) return std::move(z).error();
    planes[PlaneAxis::FocalPlane].selected = *z;
    for (const Member& m : pyramid(ifds, image, channels[*c], focal[*z])) chosen_ifds.push_back(m.ifd);
    if (chosen_ifds.empty()) return Opening(Declined{});
    auto opened = tiff_level_parts(sources, chosen_ifds, probe.tiff->order, probe.tiff,
                                   std::move(planes));
    if (!opened.ok()) return std::move(opened).error();
    parts = std::move(opened).value();
  }

  if (macro != nullptr) {
    const scn::Dimension* largest = nullptr;
    for (const scn::Dimension& d : macro->dimensions) {
      if (d.z == 0 && d.ifd < ifds.size() && (largest == nullptr || d.width > largest->width)) {
        largest = &d;
      }
    }
    if (largest != nullptr) {
      auto added = add_stored_image(parts, sources, ifds[largest->ifd], probe.tiff->order, "macro");
      if (!added.ok()) return std::move(added).error();
    }
  }

  md::add_first_directory(ifds, false, map);
  if (auto mpp = md::tiff_mpp(*chosen_ifds.front())) {
    map["kolva.mpp-x"] = md::format_double(mpp->first);
    map["kolva.mpp-y"] = md::format_double(mpp->second);
  }
  auto put = [&](const std::string& key, const std::string& value) {
    if (!value.empty()) map["leica." + key] = md::clean_text(value);
  };
  put("aperture", image.aperture);
  put("barcode", collection->barcode);
  put("creation-date", image.creation_date);
  put("device-model", image.device_model);
  put("device-version", image.device_version);
  put("illumination-source", image.illumination_source);
  put("objective", image.objective);
  if (auto power = md::parse_double(image.objective); power && *power > 0) {
    map["kolva.objective-power"] = md::format_double(*power);
  }
  if (!collection->barcode.empty()) map["kolva.barcode"] = md::clean_text(collection->barcode);
  parts.properties = md::finish_properties(std::move(map), parts.levels, "leica");
  // OpenSlide hashes the collection's smallest macro level, whichever image is
  // served: the hash names the slide, not one of its regions.
  const Ifd* hashed = chosen_ifds.back();
  if (macro != nullptr) {
    const scn::Dimension* smallest = nullptr;
    for (const scn::Dimension& d : macro->dimensions) {
      if (d.z == 0 && d.ifd < ifds.size() && (smallest == nullptr || d.width < smallest->width)) {
        smallest = &d;
      }
    }
    if (smallest != nullptr) hashed = &ifds[smallest->ifd];
  }
  parts.hash_input = slide::tiff_hash_input(*hashed, ifds[0]);
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
