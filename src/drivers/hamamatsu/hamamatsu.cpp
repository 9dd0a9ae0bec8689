#include "drivers/hamamatsu/hamamatsu.hpp"

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/run.hpp"
#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"
#include "slide/metadata.hpp"
#include "drivers/hamamatsu/ndpi_tiles.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {

const Family& HamamatsuDriver::family() const {
  static const Family family{"ndpi", "hamamatsu", "Hamamatsu NDPI"};
  return family;
}

bool HamamatsuDriver::detect(const Probe& probe) const { return probe.tiff != nullptr; }

SlideResult<Opening> HamamatsuDriver::open(SourceSet& sources, const Probe& probe,
                                           const OpenOptions& options) const {
  const auto& ifds = probe.tiff->ifds;
  auto scanned = run_consumer<format::ndpi::IfdToNdpiDecoder>(sources.at(0), ifds);
  if (!scanned.ok()) return std::move(scanned).error();
  if (!scanned->ok()) return Opening(Declined{scanned->error()});
  format::ndpi::NdpiDecoder ndpi = std::move(*scanned).value();
  SlideParts parts;
  if (options.tile_size != 0) {
    auto levels = decoder_levels(dynamic_decoder::DynamicDecoder(ndpi), sources.name());
    if (!levels.ok()) return std::move(levels).error();
    parts.levels = std::move(levels).value();
    auto tiler = ndpi_tiler(ndpi, options.tile_size, sources.name(), parts.levels);
    if (!tiler.ok()) return std::move(tiler).error();
    parts.tiler = std::move(tiler).value();
  } else {
    dynamic_decoder::DynamicDecoder dynamic(std::move(ndpi));
    auto levels = decoder_levels(dynamic, sources.name());
    if (!levels.ok()) return std::move(levels).error();
    parts.levels = std::move(levels).value();
    parts.tiler = std::make_shared<DecoderTiler>(std::move(dynamic), sources.name());
  }
  // An NDPI file (its marker tag) without a level says only that.
  constexpr std::uint16_t kNdpiMarker = 65420;
  if (parts.levels.empty() && !ifds.empty() && ifds[0].get(kNdpiMarker) != nullptr) {
    return slide::errors::unsupported(sources.at(0).name(), "it has no pyramid level",
                                      KolvaError::LevelNotFound{0, 0});
  }
  parts.properties = hamamatsu_properties(ifds, parts.levels);
  parts.associated = ndpi_images(ifds);
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  parts.hash_input = slide::tiff_hash_input(parts.levels, ifds);
  return Opening(std::move(parts));
}

SlideResult<std::optional<std::vector<tiff_tools::Ifd>>> HamamatsuDriver::own_directories(
    std_io::RangeSource& source) const {
  auto big = run_consumer<format::ndpi_big::NdpiBigIfdDecoder>(source, NoInput{});
  if (!big.ok()) return std::move(big).error();
  if (!big->ok()) return std::optional<std::vector<tiff_tools::Ifd>>();
  return std::optional<std::vector<tiff_tools::Ifd>>(std::move(*big).value());
}

slide::Properties hamamatsu_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                       const std::vector<slide::Level>& levels) {
  namespace md = slide::metadata;
  md::PropertyMap map;
  md::add_first_directory(ifds, true, map);
  if (!ifds.empty()) add_hamamatsu(ifds[0], map);
  md::add_tiff_mpp(ifds, map);
  return md::finish_properties(std::move(map), levels, "hamamatsu");
}

}  // namespace kolva::drivers
