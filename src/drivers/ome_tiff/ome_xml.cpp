#include "drivers/ome_tiff/ome_xml.hpp"

#include <algorithm>
#include <charconv>
#include <map>

#include "base/bytes.hpp"
#include "slide/metadata.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::ome {
namespace {

using text::XmlDocument;
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



// Maps the planes of `image` to directories from its TiffData elements (or,
// with none, to the directories from `next_ifd` on, in order).
void map_planes(const XmlDocument& doc, const XmlElement& pixels, Image& image,
                std::uint64_t& next_ifd) {
  const std::uint64_t count = image.plane_count();
  image.plane_ifds.assign(count, std::nullopt);
  const auto datas = doc.children(pixels, "TiffData");
  if (datas.empty()) {
    for (std::uint64_t p = 0; p < count; ++p) image.plane_ifds[p] = next_ifd + p;
    next_ifd += count;
    return;
  }
  for (const XmlElement* data : datas) {
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
    bool elsewhere = false;
    if (const XmlElement* uuid = doc.child(*data, "UUID")) {
      elsewhere = uuid->attribute("FileName") != nullptr;
    }
    for (std::uint64_t k = 0; k < planes; ++k) {
      image.plane_ifds[first + k] =
          elsewhere ? std::nullopt : std::optional<std::uint64_t>(ifd + k);
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
  auto parsed = text::parse_xml(xml);
  if (!parsed || parsed->elements.empty()) return std::nullopt;
  const XmlDocument& doc = *parsed;
  const XmlElement& root = doc.elements[0];
  if (root.local_name() != "OME") return std::nullopt;
  Document out;
  out.creator = attribute_or_empty(root, "Creator");

  // Objectives by ID, across instruments.
  std::map<std::string, double> objectives;
  for (const XmlElement* instrument : doc.children(root, "Instrument")) {
    for (const XmlElement* objective : doc.children(*instrument, "Objective")) {
      const std::string* power = objective->attribute("NominalMagnification");
      auto value = power ? slide::metadata::parse_double(text::trim(*power)) : std::nullopt;
      if (value && *value > 0) objectives[attribute_or_empty(*objective, "ID")] = *value;
    }
  }

  std::uint64_t next_ifd = 0;
  for (const XmlElement* element : doc.children(root, "Image")) {
    const XmlElement* pixels = doc.child(*element, "Pixels");
    if (pixels == nullptr) continue;
    Image image;
    image.id = attribute_or_empty(*element, "ID");
    image.name = attribute_or_empty(*element, "Name");
    if (const XmlElement* date = doc.child(*element, "AcquisitionDate")) {
      image.acquisition_date = std::string(text::trim(doc.content(*date)));
    }
    if (const XmlElement* settings = doc.child(*element, "ObjectiveSettings")) {
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
    for (const XmlElement* c : doc.children(*pixels, "Channel")) {
      Channel channel;
      channel.id = attribute_or_empty(*c, "ID");
      channel.name = attribute_or_empty(*c, "Name");
      channel.samples_per_pixel =
          std::max<std::uint64_t>(1, uint_attribute(*c, "SamplesPerPixel").value_or(1));
      channel.emission_wavelength = attribute_or_empty(*c, "EmissionWavelength");
      channel.excitation_wavelength = attribute_or_empty(*c, "ExcitationWavelength");
      channel.wavelength_unit = attribute_or_empty(*c, "EmissionWavelengthUnit");
      channel.color = attribute_or_empty(*c, "Color");
      channel.fluor = attribute_or_empty(*c, "Fluor");
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
    map_planes(doc, *pixels, image, next_ifd);
    out.images.push_back(std::move(image));
  }
  if (out.images.empty()) return std::nullopt;
  return out;
}

}  // namespace kolva::drivers::ome
