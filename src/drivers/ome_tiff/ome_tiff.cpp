#include "drivers/ome_tiff/ome_tiff.hpp"

#include <algorithm>
#include <memory>
#include <set>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/run.hpp"
#include "drivers/common/tiff_levels.hpp"
#include "drivers/ome_tiff/ome_xml.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::drivers {
namespace {

namespace md = slide::metadata;
using slide::PlaneAxis;
using tiff_tools::Ifd;

constexpr std::uint16_t kDescription = 270;
constexpr std::uint16_t kSubIfds = 330;
// Reduced levels a plane may have (a 2^32-pixel-wide image halved to one pixel).
constexpr std::size_t kMaxSubLevels = 64;

// The first directory's OME-XML as stored up to its NUL; empty when it has none.
std::string_view ome_description(const Ifd& ifd) {
  const std::string* text = md::ascii_tag(ifd, kDescription);
  if (text == nullptr) return {};
  const std::string_view view(*text);
  return view.substr(0, view.find('\0'));
}

bool big_tiff(ByteSpan head) {
  return head.size() >= 4 && ((head[0] == 'I' && head[2] == 43) || (head[0] == 'M' && head[3] == 43));
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

// The associated image an OME Image stands for ("label", "macro",
// "thumbnail"), or "" for a series.
std::string associated_name(const ome::Image& image) {
  const std::string name = lower(image.name);
  if (name == "label" || name == "macro" || name == "thumbnail") return name;
  if (name == "overview") return "macro";
  return "";
}

void add_image_properties(const ome::Image& image, md::PropertyMap& map) {
  auto put = [&](const std::string& key, const std::string& value) {
    if (!value.empty()) map["ome." + key] = md::clean_text(value);
  };
  put("image-id", image.id);
  put("image-name", image.name);
  put("acquisition-date", image.acquisition_date);
  put("dimension-order", image.dimension_order);
  put("pixel-type", image.pixel_type);
  put("size-x", std::to_string(image.size_x));
  put("size-y", std::to_string(image.size_y));
  put("size-z", std::to_string(image.size_z));
  put("size-c", std::to_string(image.size_c));
  put("size-t", std::to_string(image.size_time));
  if (image.physical_size_x) put("physical-size-x", md::format_double(*image.physical_size_x));
  if (image.physical_size_y) put("physical-size-y", md::format_double(*image.physical_size_y));
  if (image.physical_size_z) put("physical-size-z", md::format_double(*image.physical_size_z));
  for (std::size_t i = 0; i < image.channels.size(); ++i) {
    const ome::Channel& c = image.channels[i];
    const std::string prefix = "channel[" + std::to_string(i) + "].";
    put(prefix + "id", c.id);
    put(prefix + "name", c.name);
    put(prefix + "samples-per-pixel", std::to_string(c.samples_per_pixel));
    put(prefix + "emission-wavelength", c.emission_wavelength);
    put(prefix + "excitation-wavelength", c.excitation_wavelength);
    put(prefix + "wavelength-unit", c.wavelength_unit);
    put(prefix + "color", c.color);
    put(prefix + "fluor", c.fluor);
  }
  if (image.physical_size_x && image.physical_size_y) {
    map["kolva.mpp-x"] = md::format_double(*image.physical_size_x);
    map["kolva.mpp-y"] = md::format_double(*image.physical_size_y);
  }
  if (image.objective_power) map["kolva.objective-power"] = md::format_double(*image.objective_power);
}

// The names of `values` when every one has a distinct, non-empty name.
std::vector<std::string> names_if_distinct(std::vector<std::string> values) {
  for (const std::string& v : values) {
    if (v.empty()) return {};
  }
  if (values.size() > 1) {
    std::vector<std::string_view> sorted(values.begin(), values.end());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return {};
  }
  return values;
}

}  // namespace

const Family& OmeTiffDriver::family() const {
  static const Family family{"ome-tiff", "ome-tiff", "OME-TIFF"};
  return family;
}

bool OmeTiffDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  return ome::is_ome_xml(ome_description(probe.tiff->ifds[0]));
}

SlideResult<Opening> OmeTiffDriver::open(SourceSet& sources, const Probe& probe,
                                         const OpenOptions& options) const {
  const auto& ifds = probe.tiff->ifds;
  const ByteOrder order = probe.tiff->order;
  auto parsed =
      ome::parse_ome_xml(ome_description(ifds[0]), std::max<std::uint64_t>(ifds.size(), 1));
  if (!parsed) return Opening(Declined{});
  // Shared with the properties, worked out when first asked for.
  const auto document = std::make_shared<const ome::Document>(std::move(*parsed));

  // Series: the images that are no associated image, in document order.
  std::vector<const ome::Image*> series;
  std::vector<std::pair<std::string, const ome::Image*>> extras;
  for (const ome::Image& image : document->images) {
    const std::string name = associated_name(image);
    if (name.empty() || document->images.size() == 1) {
      series.push_back(&image);
    } else {
      extras.emplace_back(name, &image);
    }
  }
  if (series.empty()) return Opening(Declined{});

  slide::Planes planes;
  planes[PlaneAxis::Series].count = series.size();
  {
    std::vector<std::string> names;
    for (const ome::Image* image : series) names.push_back(image->name);
    planes[PlaneAxis::Series].names = names_if_distinct(std::move(names));
  }
  auto chosen_series =
      slide::choose_plane(PlaneAxis::Series, options.planes[PlaneAxis::Series], planes[PlaneAxis::Series]);
  if (!chosen_series.ok()) return std::move(chosen_series).error();
  planes[PlaneAxis::Series].selected = *chosen_series;
  const ome::Image& image = *series[*chosen_series];

  planes[PlaneAxis::Channel].count = image.plane_channels;
  {
    std::vector<std::string> names;
    for (const ome::Channel& c : image.channels) names.push_back(c.name);
    planes[PlaneAxis::Channel].names = names_if_distinct(std::move(names));
  }
  planes[PlaneAxis::FocalPlane].count = image.size_z;
  planes[PlaneAxis::Timepoint].count = image.size_time;
  std::uint64_t at[slide::kPlaneAxisCount] = {};
  for (PlaneAxis axis : {PlaneAxis::Channel, PlaneAxis::FocalPlane, PlaneAxis::Timepoint}) {
    auto chosen = slide::choose_plane(axis, options.planes[axis], planes[axis]);
    if (!chosen.ok()) return std::move(chosen).error();
    planes[axis].selected = *chosen;
    at[static_cast<std::size_t>(axis)] = *chosen;
  }
  const std::uint64_t plane = image.plane_index(at[1], at[2], at[3]);
  const auto ifd_index = plane < image.plane_ifds.size() ? image.plane_ifds[plane] : std::nullopt;
  if (!ifd_index || *ifd_index >= ifds.size()) {
    return slide::errors::unsupported(
        sources.name(), "its OME-XML places the plane served in a directory the file does not have");
  }
  const Ifd& main = ifds[*ifd_index];

  // The plane's pyramid: its SubIFDs, else the reduced pages after it that no
  // plane claims.
  // The levels' directories outlive the slide's levels, which read their tile
  // tables in place: the probe's, and the SubIFDs read here.
  struct Directories {
    std::shared_ptr<const TiffDirectories> probe;
    std::vector<Ifd> sub;
  };
  auto directories = std::make_shared<Directories>(Directories{probe.tiff, {}});
  const std::shared_ptr<const void> owner = directories;  // for the hash input
  std::vector<const Ifd*> reduced;
  if (const auto* sub = main.get(kSubIfds)) {
    auto offsets = sub->to_u64vec();
    if (offsets && !offsets->empty()) {
      if (offsets->size() > kMaxSubLevels) offsets->resize(kMaxSubLevels);
      // Several listed: each is a level, and what may be chained after it is
      // not read.
      tiff_tools::SubDirectoryDecoder::Input input{*offsets, order, big_tiff(probe.head),
                                                   kMaxSubLevels, offsets->size() > 1 ? 1u : 0u,
                                                   kTablesInFile};
      auto read = run_consumer<tiff_tools::SubDirectoryDecoder>(sources.at(0), std::move(input));
      if (!read.ok()) return std::move(read).error();
      if (!read->ok()) {
        return slide::errors::unsupported(sources.name(), "its SubIFDs cannot be read",
                                          read->error());
      }
      // One listed directory with the others chained after it, or each listed.
      std::vector<Ifd>& kept = directories->sub;
      kept.reserve(offsets->size());
      for (auto& chain : read->value()) {
        if (chain.empty()) continue;
        if (offsets->size() == 1) {
          for (Ifd& ifd : chain) kept.push_back(std::move(ifd));
        } else {
          kept.push_back(std::move(chain.front()));
        }
      }
      for (const Ifd& ifd : kept) reduced.push_back(&ifd);
    }
  } else {
    std::set<std::uint64_t> claimed;
    for (const ome::Image& other : document->images) {
      for (const auto& ifd : other.plane_ifds) {
        if (ifd) claimed.insert(*ifd);
      }
    }
    std::uint64_t width = main.scalar(256).value_or(0);
    for (std::uint64_t i = *ifd_index + 1; i < ifds.size() && !claimed.contains(i); ++i) {
      const std::uint64_t w = ifds[i].scalar(256).value_or(0);
      if ((ifds[i].scalar(254).value_or(0) & 1) == 0 || w == 0 || w >= width) break;
      width = w;
      reduced.push_back(&ifds[i]);
    }
  }
  std::vector<const Ifd*> chosen{&main};
  for (const Ifd* ifd : reduced) {
    if (ifd->scalar(256).value_or(0) < chosen.back()->scalar(256).value_or(0)) chosen.push_back(ifd);
  }
  auto opened = tiff_level_parts(sources, chosen, order, std::move(directories), std::move(planes));
  if (!opened.ok()) return std::move(opened).error();

  SlideParts parts = std::move(opened).value();

  for (const auto& [name, extra] : extras) {
    if (extra->plane_ifds.empty()) continue;
    const auto index = extra->plane_ifds.front();
    if (!index || *index >= ifds.size()) continue;
    if (auto added = add_stored_image(parts, sources, ifds[*index], order, name); !added.ok()) {
      return std::move(added).error();
    }
  }

  std::vector<slide::Level> sizes;  // what the properties say of the levels
  for (const slide::Level& l : parts.levels) sizes.push_back(slide::Level{l.info, {}, l.downsample});
  parts.properties_later = [tiff = probe.tiff, document, served = &image,
                            level_sizes = std::move(sizes)] {
    md::PropertyMap map;
    md::add_first_directory(tiff->ifds, true, map);
    md::add_tiff_mpp(tiff->ifds, map);
    add_image_properties(*served, map);
    map["ome.image-count"] = std::to_string(document->images.size());
    if (!document->creator.empty()) map["ome.creator"] = md::clean_text(document->creator);
    return md::finish_properties(std::move(map), level_sizes, "ome-tiff");
  };

  parts.hash_input_later = tiff_hash_later(owner, *chosen.back(), ifds[0], order);
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
