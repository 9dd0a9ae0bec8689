#include "drivers/philips/format/philips/philips.hpp"

namespace kolva::format::philips {

using tiff_tools::Ifd;

std::optional<Level> Level::from_ifd(const Ifd& ifd) {
  auto level = generic_tiff::Level::from_ifd(ifd);
  if (!level) return std::nullopt;
  if (ifd.scalar(259) != 7) return std::nullopt;
  const auto* description = ifd.get(270);
  if (!description || !description->ascii()) return std::nullopt;
  const auto* software = ifd.get(305);
  const std::string* text = software ? software->ascii() : nullptr;
  if (!text || !text->starts_with("Philips")) return std::nullopt;
  return Level{std::move(*level)};
}

KolvaResult<PhilipsDecoder> PhilipsDecoder::with_ifds(const std::vector<Ifd>& ifds) {
  PhilipsDecoder decoder;
  for (const auto& ifd : ifds) {
    if (auto level = Level::from_ifd(ifd)) decoder.levels_.push_back(std::move(*level));
  }
  return decoder;
}

KolvaResult<generic_tiff::ReadTile> PhilipsDecoder::read_tile(std::uint64_t level,
                                                              std::uint64_t x,
                                                              std::uint64_t y) const {
  return generic_tiff::read_tile_from(levels_, level, x, y);
}

std::optional<LevelInfo> PhilipsDecoder::get_level(std::uint64_t level) const {
  if (level >= levels_.size()) return std::nullopt;
  return levels_[level].info();
}

}  // namespace kolva::format::philips
