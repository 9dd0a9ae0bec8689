#pragma once

// The OME-XML of an OME-TIFF: its images (series), each with its pixels'
// dimensions, channels and the main-chain directory of every plane, read
// leniently (missing attributes take the model's defaults). Pure: text in,
// facts out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolva::drivers::ome {

struct Channel {
  std::string id;
  std::string name;
  std::uint64_t samples_per_pixel = 1;
  std::string emission_wavelength;    // as written, in `emission_unit` (nm by default)
  std::string excitation_wavelength;
  std::string wavelength_unit;
  std::string color;                  // signed 32-bit RGBA as written
  std::string fluor;
};

struct Image {
  std::string id;
  std::string name;
  std::string acquisition_date;
  std::string dimension_order = "XYZCT";
  std::string pixel_type;
  std::uint64_t size_x = 0, size_y = 0, size_z = 1, size_c = 1, size_time = 1;
  std::optional<double> physical_size_x, physical_size_y, physical_size_z;  // micrometres
  std::vector<Channel> channels;
  std::optional<double> objective_power;  // NominalMagnification of its objective
  // Planes as (channel, focal plane, timepoint) counts, and each plane's
  // main-chain directory (nothing: not in this file).
  std::uint64_t plane_channels = 1;
  std::vector<std::optional<std::uint64_t>> plane_ifds;

  std::uint64_t plane_count() const { return plane_channels * size_z * size_time; }
  // The index of plane (c, z, t) in DimensionOrder.
  std::uint64_t plane_index(std::uint64_t c, std::uint64_t z, std::uint64_t t) const;
};

struct Document {
  std::vector<Image> images;
  std::string creator;
};

// Whether `description` (a first directory's ImageDescription) is OME-XML.
bool is_ome_xml(std::string_view description);

// The document, or nothing when the text is no OME-XML this reader takes.
// Plane counts are bounded (`max_planes` per image) so that a hostile
// document cannot ask for more than the file could hold.
std::optional<Document> parse_ome_xml(std::string_view xml, std::uint64_t max_planes);

}  // namespace kolva::drivers::ome
