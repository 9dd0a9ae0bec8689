#include "drivers/leica/scn_xml.hpp"

#include <charconv>

#include "text/base64.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::scn {
namespace {

using text::XmlDocument;
using text::XmlElement;

constexpr std::string_view kSchema2010_03 = "http://www.leica-microsystems.com/scn/2010/03/10";
constexpr std::string_view kSchema2010_10 = "http://www.leica-microsystems.com/scn/2010/10/01";

std::string_view local(std::string_view name) {
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string attr(const XmlElement& e, std::string_view key) {
  const std::string* v = e.attribute(key);
  return v ? *v : std::string();
}

std::uint64_t uint_attr(const XmlElement& e, std::string_view key) {
  const std::string* v = e.attribute(key);
  if (v == nullptr) return 0;
  const std::string_view t = text::trim(*v);
  std::uint64_t out = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
  return ec == std::errc() && end == t.data() + t.size() ? out : 0;
}

const XmlElement* child(const XmlDocument& doc, const XmlElement& e, std::string_view name) {
  for (std::size_t i : e.children) {
    if (local(doc.elements[i].name) == name) return &doc.elements[i];
  }
  return nullptr;
}

std::vector<const XmlElement*> children(const XmlDocument& doc, const XmlElement& e,
                                        std::string_view name) {
  std::vector<const XmlElement*> out;
  for (std::size_t i : e.children) {
    if (local(doc.elements[i].name) == name) out.push_back(&doc.elements[i]);
  }
  return out;
}

std::string content(const XmlDocument& doc, const XmlElement* e) {
  return e ? std::string(text::trim(doc.content(*e))) : std::string();
}

// The text of the element at `path` below `e` ("scanSettings/objectiveSettings/objective").
std::string text_at(const XmlDocument& doc, const XmlElement& e, std::string_view path) {
  const XmlElement* at = &e;
  for (std::string_view part : text::split(path, "/")) {
    at = child(doc, *at, part);
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
  if (local(root.name) != "scn") return std::nullopt;
  const XmlElement* collection = child(doc, root, "collection");
  if (collection == nullptr) return std::nullopt;
  Collection out;
  out.name = attr(*collection, "name");
  out.width = uint_attr(*collection, "sizeX");
  out.height = uint_attr(*collection, "sizeY");
  if (const XmlElement* barcode = child(doc, *collection, "barcode")) {
    // The 2010/10/01 schema stores the barcode in Base64.
    const std::string raw = content(doc, barcode);
    auto decoded = text::base64_decode(raw);
    out.barcode = decoded ? std::string(decoded->begin(), decoded->end()) : raw;
  } else {
    out.barcode = attr(*collection, "barcode");
  }
  for (const XmlElement* element : children(doc, *collection, "image")) {
    Image image;
    image.name = attr(*element, "name");
    image.uuid = attr(*element, "uuid");
    image.creation_date = content(doc, child(doc, *element, "creationDate"));
    if (const XmlElement* device = child(doc, *element, "device")) {
      image.device_model = attr(*device, "model");
      image.device_version = attr(*device, "version");
    }
    if (const XmlElement* view = child(doc, *element, "view")) {
      image.view_x = uint_attr(*view, "offsetX");
      image.view_y = uint_attr(*view, "offsetY");
      image.view_width = uint_attr(*view, "sizeX");
      image.view_height = uint_attr(*view, "sizeY");
    }
    image.objective = text_at(doc, *element, "scanSettings/objectiveSettings/objective");
    image.aperture = text_at(doc, *element, "scanSettings/illuminationSettings/numericalAperture");
    image.illumination_source =
        text_at(doc, *element, "scanSettings/illuminationSettings/illuminationSource");
    if (const XmlElement* settings = child(doc, *element, "scanSettings")) {
      if (const XmlElement* channels = child(doc, *settings, "channelSettings")) {
        for (const XmlElement* c : children(doc, *channels, "channel")) {
          image.channel_names.push_back(attr(*c, "name"));
        }
      }
    }
    if (const XmlElement* pixels = child(doc, *element, "pixels")) {
      for (const XmlElement* d : children(doc, *pixels, "dimension")) {
        if (d->attribute("ifd") == nullptr) continue;
        image.dimensions.push_back(Dimension{uint_attr(*d, "sizeX"), uint_attr(*d, "sizeY"),
                                             uint_attr(*d, "ifd"), uint_attr(*d, "r"),
                                             uint_attr(*d, "z"), uint_attr(*d, "c")});
      }
    }
    out.images.push_back(std::move(image));
  }
  if (out.images.empty()) return std::nullopt;
  return out;
}

}  // namespace kolva::drivers::scn
