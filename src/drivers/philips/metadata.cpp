#include "drivers/philips/philips.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "slide/metadata.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers {
namespace {

using namespace slide::metadata;
using text::split;
using text::XmlDocument;
using text::XmlElement;

bool has_element_children(const XmlElement& e) { return !e.children.empty(); }

// The objects in an attribute's <Array>, in order.
std::vector<const XmlElement*> array_objects(const XmlDocument& doc, const XmlElement& attribute) {
  std::vector<const XmlElement*> out;
  for (std::size_t c : attribute.children) {
    const XmlElement& array = doc.elements[c];
    if (array.name != "Array") continue;
    for (std::size_t o : array.children) {
      if (doc.elements[o].name == "DataObject") out.push_back(&doc.elements[o]);
    }
  }
  return out;
}

// `prefix + Name` for each text attribute of `object`; with `arrays`, an
// attribute holding an array of objects adds `prefix + Name[i].` for each.
void add_philips_object(const XmlDocument& doc, const XmlElement& object, const std::string& prefix,
                        bool arrays, PropertyMap& out) {
  for (std::size_t c : object.children) {
    const XmlElement& attribute = doc.elements[c];
    const std::string* name = attribute.attribute("Name");
    if (attribute.name != "Attribute" || name == nullptr) continue;
    if (!has_element_children(attribute)) {
      out[prefix + *name] = std::string(doc.content(attribute));
      continue;
    }
    if (!arrays) continue;
    std::size_t i = 0;
    for (const XmlElement* item : array_objects(doc, attribute)) {
      add_philips_object(doc, *item, prefix + *name + "[" + std::to_string(i++) + "].", true, out);
    }
  }
}

const XmlElement* philips_wsi(const XmlDocument& doc) {
  for (std::size_t c : doc.elements[0].children) {
    const XmlElement& attribute = doc.elements[c];
    const std::string* name = attribute.attribute("Name");
    if (attribute.name != "Attribute" || name == nullptr || *name != "PIM_DP_SCANNED_IMAGES") {
      continue;
    }
    for (const XmlElement* image : array_objects(doc, attribute)) {
      for (std::size_t a : image->children) {
        const XmlElement& field = doc.elements[a];
        const std::string* field_name = field.attribute("Name");
        if (field_name && *field_name == "PIM_DP_IMAGE_TYPE" && doc.content(field) == "WSI") {
          return image;
        }
      }
    }
  }
  return nullptr;
}

}  // namespace

void add_philips(std::string_view xml, PropertyMap& out) {
  const auto doc = text::parse_xml(clean_text(xml));
  if (!doc) return;
  PropertyMap found;
  add_philips_object(*doc, doc->elements[0], "philips.", false, found);
  if (const XmlElement* wsi = philips_wsi(*doc)) {
    add_philips_object(*doc, *wsi, "philips.", true, found);
  }
  if (const auto it = found.find("philips.DICOM_PIXEL_SPACING"); it != found.end()) {
    // Two quoted numbers in millimetres: the row spacing (y), then the column spacing (x).
    const auto parts = split(it->second, "\"");
    if (parts.size() >= 4) {
      const auto y = parse_double(parts[1]);
      const auto x = parse_double(parts[3]);
      if (usable_positive(x) && usable_positive(y) && std::isfinite(*x * 1000.0) &&
          std::isfinite(*y * 1000.0)) {
        found["kolva.mpp-x"] = format_double(*x * 1000.0);
        found["kolva.mpp-y"] = format_double(*y * 1000.0);
      }
    }
  }
  if (const auto it = found.find("philips.DICOM_DERIVATION_DESCRIPTION"); it != found.end()) {
    // "...-levels=40,20,10-..." : the first number is the objective power.
    const std::size_t at = it->second.find("levels=");
    if (at != std::string::npos) {
      const char* begin = it->second.data() + at + 7;
      const char* end = it->second.data() + it->second.size();
      unsigned power = 0;
      const auto [stop, ec] = std::from_chars(begin, end, power);
      if (ec == std::errc() && stop != begin && power >= 1 && power <= 200) {
        found["kolva.objective-power"] = format_double(power);
      }
    }
  }
  for (auto& [k, v] : found) out[k] = std::move(v);
}

std::vector<double> philips_downsamples(std::string_view xml) {
  PropertyMap found;
  add_philips(xml, found);
  std::vector<std::pair<double, double>> spacing;
  for (std::size_t i = 0;; ++i) {
    const auto it = found.find("philips.PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE[" +
                               std::to_string(i) + "].DICOM_PIXEL_SPACING");
    if (it == found.end()) break;
    const auto parts = split(it->second, "\"");
    if (parts.size() < 4) return {};
    const auto y = parse_double(parts[1]);
    const auto x = parse_double(parts[3]);
    if (!usable_positive(x) || !usable_positive(y)) return {};
    spacing.emplace_back(*x, *y);
  }
  std::vector<double> out;
  for (const auto& [x, y] : spacing) {
    const double ratio = std::round((x / spacing[0].first + y / spacing[0].second) / 2.0);
    if (!std::isfinite(ratio) || ratio < 1) return {};
    out.push_back(ratio);
  }
  return out;
}

}  // namespace kolva::drivers
