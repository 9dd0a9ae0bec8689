#include "drivers/aperio/aperio.hpp"

#include <algorithm>
#include <string>

#include "slide/associated.hpp"

namespace kolva::drivers {
namespace {

using slide::AssociatedImage;
using slide::has_image;
using slide::plan_stored_image;
using tiff_tools::Ifd;

constexpr std::uint16_t kNewSubfileType = 254;
constexpr std::uint16_t kImageDescription = 270;
constexpr std::uint16_t kTileWidth = 322;

// A name made of lower-case letters, digits and underscores.
bool plain_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

void add_aperio_images(const std::vector<Ifd>& ifds, ByteOrder order,
                       std::vector<AssociatedImage>& out) {
  for (std::size_t i = 1; i < ifds.size(); ++i) {
    const Ifd& ifd = ifds[i];
    if (ifd.get(kTileWidth) != nullptr) continue;
    std::string name;
    if (i == 1) {
      name = "thumbnail";
    } else if (const std::string* text = slide::metadata::ascii_tag(ifd, kImageDescription)) {
      // "Aperio Image Library ...\nlabel 387x463": the second line's first word.
      const std::size_t line = text->find('\n');
      if (line != std::string::npos) {
        const std::string second = text->substr(line + 1);
        name = second.substr(0, second.find_first_of(" \r\n"));
      }
    }
    if (!plain_name(name)) {
      name.clear();
      const auto subfile = ifd.scalar(kNewSubfileType);
      if (subfile == 1) name = "label";
      if (subfile == 9) name = "macro";
    }
    if (name.empty() || has_image(out, name)) continue;
    if (auto image = plan_stored_image(ifd, order, name)) {
      out.push_back(std::move(*image));
    }
  }
}

}  // namespace

std::vector<AssociatedImage> aperio_images(const std::vector<Ifd>& ifds, ByteOrder order) {
  std::vector<AssociatedImage> out;
  add_aperio_images(ifds, order, out);
  return out;
}

}  // namespace kolva::drivers
