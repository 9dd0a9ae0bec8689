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
// unpacked into one. Every planned range names the source of its instance.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drivers/dicom/parser.hpp"
#include "slide/slide.hpp"
#include "slide/source_set.hpp"
#include "std_io/source.hpp"

namespace kolva::dicom {

struct SeriesOptions {
  std::string series;        // SeriesInstanceUID to take from several; empty: the only one
  std::uint64_t focal_plane = 0;  // index into the focal planes, lowest first
  std::string optical_path;  // OpticalPathIdentifier; empty: the first
  bool named = false;        // the instances were named one by one (not found in a folder)
  // The instance the user named, when the others were found beside it: its
  // series is the one opened, and it must be a whole-slide instance.
  std::optional<std::size_t> anchor;
  std::string series_name;  // what messages call the series (a folder); empty: source 0's
};

// A parsed instance, the source it is read from and its name (for messages).
struct SeriesMember {
  Instance instance;
  std::string name;
  slide::SourceIndex source = 0;
};

// The files of a series named one by one (paths or URLs), as the siblings of
// the first: listing gives their names, opening one its source.
class NamedSiblings final : public slide::Siblings {
 public:
  explicit NamedSiblings(std::vector<std::shared_ptr<std_io::RangeSource>> files)
      : files_(std::move(files)) {}
  slide::SlideResult<std::vector<std::string>> list(const std::string& folder) override;
  slide::SlideResult<std::shared_ptr<std_io::RangeSource>> open(const std::string& name) override;

 private:
  std::vector<std::shared_ptr<std_io::RangeSource>> files_;
};

// The options of a DICOM opening, from the slide's open options.
SeriesOptions series_options(const slide::OpenOptions& options);

// The parts of the slide of `members`; `name` names the series in messages.
slide::SlideResult<slide::SlideParts> open_series(const std::string& name,
                                                  std::vector<SeriesMember> members,
                                                  const SeriesOptions& options);

// Reads the instances among the sources of `sources`: source 0 and every
// sibling file beside it (files that are no DICOM are passed over), then opens
// their series.
slide::SlideResult<slide::SlideParts> open_instances(slide::SourceSet& sources,
                                                     const SeriesOptions& options);

// The pixels of one RLE Lossless frame, unpacked (samples interleaved, each
// sample's bytes most significant first as the segments hold them, then put in
// little-endian order). Fails in words on a malformed frame.
Result<Bytes, std::string> unpack_rle(ByteSpan frame, std::uint64_t columns, std::uint64_t rows,
                                      std::uint64_t samples, std::uint64_t bytes_per_sample);

// The values of a run of fragment items (item headers cut out; a sequence
// delimiter ends it). Fails in words on anything else in the run.
Result<Bytes, std::string> join_fragments(ByteSpan items);

}  // namespace kolva::dicom
