#include "slide/tiff_facts.hpp"

namespace kolva::slide {

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

}  // namespace kolva::slide
