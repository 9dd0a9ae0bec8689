#include "drivers/philips/philips.hpp"

#include "drivers/common/decoder_tiler.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {

const Family& PhilipsDriver::family() const {
  static const Family family{"philips", "philips", "Philips TIFF"};
  return family;
}

bool PhilipsDriver::detect(const Probe& probe) const {
  if (!probe.tiff || !probe.tiff->standard) return false;
  return probe.specified_family() == dynamic_decoder::TiffFamily::Philips;
}

SlideResult<Opening> PhilipsDriver::open(SourceSet& sources, const Probe& probe,
                                         const OpenOptions& /*options*/) const {
  const auto& ifds = probe.tiff->ifds;
  auto decoder = format::philips::PhilipsDecoder::with_ifds(ifds);
  if (!decoder.ok()) return Opening(Declined{decoder.error()});
  dynamic_decoder::DynamicDecoder dynamic(std::move(decoder).value());
  auto levels = decoder_levels(dynamic, sources.name());
  if (!levels.ok()) return std::move(levels).error();
  // Philips pads each level to whole tiles: the XML's pixel spacings give the
  // downsamples, when it has them all.
  if (!ifds.empty()) {
    if (const auto* xml = ifds[0].get(270); xml && xml->ascii()) {
      const auto downsamples = philips_downsamples(*xml->ascii());
      if (downsamples.size() >= levels->size()) {
        for (std::size_t i = 0; i < levels->size(); ++i) (*levels)[i].downsample = downsamples[i];
      }
    }
  }
  SlideParts parts;
  parts.properties = philips_properties(ifds, *levels);
  parts.associated = philips_images(ifds, probe.tiff->order);
  parts.levels = std::move(levels).value();
  parts.tiler = std::make_shared<DecoderTiler>(std::move(dynamic), sources.name());
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  parts.hash_input = slide::tiff_hash_input(parts.levels, ifds);
  return Opening(std::move(parts));
}

slide::Properties philips_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                     const std::vector<slide::Level>& levels) {
  namespace md = slide::metadata;
  md::PropertyMap map;
  md::add_first_directory(ifds, false, map);
  if (!ifds.empty()) {
    if (const auto* d = ifds[0].get(270); d && d->ascii()) add_philips(*d->ascii(), map);
  }
  return md::finish_properties(std::move(map), levels, "philips");
}

}  // namespace kolva::drivers
