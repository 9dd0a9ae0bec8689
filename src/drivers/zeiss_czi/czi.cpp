#include "drivers/zeiss_czi/czi.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <set>

#include "drivers/zeiss_czi/format.hpp"
#include "drivers/zeiss_czi/pixels.hpp"
#include "slide/associated.hpp"
#include "slide/executor.hpp"
#include "slide/metadata.hpp"
#include "text/strings.hpp"
#include "text/xml.hpp"

namespace kolva::drivers {

using namespace slide;
using czi::Compression;
using czi::Entry;
using czi::PixelFormat;
using std_io::RangeSource;

namespace {

constexpr std::uint64_t kMaxXmlBytes = 64 << 20;
constexpr std::int32_t kMaxStoredSide = 1 << 16;
constexpr std::int64_t kMaxDownsample = 1 << 16;
constexpr std::uint64_t kMaxProperties = 20000;
constexpr char kOtherAxes[] = {'B', 'H', 'I', 'R', 'V'};

SlideError damaged(const std::string& name, const std::string& why) {
  return SlideError{ErrorKind::Corrupt, name + " is damaged: " + why, std::nullopt};
}

// One stored sub-block as a tile.
struct Tile {
  std::uint64_t offset = 0, length = 0;  // of its data
  std::uint32_t width = 0, height = 0;
  std::int32_t head = -1;  // its TIFF header among its level's, -1: its own
  std::uint64_t position = 0;   // of its segment
  std::uint32_t dimensions = 0;  // of its directory entry
};

// How the sub-blocks of a level (or an associated image) go out.
struct Encoding {
  Compression compression = Compression::None;
  PixelFormat format;
};

// `shared`: the TIFF header of sub-blocks of t's size, when its level keeps one.
TilePlan plan_tile(const Tile& t, const Encoding& e, SourceIndex source, const std::string& name,
                   const Bytes* shared = nullptr) {
  RangeList ranges(Range{t.offset, t.length, source});
  if (e.compression == Compression::Jpeg || e.compression == Compression::JpegXr) {
    return {std::move(ranges), Splice{}};
  }
  std::optional<Bytes> head;
  if (shared == nullptr) head = czi::tiff_head(e.format, t.width, t.height);
  const std::uint64_t pixels = std::uint64_t{t.width} * t.height * e.format.samples * e.format.sample_bytes;
  // Uncompressed pixels go out where they land behind the header, blue-first
  // ones put in RGB order there.
  if (e.compression == Compression::None && (!e.format.bgr || ((shared || head) && t.length >= pixels))) {
    Splice splice;
    if (shared != nullptr) {
      splice.prefix = *shared;
    } else if (head) {
      splice.own_prefix = std::move(*head);
    }
    splice.fix = czi::to_rgb(e.format);
    return {RangeList(Range{t.offset, pixels, source}), std::move(splice)};
  }
  const std::uint64_t size = (shared ? shared->size() : head ? head->size() : 0) + pixels;
  return {std::move(ranges),
          Custom{[t, e, name](std::span<const ByteSpan> parts) -> SlideResult<Bytes> {
                   if (parts.size() != 1) return damaged(name, "a sub-block was read in pieces");
                   auto tiff = czi::to_tiff(parts[0], e.compression, e.format, t.width, t.height);
                   if (!tiff.ok()) return damaged(name, tiff.error());
                   return std::move(tiff).value();
                 },
                 size}};
}

// A level's tiles learn where their data lies from their sub-block's header,
// read the first time the tile is planned (all at open for a remote file):
// `offsets[i]` is 0 until then, set after `lengths[i]`.
struct CziLevel {
  std::uint64_t across = 0;
  std::vector<std::int64_t> cells;  // tile index per cell, -1: none
  std::vector<Tile> tiles;
  Encoding encoding;
  std::vector<Bytes> heads;  // the TIFF headers of its tiles' sizes, when few
  std::unique_ptr<std::atomic<std::uint64_t>[]> offsets, lengths;
};

constexpr std::size_t kMaxSharedHeads = 16;

// One TIFF header for each size of a level's tiles, while the sizes are few.
void share_heads(CziLevel& level) {
  const Encoding& e = level.encoding;
  if (e.compression == Compression::Jpeg || e.compression == Compression::JpegXr) return;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
  for (const Tile& t : level.tiles) {
    const std::pair size{t.width, t.height};
    if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) sizes.push_back(size);
    if (sizes.size() > kMaxSharedHeads) return;
  }
  std::vector<Bytes> heads;
  for (const auto& [w, h] : sizes) {
    auto head = czi::tiff_head(e.format, w, h);
    if (!head) return;
    heads.push_back(std::move(*head));
  }
  for (Tile& t : level.tiles) {
    t.head = static_cast<std::int32_t>(
        std::find(sizes.begin(), sizes.end(), std::pair{t.width, t.height}) - sizes.begin());
  }
  level.heads = std::move(heads);
}

class CziTiler final : public Tiler {
 public:
  CziTiler(std::vector<CziLevel> levels, std::string name, std::shared_ptr<RangeSource> source,
           std::uint64_t file_size)
      : levels_(std::move(levels)), name_(std::move(name)), sources_(std::move(source)), file_size_(file_size) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x, std::uint64_t y) const override {
    auto tile = tile_at(level, x, y);
    if (!tile.ok()) return std::move(tile).error();
    if (auto found = locate(levels_[level], {&*tile, 1}); !found.ok()) return std::move(found).error();
    return plan_located(levels_[level], *tile);
  }

  SlideResult<std::vector<TilePlan>> plan_batch(std::uint64_t level, std::span<const Coord> coords) const override {
    std::vector<std::size_t> tiles;
    tiles.reserve(coords.size());
    for (const auto& [x, y] : coords) {
      auto tile = tile_at(level, x, y);
      if (!tile.ok()) return std::move(tile).error();
      tiles.push_back(*tile);
    }
    if (auto found = locate(levels_[level], tiles); !found.ok()) return std::move(found).error();
    std::vector<TilePlan> plans;
    plans.reserve(tiles.size());
    for (std::size_t i : tiles) plans.push_back(plan_located(levels_[level], i));
    return plans;
  }

  // Reads the headers of those of `tiles` of `level` whose data is not
  // located yet, together.
  SlideResult<Unit> locate(const CziLevel& level, std::span<const std::size_t> tiles) const {
    std::vector<std::size_t> unlocated;
    for (std::size_t i : tiles) {
      if (level.offsets[i].load(std::memory_order_acquire) == 0) unlocated.push_back(i);
    }
    if (unlocated.empty()) return Unit{};
    std::sort(unlocated.begin(), unlocated.end());
    unlocated.erase(std::unique(unlocated.begin(), unlocated.end()), unlocated.end());
    Bytes heads(unlocated.size() * czi::kSubBlockHead);
    std::vector<Range> ranges;
    std::vector<std::span<std::uint8_t>> dst;
    ranges.reserve(unlocated.size());
    dst.reserve(unlocated.size());
    for (std::size_t k = 0; k < unlocated.size(); ++k) {
      ranges.push_back(Range{level.tiles[unlocated[k]].position, czi::kSubBlockHead, 0});
      dst.emplace_back(heads.data() + k * czi::kSubBlockHead, czi::kSubBlockHead);
    }
    if (auto got = read_ranges(sources_, ranges, dst, 1); !got.ok()) return std::move(got).error();
    for (std::size_t k = 0; k < unlocated.size(); ++k) {
      const Tile& t = level.tiles[unlocated[k]];
      auto data = czi::sub_block_data(dst[k], t.position, t.dimensions, file_size_);
      if (!data.ok()) return damaged(name_, data.error());
      const std::uint64_t pixels = std::uint64_t{t.width} * t.height * level.encoding.format.samples *
                                   level.encoding.format.sample_bytes;
      if (level.encoding.compression == Compression::None && data->length < pixels) {
        return damaged(name_, "an uncompressed sub-block holds fewer bytes than its pixels");
      }
      if (data->length == 0) return damaged(name_, "a sub-block holds no data");
      level.lengths[unlocated[k]].store(data->length, std::memory_order_relaxed);
      level.offsets[unlocated[k]].store(data->offset, std::memory_order_release);
    }
    return Unit{};
  }

  std::span<const CziLevel> levels() const { return levels_; }

 private:
  SlideResult<std::size_t> tile_at(std::uint64_t level, std::uint64_t x, std::uint64_t y) const {
    const CziLevel& l = levels_[level];
    const std::uint64_t cell = y * l.across + x;
    if (cell >= l.cells.size() || l.cells[cell] < 0) return errors::tile_not_stored(level, x, y);
    return static_cast<std::size_t>(l.cells[cell]);
  }

  TilePlan plan_located(const CziLevel& l, std::size_t i) const {
    Tile t = l.tiles[i];
    t.offset = l.offsets[i].load(std::memory_order_acquire);
    t.length = l.lengths[i].load(std::memory_order_relaxed);
    return plan_tile(t, l.encoding, 0, name_, t.head < 0 ? nullptr : &l.heads[static_cast<std::size_t>(t.head)]);
  }

  std::vector<CziLevel> levels_;
  std::string name_;
  SourceSet sources_;
  std::uint64_t file_size_;
};

// The encoding of sub-blocks of this pixel type and compression, or why none.
Result<Encoding, std::string> encoding_of(std::int32_t pixel_type, std::int32_t compression) {
  const auto format = czi::pixel_format(pixel_type);
  if (!format) return "its sub-blocks are of pixel type " + std::to_string(pixel_type) +
                      " (Gray8, Gray16, Gray32, Gray32Float, Bgr24, Bgr48, Bgr96Float and Bgra32 are read)";
  switch (compression) {
    case 0: case 1: case 2: case 4: case 5: case 6:
      return Encoding{static_cast<Compression>(compression), *format};
    default:
      return "its sub-blocks are compressed with method " + std::to_string(compression) +
             " (none, JPEG, LZW, JPEG XR, zstd0 and zstd1 are read)";
  }
}

std::string media_type_of(const Encoding& e) {
  if (e.compression == Compression::Jpeg) return "image/jpeg";
  if (e.compression == Compression::JpegXr) return "image/jxr";
  return "image/tiff";
}

// ------------------------------------------------------------------ metadata

const text::XmlElement* descend(const text::XmlDocument& doc, const text::XmlElement* e,
                                std::initializer_list<std::string_view> path) {
  for (std::string_view step : path) {
    if (e == nullptr) return nullptr;
    e = doc.child(*e, step);
  }
  return e;
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

// Leaf elements under `e` as `<prefix>.<path>` properties; an element with an
// Id is keyed by it. The first value of a key holds.
void flatten(const text::XmlDocument& doc, const text::XmlElement& e, const std::string& prefix,
             metadata::PropertyMap& out, std::uint64_t& budget) {
  if (budget == 0) return;
  if (e.children.empty()) {
    const std::string value = trimmed(doc.content(e));
    if (!value.empty() && out.emplace(prefix, metadata::clean_text(value)).second) --budget;
    return;
  }
  for (std::size_t c : e.children) {
    const text::XmlElement& child = doc.elements[c];
    const std::string* id = child.attribute("Id");
    flatten(doc, child, prefix + "." + (id && !id->empty() ? *id : std::string(child.local_name())), out,
            budget);
  }
}

struct MetadataFacts {
  std::vector<std::string> channel_names;
  std::vector<std::string> scene_names;
};

// The properties of the metadata document.
void read_metadata(const text::XmlDocument& doc, metadata::PropertyMap& map) {
  const text::XmlElement* md = descend(doc, &doc.elements[0], {"Metadata"});
  if (md == nullptr) return;
  std::uint64_t budget = kMaxProperties;
  for (const char* part : {"Information", "Scaling", "DisplaySetting", "AttachmentInfos"}) {
    if (const auto* e = doc.child(*md, part)) flatten(doc, *e, std::string("czi.") + part, map, budget);
  }
  // Pixel size: metres per pixel.
  std::optional<double> mpp[2];
  if (const auto* items = descend(doc, md, {"Scaling", "Items"})) {
    for (const auto* d : doc.children(*items, "Distance")) {
      const std::string id = text::attribute_or_empty(*d, "Id");
      const auto* value = doc.child(*d, "Value");
      if (value == nullptr || (id != "X" && id != "Y")) continue;
      if (auto v = metadata::parse_double(trimmed(doc.content(*value)))) mpp[id == "Y"] = *v * 1e6;
    }
  }
  if (metadata::usable_positive(mpp[0]) && metadata::usable_positive(mpp[1])) {
    map["kolva.mpp-x"] = metadata::format_double(*mpp[0]);
    map["kolva.mpp-y"] = metadata::format_double(*mpp[1]);
  }
  // Objective power: the objective the image names, else the only one.
  if (const auto* objectives = descend(doc, md, {"Information", "Instrument", "Objectives"})) {
    const auto* ref = descend(doc, md, {"Information", "Image", "ObjectiveSettings", "ObjectiveRef"});
    const std::string id = ref ? text::attribute_or_empty(*ref, "Id") : std::string();
    const auto all = doc.children(*objectives, "Objective");
    const text::XmlElement* chosen = all.size() == 1 ? all[0] : nullptr;
    for (const auto* o : all) {
      if (!id.empty() && text::attribute_or_empty(*o, "Id") == id) chosen = o;
    }
    if (const auto* mag = chosen ? doc.child(*chosen, "NominalMagnification") : nullptr) {
      if (auto v = metadata::parse_double(trimmed(doc.content(*mag))); metadata::usable_positive(v)) {
        map["kolva.objective-power"] = metadata::format_double(*v);
      }
    }
  }
  if (const auto* infos = descend(doc, md, {"AttachmentInfos"})) {
    for (const auto* info : doc.children(*infos, "AttachmentInfo")) {
      const auto* content = descend(doc, info, {"Label", "Barcodes", "Barcode", "Content"});
      if (content && !trimmed(doc.content(*content)).empty()) {
        map["kolva.barcode"] = metadata::clean_text(trimmed(doc.content(*content)));
        break;
      }
    }
  }
}

// The names of the channels and scenes, as the metadata document gives them.
MetadataFacts plane_names(const text::XmlDocument& doc) {
  MetadataFacts facts;
  const text::XmlElement* md = descend(doc, &doc.elements[0], {"Metadata"});
  if (md == nullptr) return facts;
  if (const auto* channels = descend(doc, md, {"Information", "Image", "Dimensions", "Channels"})) {
    for (const auto* c : doc.children(*channels, "Channel")) {
      facts.channel_names.push_back(text::attribute_or_empty(*c, "Name"));
    }
  }
  if (const auto* scenes = descend(doc, md, {"Information", "Image", "Dimensions", "S", "Scenes"})) {
    for (const auto* s : doc.children(*scenes, "Scene")) {
      facts.scene_names.push_back(text::attribute_or_empty(*s, "Name"));
    }
  }
  return facts;
}

// Whether the XML may hold an element named Channel or Scene, whose names are
// the planes' names and so needed at open: either word followed by what ends an
// element's name. Text saying so too only has the document read at open.
bool may_name_planes(std::string_view xml) {
  for (const std::string_view word : {std::string_view("Channel"), std::string_view("Scene")}) {
    for (std::size_t at = xml.find(word); at != std::string_view::npos; at = xml.find(word, at + 1)) {
      const std::size_t end = at + word.size();
      if (end == xml.size() || xml[end] == '>' || xml[end] == '/' || xml[end] == '=' ||
          text::is_space(xml[end])) {
        return true;
      }
    }
  }
  return false;
}

// Names when there is one per entry, each distinct and not empty.
std::vector<std::string> names_for(std::vector<std::string> names, std::size_t count) {
  if (names.size() != count) return {};
  std::set<std::string> seen;
  for (const std::string& n : names) {
    if (n.empty() || !seen.insert(n).second) return {};
  }
  return names;
}

// ------------------------------------------------------------------ layout

// Grid cells for tiles at these positions (level pixels): column and row are
// the ranks of a tile's x and y among the distinct ones, so a tile lies near
// its cell; tiles at a taken cell go to rows of their own below. Positions too
// scattered for a rank grid of reasonable size are laid out in reading order.
// Tiles are given in painting order (later on top).
struct Grid {
  std::uint64_t across = 0, down = 0;
  std::vector<std::int64_t> cells;
};

Grid place(const std::vector<std::pair<std::int64_t, std::int64_t>>& at) {
  const std::size_t n = at.size();
  std::vector<std::int64_t> xs, ys;
  for (const auto& [x, y] : at) {
    xs.push_back(x);
    ys.push_back(y);
  }
  std::sort(xs.begin(), xs.end());
  xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
  Grid g;
  if (xs.size() * ys.size() <= 4 * n + 64) {
    g.across = xs.size();
    g.down = ys.size();
    g.cells.assign(static_cast<std::size_t>(g.across * g.down), -1);
    std::vector<std::size_t> overflow;
    for (std::size_t i = 0; i < n; ++i) {
      const auto col = static_cast<std::size_t>(std::lower_bound(xs.begin(), xs.end(), at[i].first) - xs.begin());
      const auto row = static_cast<std::size_t>(std::lower_bound(ys.begin(), ys.end(), at[i].second) - ys.begin());
      std::int64_t& cell = g.cells[row * g.across + col];
      if (cell < 0) {
        cell = static_cast<std::int64_t>(i);
      } else {
        overflow.push_back(i);
      }
    }
    for (std::size_t k = 0; k < overflow.size(); ++k) {
      if (k % g.across == 0) {
        g.cells.resize(g.cells.size() + g.across, -1);
        ++g.down;
      }
      g.cells[(g.down - 1) * g.across + k % g.across] = static_cast<std::int64_t>(overflow[k]);
    }
    return g;
  }
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::pair(at[a].second, at[a].first) < std::pair(at[b].second, at[b].first);
  });
  g.across = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(n))));
  g.down = (n + g.across - 1) / g.across;
  g.cells.assign(static_cast<std::size_t>(g.across * g.down), -1);
  for (std::size_t k = 0; k < n; ++k) g.cells[k] = static_cast<std::int64_t>(order[k]);
  return g;
}

// ------------------------------------------------------------------ reading

SlideResult<Bytes> read_bytes(SourceSet& sources, std::uint64_t offset, std::uint64_t length) {
  Bytes bytes(static_cast<std::size_t>(length));
  const Range range{offset, length, 0};
  std::span<std::uint8_t> dst(bytes);
  if (auto got = read_ranges(sources, std::span<const Range>(&range, 1),
                             std::span<const std::span<std::uint8_t>>(&dst, 1), 1);
      !got.ok()) {
    return std::move(got).error();
  }
  return bytes;
}

// The same into memory not cleared first (the directory's entries, the
// metadata XML: tens of kB an open).
SlideResult<std_io::Buffer> read_buffer(SourceSet& sources, std::uint64_t offset, std::uint64_t length) {
  auto buffer = std_io::Buffer::allocate(length);
  if (!buffer.ok()) return errors::read_failed(sources.name(), buffer.error());
  const Range range{offset, length, 0};
  std::span<std::uint8_t> dst(buffer->data(), static_cast<std::size_t>(length));
  if (auto got = read_ranges(sources, std::span<const Range>(&range, 1),
                             std::span<const std::span<std::uint8_t>>(&dst, 1), 1);
      !got.ok()) {
    return std::move(got).error();
  }
  return std::move(buffer).value();
}

// At most `length` bytes at `offset`, fewer at the end of the file.
SlideResult<Bytes> read_head(SourceSet& sources, std::uint64_t offset, std::uint64_t length,
                             std::uint64_t file_size) {
  if (offset >= file_size) return Bytes{};
  return read_bytes(sources, offset, std::min(length, file_size - offset));
}

// The one sub-block of a CZI embedded at [base, base + size): its tile and
// encoding, with offsets in the outer file.
SlideResult<std::optional<std::pair<Tile, Encoding>>> embedded_image(SourceSet& sources, std::uint64_t base,
                                                                    std::uint64_t size) {
  using Found = std::optional<std::pair<Tile, Encoding>>;
  auto head = read_head(sources, base, czi::kFileHeaderBytes, base + size);
  if (!head.ok()) return std::move(head).error();
  auto header = czi::parse_file_header(*head);
  if (!header.ok() || header->directory == 0) return Found();
  auto dir_head = read_head(sources, base + std::min(header->directory, size), czi::kDirectoryHead, base + size);
  if (!dir_head.ok()) return std::move(dir_head).error();
  auto extent = czi::directory_extent(*dir_head, header->directory, size);
  if (!extent.ok() || extent->first == 0) return Found();
  auto entry_bytes = read_head(sources, base + header->directory + czi::kDirectoryHead,
                               std::min<std::uint64_t>(extent->second, 32 + 20 * czi::kMaxDimensions), base + size);
  if (!entry_bytes.ok()) return std::move(entry_bytes).error();
  auto entries = czi::parse_entries(*entry_bytes, 1);
  if (!entries.ok()) return Found();
  const Entry& e = entries->entries[0];
  const czi::Dimension* x = e.find('X');
  const czi::Dimension* y = e.find('Y');
  auto encoding = encoding_of(e.pixel_type, e.compression);
  if (!x || !y || !encoding.ok() || x->stored <= 0 || y->stored <= 0 || x->stored > kMaxStoredSide ||
      y->stored > kMaxStoredSide) {
    return Found();
  }
  auto sb_head = read_head(sources, base + std::min(e.position, size), czi::kSubBlockHead, base + size);
  if (!sb_head.ok()) return std::move(sb_head).error();
  auto data = czi::sub_block_data(*sb_head, e, size);
  if (!data.ok()) return Found();
  return Found(std::pair{Tile{base + data->offset, data->length, static_cast<std::uint32_t>(x->stored),
                              static_cast<std::uint32_t>(y->stored)},
                         *encoding});
}

std::vector<std::int32_t> distinct(const std::vector<const Entry*>& entries, char axis) {
  if (entries.empty()) return {};
  // Usually one value: an axis the file does not use.
  const std::int32_t first = entries.front()->start(axis);
  if (std::all_of(entries.begin(), entries.end(), [&](const Entry* e) { return e->start(axis) == first; })) {
    return {first};
  }
  std::vector<std::int32_t> values;
  values.reserve(entries.size());
  for (const Entry* e : entries) values.push_back(e->start(axis));
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

}  // namespace

const Family& CziDriver::family() const {
  static const Family family{"czi", "zeiss", "Zeiss CZI"};
  return family;
}

bool CziDriver::detect(const Probe& probe) const {
  static constexpr char kMagic[] = "ZISRAWFILE";
  if (probe.tiff || probe.head.size() < czi::kSegmentHeader) return false;
  return std::equal(kMagic, kMagic + 10, probe.head.begin()) && probe.head[10] == 0;
}

SlideResult<Opening> CziDriver::open(SourceSet& sources, const Probe& probe,
                                     const OpenOptions& options) const {
  const std::string& name = sources.name();
  auto size = sources.at(0).size();
  if (!size.ok()) return errors::cannot_read(name, size.error());
  const std::uint64_t file_size = *size;

  auto header = czi::parse_file_header(probe.head);
  if (!header.ok()) return damaged(name, header.error());
  if (header->directory == 0) return damaged(name, "it has no sub-block directory");

  // The directory and the metadata segment's heads, then their bodies.
  auto dir_head = read_head(sources, header->directory, czi::kDirectoryHead, file_size);
  if (!dir_head.ok()) return std::move(dir_head).error();
  auto extent = czi::directory_extent(*dir_head, header->directory, file_size);
  if (!extent.ok()) return damaged(name, extent.error());
  // No more than the entries can take, however large the segment says it is.
  const std::uint64_t entry_room = std::min(extent->second, extent->first * (32 + 20 * czi::kMaxDimensions));
  auto entry_bytes = read_buffer(sources, header->directory + czi::kDirectoryHead, entry_room);
  if (!entry_bytes.ok()) return std::move(entry_bytes).error();
  auto parsed = czi::parse_entries(entry_bytes->span(), extent->first);
  if (!parsed.ok()) return damaged(name, parsed.error());
  const czi::Directory directory = std::move(parsed).value();
  const std::vector<Entry>& entries = directory.entries;
  entry_bytes = std_io::Buffer{};

  // The metadata XML is parsed at open only when the planes' names may be in
  // it; the properties it holds are worked out when first asked for.
  metadata::PropertyMap map;
  MetadataFacts facts;
  std::string xml_later;
  std::shared_ptr<const text::XmlDocument> doc;
  if (header->metadata != 0) {
    auto md_head = read_head(sources, header->metadata, czi::kMetadataXmlAt, file_size);
    if (!md_head.ok()) return std::move(md_head).error();
    auto xml = czi::metadata_xml(*md_head, header->metadata, file_size);
    if (xml.ok() && xml->length <= kMaxXmlBytes) {
      auto xml_bytes = read_buffer(sources, xml->offset, xml->length);
      if (!xml_bytes.ok()) return std::move(xml_bytes).error();
      const std::string_view text(reinterpret_cast<const char*>(xml_bytes->data()),
                                  static_cast<std::size_t>(xml_bytes->size()));
      if (!may_name_planes(text)) {
        xml_later.assign(text);
      } else if (auto parsed_xml = text::parse_xml(text); parsed_xml && !parsed_xml->elements.empty()) {
        doc = std::make_shared<const text::XmlDocument>(std::move(*parsed_xml));
        facts = plane_names(*doc);
      }
    }
  }
  map["czi.version"] = std::to_string(header->major) + "." + std::to_string(header->minor);

  // Every sub-block has its place and size.
  for (const Entry& e : entries) {
    const czi::Dimension* x = e.find('X');
    const czi::Dimension* y = e.find('Y');
    if (!x || !y || x->size <= 0 || y->size <= 0 || x->stored <= 0 || y->stored <= 0 ||
        x->stored > kMaxStoredSide || y->stored > kMaxStoredSide) {
      return damaged(name, "a sub-block has no usable X and Y extent");
    }
  }

  // The scene, then the plane served.
  std::vector<const Entry*> all;
  for (const Entry& e : entries) all.push_back(&e);
  if (all.empty()) return errors::unsupported(name, "it stores no sub-block");
  Planes planes;
  const std::vector<std::int32_t> scenes = distinct(all, 'S');
  planes[PlaneAxis::Series].count = scenes.size();
  planes[PlaneAxis::Series].names = names_for(facts.scene_names, scenes.size());
  auto scene = choose_plane(PlaneAxis::Series, options.planes[PlaneAxis::Series], planes[PlaneAxis::Series]);
  if (!scene.ok()) return std::move(scene).error();
  planes[PlaneAxis::Series].selected = *scene;
  std::vector<const Entry*> in_scene;
  for (const Entry* e : all) {
    if (e->start('S') == scenes[static_cast<std::size_t>(*scene)]) in_scene.push_back(e);
  }
  std::vector<const Entry*> served = in_scene;
  const std::pair<PlaneAxis, char> kAxes[] = {
      {PlaneAxis::Channel, 'C'}, {PlaneAxis::FocalPlane, 'Z'}, {PlaneAxis::Timepoint, 'T'}};
  for (const auto& pair : kAxes) {
    const PlaneAxis axis = pair.first;
    const char letter = pair.second;
    const std::vector<std::int32_t> values = distinct(in_scene, letter);
    planes[axis].count = values.size();
    if (axis == PlaneAxis::Channel) planes[axis].names = names_for(facts.channel_names, values.size());
    auto chosen = choose_plane(axis, options.planes[axis], planes[axis]);
    if (!chosen.ok()) return std::move(chosen).error();
    planes[axis].selected = *chosen;
    const std::int32_t value = values[static_cast<std::size_t>(*chosen)];
    if (values.size() > 1) std::erase_if(served, [&](const Entry* e) { return e->start(letter) != value; });
  }
  if (served.empty()) {
    return SlideError{ErrorKind::Invalid,
                      name + " stores no sub-block of the chosen channel, focal plane and time point together",
                      std::nullopt};
  }
  for (char letter : kOtherAxes) {
    const std::vector<std::int32_t> values = distinct(served, letter);
    if (values.size() > 1) {
      std::erase_if(served, [&](const Entry* e) { return e->start(letter) != values.front(); });
    }
  }

  // Level 0's extent: the scene's full-resolution sub-blocks.
  std::int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
  auto downsample_of = [](const Entry& e) {
    const czi::Dimension* x = e.find('X');
    return std::clamp<std::int64_t>(std::llround(static_cast<double>(x->size) / x->stored), 1, kMaxDownsample);
  };
  for (const Entry* e : in_scene) {
    if (downsample_of(*e) != 1) continue;
    const czi::Dimension* x = e->find('X');
    const czi::Dimension* y = e->find('Y');
    x0 = std::min<std::int64_t>(x0, x->start);
    y0 = std::min<std::int64_t>(y0, y->start);
    x1 = std::max<std::int64_t>(x1, std::int64_t{x->start} + x->size);
    y1 = std::max<std::int64_t>(y1, std::int64_t{y->start} + y->size);
  }
  if (x0 == INT64_MAX) return errors::unsupported(name, "its scene stores no full-resolution sub-block");
  const auto width0 = static_cast<std::uint64_t>(x1 - x0), height0 = static_cast<std::uint64_t>(y1 - y0);

  // Every served sub-block's header lies within the file; what they say is
  // read when their tiles are first planned.
  for (const Entry* e : served) {
    if (e->position > file_size || file_size - e->position < czi::kSubBlockHead) {
      return damaged(name, "a sub-block lies past the end of the file");
    }
  }

  // Levels: the served sub-blocks by downsample.
  std::map<std::int64_t, std::vector<std::size_t>> by_downsample;
  for (std::size_t i = 0; i < served.size(); ++i) by_downsample[downsample_of(*served[i])].push_back(i);
  if (by_downsample.begin()->first != 1) {
    return errors::unsupported(name, "the plane served has no full-resolution sub-block");
  }
  SlideParts parts;
  std::vector<CziLevel> levels;
  for (auto& [ds, members] : by_downsample) {
    const std::uint64_t w = width0 / static_cast<std::uint64_t>(ds), h = height0 / static_cast<std::uint64_t>(ds);
    if (w == 0 || h == 0) break;
    // Painting order: the mosaic index, higher on top (mostly the order stored).
    const auto by_mosaic = [&](std::size_t a, std::size_t b) { return served[a]->start('M') < served[b]->start('M'); };
    if (!std::is_sorted(members.begin(), members.end(), by_mosaic)) {
      std::stable_sort(members.begin(), members.end(), by_mosaic);
    }
    const Entry& first = *served[members[0]];
    auto encoding = encoding_of(first.pixel_type, first.compression);
    if (!encoding.ok()) return errors::unsupported(name, encoding.error());
    CziLevel level;
    level.encoding = *encoding;
    std::vector<std::pair<std::int64_t, std::int64_t>> at;
    std::vector<TileRect> rects;
    std::uint64_t tw = 0, th = 0;
    for (std::size_t i : members) {
      const Entry& e = *served[i];
      if (e.pixel_type != first.pixel_type || e.compression != first.compression) {
        return errors::unsupported(name, "a level mixes sub-blocks of different pixel types or compressions");
      }
      const czi::Dimension* x = e.find('X');
      const czi::Dimension* y = e.find('Y');
      Tile t;
      t.width = static_cast<std::uint32_t>(x->stored);
      t.height = static_cast<std::uint32_t>(y->stored);
      t.position = e.position;
      t.dimensions = static_cast<std::uint32_t>(e.dimensions.size());
      const double rx = static_cast<double>(std::int64_t{x->start} - x0) / static_cast<double>(ds);
      const double ry = static_cast<double>(std::int64_t{y->start} - y0) / static_cast<double>(ds);
      at.emplace_back(std::llround(rx), std::llround(ry));
      rects.push_back(TileRect{rx, ry, static_cast<double>(t.width), static_cast<double>(t.height)});
      tw = std::max<std::uint64_t>(tw, t.width);
      th = std::max<std::uint64_t>(th, t.height);
      level.tiles.push_back(t);
    }
    Grid grid = place(at);
    level.across = grid.across;
    level.cells = std::move(grid.cells);
    const bool colour = level.encoding.format.samples >= 3;
    parts.levels.push_back(Level{
        {{w, h}, {tw, th}, {grid.across, grid.down},
         level.encoding.compression == Compression::Jpeg ? TileEncoding::Jpeg : TileEncoding::Tiff},
        media_type_of(level.encoding),
        static_cast<double>(ds),
        level.encoding.compression == Compression::Jpeg ? "" : colour ? "RGB" : "MONOCHROME2"});
    std::vector<TileRect>& out = parts.levels.back().tile_rects;
    out.assign(level.cells.size(), TileRect{});
    for (std::size_t c = 0; c < level.cells.size(); ++c) {
      if (level.cells[c] >= 0) out[c] = rects[static_cast<std::size_t>(level.cells[c])];
    }
    // Overlapping sub-blocks are painted in mosaic order, not row by row.
    std::vector<std::uint64_t>& order = parts.levels.back().paint_order;
    for (std::size_t c = 0; c < level.cells.size(); ++c) {
      if (level.cells[c] >= 0) order.push_back(c);
    }
    std::sort(order.begin(), order.end(),
              [&](std::uint64_t a, std::uint64_t b) { return level.cells[a] < level.cells[b]; });
    share_heads(level);
    level.offsets = std::make_unique<std::atomic<std::uint64_t>[]>(level.tiles.size());
    level.lengths = std::make_unique<std::atomic<std::uint64_t>[]>(level.tiles.size());
    levels.push_back(std::move(level));
  }

  // Associated images: attachments by name.
  if (header->attachments != 0) {
    auto dir = read_head(sources, header->attachments, czi::kAttachmentDirectoryHead, file_size);
    if (!dir.ok()) return std::move(dir).error();
    auto att_extent = czi::attachment_extent(*dir, header->attachments, file_size);
    std::vector<czi::Attachment> attachments;
    if (att_extent.ok()) {
      auto bytes = read_bytes(sources, header->attachments + czi::kAttachmentDirectoryHead, att_extent->second);
      if (!bytes.ok()) return std::move(bytes).error();
      attachments = czi::parse_attachments(*bytes, att_extent->first);
    }
    const std::pair<const char*, const char*> kImages[] = {
        {"Label", "label"}, {"SlidePreview", "macro"}, {"Thumbnail", "thumbnail"}};
    for (const auto& pair : kImages) {
      const std::string stored_name = pair.first, image = pair.second;
      const auto it = std::find_if(attachments.begin(), attachments.end(),
                                   [&](const czi::Attachment& a) { return a.name == stored_name; });
      if (it == attachments.end()) continue;
      auto seg_head = read_head(sources, it->position, czi::kAttachmentDataAt, file_size);
      if (!seg_head.ok()) return std::move(seg_head).error();
      auto data = czi::attachment_data(*seg_head, it->position, file_size);
      if (!data.ok() || data->length == 0) continue;
      if (it->content_type == "JPG") {
        const Range jpeg{data->offset, data->length, 0};
        auto dims = stored_jpeg_dimensions(sources, jpeg);
        if (!dims.ok()) return std::move(dims).error();
        if (!*dims) continue;
        parts.associated.push_back(AssociatedImage{image, "image/jpeg", **dims, TilePlan{{jpeg}, Splice{}}});
      } else if (it->content_type == "CZI") {
        auto found = embedded_image(sources, data->offset, data->length);
        if (!found.ok()) return std::move(found).error();
        if (!*found) continue;
        const auto& [tile, encoding] = **found;
        parts.associated.push_back(AssociatedImage{image, media_type_of(encoding), {tile.width, tile.height},
                                                   plan_tile(tile, encoding, 0, name)});
      }
    }
  }

  if (xml_later.empty() && !doc) {
    parts.properties = metadata::finish_properties(std::move(map), parts.levels, "zeiss");
  } else {
    std::vector<Level> sizes;  // what the properties say of the levels
    for (const Level& l : parts.levels) sizes.push_back(Level{l.info, {}, l.downsample});
    parts.properties_later = [xml_text = std::move(xml_later), xml_doc = std::move(doc),
                              xml_props = std::move(map), level_sizes = std::move(sizes)]() mutable {
      if (!xml_doc) {
        if (auto reparsed = text::parse_xml(xml_text); reparsed && !reparsed->elements.empty()) {
          xml_doc = std::make_shared<const text::XmlDocument>(std::move(*reparsed));
        }
      }
      if (xml_doc) read_metadata(*xml_doc, xml_props);
      return metadata::finish_properties(std::move(xml_props), level_sizes, "zeiss");
    };
  }
  parts.planes = std::move(planes);
  auto tiler = std::make_shared<CziTiler>(std::move(levels), name, sources.shared(0), file_size);
  if (sources.remote(0)) {
    // A read costs a round trip: every header now, in one go.
    for (const CziLevel& level : tiler->levels()) {
      std::vector<std::size_t> every(level.tiles.size());
      for (std::size_t i = 0; i < every.size(); ++i) every[i] = i;
      if (auto found = tiler->locate(level, every); !found.ok()) return std::move(found).error();
    }
  }
  parts.tiler = std::move(tiler);
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
