#pragma once

// DICOM whole-slide series: instances read by InstanceReader become one slide.
//
// VL Whole Slide Microscopy instances of one series (SeriesInstanceUID) make a
// slide: VOLUME instances are its levels, widest first (a level may be split
// over several instances: concatenations, or one instance per optical path or
// focal plane); LABEL, OVERVIEW and THUMBNAIL instances are the associated
// images "label", "macro" and "thumbnail". TILED_FULL frames fill the tile grid
// in row order, then focal planes, then optical paths; TILED_SPARSE frames are
// placed by their per-frame Plane Position (Slide). One focal plane and one
// optical path are served: the first of each unless the options name others.
// A tile that a sparse level does not store is TileNotFound ("not stored in
// the file"), as for every format with absent tiles.
//
// Every frame is one complete stream: JPEG family, JPEG-LS, JPEG 2000, HTJ2K
// and JPEG XL frames as stored (RGB JPEG frames get the Adobe marker that says
// "no colour transform"), uncompressed frames in a minimal TIFF, RLE frames
// unpacked into one.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drivers/dicom/parser.hpp"
#include "slide/slide.hpp"
#include "std_io/source.hpp"

namespace kolva::dicom {

// Each instance's bytes live in one source; a slide reads them through one
// address space where instance i starts at i << kInstanceShift.
inline constexpr unsigned kInstanceShift = 40;

// The sources of a series' instances as one RangeSource.
class SeriesSource final : public std_io::RangeSource {
 public:
  SeriesSource(std::vector<std::shared_ptr<std_io::RangeSource>> parts, std::string name);
  std::uint64_t known_size() const override;
  KolvaResult<std::uint64_t> size() override { return known_size(); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override;
  const std::string& name() const override { return name_; }
  const std::vector<std::shared_ptr<std_io::RangeSource>>& parts() const { return parts_; }

 private:
  std::vector<std::shared_ptr<std_io::RangeSource>> parts_;
  std::string name_;
};

struct SeriesOptions {
  std::string series;        // SeriesInstanceUID to take from several; empty: the only one
  std::uint64_t focal_plane = 0;  // index into the focal planes, lowest first
  std::string optical_path;  // OpticalPathIdentifier; empty: the first
  bool named = false;        // the instances were named one by one (not found in a folder)
  // The instance the user named, when the others were found beside it: its
  // series is the one opened, and it must be a whole-slide instance.
  std::optional<std::size_t> anchor;
};

// A parsed instance and where it came from (a path or URL, for messages).
struct SeriesMember {
  Instance instance;
  std::string name;
};

// The slide of `members` (members[i] is read through parts()[i] of `source`).
slide::SlideResult<std::shared_ptr<const slide::Slide>> open_series(
    std::shared_ptr<SeriesSource> source, std::vector<SeriesMember> members,
    const SeriesOptions& options);

// Reads the instances of `sources` (each one file) and opens their series;
// `name` names it in messages (a folder, say; empty: the files' names).
slide::SlideResult<std::shared_ptr<const slide::Slide>> open_files(
    std::vector<std::shared_ptr<std_io::RangeSource>> sources, const SeriesOptions& options,
    std::string name = {});

// The pixels of one RLE Lossless frame, unpacked (samples interleaved, each
// sample's bytes most significant first as the segments hold them, then put in
// little-endian order). Fails in words on a malformed frame.
Result<Bytes, std::string> unpack_rle(ByteSpan frame, std::uint64_t columns, std::uint64_t rows,
                                      std::uint64_t samples, std::uint64_t bytes_per_sample);

// The values of a run of fragment items (item headers cut out; a sequence
// delimiter ends it). Fails in words on anything else in the run.
Result<Bytes, std::string> join_fragments(ByteSpan items);

}  // namespace kolva::dicom
