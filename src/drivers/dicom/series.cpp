#include "drivers/dicom/series.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "jpeg_tools/jpeg_tools.hpp"
#include "slide/jpeg_join.hpp"
#include "slide/metadata.hpp"
#include "slide/errors.hpp"
#include "slide/tiff_wrap.hpp"
#include "std_io/cache.hpp"
#include "std_io/std_io.hpp"
#include "text/base64.hpp"

namespace kolva::dicom {

using slide::ErrorKind;
using slide::SlideError;
using slide::SlideResult;

namespace {

// ------------------------------------------------------------------ encodings

// How the frames of a transfer syntax are handed out.
enum class Wrap : std::uint8_t {
  AsStored,  // the frame is a complete stream
  RgbJpeg,   // a JPEG frame that needs the Adobe marker in front
  Native,    // uncompressed samples: a TIFF header in front
  Rle,       // RLE Lossless: unpacked, then as Native
};

struct Encoding {
  std::string media_type;
  Wrap wrap;
};

std::optional<Encoding> encoding_of(const Header& h) {
  const std::string& ts = h.transfer_syntax;
  const bool rgb = h.photometric == "RGB";
  if (ts == "1.2.840.10008.1.2" || ts == "1.2.840.10008.1.2.1") return Encoding{"image/tiff", Wrap::Native};
  if (ts == "1.2.840.10008.1.2.5") return Encoding{"image/tiff", Wrap::Rle};
  if (ts == "1.2.840.10008.1.2.4.50" || ts == "1.2.840.10008.1.2.4.51") {
    return Encoding{"image/jpeg", rgb && h.samples_per_pixel == 3 ? Wrap::RgbJpeg : Wrap::AsStored};
  }
  if (ts == "1.2.840.10008.1.2.4.57" || ts == "1.2.840.10008.1.2.4.70") {
    return Encoding{"image/jpeg", Wrap::AsStored};
  }
  if (ts == "1.2.840.10008.1.2.4.80" || ts == "1.2.840.10008.1.2.4.81") {
    return Encoding{"image/jls", Wrap::AsStored};
  }
  // JPEG 2000 codestreams carry the name the other formats' codestreams have.
  if (ts == "1.2.840.10008.1.2.4.90" || ts == "1.2.840.10008.1.2.4.91" ||
      ts == "1.2.840.10008.1.2.4.92" || ts == "1.2.840.10008.1.2.4.93") {
    return Encoding{"image/jp2", Wrap::AsStored};
  }
  if (ts == "1.2.840.10008.1.2.4.201" || ts == "1.2.840.10008.1.2.4.202" ||
      ts == "1.2.840.10008.1.2.4.203") {
    return Encoding{"image/jphc", Wrap::AsStored};
  }
  if (ts == "1.2.840.10008.1.2.4.110" || ts == "1.2.840.10008.1.2.4.111" ||
      ts == "1.2.840.10008.1.2.4.112") {
    return Encoding{"image/jxl", Wrap::AsStored};
  }
  return std::nullopt;
}

TileEncoding tile_encoding(const std::string& media_type) {
  if (media_type == "image/jpeg") return TileEncoding::Jpeg;
  if (media_type == "image/jp2" || media_type == "image/jphc") return TileEncoding::Jpeg2000;
  return TileEncoding::Tiff;
}

const std::uint8_t kSoiAdobe[18] = {0xFF, 0xD8, 0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F,
                                    0x62, 0x65, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};

// The TIFF layout of one frame of uncompressed samples.
Result<slide::TiffLayout, std::string> native_layout(const Header& h) {
  slide::TiffLayout layout;
  layout.width = static_cast<std::uint32_t>(h.columns);
  layout.height = static_cast<std::uint32_t>(h.rows);
  layout.rows_per_strip = layout.height;
  layout.samples = static_cast<std::uint16_t>(h.samples_per_pixel);
  layout.bits.assign(layout.samples, static_cast<std::uint16_t>(h.bits_allocated));
  if (h.pixel_representation == 1) layout.sample_format.assign(layout.samples, 2);
  if (h.planar_configuration == 1 && h.samples_per_pixel > 1) {
    return std::string("its uncompressed frames keep each colour in a plane of its own");
  }
  if (h.photometric == "MONOCHROME2") {
    layout.photometric = 1;
  } else if (h.photometric == "MONOCHROME1") {
    layout.photometric = 0;
  } else if (h.photometric == "RGB") {
    layout.photometric = 2;
  } else if (h.photometric == "YBR_FULL") {
    layout.photometric = 6;
    layout.ycbcr_subsampling = {1, 1};
  } else {
    return "its uncompressed frames are in photometric interpretation '" + h.photometric + "'";
  }
  if ((layout.photometric <= 1) != (h.samples_per_pixel == 1)) {
    return "its frames have " + std::to_string(h.samples_per_pixel) + " samples in " +
           h.photometric;
  }
  return layout;
}

// ------------------------------------------------------------------ the series

// Tiles planned by the series' frame table.
class DicomTiler final : public slide::Tiler {
 public:
  using Plan = std::function<SlideResult<slide::TilePlan>(std::uint64_t, std::uint64_t, std::uint64_t)>;
  explicit DicomTiler(Plan plan) : plan_(std::move(plan)) {}
  SlideResult<slide::TilePlan> plan(std::uint64_t level, std::uint64_t x,
                                    std::uint64_t y) const override {
    return plan_(level, x, y);
  }

 private:
  Plan plan_;
};

struct FrameRef {
  slide::SourceIndex source;
  Frame frame;
};

struct Placed {
  std::uint64_t x, y;
  double focal;          // focal plane key: a z offset, or a plane number
  std::string path;      // optical path identifier
};

// Where the frames of a member go: one Placed per frame.
Result<std::vector<Placed>, std::string> place_frames(const Header& h, std::uint64_t across,
                                                      std::uint64_t down, std::size_t frames) {
  std::vector<Placed> placed;
  placed.reserve(frames);
  auto path_name = [&](std::uint64_t index) {
    if (index < h.optical_paths.size() && !h.optical_paths[index].identifier.empty()) {
      return h.optical_paths[index].identifier;
    }
    if (!h.shared_optical_path.empty()) return h.shared_optical_path;
    return std::to_string(index);
  };
  const bool sparse = h.dimension_organization == "TILED_SPARSE" ||
                      (h.dimension_organization != "TILED_FULL" && h.positions.size() == frames &&
                       frames > 1);
  if (sparse) {
    if (h.positions.size() != frames) {
      return "it is TILED_SPARSE but has " + std::to_string(h.positions.size()) +
             " frame positions for " + std::to_string(frames) + " frames";
    }
    for (const FramePosition& p : h.positions) {
      if (p.column < 1 || p.row < 1) return std::string("a frame position lies outside the image");
      const std::uint64_t x = static_cast<std::uint64_t>(p.column - 1) / h.columns;
      const std::uint64_t y = static_cast<std::uint64_t>(p.row - 1) / h.rows;
      if (x >= across || y >= down) return std::string("a frame position lies outside the image");
      std::string path = !p.optical_path.empty() ? p.optical_path : path_name(0);
      placed.push_back(Placed{x, y, p.z.value_or(0.0), std::move(path)});
    }
    return placed;
  }
  const std::uint64_t plane = across * down;
  const std::uint64_t planes = std::max<std::uint64_t>(h.focal_planes, 1);
  for (std::uint64_t i = 0; i < frames; ++i) {
    std::uint64_t g = 0;
    if (!checked_add(h.concatenation_frame_offset, i, g)) {
      return std::string("its concatenation frame offset overflows");
    }
    const std::uint64_t z = (g / plane) % planes;
    const std::uint64_t p = g / plane / planes;
    const double focal = i < h.positions.size() && h.positions[i].z ? *h.positions[i].z
                                                                    : static_cast<double>(z);
    placed.push_back(Placed{g % across, (g / across) % down, focal, path_name(p)});
  }
  return placed;
}

struct LevelBuild {
  std::uint64_t width, height, tile_w, tile_h;
  std::vector<std::uint32_t> members;
};

SlideError unsupported(const std::string& name, const std::string& why) {
  return SlideError{ErrorKind::Unsupported, name + " is not a slide kolva can read: " + why,
                    std::nullopt};
}
SlideError corrupt(const std::string& name, const std::string& why) {
  return SlideError{ErrorKind::Corrupt, name + " is damaged: " + why, std::nullopt};
}

// How a level's (or an associated image's) frames become their streams.
struct FrameWrap {
  Wrap wrap;
  Bytes head;  // TIFF header (Native, Rle), owned by the planner
  std::uint64_t columns = 0, rows = 0, samples = 1, sample_bytes = 1;  // for RLE
};

// The finished stream of a frame whose stored bytes (fragment values joined)
// are `data`.
SlideResult<Bytes> finish_frame(const FrameWrap& w, Bytes data, const std::string& name) {
  switch (w.wrap) {
    case Wrap::AsStored:
      return data;
    case Wrap::RgbJpeg: {
      if (data.size() < 2) return corrupt(name, "a JPEG frame is shorter than its SOI marker");
      if (jpeg_tools::has_adobe_marker(data)) return data;  // written by a converter that knew
      Bytes out(kSoiAdobe, kSoiAdobe + sizeof kSoiAdobe);
      out.insert(out.end(), data.begin() + 2, data.end());
      return out;
    }
    case Wrap::Native: {
      Bytes out = w.head;
      out.insert(out.end(), data.begin(), data.end());
      return out;
    }
    case Wrap::Rle: {
      auto pixels = unpack_rle(data, w.columns, w.rows, w.samples, w.sample_bytes);
      if (!pixels.ok()) return corrupt(name, pixels.error());
      Bytes out = w.head;
      out.insert(out.end(), pixels->begin(), pixels->end());
      return out;
    }
  }
  return data;
}

// What reading a frame found out about its fragments: a frame located by the
// Basic Offset Table is a run of items until it has been read once; when that
// run is one item, later plans read its value directly. 0: not read yet,
// kSeveral: several fragments, else the single fragment's length + 1.
using FragmentNotes = std::vector<std::atomic<std::uint64_t>>;
constexpr std::uint64_t kSeveral = UINT64_MAX;

// The length of the one fragment of an item run, if it is one item (maybe
// followed by the sequence delimiter).
std::optional<std::uint64_t> single_fragment(ByteSpan run) {
  if (run.size() < 8 || run[0] != 0xFE || run[1] != 0xFF || run[2] != 0x00 || run[3] != 0xE0) {
    return std::nullopt;
  }
  const std::uint64_t length = std::uint64_t{run[4]} | (std::uint64_t{run[5]} << 8) |
                               (std::uint64_t{run[6]} << 16) | (std::uint64_t{run[7]} << 24);
  if (length == 0 || length > run.size() - 8) return std::nullopt;
  const std::uint64_t rest = run.size() - 8 - length;
  if (rest == 0 || (rest >= 8 && run[8 + length] == 0xFE && run[9 + length] == 0xFF &&
                    run[10 + length] == 0xDD && run[11 + length] == 0xE0)) {
    return length;
  }
  return std::nullopt;
}

// The plan of one frame of `member`, read through the series source. `note`
// (may be null) is where the frame's fragment structure is remembered.
slide::TilePlan plan_frame(const FrameRef& ref, const std::shared_ptr<const FrameWrap>& wrap,
                           const std::string& name,
                           std::shared_ptr<FragmentNotes> notes = nullptr, std::size_t note = 0) {
  Frame frame = ref.frame;
  if (frame.kind == Frame::Kind::Items && notes) {
    const std::uint64_t known = (*notes)[note].load(std::memory_order_relaxed);
    if (known != 0 && known != kSeveral) frame = Frame{frame.offset + 8, known - 1, Frame::Kind::Value};
  }
  slide::RangeList ranges{slide::Range{frame.offset, frame.length, ref.source}};
  if (frame.kind == Frame::Kind::Value) {
    if (wrap->wrap == Wrap::AsStored) return {std::move(ranges), slide::Splice{{}, {}, 0}};
    // RGB frames are joined below: the marker goes in only when the frame lacks one.
    if (wrap->wrap == Wrap::Native) return {std::move(ranges), slide::Splice{wrap->head, {}, 0}};
  }
  const bool items = frame.kind == Frame::Kind::Items;
  // A fetched frame's size is known once it has come back: always joined here.
  return {std::move(ranges),
          slide::Custom{[wrap, items, name, notes, note](
                            std::span<const ByteSpan> parts) -> SlideResult<Bytes> {
            if (parts.size() != 1) return corrupt(name, "a frame was read in pieces");
            Bytes data;
            if (items) {
              if (notes) {
                const auto single = single_fragment(parts[0]);
                (*notes)[note].store(single ? *single + 1 : kSeveral, std::memory_order_relaxed);
              }
              auto joined = join_fragments(parts[0]);
              if (!joined.ok()) return corrupt(name, joined.error());
              data = std::move(joined).value();
            } else {
              data.assign(parts[0].begin(), parts[0].end());
            }
            if (data.empty()) return corrupt(name, "a frame is empty");
            return finish_frame(*wrap, std::move(data), name);
          }}};
}

Result<std::shared_ptr<const FrameWrap>, std::string> wrap_of(const Header& h,
                                                             const Encoding& encoding) {
  auto wrap = std::make_shared<FrameWrap>();
  wrap->wrap = encoding.wrap;
  wrap->columns = h.columns;
  wrap->rows = h.rows;
  wrap->samples = h.samples_per_pixel;
  wrap->sample_bytes = std::max<std::uint64_t>(h.bits_allocated / 8, 1);
  if (encoding.wrap == Wrap::Native || encoding.wrap == Wrap::Rle) {
    if (h.bits_allocated != 8 && h.bits_allocated != 16) {
      return "its frames have " + std::to_string(h.bits_allocated) + "-bit samples";
    }
    if (h.columns > UINT32_MAX || h.rows > UINT32_MAX) return std::string("its frames are too large");
    auto layout = native_layout(h);
    if (!layout.ok()) return std::move(layout).error();
    const std::uint64_t length = h.rows * h.columns * h.samples_per_pixel * (h.bits_allocated / 8);
    auto head = slide::tiff_header(*layout, std::span<const std::uint64_t>(&length, 1));
    if (!head) return std::string("its frames are too large for a TIFF");
    wrap->head = std::move(*head);
  }
  return std::shared_ptr<const FrameWrap>(std::move(wrap));
}

std::string join_names(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

// ------------------------------------------------------------------ fragments and RLE

Result<Bytes, std::string> join_fragments(ByteSpan items) {
  Bytes out;
  std::size_t at = 0;
  while (at + 8 <= items.size()) {
    const std::uint32_t group = items[at] | (items[at + 1] << 8);
    const std::uint32_t element = items[at + 2] | (items[at + 3] << 8);
    const std::uint64_t length = std::uint64_t{items[at + 4]} | (std::uint64_t{items[at + 5]} << 8) |
                                 (std::uint64_t{items[at + 6]} << 16) |
                                 (std::uint64_t{items[at + 7]} << 24);
    if (group == 0xFFFE && element == 0xE0DD) return out;
    if (group != 0xFFFE || element != 0xE000) {
      return std::string("a frame's fragments are interrupted by something that is no item");
    }
    if (length > items.size() - at - 8) {
      return std::string("a fragment runs past the frame the offset table gives");
    }
    out.insert(out.end(), items.begin() + static_cast<std::ptrdiff_t>(at + 8),
               items.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
    at += 8 + length;
  }
  if (at != items.size()) return std::string("a frame ends inside a fragment item header");
  return out;
}

Result<Bytes, std::string> unpack_rle(ByteSpan frame, std::uint64_t columns, std::uint64_t rows,
                                      std::uint64_t samples, std::uint64_t bytes_per_sample) {
  if (frame.size() < 64) return std::string("an RLE frame is shorter than its 64-byte header");
  auto u32 = [&](std::size_t at) {
    return std::uint32_t{frame[at]} | (std::uint32_t{frame[at + 1]} << 8) |
           (std::uint32_t{frame[at + 2]} << 16) | (std::uint32_t{frame[at + 3]} << 24);
  };
  const std::uint64_t segments = u32(0);
  if (segments != samples * bytes_per_sample || segments == 0 || segments > 15) {
    return "an RLE frame has " + std::to_string(segments) + " segments where " +
           std::to_string(samples * bytes_per_sample) + " belong";
  }
  const std::uint64_t pixels = columns * rows;
  Bytes out(pixels * segments);
  for (std::uint64_t s = 0; s < segments; ++s) {
    const std::uint64_t begin = u32(4 + 4 * s);
    const std::uint64_t end = s + 1 < segments ? u32(8 + 4 * s) : frame.size();
    if (begin < 64 || begin > end || end > frame.size()) {
      return std::string("an RLE segment offset lies outside the frame");
    }
    // Segment s holds byte (s % bytes) of sample (s / bytes), most significant first.
    const std::uint64_t sample = s / bytes_per_sample;
    const std::uint64_t byte = bytes_per_sample - 1 - s % bytes_per_sample;
    std::uint8_t* dst = out.data() + sample * bytes_per_sample + byte;
    const std::uint64_t stride = segments;
    std::uint64_t written = 0;
    std::uint64_t at = begin;
    while (at < end && written < pixels) {
      const auto n = static_cast<std::int8_t>(frame[at++]);
      if (n >= 0) {
        const std::uint64_t count = static_cast<std::uint64_t>(n) + 1;
        if (count > end - at || count > pixels - written) {
          return std::string("an RLE literal run overruns its segment");
        }
        for (std::uint64_t i = 0; i < count; ++i) dst[(written + i) * stride] = frame[at + i];
        at += count;
        written += count;
      } else if (n != -128) {
        const std::uint64_t count = 1 - static_cast<std::int64_t>(n);
        if (at >= end || count > pixels - written) {
          return std::string("an RLE replicate run overruns its segment");
        }
        for (std::uint64_t i = 0; i < count; ++i) dst[(written + i) * stride] = frame[at];
        ++at;
        written += count;
      }
    }
    if (written != pixels) return std::string("an RLE segment holds fewer pixels than the frame");
  }
  return out;
}

// ------------------------------------------------------------------ opening

SeriesOptions series_options(const slide::OpenOptions& options) {
  SeriesOptions out;
  out.series = options.series;
  out.focal_plane = options.focal_plane;
  out.optical_path = options.optical_path;
  out.named = options.named;
  if (!options.folder) out.anchor = 0;
  return out;
}

SlideResult<slide::SlideParts> open_series(const std::string& series_name,
                                           std::vector<SeriesMember> members,
                                           const SeriesOptions& options) {
  // Whole-slide instances only; in a folder others are passed over.
  std::vector<std::uint32_t> wsi;
  for (std::uint32_t i = 0; i < members.size(); ++i) {
    const Header& h = members[i].instance.header;
    if (h.sop_class == kWsiSopClass) {
      wsi.push_back(i);
    } else if (options.named) {
      return slide::errors::not_whole_slide(members[i].name, h.sop_class);
    }
  }
  if (options.anchor && *options.anchor < members.size()) {
    const SeriesMember& anchor = members[*options.anchor];
    if (anchor.instance.header.sop_class != kWsiSopClass) {
      return slide::errors::not_whole_slide(anchor.name, anchor.instance.header.sop_class);
    }
  }
  if (wsi.empty()) {
    // Objects of one other class (a segmentation's series, say): named.
    const bool one_class = !members.empty() &&
        std::all_of(members.begin(), members.end(), [&](const SeriesMember& m) {
          return m.instance.header.sop_class == members[0].instance.header.sop_class;
        });
    if (one_class) {
      return slide::errors::not_whole_slide(series_name, members[0].instance.header.sop_class,
                                            true);
    }
    return unsupported(series_name, "it holds no DICOM whole-slide image instance");
  }
  // One series.
  std::vector<std::string> series;
  for (std::uint32_t i : wsi) {
    const std::string& uid = members[i].instance.header.series_uid;
    if (std::find(series.begin(), series.end(), uid) == series.end()) series.push_back(uid);
  }
  std::string chosen = options.series;
  if (chosen.empty() && options.anchor && *options.anchor < members.size()) {
    chosen = members[*options.anchor].instance.header.series_uid;
  }
  if (chosen.empty()) {
    if (series.size() > 1) {
      return SlideError{ErrorKind::Invalid,
                        series_name + " holds " + std::to_string(series.size()) +
                            " series; choose one with series=\"<uid>\": " + join_names(series),
                        std::nullopt};
    }
    chosen = series[0];
  } else if (std::find(series.begin(), series.end(), chosen) == series.end()) {
    return SlideError{ErrorKind::Invalid,
                      series_name + " holds no series " + chosen + "; it holds " + join_names(series),
                      std::nullopt};
  }
  std::erase_if(wsi, [&](std::uint32_t i) { return members[i].instance.header.series_uid != chosen; });

  // Levels: VOLUME instances grouped by their total pixel matrix; associated images.
  std::vector<LevelBuild> builds;
  std::vector<std::pair<std::string, std::uint32_t>> associated;
  for (std::uint32_t i : wsi) {
    const Header& h = members[i].instance.header;
    const std::string flavour = h.flavour();
    if (flavour == "LABEL" || flavour == "OVERVIEW" || flavour == "THUMBNAIL") {
      const std::string name = flavour == "LABEL" ? "label" : flavour == "OVERVIEW" ? "macro" : "thumbnail";
      if (std::none_of(associated.begin(), associated.end(),
                       [&](const auto& a) { return a.first == name; })) {
        associated.emplace_back(name, i);
      }
      continue;
    }
    if (flavour != "VOLUME") continue;
    const std::uint64_t width = h.total_columns != 0 ? h.total_columns : h.columns;
    const std::uint64_t height = h.total_rows != 0 ? h.total_rows : h.rows;
    auto same = std::find_if(builds.begin(), builds.end(), [&](const LevelBuild& b) {
      return b.width == width && b.height == height;
    });
    if (same == builds.end()) {
      builds.push_back(LevelBuild{width, height, h.columns, h.rows, {i}});
    } else {
      if (same->tile_w != h.columns || same->tile_h != h.rows) {
        return unsupported(members[i].name, "instances of one level have frames of different sizes");
      }
      same->members.push_back(i);
    }
  }
  if (builds.empty()) return unsupported(series_name, "its series has no VOLUME instance");
  std::sort(builds.begin(), builds.end(),
            [](const LevelBuild& a, const LevelBuild& b) { return a.width > b.width; });

  // Focal planes and optical paths over all levels, to choose from.
  struct LevelTiles {
    std::vector<std::int64_t> slots;  // tile -> index into refs, -1: not stored
    std::shared_ptr<const FrameWrap> wrap;
    std::string media_type;
  };
  std::vector<std::vector<std::vector<Placed>>> placements(builds.size());
  std::vector<double> focals;
  std::vector<std::string> paths;
  for (const Header* h : [&] {
         std::vector<const Header*> hs;
         for (const auto& b : builds) hs.push_back(&members[b.members[0]].instance.header);
         return hs;
       }()) {
    for (const OpticalPath& p : h->optical_paths) {
      if (!p.identifier.empty() && std::find(paths.begin(), paths.end(), p.identifier) == paths.end()) {
        paths.push_back(p.identifier);
      }
    }
  }
  for (std::size_t l = 0; l < builds.size(); ++l) {
    const LevelBuild& b = builds[l];
    const std::uint64_t across = (b.width + b.tile_w - 1) / b.tile_w;
    const std::uint64_t down = (b.height + b.tile_h - 1) / b.tile_h;
    for (std::uint32_t m : b.members) {
      const Instance& inst = members[m].instance;
      auto placed = place_frames(inst.header, across, down, inst.frames.size());
      if (!placed.ok()) return unsupported(members[m].name, placed.error());
      for (const Placed& p : *placed) {
        if (std::find(focals.begin(), focals.end(), p.focal) == focals.end()) focals.push_back(p.focal);
        if (std::find(paths.begin(), paths.end(), p.path) == paths.end()) paths.push_back(p.path);
      }
      placements[l].push_back(std::move(placed).value());
    }
  }
  std::sort(focals.begin(), focals.end());
  if (options.focal_plane >= focals.size()) {
    return SlideError{ErrorKind::Invalid,
                      "focal plane " + std::to_string(options.focal_plane) +
                          " does not exist: the slide has " + std::to_string(focals.size()),
                      std::nullopt};
  }
  const double focal = focals[options.focal_plane];
  std::string path = paths.empty() ? std::string() : paths[0];
  if (!options.optical_path.empty()) {
    if (std::find(paths.begin(), paths.end(), options.optical_path) == paths.end()) {
      return SlideError{ErrorKind::Invalid,
                        "optical path '" + options.optical_path +
                            "' does not exist: the slide has " + join_names(paths),
                        std::nullopt};
    }
    path = options.optical_path;
  }

  auto refs = std::make_shared<std::vector<FrameRef>>();
  auto tiles = std::make_shared<std::vector<LevelTiles>>();
  std::vector<slide::Level> levels;
  for (std::size_t l = 0; l < builds.size(); ++l) {
    const LevelBuild& b = builds[l];
    const std::uint64_t across = (b.width + b.tile_w - 1) / b.tile_w;
    const std::uint64_t down = (b.height + b.tile_h - 1) / b.tile_h;
    if (across * down > kMaxFrames * 4) return unsupported(series_name, "a level has too many tiles");
    const Header& first = members[b.members[0]].instance.header;
    const auto encoding = encoding_of(first);
    if (!encoding) {
      return unsupported(members[b.members[0]].name,
                         "its frames are in transfer syntax " + first.transfer_syntax +
                             ", which kolva does not hand out");
    }
    auto wrap = wrap_of(first, *encoding);
    if (!wrap.ok()) return unsupported(members[b.members[0]].name, wrap.error());
    LevelTiles level_tiles{std::vector<std::int64_t>(across * down, -1), std::move(wrap).value(),
                           encoding->media_type};
    for (std::size_t k = 0; k < b.members.size(); ++k) {
      const std::uint32_t m = b.members[k];
      const Instance& inst = members[m].instance;
      if (inst.header.transfer_syntax != first.transfer_syntax ||
          inst.header.photometric != first.photometric) {
        return unsupported(members[m].name, "instances of one level are encoded differently");
      }
      for (std::size_t f = 0; f < inst.frames.size(); ++f) {
        const Placed& p = placements[l][k][f];
        if (p.focal != focal || (!path.empty() && p.path != path)) continue;
        std::int64_t& slot = level_tiles.slots[p.y * across + p.x];
        if (slot >= 0) continue;  // the first frame of a place wins
        slot = static_cast<std::int64_t>(refs->size());
        refs->push_back(FrameRef{members[m].source, inst.frames[f]});
      }
    }
    levels.push_back(slide::Level{
        LevelInfo{{b.width, b.height}, {b.tile_w, b.tile_h}, {across, down},
                  tile_encoding(encoding->media_type)},
        encoding->media_type,
        (static_cast<double>(builds[0].width) / static_cast<double>(b.width) +
         static_cast<double>(builds[0].height) / static_cast<double>(b.height)) /
            2.0});
    tiles->push_back(std::move(level_tiles));
  }

  auto kept = std::make_shared<std::vector<SeriesMember>>(std::move(members));
  slide::SlideParts parts;
  slide::SlideParts* made = &parts;
  made->levels = std::move(levels);
  // The optical paths are the slide's channels, its focal planes lowest first.
  auto& channels = made->planes[slide::PlaneAxis::Channel];
  channels.count = std::max<std::uint64_t>(paths.size(), 1);
  if (!paths.empty()) channels.names = paths;
  channels.selected = static_cast<std::uint64_t>(
      std::find(paths.begin(), paths.end(), path) - paths.begin()) % channels.count;
  made->planes[slide::PlaneAxis::FocalPlane].count = focals.size();
  made->planes[slide::PlaneAxis::FocalPlane].selected = options.focal_plane;
  const std::string name = series_name;
  std::vector<std::uint64_t> acrosses;
  for (const auto& l : made->levels) acrosses.push_back(l.info.tile_grid.first);
  auto notes = std::make_shared<FragmentNotes>(refs->size());
  made->tiler = std::make_shared<DicomTiler>([refs, tiles, name, acrosses, notes](
                       std::uint64_t level, std::uint64_t x,
                       std::uint64_t y) -> SlideResult<slide::TilePlan> {
    if (level >= tiles->size()) {
      return SlideError{ErrorKind::LevelNotFound,
                        "level " + std::to_string(level) + " does not exist: the slide has " +
                            std::to_string(tiles->size()) + (tiles->size() == 1 ? " level" : " levels"),
                        KolvaError::LevelNotFound{level, tiles->size()}};
    }
    const LevelTiles& t = (*tiles)[level];
    const std::int64_t slot = t.slots[y * acrosses[level] + x];
    if (slot < 0) {
      return SlideError{ErrorKind::TileNotFound,
                        "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                            std::to_string(level) + " is not stored in the file",
                        KolvaError::TileNotFound{x, y, 0}};
    }
    const auto index = static_cast<std::size_t>(slot);
    return plan_frame((*refs)[index], t.wrap, name, notes, index);
  });

  // Associated images: single-frame instances, handed out as their frame.
  for (const auto& [image, m] : associated) {
    const Instance& inst = (*kept)[m].instance;
    if (inst.frames.size() != 1) continue;
    const auto encoding = encoding_of(inst.header);
    if (!encoding) continue;
    auto wrap = wrap_of(inst.header, *encoding);
    if (!wrap.ok()) continue;
    const std::uint64_t w = inst.header.total_columns != 0 ? inst.header.total_columns : inst.header.columns;
    const std::uint64_t h = inst.header.total_rows != 0 ? inst.header.total_rows : inst.header.rows;
    auto plan = plan_frame(FrameRef{(*kept)[m].source, inst.frames[0]}, *wrap, (*kept)[m].name);
    // The plan outlives this wrap: it keeps its own copy of a borrowed header.
    if (auto* splice = std::get_if<slide::Splice>(&plan.assembly); splice && !splice->prefix.empty()) {
      splice->own_prefix.assign(splice->prefix.begin(), splice->prefix.end());
      splice->prefix = {};
    }
    made->associated.push_back(
        slide::AssociatedImage{image, encoding->media_type, {w, h}, std::move(plan)});
  }

  // Properties.
  const Header& base = (*kept)[builds[0].members[0]].instance.header;
  std::map<std::string, std::string> props;
  for (const auto& [key, value] : base.attributes) {
    if (key == "ImageType") {  // one key per value, as OpenSlide lists them
      for (std::size_t i = 0; i < base.image_type.size(); ++i) {
        props["dicom.ImageType[" + std::to_string(i) + "]"] = base.image_type[i];
      }
    } else {
      props["dicom." + key] = value;
    }
  }
  props["kolva.vendor"] = "dicom";
  props["dicom.focal-planes"] = std::to_string(focals.size());
  props["dicom.optical-paths"] = join_names(paths);
  props["dicom.optical-path"] = path;
  props["dicom.focal-plane"] = slide::metadata::format_double(focal);
  if (base.pixel_spacing) {
    props["kolva.mpp-x"] = slide::metadata::format_double(base.pixel_spacing->second * 1000.0);
    props["kolva.mpp-y"] = slide::metadata::format_double(base.pixel_spacing->first * 1000.0);
  }
  const Bytes* icc = base.icc_profile.empty() ? nullptr : &base.icc_profile;
  for (const OpticalPath& p : base.optical_paths) {
    const bool chosen_path = p.identifier == path || path.empty();
    if (p.objective_power && *p.objective_power > 0 &&
        (chosen_path || !props.contains("kolva.objective-power"))) {
      props["kolva.objective-power"] = slide::metadata::format_double(*p.objective_power);
    }
    if (!p.icc_profile.empty() && (chosen_path || icc == nullptr)) icc = &p.icc_profile;
  }
  for (std::size_t i = 0; i < made->levels.size(); ++i) {
    made->levels[i].photometric = (*kept)[builds[i].members[0]].instance.header.photometric;
    if (icc != nullptr) made->levels[i].icc_profile = *icc;
  }
  if (icc != nullptr) {
    props["kolva.icc-size"] = std::to_string(icc->size());
    props["dicom.icc-profile"] = text::base64_encode(*icc);
  }
  props["kolva.level-count"] = std::to_string(made->levels.size());
  for (std::size_t i = 0; i < made->levels.size(); ++i) {
    const slide::Level& level = made->levels[i];
    const std::string prefix = "kolva.level[" + std::to_string(i) + "].";
    props[prefix + "width"] = std::to_string(level.info.dimensions.first);
    props[prefix + "height"] = std::to_string(level.info.dimensions.second);
    props[prefix + "downsample"] = slide::metadata::format_double(level.downsample);
    props[prefix + "tile-width"] = std::to_string(level.info.tile_size.first);
    props[prefix + "tile-height"] = std::to_string(level.info.tile_size.second);
  }
  for (auto& [k, v] : props) made->properties.emplace_back(k, std::move(v));
  return parts;
}

SlideResult<std::vector<std::string>> NamedSiblings::list(const std::string& folder) {
  std::vector<std::string> names;
  if (!folder.empty()) return names;
  for (const auto& file : files_) names.push_back(file->name());
  return names;
}

SlideResult<std::shared_ptr<std_io::RangeSource>> NamedSiblings::open(const std::string& name) {
  for (const auto& file : files_) {
    if (file->name() == name) return file;
  }
  return SlideError{ErrorKind::MissingFile, "cannot open " + name + ": No such file or directory",
                    std::nullopt};
}

SlideResult<slide::SlideParts> open_instances(slide::SourceSet& sources,
                                             const SeriesOptions& options) {
  // Source 0, then every file beside it (a folder's files, or the ones named).
  std::vector<slide::SourceIndex> indices{0};
  if (auto names = sources.list(""); names.ok()) {
    const std::string first = sources.file_name();
    std::vector<std::string> entries;
    for (const std::string& entry : *names) {
      if (entry == first || entry == sources.name(0) || entry.empty() || entry.back() == '/') {
        continue;
      }
      entries.push_back(entry);
    }
    // Opened together: remotely, one round trip for the whole folder.
    for (auto& index : sources.open_many(entries)) {
      if (!index.ok()) continue;  // gone, or a folder
      if (std::find(indices.begin(), indices.end(), *index) == indices.end()) {
        indices.push_back(*index);
      }
    }
  }
  std::vector<SeriesMember> members;
  SeriesOptions opened = options;
  opened.anchor.reset();
  for (const slide::SourceIndex index : indices) {
    std_io::RangeSource& part = sources.at(index);
    const bool anchor = options.anchor == index;
    // Beside the instance opened, files that are no DICOM (or no readable one:
    // a folder, say) are passed over; the one opened, or one named, must be read.
    const bool must_read = index == 0 || options.named || anchor;
    auto size = part.size();
    if (!size.ok()) {
      if (!must_read) continue;
      return slide::errors::cannot_read(part.name(), size.error());
    }
    std_io::SharedSource reader(sources.shared(index));
    auto [consumer, first] = InstanceReader::dispatch(*size);
    // The reader asks for its own windows and, without offset tables, steps
    // from fragment header to fragment header: a remote range cache reads
    // those exactly past large fragments and a window at a time over small
    // ones, never the windows around every read that would fetch the frames.
    const std_io::WalkReads walk(part);
    auto instance = std_io::run(reader, std::move(consumer), first);
    if (!instance.ok()) {
      const KolvaError& e = instance.error();
      if (!must_read) continue;
      if (e.is<KolvaError::IoError>()) return slide::errors::cannot_read(part.name(), e);
      if (const auto* text = e.get_if<KolvaError::Decoding>()) return corrupt(part.name(), text->text);
      if (const auto* unknown = e.get_if<KolvaError::UnknownFormat>()) {
        return unsupported(part.name(), unknown->text);
      }
      return corrupt(part.name(), e.display());
    }
    if (anchor) opened.anchor = members.size();
    if (sources.frames(index) != nullptr) {
      // Its frames are fetched by number, not read where the data set says.
      for (std::size_t f = 0; f < instance->frames.size(); ++f) {
        instance->frames[f] = Frame{f + 1, 0, Frame::Kind::Number};
      }
    }
    members.push_back(SeriesMember{std::move(instance).value(), part.name(), index});
  }
  std::string name = sources.name(0);
  if (options.series_name.empty() && sources.frames(0) != nullptr) {
    // A DICOMweb series: its instances are <series URL>/instances/<uid>.
    const auto at = name.rfind("/instances/");
    if (at != std::string::npos) name = name.substr(0, at);
  } else if (options.series_name.empty()) {
    if (!options.anchor) {
      const auto slash = name.find_last_of('/');
      if (slash != std::string::npos) name = name.substr(0, slash);
    }
  } else {
    name = options.series_name;
  }
  return open_series(name, std::move(members), opened);
}

}  // namespace kolva::dicom
