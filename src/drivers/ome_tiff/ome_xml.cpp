#include "drivers/ome_tiff/ome_xml.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <span>

#include "base/bytes.hpp"
#include "slide/metadata.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::ome {
namespace {

using text::XmlElement;
using text::attribute_or_empty;
using text::uint_attribute;




// A length in micrometres from a value and its unit (µm when none).
std::optional<double> micrometres(const XmlElement& e, std::string_view key,
                                  std::string_view unit_key) {
  const std::string* v = e.attribute(key);
  if (v == nullptr) return std::nullopt;
  auto value = slide::metadata::parse_double(text::trim(*v));
  if (!value || !(*value > 0) || *value > 1e12) return std::nullopt;
  const std::string unit = attribute_or_empty(e, unit_key);
  if (unit.empty() || unit == "\xC2\xB5m" || unit == "um" || unit == "\xCE\xBCm") return value;
  if (unit == "nm") return *value / 1000.0;
  if (unit == "mm") return *value * 1000.0;
  if (unit == "cm") return *value * 10000.0;
  if (unit == "m") return *value * 1e6;
  if (unit == "pm") return *value / 1e6;
  return std::nullopt;
}



// A TiffData element of an image's Pixels, and whether its first UUID names
// another file.
struct TiffData {
  XmlElement element;
  bool uuid = false;
  bool elsewhere = false;
};

// What the document says of one Image, kept as it is scanned.
struct ImageElements {
  XmlElement image;
  std::optional<XmlElement> pixels;  // the first Pixels
  std::optional<std::string> date;   // the first AcquisitionDate's text
  std::optional<XmlElement> settings;  // the first ObjectiveSettings
  std::vector<XmlElement> channels;
  std::vector<TiffData> datas;
};

// Maps the planes of `image` to directories from its TiffData elements (or,
// with none, to the directories from `next_ifd` on, in order).
void map_planes(const std::vector<TiffData>& datas, Image& image, std::uint64_t& next_ifd) {
  const std::uint64_t count = image.plane_count();
  image.plane_ifds.assign(count, std::nullopt);
  if (datas.empty()) {
    for (std::uint64_t p = 0; p < count; ++p) image.plane_ifds[p] = next_ifd + p;
    next_ifd += count;
    return;
  }
  for (const TiffData& d : datas) {
    const XmlElement* data = &d.element;
    const auto ifd = uint_attribute(*data, "IFD").value_or(0);
    const auto c = uint_attribute(*data, "FirstC").value_or(0);
    const auto z = uint_attribute(*data, "FirstZ").value_or(0);
    const auto t = uint_attribute(*data, "FirstT").value_or(0);
    if (c >= image.plane_channels || z >= image.size_z || t >= image.size_time) continue;
    const std::uint64_t first = image.plane_index(c, z, t);
    const bool placed = data->attribute("IFD") || data->attribute("FirstC") ||
                        data->attribute("FirstZ") || data->attribute("FirstT");
    std::uint64_t planes =
        uint_attribute(*data, "PlaneCount").value_or(placed ? 1 : count - first);
    planes = std::min(planes, count - first);
    // A plane kept in another file of the set is not this file's.
    for (std::uint64_t k = 0; k < planes; ++k) {
      image.plane_ifds[first + k] =
          d.elsewhere ? std::nullopt : std::optional<std::uint64_t>(ifd + k);
    }
    next_ifd = std::max(next_ifd, ifd + planes);
  }
}

// The elements an OME document is read for, kept as it is scanned (no tree):
// the root, the objectives of its instruments, and of each image its first
// Pixels (with their Channel and TiffData elements), AcquisitionDate and
// ObjectiveSettings.
class OmeElements final : public text::XmlHandler {
 public:
  void start(std::string_view name, std::span<const text::XmlAttribute> attributes,
             bool empty) override {
    const Role parent = roles_.empty() ? Role::None : roles_.back();
    const std::string_view local = text::local_name(name);
    Role role = Role::Other;
    switch (parent) {
      case Role::None:
        role = Role::Root;
        root = text::element_of(name, attributes);
        break;
      case Role::Root:
        if (local == "Instrument") {
          role = Role::Instrument;
        } else if (local == "Image") {
          role = Role::Image;
          images.push_back(ImageElements{text::element_of(name, attributes), {}, {}, {}, {}, {}});
        }
        break;
      case Role::Instrument:
        if (local == "Objective") objectives.push_back(text::element_of(name, attributes));
        break;
      case Role::Image: {
        ImageElements& image = images.back();
        if (local == "Pixels" && !image.pixels) {
          role = Role::Pixels;
          image.pixels = text::element_of(name, attributes);
        } else if (local == "AcquisitionDate" && !image.date) {
          role = Role::Date;
          image.date.emplace();
        } else if (local == "ObjectiveSettings" && !image.settings) {
          image.settings = text::element_of(name, attributes);
        }
        break;
      }
      case Role::Pixels:
        if (local == "Channel") {
          images.back().channels.push_back(text::element_of(name, attributes));
        } else if (local == "TiffData") {
          role = Role::TiffData;
          images.back().datas.push_back(TiffData{text::element_of(name, attributes), false, false});
        }
        break;
      case Role::TiffData: {
        TiffData& data = images.back().datas.back();
        if (local == "UUID" && !data.uuid) {
          data.uuid = true;
          data.elsewhere = std::any_of(attributes.begin(), attributes.end(),
                                       [](const text::XmlAttribute& a) {
                                         return a.name == "FileName";
                                       });
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

  XmlElement root;
  std::vector<XmlElement> objectives;
  std::vector<ImageElements> images;

 private:
  enum class Role : std::uint8_t {
    None, Root, Instrument, Image, Pixels, TiffData, Date, InDate, Other
  };
  std::vector<Role> roles_;
};

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
  OmeElements scanned;
  if (!text::scan_xml(xml, scanned)) return std::nullopt;
  const XmlElement& root = scanned.root;
  if (root.local_name() != "OME") return std::nullopt;
  Document out;
  out.creator = attribute_or_empty(root, "Creator");

  // Objectives by ID, across instruments.
  std::map<std::string, double> objectives;
  for (const XmlElement& objective : scanned.objectives) {
    const std::string* power = objective.attribute("NominalMagnification");
    auto value = power ? slide::metadata::parse_double(text::trim(*power)) : std::nullopt;
    if (value && *value > 0) objectives[attribute_or_empty(objective, "ID")] = *value;
  }

  std::uint64_t next_ifd = 0;
  for (const ImageElements& scanned_image : scanned.images) {
    if (!scanned_image.pixels) continue;
    const XmlElement* element = &scanned_image.image;
    const XmlElement* pixels = &*scanned_image.pixels;
    Image image;
    image.id = attribute_or_empty(*element, "ID");
    image.name = attribute_or_empty(*element, "Name");
    if (scanned_image.date) image.acquisition_date = std::string(text::trim(*scanned_image.date));
    if (const auto& settings = scanned_image.settings) {
      if (auto it = objectives.find(attribute_or_empty(*settings, "ID")); it != objectives.end()) {
        image.objective_power = it->second;
      }
    }
    const std::string order = attribute_or_empty(*pixels, "DimensionOrder");
    if (order.size() == 5 && order.starts_with("XY")) image.dimension_order = order;
    image.pixel_type = attribute_or_empty(*pixels, "Type");
    image.size_x = uint_attribute(*pixels, "SizeX").value_or(0);
    image.size_y = uint_attribute(*pixels, "SizeY").value_or(0);
    image.size_z = std::max<std::uint64_t>(1, uint_attribute(*pixels, "SizeZ").value_or(1));
    image.size_c = std::max<std::uint64_t>(1, uint_attribute(*pixels, "SizeC").value_or(1));
    image.size_time = std::max<std::uint64_t>(1, uint_attribute(*pixels, "SizeT").value_or(1));
    image.physical_size_x = micrometres(*pixels, "PhysicalSizeX", "PhysicalSizeXUnit");
    image.physical_size_y = micrometres(*pixels, "PhysicalSizeY", "PhysicalSizeYUnit");
    image.physical_size_z = micrometres(*pixels, "PhysicalSizeZ", "PhysicalSizeZUnit");
    std::uint64_t samples = 0;
    for (const XmlElement& c : scanned_image.channels) {
      Channel channel;
      channel.id = attribute_or_empty(c, "ID");
      channel.name = attribute_or_empty(c, "Name");
      channel.samples_per_pixel =
          std::max<std::uint64_t>(1, uint_attribute(c, "SamplesPerPixel").value_or(1));
      channel.emission_wavelength = attribute_or_empty(c, "EmissionWavelength");
      channel.excitation_wavelength = attribute_or_empty(c, "ExcitationWavelength");
      channel.wavelength_unit = attribute_or_empty(c, "EmissionWavelengthUnit");
      channel.color = attribute_or_empty(c, "Color");
      channel.fluor = attribute_or_empty(c, "Fluor");
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
    map_planes(scanned_image.datas, image, next_ifd);
    out.images.push_back(std::move(image));
  }
  if (out.images.empty()) return std::nullopt;
  return out;
}

}  // namespace kolva::drivers::ome
