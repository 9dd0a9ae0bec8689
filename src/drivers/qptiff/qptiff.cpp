#include "drivers/qptiff/qptiff.hpp"

#include <algorithm>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/tiff_levels.hpp"
#include "drivers/qptiff/qpi_xml.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"

namespace kolva::drivers {
namespace {

namespace md = slide::metadata;
using slide::PlaneAxis;
using tiff_tools::Ifd;

constexpr std::uint16_t kDescription = 270;
constexpr std::uint16_t kSoftware = 305;

// The raw bytes of a directory's ImageDescription, whatever type stores them.
std::string_view raw_description(const Ifd& ifd) {
  const auto* data = ifd.get(kDescription);
  if (data == nullptr) return {};
  if (const std::string* text = data->ascii()) return *text;
  if (const auto* bytes = data->u8vec()) {
    return std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  }
  return {};
}

struct Page {
  const Ifd* ifd;
  qpi::PageDescription description;
};

std::pair<std::uint64_t, std::uint64_t> size_of(const Ifd& ifd) {
  return {ifd.scalar(256).value_or(0), ifd.scalar(257).value_or(0)};
}

// "20x" -> 20; nothing for text that starts with no number.
std::optional<double> objective_power(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) ++end;
  if (end == 0 || (end < text.size() && text[end] != 'x' && text[end] != 'X')) return std::nullopt;
  auto value = md::parse_double(text.substr(0, end));
  return value && *value > 0 ? value : std::nullopt;
}

// The slide's properties: the first directory's, the first channel's
// description fields and each channel's own (`pages`: the channels' directories).
slide::Properties properties(const std::vector<Ifd>& ifds, const std::vector<const Ifd*>& pages,
                             const std::vector<slide::Level>& levels) {
  std::vector<qpi::PageDescription> channels;
  channels.reserve(pages.size());
  for (const Ifd* page : pages) {
    auto parsed = qpi::parse_qpi_description(qpi::description_text(raw_description(*page)));
    channels.push_back(parsed ? std::move(*parsed) : qpi::PageDescription{});
  }
  md::PropertyMap map;
  md::add_first_directory(ifds, true, map);
  md::add_tiff_mpp(ifds, map);
  for (const auto& [key, value] : channels.front().fields) {
    if (key == "Name" || key == "Color" || key == "ExposureTime" || key == "ImageType") continue;
    if (!value.empty()) map["qptiff." + key] = md::clean_text(value);
    if (key == "Objective") {
      if (auto power = objective_power(value)) map["kolva.objective-power"] = md::format_double(*power);
    }
  }
  for (std::size_t c = 0; c < channels.size(); ++c) {
    const std::string prefix = "qptiff.channel[" + std::to_string(c) + "].";
    for (const auto& [key, value] : channels[c].fields) {
      if (key == "Name" || key == "Color" || key == "ExposureTime" || key == "Biomarker" ||
          key == "SignalUnits") {
        if (!value.empty()) map[prefix + key] = md::clean_text(value);
      }
    }
  }
  map["qptiff.channel-count"] = std::to_string(channels.size());
  return md::finish_properties(std::move(map), levels, "qptiff");
}

}  // namespace

const Family& QptiffDriver::family() const {
  static const Family family{"qptiff", "qptiff", "Akoya/PerkinElmer QPTIFF"};
  return family;
}

bool QptiffDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  const Ifd& first = probe.tiff->ifds[0];
  if (const std::string* software = md::ascii_tag(first, kSoftware)) {
    if (software->starts_with("PerkinElmer-QPI")) return true;
  }
  return qpi::is_qpi_description(qpi::description_text(raw_description(first)));
}

SlideResult<Opening> QptiffDriver::open(SourceSet& sources, const Probe& probe,
                                        const OpenOptions& options) const {
  const auto& ifds = probe.tiff->ifds;
  const ByteOrder order = probe.tiff->order;
  std::vector<Page> full;
  std::vector<Page> reduced;
  std::vector<std::pair<std::string, const Ifd*>> extras;
  for (const Ifd& ifd : ifds) {
    // Only what tells the page's part; the fields are read for the properties.
    auto parsed =
        qpi::parse_qpi_description(qpi::description_text(raw_description(ifd)), false);
    qpi::PageDescription description = parsed ? std::move(*parsed) : qpi::PageDescription{};
    std::string type = description.image_type;
    if (type.empty()) {
      // No description: a page of the first page's size is a channel, a
      // reduced-resolution page a level.
      const bool reduced_page = (ifd.scalar(254).value_or(0) & 1) != 0;
      type = reduced_page ? "ReducedResolution"
             : (full.empty() || size_of(ifd) == size_of(*full.front().ifd)) ? "FullResolution"
                                                                          : "";
    }
    if (type == "FullResolution") {
      full.push_back(Page{&ifd, std::move(description)});
    } else if (type == "ReducedResolution") {
      reduced.push_back(Page{&ifd, std::move(description)});
    } else if (type == "Thumbnail") {
      extras.emplace_back("thumbnail", &ifd);
    } else if (type == "Overview") {
      extras.emplace_back("macro", &ifd);
    } else if (type == "Label") {
      extras.emplace_back("label", &ifd);
    }
  }
  if (full.empty()) return Opening(Declined{});
  // Channels must agree in size; a damaged file's stray full page is left out.
  const auto full_size = size_of(*full.front().ifd);
  std::erase_if(full, [&](const Page& p) { return size_of(*p.ifd) != full_size; });

  slide::Planes planes;
  slide::PlaneList& channels = planes[PlaneAxis::Channel];
  channels.count = full.size();
  for (const Page& p : full) channels.names.push_back(p.description.name);
  {
    std::vector<std::string> sorted = channels.names;
    std::sort(sorted.begin(), sorted.end());
    const bool distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
    if (!distinct || std::any_of(sorted.begin(), sorted.end(), [](auto& n) { return n.empty(); })) {
      channels.names.clear();
    }
  }
  auto chosen = slide::choose_plane(PlaneAxis::Channel, options.planes[PlaneAxis::Channel], channels);
  if (!chosen.ok()) return std::move(chosen).error();
  channels.selected = *chosen;

  // Level n: the channel's page in the n-th set of reduced pages; a set that
  // is short or of mixed sizes ends the pyramid.
  std::vector<const Ifd*> levels{full[*chosen].ifd};
  const std::size_t n = full.size();
  for (std::size_t set = 0; (set + 1) * n <= reduced.size(); ++set) {
    const auto size = size_of(*reduced[set * n].ifd);
    bool same = true;
    for (std::size_t c = 0; c < n; ++c) same = same && size_of(*reduced[set * n + c].ifd) == size;
    if (!same || size.first >= size_of(*levels.back()).first) break;
    levels.push_back(reduced[set * n + *chosen].ifd);
  }
  auto opened = tiff_level_parts(sources, levels, order, probe.tiff, std::move(planes));
  if (!opened.ok()) return std::move(opened).error();
  SlideParts parts = std::move(opened).value();
  for (const auto& [name, ifd] : extras) {
    if (auto added = add_stored_image(parts, sources, *ifd, order, name); !added.ok()) {
      return std::move(added).error();
    }
  }

  // The properties, worked out when first asked for, from the channels' descriptions.
  std::vector<const Ifd*> pages;
  pages.reserve(full.size());
  for (const Page& p : full) pages.push_back(p.ifd);
  std::vector<slide::Level> sizes;  // what the properties say of the levels
  for (const slide::Level& l : parts.levels) sizes.push_back(slide::Level{l.info, {}, l.downsample});
  parts.properties_later = [tiff = probe.tiff, pages = std::move(pages),
                            level_sizes = std::move(sizes)] {
    return properties(tiff->ifds, pages, level_sizes);
  };
  parts.hash_input_later = tiff_hash_later(probe.tiff, *levels.back(), ifds[0], order);
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
