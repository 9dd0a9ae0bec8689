#include "drivers/hamamatsu/hamamatsu.hpp"

#include <algorithm>
#include <string>

#include "slide/associated.hpp"

namespace kolva::drivers {
namespace {

using slide::AssociatedImage;
using slide::has_image;
using slide::plan_stored_image;
using slide::Splice;
using tiff_tools::Ifd;

constexpr std::uint16_t kSourceLens = 65421;

void add_ndpi_images(const std::vector<Ifd>& ifds, std::vector<AssociatedImage>& out) {
  for (const Ifd& ifd : ifds) {
    const auto* lens = ifd.get(kSourceLens);
    const auto* value = lens ? lens->get_if<tiff_tools::FLOAT>() : nullptr;
    if (value == nullptr) continue;
    std::string name;
    if (value->value == -1.0F) name = "macro";
    if (value->value == -2.0F) name = "map";
    if (name.empty() || has_image(out, name)) continue;
    auto image = plan_stored_image(ifd, ByteOrder::Little, name);
    if (!image) continue;
    // The macro is a complete JFIF file already: handed out as stored.
    if (image->media_type == "image/jpeg") {
      if (image->plan.ranges.size() != 1) continue;
      image->plan.assembly = Splice{};
    }
    out.push_back(std::move(*image));
  }
}

}  // namespace

std::vector<AssociatedImage> ndpi_images(const std::vector<Ifd>& ifds) {
  std::vector<AssociatedImage> out;
  add_ndpi_images(ifds, out);
  return out;
}

}  // namespace kolva::drivers
