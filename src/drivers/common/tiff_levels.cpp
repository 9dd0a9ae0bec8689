#include "drivers/common/tiff_levels.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

#include "base/bytes.hpp"
#include "drivers/common/decoder_tiler.hpp"
#include "slide/associated.hpp"
#include "slide/errors.hpp"
#include "slide/executor.hpp"
#include "slide/describe.hpp"
#include "slide/jpeg_join.hpp"
#include "slide/tiff_facts.hpp"
#include "slide/tiff_wrap.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::drivers {

using namespace slide;

namespace {

using tiff_tools::Ifd;

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// The index of tile (x, y) in a grid `across` tiles wide; nothing past 64 bits.
std::optional<std::uint64_t> tile_index(std::uint64_t x, std::uint64_t y, std::uint64_t across) {
  std::uint64_t index = 0;
  if (!checked_mul(y, across, index) || !checked_add(index, x, index)) return std::nullopt;
  return index;
}

// Rows a tile of strips aims at.
constexpr std::uint64_t kStripTileRows = 256;

// A level's tile offsets or byte counts: the values of its directory entry,
// read where they are when the directory outlives the level, else a copy
// widened to 64 bits.
class TileTable {
 public:
  TileTable() = default;
  TileTable(TileTable&&) noexcept = default;
  TileTable& operator=(TileTable&&) noexcept = default;
  TileTable(const TileTable&) = delete;
  TileTable& operator=(const TileTable&) = delete;

  // Nothing when `data` holds no unsigned integers.
  static std::optional<TileTable> of(const tiff_tools::Data& data, bool in_place) {
    const auto values = data.unsigned_values();
    if (!values) return std::nullopt;
    TileTable table;
    table.values_ = *values;
    if (!in_place) {
      table.owned_ = *data.to_u64vec();
      table.values_ = {table.owned_.data(), table.owned_.size(), 8};
    }
    return table;
  }

  std::size_t size() const { return values_.size; }
  std::uint64_t operator[](std::size_t i) const { return values_[i]; }

 private:
  tiff_tools::Data::UnsignedValues values_;
  std::vector<std::uint64_t> owned_;
};

enum class TileKind : std::uint8_t { AsStored, JpegHead, Wrapped, JoinedJpeg };

// Whether a table of this type holds unsigned integers (Data::unsigned_values).
bool unsigned_type(tiff_tools::DataType type) {
  using tiff_tools::DataType;
  return type == DataType::BYTE || type == DataType::UNDEFINED || type == DataType::SHORT ||
         type == DataType::LONG || type == DataType::LONG8;
}

// Takes `bytes` from `budget` (what an opening may still read of tables, as a
// consumer's read budget bounds its reads); false when it does not hold them.
bool take_from(std::atomic<std::uint64_t>& budget, std::uint64_t bytes) {
  std::uint64_t left = budget.load(std::memory_order_relaxed);
  do {
    if (bytes > left) return false;
  } while (!budget.compare_exchange_weak(left, left - bytes, std::memory_order_relaxed));
  return true;
}

// The value `value` left in the file, read from source `source` of `sources`,
// its bytes taken from `budget`.
SlideResult<tiff_tools::Data> read_in_file(const SourceSet& sources, SourceIndex source,
                                           const tiff_tools::ValueInFile& value, ByteOrder order,
                                           std::atomic<std::uint64_t>& budget) {
  const Range range{value.offset, value.byte_len, source};
  if (auto checked = check_read(sources, range); !checked.ok()) return std::move(checked).error();
  if (!take_from(budget, value.byte_len)) {
    return errors::read_failed(sources.name(source), KolvaError::UnableToAllocateLargeSize{});
  }
  Bytes bytes(static_cast<std::size_t>(value.byte_len));
  const std::span<std::uint8_t> dst(bytes);
  auto data = [&]() -> SlideResult<tiff_tools::Data> {
    if (auto got = read_ranges(sources, {&range, 1}, {&dst, 1}, 1); !got.ok()) {
      return std::move(got).error();
    }
    auto parsed = tiff_tools::parse_data(bytes, value.count, value.data_type, order);
    if (!parsed.ok()) {
      return errors::read_failed(sources.name(source), tiff_tools::to_kolva_error(parsed.error()));
    }
    return std::move(parsed).value();
  }();
  // A read that failed keeps nothing: it may be tried again.
  if (!data.ok()) budget.fetch_add(value.byte_len, std::memory_order_relaxed);
  return data;
}

// A level's tables that its directory left in the file: read the first time a
// tile of the level is planned, by whichever thread gets there first.
struct TablesInFile {
  std::optional<tiff_tools::ValueInFile> offsets;  // when left in the file
  std::optional<tiff_tools::ValueInFile> counts;
  ByteOrder order = ByteOrder::Little;
  std::mutex mutex;
  std::atomic<bool> ready{false};
  // Once ready: the values read, and the tables over them.
  std::optional<tiff_tools::Data> offsets_read;
  std::optional<tiff_tools::Data> counts_read;
  TileTable offsets_table;
  TileTable counts_table;
};

struct CodecLevel {
  TileKind kind = TileKind::AsStored;
  Bytes head;         // JpegHead: SOI, maybe the Adobe marker, the tables
  TiffLayout layout;  // Wrapped: one tile (or a tile's strips)
  // A tiled wrapped level whose directory outlives the tiler: the layout is
  // made from it with the header, when a tile is first planned.
  const Ifd* layout_from = nullptr;
  ByteOrder layout_order = ByteOrder::Little;
  std::uint64_t tile_width = 0;
  std::uint64_t tile_height = 0;
  // Wrapped: the header of every tile, and of the last row of a stripped level.
  // A tiled level's is made the first time one of its tiles is planned.
  std::shared_ptr<const TiffHeaderTemplate> wrap;
  std::shared_ptr<const TiffHeaderTemplate> last_wrap;
  TileTable offsets;
  TileTable counts;
  // Set when one of them is still in the file: it is read from there instead.
  std::shared_ptr<TablesInFile> in_file;
  std::uint64_t across = 1;
  // Stripped levels: rows of a strip, strips of a tile, rows of the level.
  bool stripped = false;
  std::uint64_t rows_per_strip = 0;
  std::uint64_t strips_per_tile = 1;
  std::uint64_t height = 0;
  std::shared_ptr<const Bytes> tables;  // JoinedJpeg: the directory's JPEGTables
  bool rgb = false;
};

bool wrapped_codec(std::uint64_t code) {
  return code == 1 || code == 5 || code == 8 || code == 32946 || code == 32773 || code == 50000;
}

TileEncoding encoding_of(std::uint64_t code) {
  if (code == 7) return TileEncoding::Jpeg;
  if (code == 34712 || (code >= 33003 && code <= 33005)) return TileEncoding::Jpeg2000;
  // WebP, JPEG XL, PNG and JPEG XR have no encoding of their own in the core's
  // level description; the level's media type names them.
  return TileEncoding::Tiff;
}

ByteSpan tables_of(const Ifd& ifd) {
  const auto* data = ifd.get(347);
  const auto* tables = data ? data->u8vec() : nullptr;
  return tables ? ByteSpan(*tables) : ByteSpan();
}

// A wrapped tile's header: the level's shared one with the byte count written
// over it for one strip, else one made from it for this tile's strips.
std::optional<Splice> wrapped(const TiffHeaderTemplate& header,
                              std::span<const std::uint64_t> lengths) {
  if (lengths.size() == 1 && header.strips() == 1) {
    if (lengths[0] > std::numeric_limits<std::uint32_t>::max() - header.bytes().size()) {
      return std::nullopt;
    }
    return Splice{header.bytes(), {}, 0, static_cast<std::uint32_t>(header.count_at()), 4,
                  header.encode(static_cast<std::uint32_t>(lengths[0]))};
  }
  Bytes head(header.bytes().size());
  if (!header.write(head, lengths)) return std::nullopt;
  return Splice{{}, std::move(head), 0};
}

// The shared header of a wrapped level's tiles of `rows` rows in `strips` strips.
Result<std::shared_ptr<const TiffHeaderTemplate>, std::string> wrap_template(
    const TiffLayout& layout, std::uint64_t rows, std::uint64_t strips) {
  std::optional<TiffLayout> other;  // a copy only when the rows differ
  if (rows != layout.height) {
    other.emplace(layout);
    other->height = static_cast<std::uint32_t>(rows);
  }
  auto made = TiffHeaderTemplate::make(other ? *other : layout, static_cast<std::size_t>(strips));
  if (!made) return std::string("tiles too large to wrap in a TIFF");
  return std::make_shared<const TiffHeaderTemplate>(std::move(*made));
}

SlideError too_large(std::uint64_t level, std::uint64_t x, std::uint64_t y) {
  return SlideError{ErrorKind::Corrupt,
                    "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                        std::to_string(level) + " is too large to wrap in a TIFF",
                    std::nullopt};
}

// A level's offsets and byte counts, wherever they are held.
struct Tables {
  const TileTable& offsets;
  const TileTable& counts;
};

class LevelsTiler final : public Tiler {
 public:
  LevelsTiler(std::vector<CodecLevel> levels, SourceIndex source,
              std::shared_ptr<const void> directories, std::optional<SourceSet> sources)
      : levels_(std::move(levels)),
        source_(source),
        directories_(std::move(directories)),
        sources_(std::move(sources)) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                             std::uint64_t y) const override {
    if (level >= levels_.size()) return errors::level_not_found(level, levels_.size());
    const CodecLevel& l = levels_[level];
    auto held = tables(l);
    if (!held.ok()) return std::move(held).error();
    const Tables t = *held;
    if (l.stripped) return plan_strips(level, l, t, y);
    const auto index = tile_index(x, y, l.across);
    // Sparse files leave a tile out with offset 0 (the header is no tile).
    if (!index || *index >= t.offsets.size() || *index >= t.counts.size() ||
        t.counts[*index] == 0 || t.offsets[*index] == 0) {
      return errors::tile_not_stored(level, x, y);
    }
    RangeList ranges(Range{t.offsets[*index], t.counts[*index], source_});
    switch (l.kind) {
      case TileKind::AsStored: return TilePlan{std::move(ranges), Splice{}};
      case TileKind::JpegHead:
        return TilePlan{std::move(ranges), Splice{ByteSpan(l.head), {}, 2}};
      default: break;
    }
    const TiffHeaderTemplate* header = header_of(level);
    if (header == nullptr) return too_large(level, x, y);
    const std::uint64_t length[1] = {t.counts[*index]};
    auto splice = wrapped(*header, length);
    if (!splice) return too_large(level, x, y);
    return TilePlan{std::move(ranges), std::move(*splice)};
  }

 private:
  // The level's tables; those still in the file are read first (once).
  SlideResult<Tables> tables(const CodecLevel& l) const {
    if (!l.in_file) return Tables{l.offsets, l.counts};
    TablesInFile& f = *l.in_file;
    if (!f.ready.load(std::memory_order_acquire)) {
      const std::lock_guard lock(f.mutex);
      if (!f.ready.load(std::memory_order_relaxed)) {
        for (auto [value, read, table] :
             {std::tuple{&f.offsets, &f.offsets_read, &f.offsets_table},
              std::tuple{&f.counts, &f.counts_read, &f.counts_table}}) {
          if (!*value) continue;
          auto got = read_in_file(*sources_, 0, **value, f.order, budget_);
          if (!got.ok()) return std::move(got).error();
          *read = std::move(got).value();
          auto over = TileTable::of(**read, true);
          if (!over) return errors::read_failed(sources_->name(), KolvaError::UnexpectedStep{});
          *table = std::move(*over);
        }
        f.ready.store(true, std::memory_order_release);
      }
    }
    return Tables{f.offsets ? f.offsets_table : l.offsets, f.counts ? f.counts_table : l.counts};
  }

  // A tiled wrapped level's header, made once by whichever thread plans one
  // of its tiles first; null when the tiles cannot be wrapped.
  const TiffHeaderTemplate* header_of(std::uint64_t level) const {
    const CodecLevel& l = levels_[level];
    if (l.wrap) return l.wrap.get();
    Made& made = made_[level];
    if (made.done.load(std::memory_order_acquire)) return made.header ? &*made.header : nullptr;
    std::call_once(made.once, [&] {
      if (l.layout_from == nullptr) {
        made.header = TiffHeaderTemplate::make(l.layout, 1);
        return;
      }
      // Checked at open: the layout is made as it was then.
      auto layout = layout_of(*l.layout_from, l.layout_order, l.tile_width, l.tile_height,
                              l.tile_height);
      if (layout.ok()) made.header = TiffHeaderTemplate::make(*layout, 1);
    });
    made.done.store(true, std::memory_order_release);
    return made.header ? &*made.header : nullptr;
  }

  SlideResult<TilePlan> plan_strips(std::uint64_t level, const CodecLevel& l, const Tables& t,
                                    std::uint64_t y) const {
    const std::uint64_t first = y * l.strips_per_tile;
    const std::uint64_t top = first * l.rows_per_strip;
    const std::uint64_t rows = std::min(l.height - top, l.strips_per_tile * l.rows_per_strip);
    const std::uint64_t strips = ceil_div(rows, l.rows_per_strip);
    RangeList ranges;
    ranges.reserve(strips);
    std::uint64_t lengths_stack[16];
    std::vector<std::uint64_t> lengths_heap(strips > 16 ? strips : 0);
    std::uint64_t* lengths = strips > 16 ? lengths_heap.data() : lengths_stack;
    for (std::uint64_t i = first; i < first + strips; ++i) {
      if (i >= t.offsets.size() || i >= t.counts.size() || t.counts[i] == 0 || t.offsets[i] == 0) {
        return errors::tile_not_stored(level, 0, y);
      }
      ranges.push_back(Range{t.offsets[i], t.counts[i], source_});
      lengths[i - first] = t.counts[i];
    }
    switch (l.kind) {
      case TileKind::JpegHead:
        return TilePlan{std::move(ranges), Splice{ByteSpan(l.head), {}, 2}};
      case TileKind::AsStored: return TilePlan{std::move(ranges), Splice{}};
      case TileKind::JoinedJpeg: {
        const StripImage image{ByteSpan(*l.tables), l.layout.width, rows, l.rows_per_strip,
                               l.rgb};
        Custom join{[tables = l.tables, image, level, y](
                        std::span<const ByteSpan> pieces) -> SlideResult<Bytes> {
          auto joined = join_jpeg_strips(image, pieces);
          if (!joined.ok()) {
            return SlideError{ErrorKind::Corrupt,
                              "tile (0, " + std::to_string(y) + ") of level " +
                                  std::to_string(level) +
                                  " cannot be put together: " + joined.error(),
                              std::nullopt};
          }
          return std::move(joined).value();
        }};
        return TilePlan{std::move(ranges), std::move(join)};
      }
      case TileKind::Wrapped: break;
    }
    const TiffHeaderTemplate& header = strips == l.wrap->strips() &&
                                               rows == l.strips_per_tile * l.rows_per_strip
                                           ? *l.wrap
                                           : *l.last_wrap;
    auto splice = wrapped(header, {lengths, static_cast<std::size_t>(strips)});
    if (!splice) return too_large(level, 0, y);
    return TilePlan{std::move(ranges), std::move(*splice)};
  }

  std::vector<CodecLevel> levels_;
  struct Made {
    std::once_flag once;
    std::optional<TiffHeaderTemplate> header;
    // Set once the header is made: std::call_once prepares thread-locals on
    // every call, done or not, which a batch of small tiles notices.
    std::atomic<bool> done{false};
  };
  mutable std::unique_ptr<Made[]> made_ = std::make_unique<Made[]>(levels_.size());
  SourceIndex source_;
  std::shared_ptr<const void> directories_;  // what tables read in place point into
  std::optional<SourceSet> sources_;         // where tables left in the file are read
  // What the levels may still read of tables left in the file, in all.
  mutable std::atomic<std::uint64_t> budget_{
      sources_ ? std_io::read_budget(sources_->at(0).known_size()) : 0};
};

// A stripped directory as tiles of whole strips: how many, and how they join.
Result<CodecLevel, std::string> strip_level(const Ifd& ifd, ByteOrder order, std::uint64_t width,
                                            std::uint64_t height, std::uint64_t code,
                                            const std::string& which) {
  CodecLevel level;
  level.stripped = true;
  level.height = height;
  level.rows_per_strip = std::min(ifd.scalar(278).value_or(height), height);
  if (level.rows_per_strip == 0) return "stripped TIFF whose " + which + " has no rows per strip";
  level.strips_per_tile = std::max<std::uint64_t>(1, kStripTileRows / level.rows_per_strip);
  const std::uint64_t tile_rows = level.strips_per_tile * level.rows_per_strip;
  auto layout = layout_of(ifd, order, width, std::min(tile_rows, height), level.rows_per_strip);
  if (!layout.ok()) return "stripped TIFF with " + layout.error();
  level.layout = std::move(layout).value();
  level.kind = TileKind::Wrapped;
  const std::uint64_t full_rows = std::min(tile_rows, height);
  const std::uint64_t last_rows = height % tile_rows == 0 ? full_rows : height % tile_rows;
  auto full = wrap_template(level.layout, full_rows, ceil_div(full_rows, level.rows_per_strip));
  auto last = wrap_template(level.layout, last_rows, ceil_div(last_rows, level.rows_per_strip));
  if (!full.ok()) return "stripped TIFF with " + full.error();
  if (!last.ok()) return "stripped TIFF with " + last.error();
  level.wrap = std::move(full).value();
  level.last_wrap = std::move(last).value();
  if (code == 7) {
    level.rgb = ifd.scalar(262) == 2;
    const ByteSpan tables = tables_of(ifd);
    const auto* subsampling = ifd.get(530);
    const auto factors = subsampling ? subsampling->to_u64vec() : std::nullopt;
    const bool full_chroma =
        level.rgb || ifd.scalar(277).value_or(3) == 1 ||
        (factors && factors->size() == 2 && (*factors)[0] == 1 && (*factors)[1] == 1);
    if (level.strips_per_tile == 1) {
      level.head = jpeg_stream_head(tables, level.rgb);
      level.kind = level.head.empty() ? TileKind::AsStored : TileKind::JpegHead;
    } else if (full_chroma && level.rows_per_strip % 16 == 0 && width <= 0xFFFF &&
               tile_rows <= 0xFFFF && (width + 7) / 8 * (level.rows_per_strip / 8) <= 0xFFFF) {
      level.kind = TileKind::JoinedJpeg;
      level.tables = std::make_shared<const Bytes>(tables.begin(), tables.end());
    }
  }
  return level;
}

}  // namespace

std::string_view tile_media_type(std::uint64_t code) {
  if (code == 7) return "image/jpeg";
  if (code == 34712 || (code >= 33003 && code <= 33005)) return "image/jp2";
  if (code == 50001) return "image/webp";
  if (code == 50002 || code == 52546) return "image/jxl";
  if (code == 34933) return "image/png";
  if (code == 34934) return "image/jxr";
  if (wrapped_codec(code)) return "image/tiff";
  return {};
}

Result<CodecPyramid, std::string> plan_tiff_levels(std::span<const Ifd* const> ifds,
                                                   ByteOrder order, SourceIndex source,
                                                   std::shared_ptr<const void> directories,
                                                   const SourceSet* tables_from) {
  std::vector<CodecLevel> levels;
  CodecPyramid pyramid;
  levels.reserve(ifds.size());
  pyramid.levels.reserve(ifds.size());
  for (std::size_t n = 0; n < ifds.size(); ++n) {
    const Ifd& ifd = *ifds[n];
    const std::string which = "level " + std::to_string(n);
    const bool tiled = ifd.get(322) != nullptr && ifd.get(323) != nullptr;
    const std::string kind = tiled ? "tiled TIFF" : "stripped TIFF";
    const auto width = ifd.scalar(256);
    const auto height = ifd.scalar(257);
    const auto tile_width = tiled ? ifd.scalar(322) : width;
    const auto tile_height = tiled ? ifd.scalar(323) : height;
    if (!width || !height || !tile_width || !tile_height || *width == 0 || *height == 0 ||
        *tile_width == 0 || *tile_height == 0) {
      return kind + " whose " + which + " has no usable image or tile size";
    }
    // Old libtiff pictures keep a tiled image's tables under the strip tags.
    auto table_tag = [&](std::uint16_t tile_tag, std::uint16_t strip_tag) {
      return tiled && (ifd.get(tile_tag) || ifd.unread(tile_tag)) ? tile_tag : strip_tag;
    };
    const std::uint16_t offsets_tag = table_tag(324, 273);
    const std::uint16_t counts_tag = table_tag(325, 279);
    const auto* offsets = ifd.get(offsets_tag);
    const auto* counts = ifd.get(counts_tag);
    const bool in_place = directories != nullptr;
    auto offset_values = offsets ? TileTable::of(*offsets, in_place) : std::nullopt;
    auto count_values = counts ? TileTable::of(*counts, in_place) : std::nullopt;
    // Tables the directory left in the file are read when the level is first used.
    std::shared_ptr<TablesInFile> in_file;
    for (auto [tag, values, which_one] : {std::tuple{offsets_tag, &offset_values, 0},
                                          std::tuple{counts_tag, &count_values, 1}}) {
      const auto* value = *values ? nullptr : ifd.unread(tag);
      if (value == nullptr || tables_from == nullptr || !unsigned_type(value->data_type)) continue;
      if (!in_file) {
        in_file = std::make_shared<TablesInFile>();
        in_file->order = order;
      }
      (which_one == 0 ? in_file->offsets : in_file->counts) = *value;
      values->emplace();
    }
    if (!offset_values || !count_values) {
      return kind + " whose " + which + " has no usable tile offsets or byte counts";
    }
    const std::uint64_t code = ifd.scalar(259).value_or(1);
    std::string_view media = tile_media_type(code);
    if (media.empty() || (!tiled && code != 7 && !wrapped_codec(code))) {
      return kind + " whose " + (tiled ? "tiles" : "strips") + " are " + compression_name(code) +
             "-compressed (compression " + std::to_string(code) +
             "), which kolva cannot hand out as a complete image";
    }
    CodecLevel level;
    std::uint64_t tw = *tile_width;
    std::uint64_t th = *tile_height;
    if (tiled) {
      level.across = ceil_div(*width, tw);
      if (code == 7) {
        level.head = jpeg_stream_head(tables_of(ifd), ifd.scalar(262) == 2);
        if (!level.head.empty()) level.kind = TileKind::JpegHead;
      } else if (media == "image/tiff") {
        level.kind = TileKind::Wrapped;
        if (in_place) {
          // The directory stays with the tiler: only checked now.
          if (auto refused = layout_refusal(ifd, tw, th, th)) return kind + " with " + *refused;
          level.layout_from = &ifd;
          level.layout_order = order;
          level.tile_width = tw;
          level.tile_height = th;
        } else {
          auto layout = layout_of(ifd, order, tw, th, th);
          if (!layout.ok()) return kind + " with " + layout.error();
          level.layout = std::move(layout).value();
        }
      }
    } else {
      auto strips = strip_level(ifd, order, *width, *height, code, which);
      if (!strips.ok()) return std::move(strips).error();
      level = std::move(strips).value();
      th = std::min(level.strips_per_tile * level.rows_per_strip, *height);
      if (level.kind == TileKind::Wrapped) media = "image/tiff";
    }
    level.offsets = std::move(*offset_values);
    level.counts = std::move(*count_values);
    level.in_file = std::move(in_file);
    const std::uint64_t down = ceil_div(*height, th);
    Level out{LevelInfo{{*width, *height}, {tw, th}, {level.across, down}, encoding_of(code)},
              std::string(media), 1.0};
    if (media == "image/tiff") out.info.encoding = TileEncoding::Tiff;
    out.photometric = tiff_photometric(ifd);
    out.icc_profile = tiff_icc_profile(ifd);
    pyramid.levels.push_back(std::move(out));
    levels.push_back(std::move(level));
  }
  std::optional<SourceSet> sources;
  if (tables_from != nullptr) sources.emplace(tables_from->shared(source));
  pyramid.tiler = std::make_shared<LevelsTiler>(std::move(levels), source,
                                                std::move(directories), std::move(sources));
  return pyramid;
}

SlideResult<SlideParts> tiff_level_parts(const SourceSet& sources,
                                         std::span<const Ifd* const> ifds, ByteOrder order,
                                         std::shared_ptr<const void> directories, Planes planes,
                                         const std::string& prefix) {
  auto pyramid = plan_tiff_levels(ifds, order, 0, std::move(directories), &sources);
  if (!pyramid.ok()) {
    return errors::unsupported(sources.name(), prefix + pyramid.error(),
                               KolvaError::LevelNotFound{0, 0});
  }
  SlideParts parts;
  parts.levels = std::move(pyramid->levels);
  mean_downsamples(parts.levels);
  parts.tiler = std::move(pyramid->tiler);
  parts.planes = std::move(planes);
  return parts;
}

SlideResult<Unit> fill_in_file(const SourceSet& sources, const Ifd& ifd, ByteOrder order,
                               std::atomic<std::uint64_t>* budget) {
  const auto& values = ifd.in_file();
  std::atomic<std::uint64_t> own{std_io::read_budget(sources.at(0).known_size())};
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (ifd.unread(values[i].tag) != &values[i]) continue;
    auto data = read_in_file(sources, 0, values[i], order, budget ? *budget : own);
    if (!data.ok()) return std::move(data).error();
    ifd.fill_in(i, std::move(data).value());
  }
  return Unit{};
}

SlideResult<Unit> add_stored_image(SlideParts& parts, const SourceSet& sources, const Ifd& ifd,
                                   ByteOrder order, const std::string& name) {
  if (has_image(parts.associated, name)) return Unit{};
  if (auto filled = fill_in_file(sources, ifd, order); !filled.ok()) return filled;
  if (auto planned = plan_stored_image(ifd, order, name)) {
    planned->icc_profile = tiff_icc_profile(ifd);
    parts.associated.push_back(std::move(*planned));
  }
  return Unit{};
}

std::function<SlideResult<std::optional<HashInput>>(const SourceSet&)> tiff_hash_later(
    std::shared_ptr<const void> owner, const Ifd& smallest, const Ifd& first, ByteOrder order) {
  return [owner = std::move(owner), smallest = &smallest, first = &first,
          order](const SourceSet& sources) -> SlideResult<std::optional<HashInput>> {
    const auto [offsets_tag, counts_tag] = slide::hashed_table_tags(*smallest);
    std::atomic<std::uint64_t> budget{std_io::read_budget(sources.at(0).known_size())};
    std::optional<tiff_tools::Data> read[2];
    const tiff_tools::Data* values[2] = {};
    for (int i = 0; i < 2; ++i) {
      const std::uint16_t tag = i == 0 ? offsets_tag : counts_tag;
      values[i] = smallest->get(tag);
      if (values[i] != nullptr) continue;
      const tiff_tools::ValueInFile* left = smallest->unread(tag);
      if (left == nullptr) continue;
      auto data = read_in_file(sources, 0, *left, order, budget);
      if (!data.ok()) return std::move(data).error();
      values[i] = &read[i].emplace(std::move(data).value());
    }
    return slide::tiff_hash_input(values[0], values[1], *first);
  };
}

}  // namespace kolva::drivers
