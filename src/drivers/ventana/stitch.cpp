#include "drivers/ventana/stitch.hpp"

#include <algorithm>
#include <cmath>

#include "slide/metadata.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::ventana {
namespace {

using text::XmlDocument;
using text::XmlElement;

// Areas and tiles beyond these are no scanner's.
constexpr double kMaxCount = 1 << 24;
constexpr double kMaxPixels = 1e12;

std::optional<XmlDocument> parse_packet(std::string_view xmp) {
  // XMP packets are often NUL-terminated.
  return text::parse_xml(xmp.substr(0, xmp.find('\0')));
}

std::optional<double> number(const XmlElement& e, std::string_view key) {
  const std::string* text = e.attribute(key);
  if (text == nullptr) return std::nullopt;
  auto v = slide::metadata::parse_double(*text);
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return v;
}

// A whole number in [0, limit].
std::optional<std::uint64_t> count(const XmlElement& e, std::string_view key, double limit) {
  const auto v = number(e, key);
  if (!v || *v < 0 || *v > limit || std::floor(*v) != *v) return std::nullopt;
  return static_cast<std::uint64_t>(*v);
}

const XmlElement* child(const XmlDocument& doc, const XmlElement& e, std::string_view name) {
  for (const std::size_t c : e.children) {
    if (doc.elements[c].name == name) return &doc.elements[c];
  }
  return nullptr;
}

std::string missing(std::string_view what, std::size_t area) {
  return "its area " + std::to_string(area) + " has no usable " + std::string(what);
}

}  // namespace

std::optional<Attributes> parse_iscan(std::string_view xmp) {
  const auto doc = parse_packet(xmp);
  if (!doc || doc->elements.empty()) return std::nullopt;
  const XmlElement& root = doc->elements[0];
  const XmlElement* iscan = root.name == "iScan"      ? &root
                            : root.name == "Metadata" ? child(*doc, root, "iScan")
                                                      : nullptr;
  if (iscan == nullptr) return std::nullopt;
  return iscan->attributes;
}

Result<std::optional<std::vector<Area>>, std::string> parse_encode_info(std::string_view xmp) {
  using Out = std::optional<std::vector<Area>>;
  const auto doc = parse_packet(xmp);
  if (!doc) return Out();
  const XmlElement* encode = nullptr;
  for (const XmlElement& e : doc->elements) {
    if (e.name == "EncodeInfo") {
      encode = &e;
      break;
    }
  }
  if (encode == nullptr) return Out();
  const XmlElement* origins = child(*doc, *encode, "AoiOrigin");
  const XmlElement* stitch_info = child(*doc, *encode, "SlideStitchInfo");
  if (origins == nullptr || stitch_info == nullptr) {
    return std::string("its EncodeInfo has no AoiOrigin or SlideStitchInfo");
  }
  std::vector<const XmlElement*> infos;
  for (const std::size_t c : stitch_info->children) {
    if (doc->elements[c].name == "ImageInfo") infos.push_back(&doc->elements[c]);
  }
  if (infos.size() != origins->children.size()) {
    return "its EncodeInfo lists " + std::to_string(infos.size()) + " areas and " +
           std::to_string(origins->children.size()) + " area origins";
  }
  std::vector<Area> areas;
  areas.reserve(infos.size());
  for (std::size_t i = 0; i < infos.size(); ++i) {
    const XmlElement& info = *infos[i];
    const XmlElement& origin = doc->elements[origins->children[i]];
    Area a;
    const auto scanned = count(info, "AOIScanned", 1);
    const auto tw = count(info, "Width", kMaxCount), th = count(info, "Height", kMaxCount);
    const auto cols = count(info, "NumCols", kMaxCount), rows = count(info, "NumRows", kMaxCount);
    const auto px = number(info, "Pos-X"), py = number(info, "Pos-Y");
    const auto ox = count(origin, "OriginX", kMaxPixels), oy = count(origin, "OriginY", kMaxPixels);
    if (!tw || !th || !cols || !rows) return missing("tile size or tile count", i);
    if (!px || !py || std::abs(*px) > kMaxPixels || std::abs(*py) > kMaxPixels) {
      return missing("position", i);
    }
    if (!ox || !oy) return missing("origin", i);
    a.scanned = scanned.value_or(1) != 0;
    a.tile_width = *tw;
    a.tile_height = *th;
    a.cols = *cols;
    a.rows = *rows;
    a.pos_x = *px;
    a.pos_y = *py;
    a.origin_x = *ox;
    a.origin_y = *oy;
    for (const std::size_t c : info.children) {
      const XmlElement& e = doc->elements[c];
      if (e.name != "TileJointInfo") continue;
      const std::string* direction = e.attribute("Direction");
      const auto t1 = count(e, "Tile1", kMaxCount * kMaxCount);
      const auto t2 = count(e, "Tile2", kMaxCount * kMaxCount);
      if (direction == nullptr || !t1 || !t2) return missing("tile joint", i);
      Joint j;
      if (*direction == "RIGHT" || *direction == "LEFT") {
        j.horizontal = true;
      } else if (*direction == "UP" || *direction == "DOWN") {
        j.horizontal = false;
      } else {
        return "a tile joint of its area " + std::to_string(i) + " has direction \"" +
               *direction + "\"";
      }
      j.tile1 = *t1;
      j.tile2 = *t2;
      j.overlap_x = number(e, "OverlapX").value_or(0);
      j.overlap_y = number(e, "OverlapY").value_or(0);
      j.confidence = number(e, "Confidence").value_or(0);
      a.joints.push_back(j);
    }
    areas.push_back(std::move(a));
  }
  return Out(std::move(areas));
}

std::pair<std::uint64_t, std::uint64_t> serpentine(std::uint64_t n, std::uint64_t cols,
                                                   std::uint64_t rows) {
  const std::uint64_t from_bottom = (n - 1) / cols;
  std::uint64_t col = (n - 1) % cols;
  if (from_bottom % 2 == 1) col = cols - 1 - col;
  return {col, rows - 1 - from_bottom};
}

Result<Stitch, std::string> stitch(const std::vector<Area>& areas, std::uint64_t tile_width,
                                   std::uint64_t tile_height, std::uint64_t grid_cols,
                                   std::uint64_t grid_rows) {
  // The mean overlaps, over the joints of every scanned area, weighted by
  // their confidence. A joint's axis is the one along which its tiles are
  // neighbours, whatever its direction says; joints of tiles that are not
  // neighbours are left out.
  double sum_x = 0, weight_x = 0, sum_y = 0, weight_y = 0;
  Stitch out;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    const Area& a = areas[i];
    if (!a.scanned) continue;
    const std::string which = "its area " + std::to_string(i);
    if (a.tile_width != tile_width || a.tile_height != tile_height) {
      return which + " has tiles of " + std::to_string(a.tile_width) + " x " +
             std::to_string(a.tile_height) + " pixels, level 0 of " + std::to_string(tile_width) +
             " x " + std::to_string(tile_height);
    }
    if (a.cols == 0 || a.rows == 0 || a.origin_x % tile_width != 0 ||
        a.origin_y % tile_height != 0 || a.origin_x / tile_width > grid_cols ||
        a.origin_y / tile_height > grid_rows || a.cols > grid_cols - a.origin_x / tile_width ||
        a.rows > grid_rows - a.origin_y / tile_height) {
      return which + " does not lie on level 0's tile grid";
    }
    const std::uint64_t tiles = a.cols * a.rows;
    for (const Joint& j : a.joints) {
      if (j.tile1 < 1 || j.tile1 > tiles || j.tile2 < 1 || j.tile2 > tiles) {
        return which + " joins tile " + std::to_string(std::max(j.tile1, j.tile2)) + " of " +
               std::to_string(tiles);
      }
      const auto [c1, r1] = serpentine(j.tile1, a.cols, a.rows);
      const auto [c2, r2] = serpentine(j.tile2, a.cols, a.rows);
      const bool across = r1 == r2 && (c1 + 1 == c2 || c2 + 1 == c1);
      const bool down = c1 == c2 && (r1 + 1 == r2 || r2 + 1 == r1);
      if (across && j.confidence > 0) {
        sum_x += j.overlap_x * j.confidence;
        weight_x += j.confidence;
      } else if (down && j.confidence > 0) {
        sum_y += j.overlap_y * j.confidence;
        weight_y += j.confidence;
      }
    }
    out.areas.push_back(Placed{a.origin_x / tile_width, a.origin_y / tile_height, a.cols, a.rows,
                               a.pos_x, a.pos_y, 0, 0});
  }
  if (out.areas.empty()) return std::string("its EncodeInfo lists no scanned area");
  const auto tw = static_cast<double>(tile_width), th = static_cast<double>(tile_height);
  out.advance_x = weight_x > 0 ? tw - sum_x / weight_x : tw;
  out.advance_y = weight_y > 0 ? th - sum_y / weight_y : th;
  if (!(out.advance_x > 0 && out.advance_x <= 2 * tw && out.advance_y > 0 &&
        out.advance_y <= 2 * th)) {
    return std::string("its tile joints overlap by more than a tile");
  }
  // Pos-Y is measured up from a baseline below every area to the area's
  // bottom edge.
  double baseline = -INFINITY;
  for (Placed& p : out.areas) {
    p.width = static_cast<double>(p.cols - 1) * out.advance_x + tw;
    p.height = static_cast<double>(p.rows - 1) * out.advance_y + th;
    baseline = std::max(baseline, p.y + p.height);
  }
  for (Placed& p : out.areas) {
    p.y = baseline - p.y - p.height;
    out.width = std::max(out.width, p.x + p.width);
    out.height = std::max(out.height, p.y + p.height);
  }
  return out;
}

}  // namespace kolva::drivers::ventana
