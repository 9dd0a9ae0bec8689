#include "drivers/aperio/aperio.hpp"

#include "drivers/common/decoder_tiler.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {

const Family& AperioDriver::family() const {
  static const Family family{"aperio", "aperio", "Aperio SVS"};
  return family;
}

bool AperioDriver::detect(const Probe& probe) const {
  if (!probe.tiff || !probe.tiff->standard) return false;
  return probe.specified_family() == dynamic_decoder::TiffFamily::Aperio;
}

SlideResult<Opening> AperioDriver::open(SourceSet& sources, const Probe& probe,
                                        const OpenOptions& /*options*/) const {
  const auto& ifds = probe.tiff->ifds;
  auto decoder = format::aperio::AperioDecoder::with_ifds(ifds);
  if (!decoder.ok()) return Opening(Declined{decoder.error()});
  dynamic_decoder::DynamicDecoder dynamic(std::move(decoder).value());
  auto levels = decoder_levels(dynamic, sources.name());
  if (!levels.ok()) return std::move(levels).error();
  SlideParts parts;
  parts.properties = aperio_properties(ifds, *levels);
  parts.associated = aperio_images(ifds, probe.tiff->order);
  parts.levels = std::move(levels).value();
  parts.tiler = std::make_shared<DecoderTiler>(std::move(dynamic), sources.name());
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  parts.hash_input = slide::tiff_hash_input(parts.levels, ifds);
  return Opening(std::move(parts));
}

slide::Properties aperio_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                    const std::vector<slide::Level>& levels) {
  namespace md = slide::metadata;
  md::PropertyMap map;
  md::add_first_directory(ifds, true, map);
  if (!ifds.empty()) {
    if (const auto* d = ifds[0].get(270); d && d->ascii()) add_aperio(*d->ascii(), map);
  }
  return md::finish_properties(std::move(map), levels, "aperio");
}

}  // namespace kolva::drivers
