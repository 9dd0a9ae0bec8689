#include "slide/vsi.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "format/vsi/vsi.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::slide {
namespace {

namespace vsi = format::vsi;

// The metadata tree and thumbnail sit near the start of a .vsi; files are a
// few megabytes at most. Only this much is read.
constexpr std::uint64_t kMaxVsiBytes = std::uint64_t{64} << 20;

// "Adobe" APP14, transform 0: the samples are RGB, not YCbCr.
constexpr std::uint8_t kAdobeRgb[] = {0xFF, 0xEE, 0x00, 0x0E, 'A',  'd',  'o',  'b',
                                      'e',  0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};

std::string number_text(double v) { return vsi::value_text(vsi::Value{v}); }

// "slide" for ".../slide.vsi".
std::string stem(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.find_last_of('.');
  return dot == std::string::npos ? base : base.substr(0, dot);
}

// The thumbnail of the .vsi's own IFDs as one complete JPEG: the first IFD
// holding a single JPEG strip, its tables spliced in, and for RGB-coded
// samples (photometric 2) the Adobe marker that tells decoders so.
std::optional<AssociatedImage> thumbnail(ByteSpan file) {
  auto source = std::make_shared<std_io::SharedMemorySource>(Bytes(file.begin(), file.end()), "");
  std_io::SharedSource shared(source);
  auto [consumer, first] = tiff_tools::TiffDecoder::dispatch(NoInput{});
  auto ifds = std_io::run(shared, std::move(consumer), first);
  if (!ifds.ok()) return std::nullopt;
  for (const tiff_tools::Ifd& ifd : *ifds) {
    const auto compression = ifd.scalar(259);
    const auto offset = ifd.scalar(273);
    const auto count = ifd.scalar(279);
    const auto width = ifd.scalar(256);
    const auto height = ifd.scalar(257);
    if (compression != std::optional<std::uint64_t>(7) || !offset || !count || !width || !height ||
        *offset > file.size() || *count > file.size() - *offset || *count < 4) {
      continue;
    }
    const ByteSpan strip = file.subspan(*offset, *count);
    if (strip[0] != 0xFF || strip[1] != 0xD8) continue;
    Bytes jpeg = {0xFF, 0xD8};
    if (ifd.scalar(262) == std::optional<std::uint64_t>(2)) {
      jpeg.insert(jpeg.end(), std::begin(kAdobeRgb), std::end(kAdobeRgb));
    }
    if (const tiff_tools::Data* tables = ifd.get(347)) {
      if (const auto* t = tables->u8vec(); t && t->size() >= 4) {
        // Without their SOI and EOI.
        jpeg.insert(jpeg.end(), t->begin() + 2, t->end() - 2);
      }
    }
    jpeg.insert(jpeg.end(), strip.begin() + 2, strip.end());
    AssociatedImage image{"overview", "image/jpeg", {*width, *height}, TilePlan{{}, Splice{}}};
    std::get<Splice>(image.plan.assembly).own_prefix = std::move(jpeg);
    return image;
  }
  return std::nullopt;
}

bool fits(const Slide& ets, const std::array<std::int64_t, 4>& boundary) {
  const auto& info = ets.levels().front().info;
  const auto [w, h] = info.dimensions;
  const auto [tw, th] = info.tile_size;
  const auto bw = static_cast<std::uint64_t>(std::max<std::int64_t>(boundary[2], 0));
  const auto bh = static_cast<std::uint64_t>(std::max<std::int64_t>(boundary[3], 0));
  // ETS levels are whole tiles: the image fills all but part of the last one.
  return bw <= w && w < bw + std::max<std::uint64_t>(tw, 1) && bh <= h &&
         h < bh + std::max<std::uint64_t>(th, 1);
}

void add_properties(Slide& slide, const std::vector<vsi::Stack>& stacks,
                    std::optional<std::size_t> main, const std::string& folder) {
  auto& p = slide.properties_;
  p.emplace_back("olympus.stack-folder", folder);
  p.emplace_back("olympus.stack-count", std::to_string(stacks.size()));
  if (!main) return;
  const vsi::Stack& s = stacks[*main];
  p.emplace_back("olympus.stack-type", std::to_string(s.type));
  if (!s.name.empty()) p.emplace_back("olympus.stack-name", s.name);
  if (s.boundary) {
    const auto& b = *s.boundary;
    p.emplace_back("olympus.image-boundary", std::to_string(b[0]) + "," + std::to_string(b[1]) +
                                                 "," + std::to_string(b[2]) + "," +
                                                 std::to_string(b[3]));
  }
  if (s.pixel_size) {
    p.emplace_back("olympus.pixel-size",
                   number_text(s.pixel_size->first) + "," + number_text(s.pixel_size->second));
    if (!s.pixel_unit.empty()) p.emplace_back("olympus.pixel-unit", s.pixel_unit);
    // Without a unit the sizes are taken as micrometres, the scanners' unit.
    const auto scale =
        s.pixel_unit.empty() ? std::optional<double>(1.0) : vsi::micrometres_per_unit(s.pixel_unit);
    if (scale && s.pixel_size->first > 0 && s.pixel_size->second > 0) {
      p.emplace_back("kolva.mpp-x", number_text(s.pixel_size->first * *scale));
      p.emplace_back("kolva.mpp-y", number_text(s.pixel_size->second * *scale));
    }
  }
  // The objective is recorded with the stack it took, or once for the slide.
  std::optional<double> objective = s.objective;
  std::optional<double> aperture = s.aperture;
  std::string objective_name = s.objective_name;
  for (const vsi::Stack& other : stacks) {
    if (!objective && other.type == 0) objective = other.objective;
    if (!aperture && other.type == 0) aperture = other.aperture;
    if (objective_name.empty() && other.type == 0) objective_name = other.objective_name;
  }
  if (objective && *objective > 0) {
    p.emplace_back("kolva.objective-power", number_text(*objective));
    p.emplace_back("olympus.objective-magnification", number_text(*objective));
  }
  if (aperture) p.emplace_back("olympus.objective-aperture", number_text(*aperture));
  if (!objective_name.empty()) p.emplace_back("olympus.objective-name", objective_name);
}

}  // namespace

SlideResult<std::shared_ptr<const Slide>> open_vsi(std::shared_ptr<std_io::RangeSource> source,
                                                   const std::vector<VsiCompanion>& companions,
                                                   const SourceOpener& open,
                                                   const OpenOptions& options) {
  const std::string name = source->name();
  auto size = source->size();
  if (!size.ok()) {
    return SlideError{ErrorKind::Io, "cannot read " + name + ": " + size.error().display(),
                      size.error()};
  }
  Bytes file(static_cast<std::size_t>(std::min(*size, kMaxVsiBytes)));
  if (auto got = source->read_at(0, file); !got.ok()) {
    return SlideError{ErrorKind::Io, "cannot read " + name + ": " + got.error().display(),
                      got.error()};
  } else {
    file.resize(static_cast<std::size_t>(*got));
  }
  if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || file[2] != 42 || file[3] != 0) {
    return SlideError{ErrorKind::Unsupported,
                      name + " is not a slide kolva can read: an Olympus .vsi is a little-endian "
                             "TIFF, and this file is not one",
                      std::nullopt};
  }

  std::vector<vsi::Stack> stacks;
  if (auto tree = vsi::parse_tag_tree(file); tree.ok()) stacks = vsi::stacks(*tree);
  const std::optional<std::size_t> main = vsi::main_stack(stacks);
  if (companions.empty()) {
    const std::string wanted =
        main ? " (its main image is stack " + std::to_string(*main + 1) + " of " +
                   std::to_string(stacks.size()) + " in its metadata)"
             : "";
    return SlideError{ErrorKind::Io,
                      "cannot open " + name + ": its pixels are kept in companion files" + wanted +
                          ", and none was found: expected _" + stem(name) +
                          "_/stack<N>/frame_t.ets beside it",
                      std::nullopt};
  }

  // The companion paired with the main stack by order, when the stacks with
  // companion files can be counted.
  std::optional<std::size_t> paired;
  if (main && stacks[*main].external) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < *main; ++i) k += stacks[i].external ? 1 : 0;
    if (k < companions.size()) paired = k;
  }
  std::vector<std::size_t> order;
  if (paired) order.push_back(*paired);
  for (std::size_t i = 0; i < companions.size(); ++i) {
    if (!paired || i != *paired) order.push_back(i);
  }

  const bool sized = main && stacks[*main].boundary.has_value();
  std::array<std::int64_t, 4> boundary{};
  if (sized) boundary = *stacks[*main].boundary;
  std::optional<std::pair<std::size_t, std::shared_ptr<const Slide>>> chosen;
  std::optional<std::pair<std::size_t, std::shared_ptr<const Slide>>> fallback;
  std::optional<SlideError> first_error;
  for (const std::size_t i : order) {
    auto opened_source = open(companions[i].path);
    if (!opened_source.ok()) {
      if (!first_error) first_error = std::move(opened_source).error();
      continue;
    }
    auto ets = Slide::open(std::move(opened_source).value(), options);
    if (!ets.ok() || (*ets)->format() != Format::Ets) {
      if (!first_error) {
        first_error = ets.ok() ? SlideError{ErrorKind::Unsupported,
                                            companions[i].path + " is not an ETS image file",
                                            std::nullopt}
                               : std::move(ets).error();
      }
      continue;
    }
    std::shared_ptr<const Slide> slide = std::move(ets).value();
    if (sized && fits(*slide, boundary)) {
      chosen.emplace(i, std::move(slide));
      break;
    }
    // Without a size to go by: the pairing, else the largest image.
    const auto area = [](const Slide& s) {
      const auto [w, h] = s.levels().front().info.dimensions;
      return static_cast<long double>(w) * static_cast<long double>(h);
    };
    if (!fallback || (!(paired && fallback->first == *paired) && area(*slide) > area(*fallback->second))) {
      fallback.emplace(i, std::move(slide));
    }
  }
  if (!chosen) chosen = std::move(fallback);
  if (!chosen) return std::move(*first_error);

  // The slide was made for this call alone: finishing it here is safe.
  auto slide = std::const_pointer_cast<Slide>(chosen->second);
  add_properties(*slide, stacks, main, companions[chosen->first].folder);
  if (auto image = thumbnail(file)) slide->associated_.push_back(std::move(*image));
  return std::shared_ptr<const Slide>(std::move(slide));
}

}  // namespace kolva::slide
