#include "drivers/hamamatsu/hamamatsu.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "slide/metadata.hpp"
#include "text/strings.hpp"

namespace kolva::drivers {

using namespace slide::metadata;
using text::split;

void add_hamamatsu(const tiff_tools::Ifd& ifd, PropertyMap& out) {
  constexpr std::uint16_t kSourceLens = 65421, kXOffset = 65422, kYOffset = 65423,
                          kReference = 65427, kPropertyMap = 65449;
  if (const tiff_tools::Data* lens = ifd.get(kSourceLens)) {
    std::optional<double> value;
    if (const auto* f = lens->get_if<tiff_tools::FLOAT>()) value = static_cast<double>(f->value);
    if (const auto* d = lens->get_if<tiff_tools::DOUBLE>()) value = d->value;
    if (value && std::isfinite(*value)) {
      out["hamamatsu.SourceLens"] = format_double(*value);
      if (*value > 0) out["kolva.objective-power"] = format_double(*value);
    }
  }
  if (auto x = integer_tag(ifd, kXOffset)) out["hamamatsu.XOffsetFromSlideCentre"] = std::move(*x);
  if (auto y = integer_tag(ifd, kYOffset)) out["hamamatsu.YOffsetFromSlideCentre"] = std::move(*y);
  if (const std::string* reference = ascii_tag(ifd, kReference)) {
    out["hamamatsu.Reference"] = clean_text(*reference);
  }
  if (const std::string* map = ascii_tag(ifd, kPropertyMap)) {
    const std::string text = clean_text(*map);
    for (std::string_view line : split(text, "\r\n")) {
      const std::size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      out["hamamatsu." + std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
  }
}

}  // namespace kolva::drivers
