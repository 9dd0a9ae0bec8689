#include "drivers/aperio/aperio.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "slide/metadata.hpp"
#include "text/strings.hpp"

namespace kolva::drivers {

using namespace slide::metadata;
using text::split;
using text::trim;

void add_aperio(std::string_view description, PropertyMap& out) {
  const std::string text = clean_text(description);
  const auto fields = split(text, "|");
  std::optional<std::string> mpp, app_mag;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::size_t eq = fields[i].find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key(trim(fields[i].substr(0, eq)));
    std::string value(trim(fields[i].substr(eq + 1)));
    if (key == "MPP") mpp = value;
    if (key == "AppMag") app_mag = value;
    out["aperio." + key] = std::move(value);
  }
  if (mpp) {
    if (const auto v = parse_double(*mpp); usable_positive(v)) {
      out["kolva.mpp-x"] = out["kolva.mpp-y"] = format_double(*v);
    }
  }
  if (app_mag) {
    if (const auto v = parse_double(*app_mag); usable_positive(v)) {
      out["kolva.objective-power"] = format_double(*v);
    }
  }
}

}  // namespace kolva::drivers
