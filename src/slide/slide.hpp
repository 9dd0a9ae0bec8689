#pragma once

// The slide behind the `kolva` package: one opened slide that any number of
// threads may read at once. It opens with the same format decoders as the
// specified module, keeps the directories it read for metadata, and splits a
// tile read into a plan (the byte ranges to read and how to join them), the
// reads, and the assembly, so that callers can read the ranges of many tiles
// at once (threads, or concurrent remote requests) and assemble afterwards.
//
// Nothing here touches a file but through the RangeSource it was opened on;
// after open() a Slide never changes, so every const member is thread-safe.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "slide/errors.hpp"
#include "slide/planes.hpp"
#include "slide/source_set.hpp"
#include "std_io/source.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide {

// A family of slide formats as every layer names it: `name` is what
// Slide.format says ("aperio", "ndpi", ...), `vendor` the kolva.vendor property
// (OpenSlide's vendor names), `title` the words for people ("Olympus ETS").
struct Family {
  std::string_view name;
  std::string_view vendor;
  std::string_view title;
};

// A byte range of one of the slide's sources (0: the file it was opened with).
struct Range {
  std::uint64_t offset;
  std::uint64_t length;
  SourceIndex source = 0;
  friend bool operator==(const Range&, const Range&) = default;
};

// The ranges of a plan: almost every tile is one range, kept inline, so that
// planning a tile allocates nothing; tiles joined from pieces spill into a vector.
class RangeList {
 public:
  RangeList() = default;
  // One range, built in place: through an initializer list the range is
  // stored a word at a time and loaded whole, a stalled store forward per tile.
  explicit RangeList(const Range& r) : first_(r), size_(1) {}
  RangeList(std::initializer_list<Range> ranges) {
    for (const Range& r : ranges) push_back(r);
  }
  void push_back(const Range& r) {
    if (size_ == 0 && more_.empty()) {
      first_ = r;
    } else {
      if (more_.empty()) more_.push_back(first_);
      more_.push_back(r);
    }
    ++size_;
  }
  void reserve(std::size_t n) {
    if (n > 1) more_.reserve(n);
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Range* data() const { return more_.empty() ? &first_ : more_.data(); }
  const Range* begin() const { return data(); }
  const Range* end() const { return data() + size_; }
  const Range& operator[](std::size_t i) const { return data()[i]; }
  const Range& front() const { return data()[0]; }
  const Range& back() const { return data()[size_ - 1]; }
  friend bool operator==(const RangeList& a, const RangeList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  Range first_{0, 0};
  std::vector<Range> more_;  // all ranges once there are two or more
  std::size_t size_ = 0;
};

// Assemblies: how the bytes of a plan's ranges become the output.
//
// Splice: `prefix`, then the ranges' bytes one after the other without their
// first `skip` bytes. The prefix is borrowed from the slide (shared JPEG
// tables, a header shared by a level's tiles) or owned by the plan (a header
// made for this tile). A shared header may differ per tile in a few bytes
// (a wrapped tile's byte count, a frame's size): `patch`, written over it at
// `patch_at`. `suffix`: bytes after the ranges' (an end marker). `fix`: the
// driver's change of the ranges' bytes where they landed, keeping their
// length (samples put in another order); it is handed them after `skip`.
struct Splice {
  ByteSpan prefix;
  Bytes own_prefix;
  std::uint64_t skip = 0;
  std::uint32_t patch_at = 0;
  std::uint8_t patch_size = 0;
  std::array<std::uint8_t, 4> patch{};
  std::uint8_t suffix_size = 0;
  std::array<std::uint8_t, 2> suffix{};
  void (*fix)(std::span<std::uint8_t> data) = nullptr;
  ByteSpan head() const { return own_prefix.empty() ? prefix : ByteSpan(own_prefix); }
  // Writes head(), patched, to `out` (head().size() bytes).
  void write_head(std::uint8_t* out) const;
};
// Custom: a driver's own join (a lossless crop, a stored format's tile consumer
// replayed over the bytes); `join` gets the ranges' bytes in order and keeps
// whatever else it needs alive itself.
// `size`: the join's length when the driver knows it before reading (stored
// pieces joined as they are, with a header and an end marker in bytes known).
struct Custom {
  std::function<SlideResult<Bytes>(std::span<const ByteSpan>)> join;
  std::optional<std::uint64_t> size = std::nullopt;
};
using Assembly = std::variant<Splice, Custom>;

// A tile read, planned: what to read and how to join it.
struct TilePlan {
  RangeList ranges;
  Assembly assembly;
  // The output's length when it is known before reading (Splice, a sized Custom).
  std::optional<std::uint64_t> output_size() const {
    std::uint64_t size = 0;
    if (!sized(size)) return std::nullopt;
    return size;
  }
  // The same as a flag and `size`. output_size() is inline over it: GCC returns
  // an optional built on the stack, its flag written as a byte and read back
  // within a word, which stalls each of the few calls a batch makes per tile.
  bool sized(std::uint64_t& size) const;
};

// Where one stored tile of a positioned level lies, in that level's pixels
// (fractional where the scanner recorded it so). A rectangle with no area is a
// tile the level does not store.
struct TileRect {
  double x = 0, y = 0, width = 0, height = 0;
  bool stored() const { return width > 0 && height > 0; }
  friend bool operator==(const TileRect&, const TileRect&) = default;
};

// A part of a stored tile that a positioned level paints on its own (a stored
// tile holding a block of smaller tiles shrunk, each placed where its own tile
// goes): `from_*` in the stored tile's pixels, `to` its rectangle in the level.
struct TilePiece {
  std::uint64_t tile = 0;  // the stored tile, indexed as in tile_rects
  std::uint32_t from_x = 0, from_y = 0;
  TileRect to;
  friend bool operator==(const TilePiece&, const TilePiece&) = default;
};

// One pyramid level as the package describes it.
struct Level {
  LevelInfo info;
  std::string media_type;  // "image/jpeg", "image/jp2", ...
  double downsample;       // mean of the width and height ratios to level 0
  // The colour of the stored samples as the container declares them, in
  // DICOM's words: "MONOCHROME2", "RGB", "YBR_FULL_422" (YCbCr JPEG), "YBR_FULL"
  // (YCbCr samples a JPEG 2000 codestream does not transform back to RGB),
  // "YBR_ICT"/"YBR_RCT" (a JPEG 2000 codestream's own transform); "" when only
  // the stream tells.
  std::string photometric = {};
  Bytes icc_profile = {};  // the colour profile of the level's pixels; empty: none stored
  // A positioned level (tiles that overlap, sit off the grid or are joined at
  // recorded offsets): each stored tile's rectangle, row by row
  // (tile_grid.first * tile_grid.second of them, tile (x, y) at
  // y * tile_grid.first + x). Empty: the plain grid, tile (x, y) at
  // (x * tile width, y * tile height). Tile coordinates, reads and bytes are
  // the same either way; only where the pixels lie differs.
  std::vector<TileRect> tile_rects = {};
  // The order a positioned level's tiles are painted in where it is not row by
  // row (a mosaic's own order): tile indices as in tile_rects, the first painted
  // first, so that a later tile covers an earlier one where they overlap. Empty:
  // row by row.
  std::vector<std::uint64_t> paint_order = {};
  // Where the stored tiles are painted piece by piece instead of whole: a
  // grid of piece_grid.first x piece_grid.second pieces, row by row (piece
  // (x, y) at y * piece_grid.first + x, one with no area where none is
  // painted), painted in that order. tile_rects then says where each stored
  // tile lies as a whole (its first piece's place, its own size).
  std::pair<std::uint64_t, std::uint64_t> piece_grid = {0, 0};
  std::vector<TilePiece> pieces = {};
  bool positioned() const { return !tile_rects.empty(); }
};

// A label, macro, thumbnail or overview image, handed out encoded.
struct AssociatedImage {
  std::string name;
  std::string media_type;
  std::pair<std::uint64_t, std::uint64_t> dimensions;
  TilePlan plan;
  Bytes icc_profile = {};
};

using Properties = std::vector<std::pair<std::string, std::string>>;

struct OpenOptions {
  // Edge of the tiles that levels stored as one JPEG are cut into (a multiple
  // of the JPEG MCU size); 0 keeps the file's own tiling. Formats stored in
  // tiles keep them.
  std::uint64_t tile_size = 0;
  // DICOM series: the SeriesInstanceUID to open ("": the one of the file
  // opened, or the only one), the focal plane (an index, lowest first) and the
  // optical path ("": the first) to serve; `folder`: the files are a folder's,
  // none of them chosen; `named`: every file was named, so each must be read.
  std::string series;
  std::uint64_t focal_plane = 0;
  std::string optical_path;
  bool folder = false;
  bool named = false;
  // The image and plane to serve of a file that holds several (indices or
  // names); none chosen: the main image's first plane.
  PlaneSelection planes;
};

using Coord = std::pair<std::uint64_t, std::uint64_t>;  // (x, y)

class Slide;

// Tiles of one level, planned before anything is read (every coordinate is
// checked first): one plan per tile, in the order asked.
struct Batch {
  std::uint64_t level = 0;
  std::vector<Coord> coords;
  std::vector<TilePlan> plans;
};

// How a driver's slide turns tile coordinates into reads: the driver's own
// strategy, set once when the slide opens.
class Tiler {
 public:
  virtual ~Tiler() = default;
  // The plan of tile (x, y) of `level`. The Slide has checked that the level
  // exists and the tile lies in its grid.
  virtual SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                                     std::uint64_t y) const = 0;
  // A checked batch's plans; by default one plan() per tile.
  virtual SlideResult<std::vector<TilePlan>> plan_batch(std::uint64_t level,
                                                        std::span<const Coord> coords) const;
  // Reads a planned batch: tiles with a non-empty dst[i] go there (its size is
  // the plan's output size), the others into assembled[i]. By default every
  // plan's ranges go through the read executor; drivers that cut several
  // tiles out of one read (a level cut at the caller's tile size) read their own way.
  virtual SlideResult<Unit> read_batch(const Slide& slide, const Batch& batch,
                                       std::span<const std::span<std::uint8_t>> dst,
                                       std::vector<Bytes>& assembled, unsigned threads) const;
};

// What identifies a slide's content cheaply (OpenSlide's quickhash-1 is made
// of it): the byte ranges of every stored tile or strip of the smallest level,
// in the order its container lists them, and the raw text of the container's
// identifying tags, in a fixed order ("" for an absent one), then any text a
// family hashes after them (Argos: its XML).
struct HashInput {
  std::vector<Range> ranges;
  std::vector<std::string> texts;
  // The plan that reads the ranges' bytes one after the other.
  TilePlan plan() const;
};

// What a driver hands over when it has opened a slide.
struct SlideParts {
  std::vector<Level> levels;
  Properties properties;
  std::vector<AssociatedImage> associated;
  std::shared_ptr<const Tiler> tiler;
  std::optional<HashInput> hash_input = {};
  // Set instead of `hash_input` where working it out reads or copies more than
  // the opening should: called the first time the hash input is asked for,
  // with the slide's sources; a failure is tried again at the next asking.
  std::function<SlideResult<std::optional<HashInput>>(const SourceSet&)> hash_input_later = {};
  // The images and planes the file holds and the one served; one of each by default.
  Planes planes = {};
  // Set instead of `properties` where working them out costs more than the
  // opening should (a large metadata document): called once, the first time
  // they are asked for. It may not read: what it needs was read at open.
  std::function<Properties()> properties_later = {};
};

// A slide's properties, or the function that works them out the first time they
// are asked for (SlideParts::properties_later): called once, under once_. Held
// apart from the slide, so that they outlive its files.
class SlideProperties {
 public:
  SlideProperties(Properties ready, std::function<Properties()> later)
      : properties_(std::move(ready)), later_(std::move(later)), deferred_(static_cast<bool>(later_)) {}
  const Properties& get() const {
    if (deferred_) {
      std::call_once(once_, [this] {
        properties_ = std::exchange(later_, nullptr)();
        ready_.store(true, std::memory_order_release);
      });
    }
    return properties_;
  }
  // Whether get() returns at once (nothing left to work out).
  bool ready() const { return !deferred_ || ready_.load(std::memory_order_acquire); }

 private:
  mutable Properties properties_;
  mutable std::function<Properties()> later_;
  const bool deferred_;
  mutable std::once_flag once_;
  mutable std::atomic<bool> ready_{false};
};

// An opened slide: immutable once made, so every member is thread-safe.
class Slide {
 public:
  // Opens the slide on `source` alone (no siblings). Reads only through it.
  static SlideResult<std::shared_ptr<const Slide>> open(std::shared_ptr<std_io::RangeSource> source,
                                                        const OpenOptions& options = {});
  // Opens the slide on a source set: the drivers of the registry are asked in
  // order; the one that takes the file may open siblings through the set.
  static SlideResult<std::shared_ptr<const Slide>> open(SourceSet sources,
                                                        const OpenOptions& options = {});

  Slide(SourceSet sources, const Family& family, SlideParts parts)
      : sources_(std::move(sources)),
        family_(family),
        levels_(std::make_shared<const std::vector<Level>>(std::move(parts.levels))),
        properties_(std::make_shared<const SlideProperties>(std::move(parts.properties),
                                                            std::move(parts.properties_later))),
        associated_(std::move(parts.associated)),
        tiler_(std::move(parts.tiler)),
        hash_input_(std::move(parts.hash_input)),
        hash_later_(std::move(parts.hash_input_later)),
        planes_(std::move(parts.planes)) {}

  // "aperio", "philips", "ndpi", "ets", "generic-tiff", ...
  std::string_view format() const { return family_.name; }
  const Family& family() const { return family_; }
  const std::vector<Level>& levels() const { return *levels_; }
  // The levels, shared: they outlive the slide's files for whoever keeps them.
  const std::shared_ptr<const std::vector<Level>>& shared_levels() const { return levels_; }
  const Properties& properties() const { return properties_->get(); }
  const std::shared_ptr<const SlideProperties>& shared_properties() const { return properties_; }
  const std::vector<AssociatedImage>& associated_images() const { return associated_; }
  // The slide's colour profile: its largest level's; empty when none is stored.
  ByteSpan icc_profile() const {
    return levels_->empty() ? ByteSpan() : ByteSpan((*levels_)[0].icc_profile);
  }
  // The slide's hash input (none when its format has none); the error when
  // what it is made of cannot be read.
  SlideResult<const std::optional<HashInput>*> hash_input() const;
  // The images and planes of the file, and the one this slide serves.
  const Planes& planes() const { return planes_; }
  const SourceSet& sources() const { return sources_; }
  std_io::RangeSource& source() const { return sources_.at(0); }
  const std::string& name() const { return sources_.name(0); }
  // Whether any source costs a round trip per read.
  bool remote() const;

  // The plan of one tile: LevelNotFound / TileNotFound without reading.
  SlideResult<TilePlan> plan_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  // The plans of tiles of one level: the first bad coordinate fails it all.
  SlideResult<Batch> plan_batch(std::uint64_t level, std::span<const Coord> coords) const;
  // Reads a planned batch (see Tiler::read_batch) with `threads` threads
  // (local sources) or all ranges at once (remote ones).
  SlideResult<Unit> read_batch(const Batch& batch, std::span<const std::span<std::uint8_t>> dst,
                               std::vector<Bytes>& assembled, unsigned threads) const;
  // Reads a planned tile.
  SlideResult<Bytes> read(const TilePlan& plan) const;
  // Reads a plan whose output size is known straight into `dst`, which has
  // exactly that size.
  SlideResult<Unit> read_into(const TilePlan& plan, std::span<std::uint8_t> dst) const;
  // read_into of a tile stored as one range of a local source, in two halves
  // around the read of that range, for a reader that reads several tiles'
  // ranges at once: begin_direct writes the head and says where the range's
  // bytes go (nothing for a plan read another way, `dst` then untouched);
  // finish_direct puts back what they overlapped and, when the read worked,
  // completes the tile.
  struct DirectRead {
    std::uint8_t* at = nullptr;  // where plan.ranges[0] is read to
    std::size_t skip = 0;        // bytes of the head it overlaps, kept in `saved`
    std::array<std::uint8_t, 64> saved{};
  };
  std::optional<DirectRead> begin_direct(const TilePlan& plan, std::span<std::uint8_t> dst) const;
  void finish_direct(const TilePlan& plan, std::span<std::uint8_t> dst, const DirectRead& read,
                     bool read_ok) const;
  // Joins the bytes of a plan's ranges, read elsewhere (one buffer per range,
  // in order).
  SlideResult<Bytes> assemble(const TilePlan& plan, std::span<const ByteSpan> ranges) const;

  SlideResult<Bytes> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  // The plan of an associated image; NotFound when there is no such image.
  SlideResult<const TilePlan*> associated_plan(const std::string& name) const;
  SlideResult<Bytes> read_associated(const std::string& name) const;

  // The error of a failed read through source `source`, with its name.
  SlideError read_error(const KolvaError& cause, SourceIndex source = 0) const;

 private:
  SourceSet sources_;
  const Family& family_;
  std::shared_ptr<const std::vector<Level>> levels_;
  std::shared_ptr<const SlideProperties> properties_;
  std::vector<AssociatedImage> associated_;
  std::shared_ptr<const Tiler> tiler_;
  mutable std::optional<HashInput> hash_input_;
  mutable std::function<SlideResult<std::optional<HashInput>>(const SourceSet&)> hash_later_;
  mutable std::mutex hash_mutex_;  // over hash_later_ and what it makes
  mutable std::atomic<bool> hash_ready_{!hash_later_};
  Planes planes_;
};

// Reads every tile of `plans` (each one range-list) with `threads` threads;
// `dst[i]` is where plan i goes when its size is known (empty span otherwise,
// the result then lands in `assembled[i]`). Stops at the first failure.
SlideResult<Unit> read_plans(const Slide& slide, std::span<const TilePlan> plans,
                             std::span<const std::span<std::uint8_t>> dst,
                             std::vector<Bytes>& assembled, unsigned threads);

}  // namespace kolva::slide
