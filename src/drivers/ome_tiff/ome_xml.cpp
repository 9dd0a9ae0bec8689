#include "drivers/ome_tiff/ome_xml.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <list>
#include <map>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "slide/metadata.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::ome {
namespace {

using text::XmlAttribute;
using Attributes = std::span<const XmlAttribute>;

// An element kept as it is scanned: its name and where its attributes are
// among those the scan kept (views into the document, or into the decoded
// values the scan keeps for those that held entities).
struct Kept {
  std::string_view name;
  std::size_t first = 0;
  std::size_t count = 0;
};

const std::string_view* find(Attributes attributes, std::string_view key) {
  for (const XmlAttribute& a : attributes) {
    if (a.name == key) return &a.value;
  }
  return nullptr;
}

std::string text_of(Attributes attributes, std::string_view key) {
  const std::string_view* v = find(attributes, key);
  return v ? std::string(*v) : std::string();
}

// A length in micrometres from a value and its unit (µm when none).
std::optional<double> micrometres(const std::string_view* v, const std::string_view* u) {
  if (v == nullptr) return std::nullopt;
  auto value = slide::metadata::parse_double(text::trim(*v));
  if (!value || !(*value > 0) || *value > 1e12) return std::nullopt;
  const std::string_view unit = u ? *u : std::string_view();
  if (unit.empty() || unit == "\xC2\xB5m" || unit == "um" || unit == "\xCE\xBCm") return value;
  if (unit == "nm") return *value / 1000.0;
  if (unit == "mm") return *value * 1000.0;
  if (unit == "cm") return *value * 10000.0;
  if (unit == "m") return *value * 1e6;
  if (unit == "pm") return *value / 1e6;
  return std::nullopt;
}

// The attributes of a Pixels element that are read, found in one pass (the
// first of a name, as find() would).
struct PixelsAttributes {
  const std::string_view* order = nullptr;
  const std::string_view* type = nullptr;
  const std::string_view* size[5] = {};      // X, Y, Z, C, T
  const std::string_view* physical[3] = {};  // PhysicalSizeX, Y, Z
  const std::string_view* unit[3] = {};      // and their units
};

PixelsAttributes pixels_attributes(Attributes attributes) {
  PixelsAttributes out;
  auto keep = [](const std::string_view*& slot, const std::string_view& value) {
    if (slot == nullptr) slot = &value;
  };
  constexpr std::string_view kAxes = "XYZCT";
  constexpr std::string_view kPhysical = "PhysicalSize";
  for (const XmlAttribute& a : attributes) {
    const std::string_view n = a.name;
    if (n.size() == 5 && n.starts_with("Size")) {
      if (const auto axis = kAxes.find(n[4]); axis != std::string_view::npos) {
        keep(out.size[axis], a.value);
      }
    } else if (n == "Type") {
      keep(out.type, a.value);
    } else if (n == "DimensionOrder") {
      keep(out.order, a.value);
    } else if (n.size() > kPhysical.size() && n.starts_with(kPhysical)) {
      const auto axis = kAxes.find(n[kPhysical.size()]);
      const std::string_view rest = n.substr(kPhysical.size() + 1);
      if (axis == std::string_view::npos || axis > 2) continue;
      if (rest.empty()) {
        keep(out.physical[axis], a.value);
      } else if (rest == "Unit") {
        keep(out.unit[axis], a.value);
      }
    }
  }
  return out;
}

// A whole unsigned number (blanks around it allowed), when there is a value.
std::optional<std::uint64_t> uint_in(const std::string_view* v) {
  return v ? text::parse_uint(*v) : std::nullopt;
}

// An attribute that is a whole unsigned number.
std::optional<std::uint64_t> uint_of(Attributes attributes, std::string_view key) {
  return uint_in(find(attributes, key));
}

// A TiffData element of an image's Pixels, and whether its first UUID names
// another file.
struct TiffData {
  Kept element;
  bool uuid = false;
  bool elsewhere = false;
};

// What the document says of one Image, kept as it is scanned.
struct ImageElements {
  ImageElements(Kept element, std::pmr::memory_resource* arena)
      : image(element), channels(arena), datas(arena) {}
  Kept image;
  std::optional<Kept> pixels;        // the first Pixels
  std::optional<std::string> date;   // the first AcquisitionDate's text
  std::optional<Kept> settings;      // the first ObjectiveSettings
  std::pmr::vector<Kept> channels;
  std::pmr::vector<TiffData> datas;
};

// The elements an OME document is read for, kept as it is scanned (no tree):
// the root, the objectives of its instruments, and of each image its first
// Pixels (with their Channel and TiffData elements), AcquisitionDate and
// ObjectiveSettings. What it keeps lives in `arena`.
class OmeElements final : public text::XmlHandler {
 public:
  OmeElements(std::string_view document, std::pmr::memory_resource* arena)
      : objectives(arena), images(arena), document_(document), kept_(arena), roles_(arena) {}

  void start(std::string_view name, std::span<const text::XmlAttribute> attributes,
             bool empty) override {
    const Role parent = roles_.empty() ? Role::None : roles_.back();
    const std::string_view local = text::local_name(name);
    Role role = Role::Other;
    switch (parent) {
      case Role::None:
        role = Role::Root;
        root = keep(name, attributes);
        break;
      case Role::Root:
        if (local == "Instrument") {
          role = Role::Instrument;
        } else if (local == "Image") {
          role = Role::Image;
          images.emplace_back(keep(name, attributes), images.get_allocator().resource());
        }
        break;
      case Role::Instrument:
        if (local == "Objective") objectives.push_back(keep(name, attributes));
        break;
      case Role::Image: {
        ImageElements& image = images.back();
        if (local == "Pixels" && !image.pixels) {
          role = Role::Pixels;
          image.pixels = keep(name, attributes);
        } else if (local == "AcquisitionDate" && !image.date) {
          role = Role::Date;
          image.date.emplace();
        } else if (local == "ObjectiveSettings" && !image.settings) {
          image.settings = keep(name, attributes);
        }
        break;
      }
      case Role::Pixels:
        if (local == "Channel") {
          images.back().channels.push_back(keep(name, attributes));
        } else if (local == "TiffData") {
          role = Role::TiffData;
          images.back().datas.push_back(TiffData{keep(name, attributes), false, false});
        }
        break;
      case Role::TiffData: {
        TiffData& data = images.back().datas.back();
        if (local == "UUID" && !data.uuid) {
          data.uuid = true;
          data.elsewhere = find(attributes, "FileName") != nullptr;
        }
        break;
      }
      case Role::Date:
      case Role::InDate:
        role = Role::InDate;
        break;
      case Role::Other:
        break;
    }
    roles_.push_back(role);
    if (empty) end();
  }
  void end() override { roles_.pop_back(); }
  void text(std::string_view raw, bool cdata) override {
    if (roles_.empty() || (roles_.back() != Role::Date && roles_.back() != Role::InDate)) return;
    text::append_text(*images.back().date, raw, cdata);
  }

  // The attributes of a kept element.
  Attributes of(const Kept& e) const { return Attributes(kept_).subspan(e.first, e.count); }

  Kept root;
  std::pmr::vector<Kept> objectives;
  std::pmr::vector<ImageElements> images;

 private:
  enum class Role : std::uint8_t {
    None, Root, Instrument, Image, Pixels, TiffData, Date, InDate, Other
  };

  // The attributes as views into the document; a value whose entities the
  // scan decoded (into a buffer of its own) is copied to one that stays.
  Kept keep(std::string_view name, Attributes attributes) {
    Kept e{name, kept_.size(), attributes.size()};
    const char* begin = document_.data();
    const char* end = begin + document_.size();
    for (const XmlAttribute& a : attributes) {
      if (a.value.data() >= begin && a.value.data() + a.value.size() <= end) {
        kept_.push_back(a);
      } else {
        kept_.push_back({a.name, decoded_.emplace_back(a.value)});
      }
    }
    return e;
  }

  std::string_view document_;
  std::pmr::vector<XmlAttribute> kept_;
  std::list<std::string> decoded_;  // rare: nothing allocated until used
  std::pmr::vector<Role> roles_;
};

// Maps the planes of `image` to directories from its TiffData elements (or,
// with none, to the directories from `next_ifd` on, in order).
void map_planes(const OmeElements& scanned, std::span<const TiffData> datas, Image& image,
                std::uint64_t& next_ifd) {
  const std::uint64_t count = image.plane_count();
  image.plane_ifds.assign(count, std::nullopt);
  if (datas.empty()) {
    for (std::uint64_t p = 0; p < count; ++p) image.plane_ifds[p] = next_ifd + p;
    next_ifd += count;
    return;
  }
  for (const TiffData& d : datas) {
    const Attributes data = scanned.of(d.element);
    const auto ifd = uint_of(data, "IFD").value_or(0);
    const auto c = uint_of(data, "FirstC").value_or(0);
    const auto z = uint_of(data, "FirstZ").value_or(0);
    const auto t = uint_of(data, "FirstT").value_or(0);
    if (c >= image.plane_channels || z >= image.size_z || t >= image.size_time) continue;
    const std::uint64_t first = image.plane_index(c, z, t);
    const bool placed = find(data, "IFD") || find(data, "FirstC") || find(data, "FirstZ") ||
                        find(data, "FirstT");
    std::uint64_t planes = uint_of(data, "PlaneCount").value_or(placed ? 1 : count - first);
    planes = std::min(planes, count - first);
    // A plane kept in another file of the set is not this file's.
    for (std::uint64_t k = 0; k < planes; ++k) {
      image.plane_ifds[first + k] =
          d.elsewhere ? std::nullopt : std::optional<std::uint64_t>(ifd + k);
    }
    next_ifd = std::max(next_ifd, ifd + planes);
  }
}

}  // namespace

std::uint64_t Image::plane_index(std::uint64_t c, std::uint64_t z, std::uint64_t t) const {
  const std::uint64_t C = plane_channels, Z = size_z, T = size_time;
  const std::string_view order = dimension_order;
  if (order == "XYZTC") return z + Z * (t + T * c);
  if (order == "XYCZT") return c + C * (z + Z * t);
  if (order == "XYCTZ") return c + C * (t + T * z);
  if (order == "XYTZC") return t + T * (z + Z * c);
  if (order == "XYTCZ") return t + T * (c + C * z);
  return z + Z * (c + C * t);  // XYZCT
}

bool is_ome_xml(std::string_view description) {
  const std::string_view t = text::trim(description);
  if (t.size() < 8 || t.substr(t.size() - 4) != "OME>") return false;
  return t.find("<OME") != std::string_view::npos || t.find(":OME") != std::string_view::npos;
}

std::optional<Document> parse_ome_xml(std::string_view xml, std::uint64_t max_planes) {
  // What the scan keeps of a usual document fits on the stack.
  std::array<std::byte, 4096> room;
  std::pmr::monotonic_buffer_resource arena(room.data(), room.size());
  OmeElements scanned(xml, &arena);
  if (!text::scan_xml(xml, scanned)) return std::nullopt;
  if (text::local_name(scanned.root.name) != "OME") return std::nullopt;
  Document out;
  out.creator = text_of(scanned.of(scanned.root), "Creator");

  // Objectives by ID, across instruments.
  std::map<std::string, double, std::less<>> objectives;
  for (const Kept& kept : scanned.objectives) {
    const Attributes objective = scanned.of(kept);
    const std::string_view* power = find(objective, "NominalMagnification");
    auto value = power ? slide::metadata::parse_double(text::trim(*power)) : std::nullopt;
    if (value && *value > 0) objectives[text_of(objective, "ID")] = *value;
  }

  std::uint64_t next_ifd = 0;
  for (const ImageElements& scanned_image : scanned.images) {
    if (!scanned_image.pixels) continue;
    const Attributes element = scanned.of(scanned_image.image);
    const Attributes pixels = scanned.of(*scanned_image.pixels);
    Image image;
    image.id = text_of(element, "ID");
    image.name = text_of(element, "Name");
    if (scanned_image.date) image.acquisition_date = std::string(text::trim(*scanned_image.date));
    if (const auto& settings = scanned_image.settings) {
      const std::string_view* id = find(scanned.of(*settings), "ID");
      if (auto it = objectives.find(id ? *id : std::string_view()); it != objectives.end()) {
        image.objective_power = it->second;
      }
    }
    const PixelsAttributes p = pixels_attributes(pixels);
    if (p.order && p.order->size() == 5 && p.order->starts_with("XY")) {
      image.dimension_order = std::string(*p.order);
    }
    if (p.type) image.pixel_type = std::string(*p.type);
    image.size_x = uint_in(p.size[0]).value_or(0);
    image.size_y = uint_in(p.size[1]).value_or(0);
    image.size_z = std::max<std::uint64_t>(1, uint_in(p.size[2]).value_or(1));
    image.size_c = std::max<std::uint64_t>(1, uint_in(p.size[3]).value_or(1));
    image.size_time = std::max<std::uint64_t>(1, uint_in(p.size[4]).value_or(1));
    image.physical_size_x = micrometres(p.physical[0], p.unit[0]);
    image.physical_size_y = micrometres(p.physical[1], p.unit[1]);
    image.physical_size_z = micrometres(p.physical[2], p.unit[2]);
    std::uint64_t samples = 0;
    for (const Kept& kept : scanned_image.channels) {
      const Attributes c = scanned.of(kept);
      Channel channel;
      channel.id = text_of(c, "ID");
      channel.name = text_of(c, "Name");
      channel.samples_per_pixel =
          std::max<std::uint64_t>(1, uint_of(c, "SamplesPerPixel").value_or(1));
      channel.emission_wavelength = text_of(c, "EmissionWavelength");
      channel.excitation_wavelength = text_of(c, "ExcitationWavelength");
      channel.wavelength_unit = text_of(c, "EmissionWavelengthUnit");
      channel.color = text_of(c, "Color");
      channel.fluor = text_of(c, "Fluor");
      samples += channel.samples_per_pixel;
      image.channels.push_back(std::move(channel));
    }
    // Channels stored as one plane each: the Channel elements when they
    // account for every sample (RGB: one Channel of 3 samples), else SizeC.
    image.plane_channels =
        !image.channels.empty() && samples == image.size_c ? image.channels.size() : image.size_c;
    if (image.channels.size() != image.plane_channels) image.channels.clear();
    std::uint64_t planes = 0;
    if (!checked_mul(image.plane_channels, image.size_z, planes) ||
        !checked_mul(planes, image.size_time, planes) || planes > max_planes) {
      return std::nullopt;
    }
    map_planes(scanned, scanned_image.datas, image, next_ifd);
    out.images.push_back(std::move(image));
  }
  if (out.images.empty()) return std::nullopt;
  return out;
}

}  // namespace kolva::drivers::ome
