#include "drivers/philips/philips.hpp"

#include <algorithm>
#include <string>

#include "slide/associated.hpp"
#include "text/base64.hpp"
#include "text/xml.hpp"

namespace kolva::drivers {
namespace {

using slide::AssociatedImage;
using slide::has_image;
using slide::plan_stored_image;
using slide::Splice;
using slide::TilePlan;
using tiff_tools::Ifd;

constexpr std::uint16_t kImageDescription = 270;
constexpr std::uint16_t kTileWidth = 322;

const std::string* description(const Ifd& ifd) {
  const auto* data = ifd.get(kImageDescription);
  return data ? data->ascii() : nullptr;
}

void add_philips_images(const std::vector<Ifd>& ifds, ByteOrder order,
                       std::vector<AssociatedImage>& out) {
  for (const Ifd& ifd : ifds) {
    const std::string* text = description(ifd);
    if (text == nullptr || ifd.get(kTileWidth) != nullptr) continue;
    std::string name;
    if (text->starts_with("Label")) name = "label";
    if (text->starts_with("Macro")) name = "macro";
    if (name.empty() || has_image(out, name)) continue;
    if (auto image = plan_stored_image(ifd, order, name)) {
      out.push_back(std::move(*image));
    }
  }
  if (ifds.empty()) return;
  const std::string* xml = description(ifds[0]);
  if (xml == nullptr) return;
  for (auto& found : philips_xml_images(*xml)) {
    const std::string& name = found.first;
    const auto dimensions = slide::jpeg_dimensions(found.second);
    if (has_image(out, name) || !dimensions) continue;
    out.push_back(AssociatedImage{
        name, "image/jpeg", *dimensions, TilePlan{{}, Splice{{}, std::move(found.second), 0}}});
  }
}

}  // namespace

std::vector<std::pair<std::string, Bytes>> philips_xml_images(const std::string& xml) {
  std::vector<std::pair<std::string, Bytes>> out;
  const auto doc = text::parse_xml(xml);
  if (!doc) return out;
  // Each scanned image is a DataObject of type DPScannedImage; its type and
  // base64 JPEG are two of its Attribute children.
  for (const text::XmlElement& object : doc->elements) {
    const std::string* object_type = object.attribute("ObjectType");
    if (object.name != "DataObject" || !object_type || *object_type != "DPScannedImage") continue;
    std::optional<std::string_view> type, data;
    for (std::size_t c : object.children) {
      const text::XmlElement& attribute = doc->elements[c];
      const std::string* name = attribute.attribute("Name");
      if (attribute.name != "Attribute" || name == nullptr) continue;
      if (*name == "PIM_DP_IMAGE_TYPE") type = doc->content(attribute);
      if (*name == "PIM_DP_IMAGE_DATA") data = doc->content(attribute);
    }
    if (!type || !data) continue;
    std::string name;
    if (*type == "LABELIMAGE") name = "label";
    if (*type == "MACROIMAGE") name = "macro";
    if (name.empty()) continue;
    auto jpeg = text::base64_decode(*data);
    if (!jpeg || jpeg->size() < 4) continue;
    out.emplace_back(std::move(name), std::move(*jpeg));
  }
  return out;
}

std::vector<AssociatedImage> philips_images(const std::vector<Ifd>& ifds, ByteOrder order) {
  std::vector<AssociatedImage> out;
  add_philips_images(ifds, order, out);
  return out;
}

}  // namespace kolva::drivers
