#include "drivers/ventana/ventana.hpp"

#include <cmath>
#include <string>

#include "drivers/generic_tiff/tiff_codecs.hpp"
#include "slide/associated.hpp"
#include "slide/tiff_facts.hpp"
#include "text/strings.hpp"

namespace kolva::drivers {
namespace {

using tiff_tools::Ifd;
namespace md = slide::metadata;

constexpr std::uint16_t kImageDescription = 270;
constexpr std::uint16_t kTileWidth = 322;
constexpr std::uint16_t kTileLength = 323;
constexpr std::uint16_t kXmp = 700;

// The XMP packet of a directory as text ("" without one).
std::string_view xmp_of(const Ifd& ifd) {
  const auto* data = ifd.get(kXmp);
  if (data == nullptr) return {};
  if (const auto* bytes = data->u8vec()) {
    return {reinterpret_cast<const char*>(bytes->data()), bytes->size()};
  }
  if (const auto* text = data->ascii()) return *text;
  return {};
}

// "level=2 mag=5 quality=90": the level number and magnification.
struct LevelTag {
  std::uint64_t level = 0;
  double mag = 0;
};
std::optional<LevelTag> level_tag(const Ifd& ifd) {
  const std::string* stored = md::ascii_tag(ifd, kImageDescription);
  if (stored == nullptr) return std::nullopt;
  // The stored text up to its NUL, field by field: a byte that is no UTF-8
  // (which the cleaned text would replace) makes no key and no number either.
  std::string_view description(*stored);
  description = description.substr(0, description.find('\0'));
  std::optional<double> level, mag;
  for (std::size_t start = 0; start <= description.size();) {
    const std::size_t space = std::min(description.find(' ', start), description.size());
    const std::string_view field = description.substr(start, space - start);
    start = space + 1;
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = field.substr(0, eq);
    if (key == "level") level = md::parse_double(field.substr(eq + 1));
    if (key == "mag") mag = md::parse_double(field.substr(eq + 1));
  }
  if (!level || !mag || *level < 0 || *level > 64 || std::floor(*level) != *level ||
      !std::isfinite(*mag) || *mag <= 0) {
    return std::nullopt;
  }
  return LevelTag{static_cast<std::uint64_t>(*level), *mag};
}

SlideResult<std::vector<slide::AssociatedImage>> ventana_images(const SourceSet& sources,
                                                                const std::vector<Ifd>& ifds,
                                                                ByteOrder order) {
  std::vector<slide::AssociatedImage> out;
  for (const Ifd& ifd : ifds) {
    const std::string* stored = md::ascii_tag(ifd, kImageDescription);
    if (stored == nullptr || ifd.get(kTileWidth) != nullptr) continue;
    const std::string description = md::clean_text(*stored);
    // The "label image" is the whole slide with its label: OpenSlide's macro.
    std::string name;
    if (description == "Label Image" || description == "Label_Image") name = "macro";
    if (description == "Thumbnail") name = "thumbnail";
    if (name.empty() || slide::has_image(out, name)) continue;
    if (auto filled = fill_in_file(sources, ifd, order); !filled.ok()) {
      return std::move(filled).error();
    }
    if (auto image = slide::plan_stored_image(ifd, order, name)) out.push_back(std::move(*image));
  }
  return out;
}

// Every level's tile rectangles and size from level 0's stitching. A stored
// tile of level n holds k x k level-0 tiles shrunk (k its downsample); OpenSlide
// cuts it into those and places each where its level-0 tile goes, over the
// downsample: the level's pieces, one per level-0 tile, painted in level 0's
// row order. The tile's own rectangle is where its first level-0 tile would go
// in the first scanned area it holds, at the tile's size.
void place_tiles(std::vector<slide::Level>& levels, const ventana::Stitch& s) {
  for (slide::Level& level : levels) {
    const double ds = level.downsample;
    const auto k = static_cast<std::uint64_t>(std::max(1.0, std::round(ds)));
    const auto [tw, th] = level.info.tile_size;
    const auto [across, down] = level.info.tile_grid;
    auto placed_at = [&](const ventana::Placed& p, std::uint64_t c, std::uint64_t r) {
      return std::pair((p.x + static_cast<double>(c - p.start_col) * s.advance_x) / ds,
                       (p.y + static_cast<double>(r - p.start_row) * s.advance_y) / ds);
    };
    level.tile_rects.assign(across * down, slide::TileRect{});
    for (std::uint64_t r = 0; r < down; ++r) {
      for (std::uint64_t c = 0; c < across; ++c) {
        // The first scanned area with a level-0 tile in this tile's block.
        for (const ventana::Placed& p : s.areas) {
          if (c * k >= p.start_col + p.cols || (c + 1) * k <= p.start_col ||
              r * k >= p.start_row + p.rows || (r + 1) * k <= p.start_row) {
            continue;
          }
          const double col = static_cast<double>(c * k) - static_cast<double>(p.start_col);
          const double row = static_cast<double>(r * k) - static_cast<double>(p.start_row);
          level.tile_rects[r * across + c] =
              slide::TileRect{(p.x + col * s.advance_x) / ds, (p.y + row * s.advance_y) / ds,
                              static_cast<double>(tw), static_cast<double>(th)};
          break;
        }
      }
    }
    // Level 0's whole pixels over the downsample, rounded up (OpenSlide's).
    level.info.dimensions = {static_cast<std::uint64_t>(std::ceil(std::floor(s.width) / ds)),
                             static_cast<std::uint64_t>(std::ceil(std::floor(s.height) / ds))};
    const std::uint64_t pw = tw / k, ph = th / k;
    if (k == 1 || pw == 0 || ph == 0) continue;
    level.piece_grid = {across * k, down * k};
    level.pieces.assign(across * k * down * k, slide::TilePiece{});
    for (const ventana::Placed& p : s.areas) {
      for (std::uint64_t r = p.start_row; r < p.start_row + p.rows && r < down * k; ++r) {
        for (std::uint64_t c = p.start_col; c < p.start_col + p.cols && c < across * k; ++c) {
          slide::TilePiece& piece = level.pieces[r * across * k + c];
          if (piece.to.stored()) continue;  // the first area's
          const auto [x, y] = placed_at(p, c, r);
          piece = slide::TilePiece{(r / k) * across + c / k, static_cast<std::uint32_t>((c % k) * pw),
                                   static_cast<std::uint32_t>((r % k) * ph),
                                   slide::TileRect{x, y, static_cast<double>(pw), static_cast<double>(ph)}};
        }
      }
    }
  }
}

}  // namespace

const Family& VentanaDriver::family() const {
  static const Family family{"ventana", "ventana", "Roche Ventana BIF / TIF"};
  return family;
}

bool VentanaDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  return xmp_of(probe.tiff->ifds[0]).find("iScan") != std::string_view::npos;
}

SlideResult<Opening> VentanaDriver::open(SourceSet& sources, const Probe& probe,
                                         const OpenOptions& /*options*/) const {
  const auto& ifds = probe.tiff->ifds;
  const auto iscan = ventana::parse_iscan(xmp_of(ifds[0]));
  if (!iscan) return Opening(Declined{});
  auto refuse = [&](const std::string& why) {
    return slide::errors::unsupported(sources.name(), "a Ventana slide whose " + why,
                                      KolvaError::LevelNotFound{0, 0});
  };

  std::vector<const Ifd*> chosen;
  std::vector<double> mags;
  for (const Ifd& ifd : ifds) {
    const auto tag = level_tag(ifd);
    if (!tag) continue;
    if (tag->level != chosen.size()) {
      return refuse("levels are not numbered 0, 1, 2, ... in file order");
    }
    if (!mags.empty() && tag->mag >= mags.back()) {
      return refuse("level " + std::to_string(tag->level) + " is not of a lower magnification");
    }
    const bool tiled = ifd.get(kTileWidth) != nullptr && ifd.get(kTileLength) != nullptr;
    const bool same_tiles = chosen.empty() ||
                            (ifd.scalar(kTileWidth) == chosen[0]->scalar(kTileWidth) &&
                             ifd.scalar(kTileLength) == chosen[0]->scalar(kTileLength));
    if (!tiled || !same_tiles) {
      return refuse("level " + std::to_string(tag->level) +
                    " is not tiled, or not in level 0's tile size");
    }
    chosen.push_back(&ifd);
    mags.push_back(tag->mag);
  }
  if (chosen.empty()) return refuse("directories describe no level (\"level=0 mag=...\")");
  auto pyramid = plan_tiff_levels(chosen, probe.tiff->order, 0, probe.tiff, &sources);
  if (!pyramid.ok()) return refuse(pyramid.error());

  SlideParts parts;
  parts.levels = std::move(pyramid->levels);
  parts.tiler = std::move(pyramid->tiler);
  for (std::size_t i = 0; i < parts.levels.size(); ++i) parts.levels[i].downsample = mags[0] / mags[i];
  auto images = ventana_images(sources, ifds, probe.tiff->order);
  if (!images.ok()) return std::move(images).error();
  parts.associated = std::move(images).value();
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  // OpenSlide takes the tiff.* properties and the hash's tags from level 0, and
  // the tiles from the smallest level's own directory (a label or thumbnail
  // of that size may come first in the file).
  parts.hash_input_later = tiff_hash_later(probe.tiff, *chosen.back(), *chosen[0], probe.tiff->order);

  auto areas = ventana::parse_encode_info(xmp_of(*chosen[0]));
  if (!areas.ok()) return refuse(areas.error());
  std::optional<ventana::Stitch> stitched;
  if (*areas) {
    const auto [tw, th] = parts.levels[0].info.tile_size;
    const auto [across, down] = parts.levels[0].info.tile_grid;
    auto placed = ventana::stitch(**areas, tw, th, across, down);
    if (!placed.ok()) return refuse(placed.error());
    stitched = std::move(placed).value();
    place_tiles(parts.levels, *stitched);
  }

  // The properties, worked out when first asked for.
  std::vector<slide::Level> sizes;  // what the properties say of the levels
  for (const slide::Level& l : parts.levels) sizes.push_back(slide::Level{l.info, {}, l.downsample});
  parts.properties_later = [tiff = probe.tiff, level0 = chosen[0], attributes = std::move(*iscan),
                            placed = std::move(stitched), level_sizes = std::move(sizes)] {
    md::PropertyMap map;
    md::add_tiff(*level0, true, map);
    if (const std::string* description = md::ascii_tag(*level0, kImageDescription)) {
      map["kolva.comment"] = md::clean_text(*description);
    }
    ventana::add_ventana(attributes, placed ? &*placed : nullptr, map);
    return md::finish_properties(std::move(map), level_sizes, "ventana");
  };
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
