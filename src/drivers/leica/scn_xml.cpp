#include "drivers/leica/scn_xml.hpp"

#include <charconv>

#include "text/base64.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::scn {
namespace {

using text::XmlDocument;
using text::XmlElement;
using text::attribute_or_empty;
using text::uint_attribute;

constexpr std::string_view kSchema2010_03 = "http://www.leica-microsystems.com/scn/2010/03/10";
constexpr std::string_view kSchema2010_10 = "http://www.leica-microsystems.com/scn/2010/10/01";






std::string content(const XmlDocument& doc, const XmlElement* e) {
  return e ? std::string(text::trim(doc.content(*e))) : std::string();
}

// The text of the element at `path` below `e` ("scanSettings/objectiveSettings/objective").
std::string text_at(const XmlDocument& doc, const XmlElement& e, std::string_view path) {
  const XmlElement* at = &e;
  for (std::string_view part : text::split(path, "/")) {
    at = doc.child(*at, part);
    if (at == nullptr) return {};
  }
  return content(doc, at);
}

}  // namespace

bool Collection::is_macro(const Image& image) const {
  return image.view_x == 0 && image.view_y == 0 && image.view_width == width &&
         image.view_height == height;
}

bool is_scn_xml(std::string_view description) {
  return description.find(kSchema2010_03) != std::string_view::npos ||
         description.find(kSchema2010_10) != std::string_view::npos;
}

std::optional<Collection> parse_scn_xml(std::string_view xml) {
  auto parsed = text::parse_xml(xml);
  if (!parsed || parsed->elements.empty()) return std::nullopt;
  const XmlDocument& doc = *parsed;
  const XmlElement& root = doc.elements[0];
  if (root.local_name() != "scn") return std::nullopt;
  const XmlElement* collection = doc.child(root, "collection");
  if (collection == nullptr) return std::nullopt;
  Collection out;
  out.name = attribute_or_empty(*collection, "name");
  out.width = uint_attribute(*collection, "sizeX").value_or(0);
  out.height = uint_attribute(*collection, "sizeY").value_or(0);
  if (const XmlElement* barcode = doc.child(*collection, "barcode")) {
    // The 2010/10/01 schema stores the barcode in Base64.
    const std::string raw = content(doc, barcode);
    auto decoded = text::base64_decode(raw);
    out.barcode = decoded ? std::string(decoded->begin(), decoded->end()) : raw;
  } else {
    out.barcode = attribute_or_empty(*collection, "barcode");
  }
  for (const XmlElement* element : doc.children(*collection, "image")) {
    Image image;
    image.name = attribute_or_empty(*element, "name");
    image.uuid = attribute_or_empty(*element, "uuid");
    image.creation_date = content(doc, doc.child(*element, "creationDate"));
    if (const XmlElement* device = doc.child(*element, "device")) {
      image.device_model = attribute_or_empty(*device, "model");
      image.device_version = attribute_or_empty(*device, "version");
    }
    if (const XmlElement* view = doc.child(*element, "view")) {
      image.view_x = uint_attribute(*view, "offsetX").value_or(0);
      image.view_y = uint_attribute(*view, "offsetY").value_or(0);
      image.view_width = uint_attribute(*view, "sizeX").value_or(0);
      image.view_height = uint_attribute(*view, "sizeY").value_or(0);
    }
    image.objective = text_at(doc, *element, "scanSettings/objectiveSettings/objective");
    image.aperture = text_at(doc, *element, "scanSettings/illuminationSettings/numericalAperture");
    image.illumination_source =
        text_at(doc, *element, "scanSettings/illuminationSettings/illuminationSource");
    if (const XmlElement* settings = doc.child(*element, "scanSettings")) {
      if (const XmlElement* channels = doc.child(*settings, "channelSettings")) {
        for (const XmlElement* c : doc.children(*channels, "channel")) {
          image.channel_names.push_back(attribute_or_empty(*c, "name"));
        }
      }
    }
    if (const XmlElement* pixels = doc.child(*element, "pixels")) {
      for (const XmlElement* d : doc.children(*pixels, "dimension")) {
        if (d->attribute("ifd") == nullptr) continue;
        auto number = [&](std::string_view key) {
          return uint_attribute(*d, key).value_or(0);
        };
        image.dimensions.push_back(Dimension{number("sizeX"), number("sizeY"), number("ifd"),
                                             number("r"), number("z"), number("c")});
      }
    }
    out.images.push_back(std::move(image));
  }
  if (out.images.empty()) return std::nullopt;
  return out;
}

}  // namespace kolva::drivers::scn
