#include "drivers/leica/leica.hpp"

#include <algorithm>
#include <set>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/tiff_levels.hpp"
#include "drivers/leica/scn_xml.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {
namespace {

namespace md = slide::metadata;
using slide::PlaneAxis;
using tiff_tools::Ifd;

constexpr std::uint16_t kDescription = 270;

// The distinct values of `key` among the image's dimensions, lowest first.
template <class Key>
std::vector<std::uint64_t> distinct(const scn::Image& image, Key key) {
  std::set<std::uint64_t> values;
  for (const scn::Dimension& d : image.dimensions) values.insert(key(d));
  return {values.begin(), values.end()};
}

}  // namespace

const Family& LeicaDriver::family() const {
  static const Family family{"leica", "leica", "Leica SCN"};
  return family;
}

bool LeicaDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  if (probe.tiff->ifds[0].get(322) == nullptr) return false;
  const std::string* description = md::ascii_tag(probe.tiff->ifds[0], kDescription);
  return description != nullptr && scn::is_scn_xml(*description);
}

SlideResult<Opening> LeicaDriver::open(SourceSet& sources, const Probe& probe,
                                       const OpenOptions& options) const {
  const auto& ifds = probe.tiff->ifds;
  const std::string_view description(*md::ascii_tag(ifds[0], kDescription));
  auto collection = scn::parse_scn_xml(description.substr(0, description.find('\0')));
  if (!collection) return Opening(Declined{});
  std::vector<const scn::Image*> regions;
  const scn::Image* macro = nullptr;
  for (const scn::Image& image : collection->images) {
    if (image.dimensions.empty()) continue;
    if (collection->is_macro(image) && macro == nullptr) {
      macro = &image;
    } else {
      regions.push_back(&image);
    }
  }
  if (regions.empty()) return Opening(Declined{});

  slide::Planes planes;
  auto& series = planes[PlaneAxis::Series];
  series.count = regions.size();
  {
    std::set<std::string> seen;
    for (const scn::Image* image : regions) {
      if (!image->name.empty() && seen.insert(image->name).second) series.names.push_back(image->name);
    }
    if (series.names.size() != regions.size()) series.names.clear();
  }
  auto chosen = slide::choose_plane(PlaneAxis::Series, options.planes[PlaneAxis::Series], series);
  if (!chosen.ok()) return std::move(chosen).error();
  series.selected = *chosen;
  const scn::Image& image = *regions[*chosen];

  const auto channels = distinct(image, [](const scn::Dimension& d) { return d.c; });
  const auto focal = distinct(image, [](const scn::Dimension& d) { return d.z; });
  auto& channel_list = planes[PlaneAxis::Channel];
  channel_list.count = channels.size();
  if (image.channel_names.size() == channels.size()) channel_list.names = image.channel_names;
  auto c = slide::choose_plane(PlaneAxis::Channel, options.planes[PlaneAxis::Channel], channel_list);
  if (!c.ok()) return std::move(c).error();
  channel_list.selected = *c;
  planes[PlaneAxis::FocalPlane].count = focal.size();
  auto z = slide::choose_plane(PlaneAxis::FocalPlane, options.planes[PlaneAxis::FocalPlane],
                               planes[PlaneAxis::FocalPlane]);
  if (!z.ok()) return std::move(z).error();
  planes[PlaneAxis::FocalPlane].selected = *z;

  std::vector<scn::Dimension> dims;
  for (const scn::Dimension& d : image.dimensions) {
    if (d.c == channels[*c] && d.z == focal[*z] && d.ifd < ifds.size()) dims.push_back(d);
  }
  std::sort(dims.begin(), dims.end(), [](const scn::Dimension& a, const scn::Dimension& b) {
    return a.width != b.width ? a.width > b.width : a.resolution < b.resolution;
  });
  std::vector<const Ifd*> chosen_ifds;
  for (const scn::Dimension& d : dims) {
    const Ifd& ifd = ifds[d.ifd];
    if (!chosen_ifds.empty() &&
        ifd.scalar(256).value_or(0) >= chosen_ifds.back()->scalar(256).value_or(0)) {
      continue;
    }
    chosen_ifds.push_back(&ifd);
  }
  if (chosen_ifds.empty()) return Opening(Declined{});
  auto opened = tiff_level_parts(sources, chosen_ifds, probe.tiff->order, std::move(planes));
  if (!opened.ok()) return std::move(opened).error();
  SlideParts parts = std::move(opened).value();

  if (macro != nullptr) {
    const scn::Dimension* largest = nullptr;
    for (const scn::Dimension& d : macro->dimensions) {
      if (d.z == 0 && d.ifd < ifds.size() && (largest == nullptr || d.width > largest->width)) {
        largest = &d;
      }
    }
    if (largest != nullptr) {
      add_stored_image(parts, ifds[largest->ifd], probe.tiff->order, "macro");
    }
  }

  md::PropertyMap map;
  md::add_first_directory(ifds, false, map);
  if (auto mpp = md::tiff_mpp(*chosen_ifds.front())) {
    map["kolva.mpp-x"] = md::format_double(mpp->first);
    map["kolva.mpp-y"] = md::format_double(mpp->second);
  }
  auto put = [&](const std::string& key, const std::string& value) {
    if (!value.empty()) map["leica." + key] = md::clean_text(value);
  };
  put("aperture", image.aperture);
  put("barcode", collection->barcode);
  put("creation-date", image.creation_date);
  put("device-model", image.device_model);
  put("device-version", image.device_version);
  put("illumination-source", image.illumination_source);
  put("objective", image.objective);
  if (auto power = md::parse_double(image.objective); power && *power > 0) {
    map["kolva.objective-power"] = md::format_double(*power);
  }
  if (!collection->barcode.empty()) map["kolva.barcode"] = md::clean_text(collection->barcode);
  parts.properties = md::finish_properties(std::move(map), parts.levels, "leica");
  // OpenSlide hashes the collection's smallest macro level, whichever image is
  // served: the hash names the slide, not one of its regions.
  const Ifd* hashed = chosen_ifds.back();
  if (macro != nullptr) {
    const scn::Dimension* smallest = nullptr;
    for (const scn::Dimension& d : macro->dimensions) {
      if (d.z == 0 && d.ifd < ifds.size() && (smallest == nullptr || d.width < smallest->width)) {
        smallest = &d;
      }
    }
    if (smallest != nullptr) hashed = &ifds[smallest->ifd];
  }
  parts.hash_input = slide::tiff_hash_input(*hashed, ifds[0]);
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
