#include "drivers/olympus/olympus.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "drivers/common/decoder_tiler.hpp"
#include "drivers/common/run.hpp"
#include "drivers/olympus/format/vsi/vsi.hpp"
#include "slide/jpeg_join.hpp"
#include "slide/metadata.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::drivers {
namespace {

using slide::ErrorKind;

namespace vsi = format::vsi;

// The metadata tree and thumbnail sit near the start of a .vsi; files are a
// few megabytes at most. Only this much is read.
constexpr std::uint64_t kMaxVsiBytes = std::uint64_t{64} << 20;

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
std::optional<slide::AssociatedImage> thumbnail(ByteSpan file) {
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
    const tiff_tools::Data* tables = ifd.get(347);
    const auto* t = tables ? tables->u8vec() : nullptr;
    Bytes jpeg = slide::jpeg_stream_head(t ? ByteSpan(*t) : ByteSpan(),
                                         ifd.scalar(262) == std::optional<std::uint64_t>(2));
    if (jpeg.empty()) {
      jpeg.assign(strip.begin(), strip.end());
    } else {
      jpeg.insert(jpeg.end(), strip.begin() + 2, strip.end());
    }
    slide::AssociatedImage image{"overview", "image/jpeg", {*width, *height},
                                 slide::TilePlan{{}, slide::Splice{}}};
    std::get<slide::Splice>(image.plan.assembly).own_prefix = std::move(jpeg);
    return image;
  }
  return std::nullopt;
}

bool fits(const std::vector<slide::Level>& levels, const std::array<std::int64_t, 4>& boundary) {
  const auto& info = levels.front().info;
  const auto [w, h] = info.dimensions;
  const auto [tw, th] = info.tile_size;
  const auto bw = static_cast<std::uint64_t>(std::max<std::int64_t>(boundary[2], 0));
  const auto bh = static_cast<std::uint64_t>(std::max<std::int64_t>(boundary[3], 0));
  // ETS levels are whole tiles: the image fills all but part of the last one.
  return bw <= w && w < bw + std::max<std::uint64_t>(tw, 1) && bh <= h &&
         h < bh + std::max<std::uint64_t>(th, 1);
}

void add_properties(slide::metadata::PropertyMap& p, const std::vector<vsi::Stack>& stacks,
                    std::optional<std::size_t> main, const std::string& folder) {
  p["olympus.stack-folder"] = folder;
  p["olympus.stack-count"] = std::to_string(stacks.size());
  if (!main) return;
  const vsi::Stack& s = stacks[*main];
  p["olympus.stack-type"] = (std::to_string(s.type));
  if (!s.name.empty()) p["olympus.stack-name"] = (s.name);
  if (s.boundary) {
    const auto& b = *s.boundary;
    p["olympus.image-boundary"] = (std::to_string(b[0]) + "," + std::to_string(b[1]) +
                                                 "," + std::to_string(b[2]) + "," +
                                                 std::to_string(b[3]));
  }
  if (s.pixel_size) {
    p["olympus.pixel-size"] = (number_text(s.pixel_size->first) + "," + number_text(s.pixel_size->second));
    if (!s.pixel_unit.empty()) p["olympus.pixel-unit"] = (s.pixel_unit);
    // Without a unit the sizes are taken as micrometres, the scanners' unit.
    const auto scale =
        s.pixel_unit.empty() ? std::optional<double>(1.0) : vsi::micrometres_per_unit(s.pixel_unit);
    if (scale && s.pixel_size->first > 0 && s.pixel_size->second > 0) {
      p["kolva.mpp-x"] = (number_text(s.pixel_size->first * *scale));
      p["kolva.mpp-y"] = (number_text(s.pixel_size->second * *scale));
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
    p["kolva.objective-power"] = (number_text(*objective));
    p["olympus.objective-magnification"] = (number_text(*objective));
  }
  if (aperture) p["olympus.objective-aperture"] = (number_text(*aperture));
  if (!objective_name.empty()) p["olympus.objective-name"] = (objective_name);
}


// An ETS file opened as a candidate for the main image.
struct Candidate {
  std::size_t companion;
  slide::SourceIndex source;
  dynamic_decoder::DynamicDecoder decoder;
  std::vector<slide::Level> levels;
};

// The ETS file in source `index`: its decoder and levels; Declined when the
// file is no ETS.
SlideResult<std::optional<Candidate>> open_ets(SourceSet& sources, slide::SourceIndex index,
                                               std::size_t companion,
                                               std::optional<KolvaError>* cause = nullptr) {
  auto ets = run_consumer<format::olympus::EtsDecoderConstructor>(sources.at(index), NoInput{});
  if (!ets.ok()) return std::move(ets).error();
  if (!ets->ok()) {
    if (cause) *cause = ets->error();
    return std::optional<Candidate>();
  }
  dynamic_decoder::DynamicDecoder decoder(std::move(*ets).value());
  auto levels = decoder_levels(decoder, sources.name(index));
  if (!levels.ok()) return std::move(levels).error();
  return std::optional<Candidate>(
      Candidate{companion, index, std::move(decoder), std::move(levels).value()});
}

// A companion: stack folder and the ETS file's name relative to the .vsi.
struct Companion {
  std::string folder;    // "stack10001"
  std::string relative;  // "_slide_/stack10001/frame_t.ets"
};

// Where no folder can be listed (a web server without index pages), the ETS
// files are looked for by the names scanners give them: stack1, stack2, ...
// for overviews and stack10001, stack10002, ... for scans, `wanted` of each,
// under both file names. Every candidate is opened at once: remotely their
// requests go out together, so the search costs one round trip.
std::vector<std::pair<std::uint64_t, Companion>> probe_companions(SourceSet& sources,
                                                                  const std::string& folder,
                                                                  std::size_t wanted) {
  constexpr std::array<const char*, 2> kNames{"frame_t.ets", "frame_t_0.ets"};
  std::vector<std::uint64_t> numbers;
  for (std::uint64_t n = 1; n <= wanted; ++n) numbers.push_back(n);
  for (std::uint64_t n = 1; n <= wanted; ++n) numbers.push_back(10000 + n);
  std::vector<std::string> names;
  for (const std::uint64_t n : numbers) {
    for (const char* name : kNames) {
      names.push_back(folder + "/stack" + std::to_string(n) + "/" + name);
    }
  }
  const auto opened = sources.open_many(names);
  std::vector<std::pair<std::uint64_t, Companion>> found;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    for (std::size_t k = 0; k < kNames.size(); ++k) {
      const std::size_t at = i * kNames.size() + k;
      if (!opened[at].ok()) continue;
      found.emplace_back(numbers[i], Companion{"stack" + std::to_string(numbers[i]), names[at]});
      break;
    }
  }
  return found;
}

// The ETS files beside a .vsi, in the order of their folders' numbers;
// `external`: how many stacks the .vsi keeps in companion files (0: unknown),
// `described`: how many stacks its metadata describes.
std::vector<Companion> companions(SourceSet& sources, const std::string& folder,
                                  std::size_t external, std::size_t described) {
  std::vector<std::pair<std::uint64_t, Companion>> found;
  auto entries = sources.list(folder);
  for (const std::string& entry : entries.ok() ? *entries : std::vector<std::string>{}) {
    const std::string number = entry.rfind("stack", 0) == 0 ? entry.substr(5) : "";
    if (number.empty() || number.size() > 18 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    auto files = sources.list(folder + "/" + entry);
    if (!files.ok()) continue;
    for (const char* name : {"frame_t_0.ets", "frame_t.ets"}) {
      if (std::find(files->begin(), files->end(), name) != files->end()) {
        found.emplace_back(std::stoull(number), Companion{entry, folder + "/" + entry + "/" + name});
        break;
      }
    }
  }
  if (found.empty()) {
    // As many names of each kind as there are stacks in companion files, or,
    // where the metadata does not tell, stacks at all; a few at least, and
    // not hundreds for a file that claims them.
    constexpr std::size_t kFewest = 2;
    constexpr std::size_t kMost = 32;
    const std::size_t wanted = external > 0 ? external : described;
    found = probe_companions(sources, folder, std::clamp(wanted, kFewest, kMost));
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Companion> out;
  for (auto& [n, c] : found) out.push_back(std::move(c));
  return out;
}

SlideParts ets_parts(SourceSet& sources, Candidate found) {
  SlideParts parts;
  parts.levels = std::move(found.levels);
  parts.tiler = std::make_shared<DecoderTiler>(std::move(found.decoder),
                                               sources.name(found.source), found.source,
                                               sources.name(0));
  return parts;
}

SlideResult<Opening> open_vsi(SourceSet& sources) {
  const std::string& name = sources.name();
  std_io::RangeSource& source = sources.at(0);
  auto size = source.size();
  if (!size.ok()) return slide::errors::cannot_read(name, size.error());
  Bytes file(static_cast<std::size_t>(std::min(*size, kMaxVsiBytes)));
  if (auto got = source.read_at(0, file); !got.ok()) {
    return slide::errors::cannot_read(name, got.error());
  } else {
    file.resize(static_cast<std::size_t>(*got));
  }
  if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || file[2] != 42 || file[3] != 0) {
    return slide::errors::unsupported(
        name, "an Olympus .vsi is a little-endian TIFF, and this file is not one");
  }

  std::vector<vsi::Stack> stacks;
  if (auto tree = vsi::parse_tag_tree(file); tree.ok()) stacks = vsi::stacks(*tree);
  const std::optional<std::size_t> main = vsi::main_stack(stacks);
  std::string folder = stem(sources.file_name());
  folder.insert(folder.begin(), '_');
  folder.push_back('_');
  const auto external = static_cast<std::size_t>(
      std::count_if(stacks.begin(), stacks.end(), [](const vsi::Stack& s) { return s.external; }));
  const std::vector<Companion> found = companions(sources, folder, external, stacks.size());
  if (found.empty()) {
    const std::string wanted =
        main ? " (its main image is stack " + std::to_string(*main + 1) + " of " +
                   std::to_string(stacks.size()) + " in its metadata)"
             : "";
    return slide::errors::missing_companions(name, wanted, folder + "/stack<N>/frame_t.ets",
                                             folder, sources.remote(0));
  }

  // The companion paired with the main stack by order, when the stacks with
  // companion files can be counted.
  std::optional<std::size_t> paired;
  if (main && stacks[*main].external) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < *main; ++i) k += stacks[i].external ? 1 : 0;
    if (k < found.size()) paired = k;
  }
  std::vector<std::size_t> order;
  if (paired) order.push_back(*paired);
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (!paired || i != *paired) order.push_back(i);
  }

  const bool sized = main && stacks[*main].boundary.has_value();
  std::array<std::int64_t, 4> boundary{};
  if (sized) boundary = *stacks[*main].boundary;
  std::optional<Candidate> chosen;
  std::optional<Candidate> fallback;
  std::optional<SlideError> first_error;
  const auto area = [](const Candidate& c) {
    const auto [w, h] = c.levels.front().info.dimensions;
    return static_cast<long double>(w) * static_cast<long double>(h);
  };
  for (const std::size_t i : order) {
    auto index = sources.open(found[i].relative);
    if (!index.ok()) {
      if (!first_error) first_error = std::move(index).error();
      continue;
    }
    auto ets = open_ets(sources, *index, i);
    if (!ets.ok() || !*ets || (*ets)->levels.empty()) {
      if (!first_error) {
        first_error = !ets.ok() ? std::move(ets).error()
                                : SlideError{ErrorKind::Unsupported,
                                             sources.name(*index) + " is not an ETS image file",
                                             std::nullopt};
      }
      continue;
    }
    Candidate candidate = std::move(**ets);
    if (sized && fits(candidate.levels, boundary)) {
      chosen.emplace(std::move(candidate));
      break;
    }
    // Without a size to go by: the pairing, else the largest image.
    if (!fallback ||
        (!(paired && fallback->companion == *paired) && area(candidate) > area(*fallback))) {
      fallback.emplace(std::move(candidate));
    }
  }
  if (!chosen) chosen = std::move(fallback);
  if (!chosen) return std::move(*first_error);

  slide::metadata::PropertyMap map;
  add_properties(map, stacks, main, found[chosen->companion].folder);
  SlideParts parts = ets_parts(sources, std::move(*chosen));
  parts.properties = slide::metadata::finish_properties(std::move(map), parts.levels, "olympus");
  if (auto image = thumbnail(file)) parts.associated.push_back(std::move(*image));
  return Opening(std::move(parts));
}

}  // namespace

const Family& OlympusDriver::family() const {
  static const Family family{"ets", "olympus", "Olympus ETS"};
  return family;
}

bool OlympusDriver::detect(const Probe& probe) const {
  return probe.extension() == ".vsi" || !probe.tiff;
}

SlideResult<Opening> OlympusDriver::open(SourceSet& sources, const Probe& probe,
                                         const OpenOptions& /*options*/) const {
  if (probe.extension() == ".vsi") return open_vsi(sources);
  std::optional<KolvaError> cause;
  auto ets = open_ets(sources, 0, 0, &cause);
  if (!ets.ok()) return std::move(ets).error();
  if (!*ets) return Opening(Declined{cause});
  SlideParts parts = ets_parts(sources, std::move(**ets));
  parts.properties = slide::metadata::finish_properties({}, parts.levels, "olympus");
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
