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
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "dynamic_decoder/dynamic_decoder.hpp"
#include "std_io/source.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide {

// What kind of failure a SlideError reports; the Python layer maps each to an
// exception class.
enum class ErrorKind : std::uint8_t {
  Unsupported,    // not a slide this library reads
  LevelNotFound,  // a level number past the last level
  TileNotFound,   // a tile outside the grid, or not stored
  NotFound,       // an associated image that does not exist
  Io,             // the byte source failed (file system, network)
  Corrupt,        // the file claims something it does not hold
  Invalid,        // a bad argument (an NDPI tile size that is no MCU multiple)
};

// A failure in words a user understands, with the core's error as its cause.
struct SlideError {
  ErrorKind kind;
  std::string message;
  std::optional<KolvaError> cause;
};

template <class T>
using SlideResult = Result<T, SlideError>;

enum class Format : std::uint8_t { Aperio, Philips, Ndpi, Ets, GenericTiff, Dicom };
// "aperio", "philips", "ndpi", "ets", "generic-tiff", "dicom".
const char* format_name(Format format);

struct Range {
  std::uint64_t offset;
  std::uint64_t length;
  friend bool operator==(const Range&, const Range&) = default;
};

// The ranges of a plan: almost every tile is one range, kept inline, so that
// planning a tile allocates nothing; NDPI tiles spill into a vector.
class RangeList {
 public:
  RangeList() = default;
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
// tables) or owned by the plan (a header made for this tile).
struct Splice {
  ByteSpan prefix;
  Bytes own_prefix;
  std::uint64_t skip = 0;
  ByteSpan head() const { return own_prefix.empty() ? prefix : ByteSpan(own_prefix); }
};
// Replay: the stored format's own tile consumer, fed the ranges' bytes in order.
struct Replay {
  dynamic_decoder::TileRequest request;
};
// Custom: a join of this layer's own (a lossless crop, say); `join` gets the
// ranges' bytes in order and keeps whatever else it needs alive itself.
struct Custom {
  std::function<SlideResult<Bytes>(std::span<const ByteSpan>)> join;
};
using Assembly = std::variant<Splice, Replay, Custom>;

// A tile read, planned: what to read and how to join it.
struct TilePlan {
  RangeList ranges;
  Assembly assembly;
  // The output's length when it is known before reading (Splice).
  std::optional<std::uint64_t> output_size() const;
};

// One pyramid level as the package describes it.
struct Level {
  LevelInfo info;
  std::string media_type;  // "image/jpeg", "image/jp2", ...
  double downsample;       // mean of the width and height ratios to level 0
};

// A label, macro, thumbnail or overview image, handed out encoded.
struct AssociatedImage {
  std::string name;
  std::string media_type;
  std::pair<std::uint64_t, std::uint64_t> dimensions;
  TilePlan plan;
};

using Properties = std::vector<std::pair<std::string, std::string>>;

struct OpenOptions {
  // Edge of the tiles NDPI levels are cut into (a multiple of the JPEG MCU
  // size); 0 keeps the file's own tiling. Other formats keep their stored tiles.
  std::uint64_t tile_size = 0;
};

class Slide {
 public:
  // Opens the slide on `source`. Reads only through it.
  static SlideResult<std::shared_ptr<const Slide>> open(std::shared_ptr<std_io::RangeSource> source,
                                                        const OpenOptions& options = {});

  Format format() const { return format_; }
  const std::vector<Level>& levels() const { return levels_; }
  const Properties& properties() const { return properties_; }
  const std::vector<AssociatedImage>& associated_images() const { return associated_; }
  std_io::RangeSource& source() const { return *source_; }
  const std::string& name() const { return source_->name(); }

  // The plan of one tile: LevelNotFound / TileNotFound without reading.
  SlideResult<TilePlan> plan_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  // Reads a planned tile.
  SlideResult<Bytes> read(const TilePlan& plan) const;
  // Reads a plan whose output size is known straight into `dst`, which has
  // exactly that size.
  SlideResult<Unit> read_into(const TilePlan& plan, std::span<std::uint8_t> dst) const;
  // Joins the bytes of a plan's ranges, read elsewhere (one buffer per range,
  // in order).
  SlideResult<Bytes> assemble(const TilePlan& plan, std::span<const ByteSpan> ranges) const;

  SlideResult<Bytes> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  // NotFound when there is no such image.
  SlideResult<Bytes> read_associated(const std::string& name) const;

  // The error of a failed read through the source, with the source's name.
  SlideError read_error(const KolvaError& cause) const;

  // A slide whose tiles are planned by the specified decoders (`decoder`) or,
  // when `planner_` is set, by this layer's own readers of formats and
  // variants beyond them.
  Slide(std::shared_ptr<std_io::RangeSource> source, Format format,
        std::optional<dynamic_decoder::DynamicDecoder> decoder)
      : source_(std::move(source)), format_(format), decoder_(std::move(decoder)) {}

  // Filled while opening.
  std::vector<tiff_tools::Ifd> ifds_;
  ByteOrder tiff_order_ = ByteOrder::Little;  // of ifds_' file, for TIFF wrappers
  std::vector<Level> levels_;
  Properties properties_;
  std::vector<AssociatedImage> associated_;
  // Plans tiles instead of `decoder_` (bounds checks included) when set.
  std::function<SlideResult<TilePlan>(std::uint64_t, std::uint64_t, std::uint64_t)> planner_;
  // Reads a batch of tiles of one level itself when set (NDPI tiles of a
  // chosen size are cut a band of tiles at a time); bounds are checked first.
  std::function<SlideResult<std::vector<Bytes>>(
      const Slide&, std::uint64_t, std::span<const std::pair<std::uint64_t, std::uint64_t>>,
      unsigned)>
      batch_reader_;

  const std::optional<dynamic_decoder::DynamicDecoder>& decoder() const { return decoder_; }

 private:
  std::shared_ptr<std_io::RangeSource> source_;
  Format format_;
  std::optional<dynamic_decoder::DynamicDecoder> decoder_;
};

// Reads every tile of `plans` (each one range-list) with `threads` threads;
// `dst[i]` is where plan i goes when its size is known (empty span otherwise,
// the result then lands in `assembled[i]`). Stops at the first failure.
SlideResult<Unit> read_plans(const Slide& slide, std::span<const TilePlan> plans,
                             std::span<const std::span<std::uint8_t>> dst,
                             std::vector<Bytes>& assembled, unsigned threads);

}  // namespace kolva::slide
