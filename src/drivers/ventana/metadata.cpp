#include "drivers/ventana/ventana.hpp"

#include <cmath>

namespace kolva::drivers::ventana {

using namespace slide::metadata;

void add_ventana(const Attributes& iscan, const Stitch* stitched, PropertyMap& out) {
  for (const auto& [key, value] : iscan) {
    std::string text = clean_text(value);
    if (!text.empty()) out["ventana." + key] = std::move(text);
  }
  for (const auto& [key, value] : iscan) {
    if (key == "ScanRes") {
      if (const auto v = parse_double(value); usable_positive(v)) {
        out["kolva.mpp-x"] = out["kolva.mpp-y"] = format_double(*v);
      }
    } else if (key == "Magnification") {
      if (const auto v = parse_double(value); usable_positive(v)) {
        out["kolva.objective-power"] = format_double(*v);
      }
    }
  }
  if (stitched == nullptr) return;
  // OpenSlide's area rectangles: the area's first tile column and row times
  // the advances, whatever Pos-X and Pos-Y place it at.
  for (std::size_t i = 0; i < stitched->areas.size(); ++i) {
    const Placed& p = stitched->areas[i];
    const std::string key = "kolva.region[" + std::to_string(i) + "].";
    out[key + "x"] = format_double(std::floor(static_cast<double>(p.start_col) * stitched->advance_x));
    out[key + "y"] = format_double(std::floor(static_cast<double>(p.start_row) * stitched->advance_y));
    out[key + "width"] = format_double(std::floor(p.width));
    out[key + "height"] = format_double(std::floor(p.height));
  }
}

}  // namespace kolva::drivers::ventana
