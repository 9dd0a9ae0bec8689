#include "drivers/generic_tiff/tiff_codecs.hpp"

#include <algorithm>

#include "slide/describe.hpp"

namespace kolva::drivers {

Result<CodecPyramid, std::string> plan_tiff_pyramid(const std::vector<tiff_tools::Ifd>& ifds,
                                                    ByteOrder order) {
  using tiff_tools::Ifd;
  auto is_tiled = [](const Ifd& ifd) { return ifd.get(322) != nullptr && ifd.get(323) != nullptr; };
  if (ifds.empty() || !is_tiled(ifds[0])) return slide::describe_refusal(ifds);
  std::vector<const Ifd*> chosen{&ifds[0]};
  for (std::size_t i = 1; i < ifds.size(); ++i) {
    const std::uint64_t subfile = ifds[i].scalar(254).value_or(0);
    if (is_tiled(ifds[i]) && (subfile & 1) != 0 && (subfile & 4) == 0) chosen.push_back(&ifds[i]);
  }
  std::stable_sort(chosen.begin(), chosen.end(), [](const Ifd* a, const Ifd* b) {
    return a->scalar(256).value_or(0) > b->scalar(256).value_or(0);
  });
  return plan_tiff_levels(chosen, order);
}

}  // namespace kolva::drivers
