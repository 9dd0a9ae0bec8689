#include "drivers/huron/huron.hpp"

#include <string>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/generic_tiff/tiff_codecs.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"
#include "text/strings.hpp"

namespace kolva::drivers {
namespace {

using tiff_tools::Ifd;
namespace md = slide::metadata;

constexpr std::uint16_t kNewSubfileType = 254;
constexpr std::uint16_t kImageDescription = 270;
constexpr std::uint16_t kMake = 271;
constexpr std::uint16_t kTileWidth = 322;

bool tiled(const Ifd& ifd) { return ifd.get(kTileWidth) != nullptr && ifd.get(323) != nullptr; }

SlideResult<std::vector<slide::AssociatedImage>> huron_images(const SourceSet& sources,
                                                              const std::vector<Ifd>& ifds,
                                                              ByteOrder order) {
  std::vector<slide::AssociatedImage> out;
  for (std::size_t i = 1; i < ifds.size(); ++i) {
    if (tiled(ifds[i])) continue;
    const auto subfile = ifds[i].scalar(kNewSubfileType).value_or(0);
    const std::string name = i == 1 ? "thumbnail" : subfile == 1 ? "label" : subfile == 9 ? "macro" : "";
    if (name.empty() || slide::has_image(out, name)) continue;
    if (auto filled = fill_in_file(sources, ifds[i], order); !filled.ok()) {
      return std::move(filled).error();
    }
    if (auto image = slide::plan_stored_image(ifds[i], order, name)) out.push_back(std::move(*image));
  }
  return out;
}

}  // namespace

const Family& HuronDriver::family() const {
  static const Family family{"huron", "huron", "Huron TissueScope TIFF"};
  return family;
}

bool HuronDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  const std::string* make = md::ascii_tag(probe.tiff->ifds[0], kMake);
  return make != nullptr && make->starts_with("Huron") && tiled(probe.tiff->ifds[0]);
}

SlideResult<Opening> HuronDriver::open(SourceSet& sources, const Probe& probe,
                                       const OpenOptions& /*options*/) const {
  const auto& ifds = probe.tiff->ifds;
  std::vector<const Ifd*> chosen{&ifds[0]};
  for (std::size_t i = 2; i < ifds.size(); ++i) {
    if (tiled(ifds[i])) chosen.push_back(&ifds[i]);
  }
  auto opened = tiff_level_parts(sources, chosen, probe.tiff->order, probe.tiff, {},
                                 "a Huron slide whose ");
  if (!opened.ok()) return std::move(opened).error();
  SlideParts parts = std::move(opened).value();
  auto images = huron_images(sources, ifds, probe.tiff->order);
  if (!images.ok()) return std::move(images).error();
  parts.associated = std::move(images).value();
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  // The smallest level's own tiles: a thumbnail of its size may come first.
  parts.hash_input_later = tiff_hash_later(probe.tiff, *chosen.back(), ifds[0], probe.tiff->order);

  // The properties, worked out when first asked for.
  std::vector<slide::Level> sizes;  // what the properties say of the levels
  for (const slide::Level& l : parts.levels) sizes.push_back(slide::Level{l.info, {}, l.downsample});
  parts.properties_later = [tiff = probe.tiff, level_sizes = std::move(sizes)] {
    const auto& directories = tiff->ifds;
    md::PropertyMap map;
    // OpenSlide keeps the description out of tiff.* and the comment here.
    md::add_first_directory(directories, false, map);
    md::add_tiff_mpp(directories, map);
    if (const std::string* description = md::ascii_tag(directories[0], kImageDescription)) {
      const std::string text = md::clean_text(*description);
      for (const std::string_view line : text::split(text, "\n")) {
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string key(text::trim(line.substr(0, eq)));
        if (!key.empty()) map["huron." + key] = std::string(text::trim(line.substr(eq + 1)));
      }
    }
    return md::finish_properties(std::move(map), level_sizes, "huron");
  };
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
