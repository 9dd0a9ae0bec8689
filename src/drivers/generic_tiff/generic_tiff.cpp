#include "drivers/generic_tiff/generic_tiff.hpp"

#include "drivers/common/decoder_tiler.hpp"
#include "slide/metadata.hpp"
#include "drivers/generic_tiff/tiff_codecs.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {

const Family& GenericTiffDriver::family() const {
  static const Family family{"generic-tiff", "generic-tiff", "Generic tiled TIFF"};
  return family;
}

bool GenericTiffDriver::detect(const Probe& probe) const {
  if (!probe.tiff || !probe.tiff->standard) return false;
  return probe.specified_family() == dynamic_decoder::TiffFamily::Generic;
}

SlideResult<Opening> GenericTiffDriver::open(SourceSet& sources, const Probe& probe,
                                             const OpenOptions& /*options*/) const {
  const auto& ifds = probe.tiff->ifds;
  auto decoder = format::generic_tiff::GenericTiffDecoder::with_ifds(ifds);
  if (!decoder.ok()) return Opening(Declined{decoder.error()});
  SlideParts parts;
  if (decoder->level_count() == 0) {
    // Tiles the JPEG-tables reader does not take: planned in their own codec.
    auto pyramid = plan_tiff_pyramid(ifds, probe.tiff->order);
    if (!pyramid.ok()) {
      return slide::errors::unsupported(sources.name(), pyramid.error(),
                                        KolvaError::LevelNotFound{0, 0});
    }
    parts.levels = std::move(pyramid->levels);
    mean_downsamples(parts.levels);
    parts.tiler = std::move(pyramid->tiler);
  } else {
    dynamic_decoder::DynamicDecoder dynamic(std::move(decoder).value());
    auto levels = decoder_levels(dynamic, sources.name());
    if (!levels.ok()) return std::move(levels).error();
    parts.levels = std::move(levels).value();
    parts.tiler = std::make_shared<DecoderTiler>(std::move(dynamic), sources.name());
  }
  parts.properties = generic_tiff_properties(ifds, parts.levels);
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  parts.hash_input = slide::tiff_hash_input(parts.levels, ifds);
  return Opening(std::move(parts));
}

slide::Properties generic_tiff_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                          const std::vector<slide::Level>& levels) {
  namespace md = slide::metadata;
  md::PropertyMap map;
  md::add_first_directory(ifds, true, map);
  md::add_tiff_mpp(ifds, map);
  return md::finish_properties(std::move(map), levels, "generic-tiff");
}

}  // namespace kolva::drivers
