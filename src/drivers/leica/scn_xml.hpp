#pragma once

// The XML of a Leica SCN (SCN400, Versa) in its first ImageDescription: the
// collection (the slide, sizes in nanometres), its images with their pyramid
// dimensions (directory, resolution index, focal plane, channel) and where
// each image lies on the slide. Pure: text in, facts out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolva::drivers::scn {

struct Dimension {
  std::uint64_t width = 0, height = 0;
  std::uint64_t ifd = 0;
  std::uint64_t resolution = 0;  // r
  std::uint64_t z = 0, c = 0;
};

struct Image {
  std::string name;
  std::string uuid;
  std::string creation_date;
  std::string device_model, device_version;
  std::string objective, aperture, illumination_source;
  std::vector<std::string> channel_names;  // channelSettings, in order
  std::vector<Dimension> dimensions;
  // The image's place on the slide, nanometres.
  std::uint64_t view_x = 0, view_y = 0, view_width = 0, view_height = 0;
};

struct Collection {
  std::string name;
  std::string barcode;  // decoded from Base64 in the 2010/10/01 schema
  std::uint64_t width = 0, height = 0;  // nanometres
  std::vector<Image> images;
  // Whether `image` covers the whole collection from its origin: the macro.
  bool is_macro(const Image& image) const;
};

// Whether a first ImageDescription names one of the SCN schemas.
bool is_scn_xml(std::string_view description);

// The collection, or nothing when the text is no SCN XML this reader takes.
std::optional<Collection> parse_scn_xml(std::string_view xml);

}  // namespace kolva::drivers::scn
