#include "drivers/trestle/trestle.hpp"

#include <charconv>
#include <string>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/generic_tiff/tiff_codecs.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_facts.hpp"
#include "text/strings.hpp"

namespace kolva::drivers {
namespace {

using tiff_tools::Ifd;
namespace md = slide::metadata;

constexpr std::uint16_t kImageDescription = 270;
constexpr std::uint16_t kSoftware = 305;
constexpr std::uint16_t kXResolution = 282;
constexpr std::uint16_t kYResolution = 283;

// The macro: `<name>.Full` beside the slide, a JPEG read whole.
std::optional<slide::AssociatedImage> full_macro(SourceSet& sources) {
  std::string name = sources.file_name();
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return std::nullopt;
  name = name.substr(0, dot) + ".Full";
  auto index = sources.open(name);
  if (!index.ok()) return std::nullopt;
  auto size = sources.at(*index).size();
  if (!size.ok() || *size < 4) return std::nullopt;
  const slide::Range whole{0, *size, *index};
  const auto dimensions = slide::stored_jpeg_dimensions(sources, whole);
  if (!dimensions.ok() || !*dimensions) return std::nullopt;
  return slide::AssociatedImage{"macro", "image/jpeg", **dimensions,
                                slide::TilePlan{{whole}, slide::Splice{}}};
}

}  // namespace

namespace trestle {

std::vector<std::pair<std::string, std::string>> description_fields(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string_view field : text::split(text, ";")) {
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    out.emplace_back(std::string(text::trim(field.substr(0, eq))),
                     std::string(text::trim(field.substr(eq + 1))));
  }
  return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> overlaps(std::string_view text) {
  std::vector<std::uint64_t> numbers;
  for (const std::string_view word : text::split(text::trim(text), " ")) {
    if (word.empty()) continue;
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end != word.data() + word.size()) return {};
    numbers.push_back(v);
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (std::size_t i = 0; i + 1 < numbers.size(); i += 2) out.emplace_back(numbers[i], numbers[i + 1]);
  return out;
}

}  // namespace trestle

const Family& TrestleDriver::family() const {
  static const Family family{"trestle", "trestle", "Trestle / MedMicro TIFF"};
  return family;
}

bool TrestleDriver::detect(const Probe& probe) const {
  if (probe.first_ifd() == nullptr) return false;
  const Ifd& first = probe.tiff->ifds[0];
  const std::string* software = md::ascii_tag(first, kSoftware);
  return software != nullptr && software->starts_with("MedScan") &&
         md::ascii_tag(first, kImageDescription) != nullptr;
}

SlideResult<Opening> TrestleDriver::open(SourceSet& sources, const Probe& probe,
                                         const OpenOptions& /*options*/) const {
  const auto& ifds = probe.tiff->ifds;
  auto refuse = [&](const std::string& why) {
    return slide::errors::unsupported(sources.name(), "a Trestle slide whose " + why,
                                      KolvaError::LevelNotFound{0, 0});
  };
  std::vector<const Ifd*> chosen;
  for (const Ifd& ifd : ifds) {
    if (ifd.get(322) == nullptr || ifd.get(323) == nullptr) {
      return refuse("directory " + std::to_string(chosen.size()) + " is not tiled");
    }
    chosen.push_back(&ifd);
  }
  auto pyramid = plan_tiff_levels(chosen, probe.tiff->order, 0, probe.tiff, &sources);
  if (!pyramid.ok()) return refuse(pyramid.error());
  SlideParts parts;
  parts.levels = std::move(pyramid->levels);
  parts.tiler = std::move(pyramid->tiler);
  if (auto macro = full_macro(sources)) parts.associated.push_back(std::move(*macro));
  mean_downsamples(parts.levels);
  slide::add_tiff_facts(parts.levels, parts.associated, ifds);
  // The smallest level's own tiles: a thumbnail of its size may come first.
  parts.hash_input_later = tiff_hash_later(probe.tiff, *chosen.back(), ifds[0], probe.tiff->order);

  const std::string description = md::clean_text(*md::ascii_tag(ifds[0], kImageDescription));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> overlap;
  for (const auto& [key, value] : trestle::description_fields(description)) {
    if (key == "OverlapsXY") overlap = trestle::overlaps(value);
  }

  // Overlapping levels: positioned, and smaller than stored by the overlaps.
  for (std::size_t n = 0; n < parts.levels.size() && n < overlap.size(); ++n) {
    slide::Level& level = parts.levels[n];
    const auto [ox, oy] = overlap[n];
    const auto [tw, th] = level.info.tile_size;
    const auto [across, down] = level.info.tile_grid;
    if ((ox == 0 && oy == 0) || ox >= tw || oy >= th) continue;
    level.tile_rects.resize(across * down);
    for (std::uint64_t r = 0; r < down; ++r) {
      for (std::uint64_t c = 0; c < across; ++c) {
        level.tile_rects[r * across + c] =
            slide::TileRect{static_cast<double>(c * (tw - ox)), static_cast<double>(r * (th - oy)),
                            static_cast<double>(tw), static_cast<double>(th)};
      }
    }
    auto& [w, h] = level.info.dimensions;
    if (across > 0 && w >= tw) w -= (across - 1) * ox;
    if (down > 0 && h >= th) h -= (down - 1) * oy;
  }
  mean_downsamples(parts.levels);

  // The properties, worked out when first asked for.
  std::vector<slide::Level> sizes;  // what the properties say of the levels
  for (const slide::Level& l : parts.levels) sizes.push_back(slide::Level{l.info, {}, l.downsample});
  parts.properties_later = [tiff = probe.tiff, description, level_sizes = std::move(sizes)] {
    const auto& directories = tiff->ifds;
    md::PropertyMap map;
    md::add_first_directory(directories, true, map);
    for (auto& [key, value] : trestle::description_fields(description)) {
      if (key == "Objective Power") {
        if (const auto v = md::parse_double(value); md::usable_positive(v)) {
          map["kolva.objective-power"] = md::format_double(*v);
        }
      } else if (key == "Background Color") {
        map["kolva.background-color"] = value;
      }
      map["trestle." + key] = std::move(value);
    }
    // The resolution tags hold micrometres per pixel, whatever the unit says.
    const auto mx = md::number_tag(directories[0], kXResolution);
    const auto my = md::number_tag(directories[0], kYResolution);
    if (md::usable_positive(mx) && md::usable_positive(my)) {
      map["kolva.mpp-x"] = md::format_double(*mx);
      map["kolva.mpp-y"] = md::format_double(*my);
    }
    return md::finish_properties(std::move(map), level_sizes, "trestle");
  };
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
