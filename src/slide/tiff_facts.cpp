#include "slide/tiff_facts.hpp"

namespace kolva::slide {

using tiff_tools::Data;
using tiff_tools::Ifd;

std::string tiff_photometric(const Ifd& ifd) {
  const std::uint64_t code = ifd.scalar(259).value_or(1);
  const std::uint64_t samples = ifd.scalar(277).value_or(1);
  const auto photometric = ifd.scalar(262);
  if (samples == 1) return photometric == 0u ? "MONOCHROME1" : "MONOCHROME2";
  if (samples != 3) return "";
  // Aperio's JPEG 2000 codes: 33003 holds YCbCr samples the codestream does not
  // transform back, 33005 RGB samples (the codestream may transform them).
  if (code == 33003) return "YBR_FULL";
  if (code == 33005) return "RGB";
  if (code == 7) {
    if (photometric == 6u) return "YBR_FULL_422";
    if (photometric == 2u) return "RGB";
    return "";
  }
  if (code == 34712 || code == 33004) return photometric == 2u ? "RGB" : "";
  if (photometric == 2u) return "RGB";
  if (photometric == 6u) return "YBR_FULL";
  return "";
}

Bytes tiff_icc_profile(const Ifd& ifd) {
  const auto* entry = ifd.get(34675);
  const auto* bytes = entry ? entry->u8vec() : nullptr;
  // A profile header alone is 128 bytes.
  if (bytes == nullptr || bytes->size() < 128) return {};
  return *bytes;
}

namespace {

const Ifd* same_size(const std::vector<Ifd>& ifds, std::pair<std::uint64_t, std::uint64_t> size) {
  for (const Ifd& ifd : ifds) {
    if (ifd.scalar(256) == size.first && ifd.scalar(257) == size.second) return &ifd;
  }
  return nullptr;
}

}  // namespace

void add_tiff_facts(std::vector<Level>& levels, std::vector<AssociatedImage>& associated,
                    const std::vector<Ifd>& ifds) {
  if (ifds.empty()) return;
  const Bytes first = tiff_icc_profile(ifds[0]);
  for (Level& level : levels) {
    const Ifd* ifd = same_size(ifds, level.info.dimensions);
    if (ifd == nullptr) continue;
    level.photometric = tiff_photometric(*ifd);
    level.icc_profile = tiff_icc_profile(*ifd);
  }
  if (!levels.empty() && levels[0].icc_profile.empty()) levels[0].icc_profile = first;
  for (AssociatedImage& image : associated) {
    if (const Ifd* ifd = same_size(ifds, image.dimensions)) image.icc_profile = tiff_icc_profile(*ifd);
  }
}

std::optional<HashInput> tiff_hash_input(const std::vector<Level>& levels,
                                         const std::vector<Ifd>& ifds) {
  if (levels.empty() || ifds.empty()) return std::nullopt;
  const Ifd* ifd = same_size(ifds, levels.back().info.dimensions);
  if (ifd == nullptr) return std::nullopt;
  return tiff_hash_input(*ifd, ifds[0]);
}

std::pair<std::uint16_t, std::uint16_t> hashed_table_tags(const Ifd& smallest) {
  // TileWidth marks a tiled directory: TileOffsets/TileByteCounts, else
  // StripOffsets/StripByteCounts.
  const bool tiled = smallest.get(322) != nullptr;
  return tiled ? std::pair<std::uint16_t, std::uint16_t>{324, 325}
               : std::pair<std::uint16_t, std::uint16_t>{273, 279};
}

std::optional<HashInput> tiff_hash_input(const Ifd& smallest, const Ifd& first) {
  const auto [offsets, counts] = hashed_table_tags(smallest);
  return tiff_hash_input(smallest.get(offsets), smallest.get(counts), first);
}

std::optional<HashInput> tiff_hash_input(const Data* offsets, const Data* counts,
                                         const Ifd& first) {
  if (offsets == nullptr || counts == nullptr) return std::nullopt;
  auto offs = offsets->to_u64vec();
  auto lens = counts->to_u64vec();
  if (!offs || !lens || offs->size() != lens->size()) return std::nullopt;
  HashInput input;
  input.ranges.reserve(offs->size());
  for (std::size_t i = 0; i < offs->size(); ++i) input.ranges.push_back({(*offs)[i], (*lens)[i]});
  constexpr std::uint16_t kTags[] = {270, 271, 272, 305, 306, 315, 316, 33432, 269};
  input.texts.reserve(std::size(kTags));
  for (const std::uint16_t tag : kTags) {
    const auto* entry = first.get(tag);
    const std::string* text = entry ? entry->ascii() : nullptr;
    input.texts.push_back(text ? text->substr(0, text->find('\0')) : std::string());
  }
  return input;
}

}  // namespace kolva::slide
