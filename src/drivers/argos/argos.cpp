#include "drivers/argos/argos.hpp"

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/tiff_levels.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers {
namespace {

namespace md = slide::metadata;
using slide::PlaneAxis;
using tiff_tools::Ifd;

constexpr std::uint16_t kArgosXml = 65000;
constexpr std::string_view kRoot = "Argos.Scan.Metadata";

// The XML of tag 65000, whatever type stores it, cut at a NUL.
std::string argos_xml(const Ifd& ifd) {
  const auto* data = ifd.get(kArgosXml);
  if (data == nullptr) return {};
  std::string raw;
  if (const std::string* text = data->ascii()) {
    raw = *text;
  } else if (const auto* bytes = data->u8vec()) {
    raw.assign(bytes->begin(), bytes->end());
  }
  return raw.substr(0, raw.find('\0'));
}

bool tiled(const Ifd& ifd) { return ifd.get(322) != nullptr && ifd.get(323) != nullptr; }

// argos.<path> for every element holding text only, nested names joined with dots.
void add_elements(const text::XmlDocument& doc, const text::XmlElement& e, const std::string& path,
                  md::PropertyMap& map) {
  for (std::size_t i : e.children) {
    const text::XmlElement& c = doc.elements[i];
    const std::string key = path.empty() ? c.name : path + "." + c.name;
    if (c.children.empty()) {
      const std::string value(text::trim(doc.content(c)));
      if (!value.empty()) map["argos." + key] = md::clean_text(value);
    } else {
      add_elements(doc, c, key, map);
    }
  }
}

}  // namespace

const Family& ArgosDriver::family() const {
  static const Family family{"argos", "argos", "ARGOS AVS"};
  return family;
}

bool ArgosDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  if (!tiled(probe.tiff->ifds[0])) return false;
  return argos_xml(probe.tiff->ifds[0]).find("<" + std::string(kRoot)) != std::string::npos;
}

SlideResult<Opening> ArgosDriver::open(SourceSet& sources, const Probe& probe,
                                       const OpenOptions& options) const {
  const auto& ifds = probe.tiff->ifds;
  auto doc = text::parse_xml(argos_xml(ifds[0]));
  if (!doc || doc->elements.empty() || doc->elements[0].name != kRoot) return Opening(Declined{});

  // Focal planes: runs of tiled directories of decreasing width.
  std::vector<std::vector<const Ifd*>> stacks;
  std::uint64_t last_width = 0;
  for (const Ifd& ifd : ifds) {
    if (!tiled(ifd)) continue;
    const std::uint64_t width = ifd.scalar(256).value_or(0);
    if (stacks.empty() || width >= last_width) stacks.emplace_back();
    stacks.back().push_back(&ifd);
    last_width = width;
  }
  if (stacks.empty()) return Opening(Declined{});
  slide::Planes planes;
  planes[PlaneAxis::FocalPlane].count = stacks.size();
  auto z = slide::choose_plane(PlaneAxis::FocalPlane, options.planes[PlaneAxis::FocalPlane],
                               planes[PlaneAxis::FocalPlane]);
  if (!z.ok()) return std::move(z).error();
  planes[PlaneAxis::FocalPlane].selected = *z;
  const auto& chosen = stacks[*z];
  auto opened = tiff_level_parts(sources, chosen, probe.tiff->order, probe.tiff, std::move(planes));
  if (!opened.ok()) return std::move(opened).error();
  SlideParts parts = std::move(opened).value();
  const std::size_t n = ifds.size();
  if (n >= 3 && !tiled(ifds[n - 1]) && !tiled(ifds[n - 2])) {
    for (const auto& [name, index] : {std::pair<std::string, std::size_t>{"thumbnail", n - 2},
                                      std::pair<std::string, std::size_t>{"macro", n - 1}}) {
      auto added = add_stored_image(parts, sources, ifds[index], probe.tiff->order, name);
      if (!added.ok()) return std::move(added).error();
    }
  }

  md::PropertyMap map;
  md::add_first_directory(ifds, true, map);
  if (auto mpp = md::tiff_mpp(*chosen.front())) {
    map["kolva.mpp-x"] = md::format_double(mpp->first);
    map["kolva.mpp-y"] = md::format_double(mpp->second);
  }
  add_elements(*doc, doc->elements[0], "", map);
  if (auto it = map.find("argos.ObjectiveMagnification"); it != map.end()) {
    if (auto power = md::parse_double(it->second); power && *power > 0) {
      map["kolva.objective-power"] = md::format_double(*power);
    }
  }
  if (auto it = map.find("argos.Barcode"); it != map.end()) map["kolva.barcode"] = it->second;
  parts.properties = md::finish_properties(std::move(map), parts.levels, "argos");
  // OpenSlide hashes the XML, with its NUL, after the tags.
  parts.hash_input_later = [tiles = tiff_hash_later(probe.tiff, *chosen.back(), ifds[0],
                                                    probe.tiff->order),
                            first = &ifds[0]](const SourceSet& from) {
    auto hash = tiles(from);
    if (hash.ok() && *hash) (*hash)->texts.push_back(argos_xml(*first));
    return hash;
  };
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
