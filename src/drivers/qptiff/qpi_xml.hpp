#pragma once

// The ImageDescription of an Akoya/PerkinElmer QPTIFF page: an XML document
// whose root is <PerkinElmer-QPI-ImageDescription>, its facts in child
// elements. Written as UTF-8, ASCII or UTF-16 (with a byte-order mark, or
// declared UTF-16 while stored as ASCII). Pure: bytes in, facts out.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolva::drivers::qpi {

struct PageDescription {
  std::string image_type;  // FullResolution, ReducedResolution, Thumbnail, Overview, Label
  std::string name;        // the channel's (biomarker's) name
  // The root's simple children (no element inside), in document order:
  // (element name, trimmed text).
  std::vector<std::pair<std::string, std::string>> fields;
};

// The description's text as UTF-8: UTF-16 (a byte-order mark, or every other
// byte NUL) converted, anything else as stored.
std::string description_text(std::string_view raw);

// Whether the text is a QPI page description (its root element).
bool is_qpi_description(std::string_view text);

// The page's description, or nothing when it is no QPI XML; without `fields`
// only its image type and name (what an opening needs of every page).
std::optional<PageDescription> parse_qpi_description(std::string_view text, bool fields = true);

}  // namespace kolva::drivers::qpi
