#include "drivers/ventana/stitch.hpp"

#include <algorithm>
#include <cmath>
#include <span>

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

namespace {

// An attribute value as a number; `nullopt` when it is no finite number.
std::optional<double> finite(std::string_view value) {
  auto v = slide::metadata::parse_double(value);
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return v;
}

// An attribute of a start tag the scanner hands over; `nullopt` when absent
// or no finite number.
std::optional<double> number(std::span<const text::XmlAttribute> attributes,
                             std::string_view key) {
  for (const text::XmlAttribute& a : attributes) {
    if (a.name == key) return finite(a.value);
  }
  return std::nullopt;
}

// A whole number in [0, limit].
std::optional<std::uint64_t> whole(std::optional<double> v, double limit) {
  if (!v || *v < 0 || *v > limit || std::floor(*v) != *v) return std::nullopt;
  return static_cast<std::uint64_t>(*v);
}

// An attribute as a whole number in [0, limit].
std::optional<std::uint64_t> count(std::span<const text::XmlAttribute> attributes,
                                   std::string_view key, double limit) {
  return whole(number(attributes, key), limit);
}

// The EncodeInfo of a packet whose tile joints run to tens of thousands of
// elements, read as it is scanned: only the numbers the areas need are kept.
class EncodeInfoReader final : public text::XmlHandler {
 public:
  struct Info {
    std::optional<std::uint64_t> scanned, tw, th, cols, rows;
    std::optional<double> px, py;
    std::vector<Joint> joints;
    // The first joint that cannot be used: 1 no direction or tile numbers,
    // 2 a direction of another name (kept in `direction`).
    int bad_joint = 0;
    std::string direction;
  };
  struct Origin {
    std::optional<std::uint64_t> ox, oy;
  };

  void start(std::string_view name, std::span<const text::XmlAttribute> attributes,
             bool empty) override {
    const std::size_t depth = path_.size();  // the new element's parent is path_.back()
    Role role = Role::Other;
    if (!found_ && name == "EncodeInfo") {
      found_ = true;
      role = Role::Encode;
    } else if (depth > 0) {
      switch (path_.back()) {
        case Role::Encode:
          if (name == "AoiOrigin" && !have_origins_) {
            have_origins_ = true;
            role = Role::Origins;
          } else if (name == "SlideStitchInfo" && !have_stitch_) {
            have_stitch_ = true;
            role = Role::Stitch;
          }
          break;
        case Role::Origins:
          origins_.push_back({count(attributes, "OriginX", kMaxPixels),
                              count(attributes, "OriginY", kMaxPixels)});
          break;
        case Role::Stitch:
          if (name == "ImageInfo") {
            role = Role::Info;
            Info info;
            info.scanned = count(attributes, "AOIScanned", 1);
            info.tw = count(attributes, "Width", kMaxCount);
            info.th = count(attributes, "Height", kMaxCount);
            info.cols = count(attributes, "NumCols", kMaxCount);
            info.rows = count(attributes, "NumRows", kMaxCount);
            info.px = number(attributes, "Pos-X");
            info.py = number(attributes, "Pos-Y");
            infos_.push_back(std::move(info));
          }
          break;
        case Role::Info:
          if (name == "TileJointInfo") joint(attributes, infos_.back());
          break;
        case Role::Other: break;
      }
    }
    if (!empty) path_.push_back(role);
  }
  void end() override { path_.pop_back(); }

  bool found() const { return found_; }
  bool complete() const { return have_origins_ && have_stitch_; }
  std::vector<Info>& infos() { return infos_; }
  const std::vector<Origin>& origins() const { return origins_; }

 private:
  enum class Role : std::uint8_t { Other, Encode, Origins, Stitch, Info };

  static void joint(std::span<const text::XmlAttribute> attributes, Info& info) {
    if (info.bad_joint != 0) return;
    // One pass over the attributes (a packet holds tens of thousands of
    // joints); the first of a name counts.
    const std::string_view* values[6] = {};
    static constexpr std::string_view kNames[6] = {"Direction", "Tile1",    "Tile2",
                                                   "OverlapX",  "OverlapY", "Confidence"};
    for (const text::XmlAttribute& a : attributes) {
      for (std::size_t k = 0; k < 6; ++k) {
        if (values[k] == nullptr && a.name == kNames[k]) {
          values[k] = &a.value;
          break;
        }
      }
    }
    auto value = [&](std::size_t k) {
      return values[k] == nullptr ? std::nullopt : finite(*values[k]);
    };
    const auto t1 = whole(value(1), kMaxCount * kMaxCount);
    const auto t2 = whole(value(2), kMaxCount * kMaxCount);
    if (values[0] == nullptr || !t1 || !t2) {
      info.bad_joint = 1;
      return;
    }
    const std::string_view direction = *values[0];
    Joint j;
    if (direction == "RIGHT" || direction == "LEFT") {
      j.horizontal = true;
    } else if (direction == "UP" || direction == "DOWN") {
      j.horizontal = false;
    } else {
      info.bad_joint = 2;
      info.direction = std::string(direction);
      return;
    }
    j.tile1 = *t1;
    j.tile2 = *t2;
    j.overlap_x = value(3).value_or(0);
    j.overlap_y = value(4).value_or(0);
    j.confidence = value(5).value_or(0);
    info.joints.push_back(j);
  }

  std::vector<Role> path_;  // the roles of the open elements
  bool found_ = false, have_origins_ = false, have_stitch_ = false;
  std::vector<Info> infos_;
  std::vector<Origin> origins_;
};

}  // namespace

Result<std::optional<std::vector<Area>>, std::string> parse_encode_info(std::string_view xmp) {
  using Out = std::optional<std::vector<Area>>;
  EncodeInfoReader reader;
  // XMP packets are often NUL-terminated.
  if (!text::scan_xml(xmp.substr(0, xmp.find('\0')), reader) || !reader.found()) return Out();
  if (!reader.complete()) return std::string("its EncodeInfo has no AoiOrigin or SlideStitchInfo");
  auto& infos = reader.infos();
  const auto& origins = reader.origins();
  if (infos.size() != origins.size()) {
    return "its EncodeInfo lists " + std::to_string(infos.size()) + " areas and " +
           std::to_string(origins.size()) + " area origins";
  }
  std::vector<Area> areas;
  areas.reserve(infos.size());
  for (std::size_t i = 0; i < infos.size(); ++i) {
    auto& info = infos[i];
    const auto& origin = origins[i];
    if (!info.tw || !info.th || !info.cols || !info.rows) {
      return missing("tile size or tile count", i);
    }
    if (!info.px || !info.py || std::abs(*info.px) > kMaxPixels || std::abs(*info.py) > kMaxPixels) {
      return missing("position", i);
    }
    if (!origin.ox || !origin.oy) return missing("origin", i);
    if (info.bad_joint == 1) return missing("tile joint", i);
    if (info.bad_joint == 2) {
      return "a tile joint of its area " + std::to_string(i) + " has direction \"" +
             info.direction + "\"";
    }
    Area a;
    a.scanned = info.scanned.value_or(1) != 0;
    a.tile_width = *info.tw;
    a.tile_height = *info.th;
    a.cols = *info.cols;
    a.rows = *info.rows;
    a.pos_x = *info.px;
    a.pos_y = *info.py;
    a.origin_x = *origin.ox;
    a.origin_y = *origin.oy;
    a.joints = std::move(info.joints);
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
