#pragma once

// A driver reads one family of slide formats: it recognises its files, opens
// them over a SourceSet (asking for sibling files by relative name when a
// slide spans several), and hands over the slide's parts: levels (each with
// its media type), a Tiler that plans tile reads (every range naming its
// source), properties and associated images.
//
// Adding a family:
//  1. a folder src/drivers/<family>/ with <family>.hpp/.cpp defining a class
//     derived from Driver (detection as a few guard clauses over the Probe,
//     no I/O; open() reading only through the SourceSet), and beside it all
//     the family's own code: its decoders (format/), properties, associated
//     images and tiling;
//  2. one line in the ordered list of src/drivers/registry.cpp;
//  3. its tests (tests/cpp/drivers/), fixtures (tests/fixtures/) and fuzz seeds.
// Nothing else names the family: the Python package, the command line and the
// server take its name, vendor and media types from the opened slide.

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/bytes.hpp"
#include "dynamic_decoder/dynamic_decoder.hpp"
#include "slide/slide.hpp"
#include "std_io/source.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::drivers {

using slide::Family;
using slide::OpenOptions;
using slide::SlideError;
using slide::SlideParts;
using slide::SlideResult;
using slide::SourceSet;

// The TIFF directories of the first source, read once for every driver.
struct TiffDirectories {
  std::vector<tiff_tools::Ifd> ifds;
  ByteOrder order = ByteOrder::Little;
  // Read as TIFF or BigTIFF; false when a driver's own directory reader found
  // them in a file no TIFF reader takes.
  bool standard = true;
};

// Tile and strip tables of this many bytes or more stay in the file when the
// registry reads a TIFF's directories (tiff_tools::Ifd::in_file): an opening
// reads only those it uses. A driver that copes says so (reads_tables_in_file);
// for every other the registry fills them in before it opens.
inline constexpr std::uint64_t kTablesInFile = 2 << 10;

// What every driver sees before it decides, read once by the registry.
struct Probe {
  ByteSpan head;                         // up to the first 512 bytes of source 0
  std::string file_name;                 // "slide.vsi" (no folder)
  // When source 0 has TIFF directories; shared, so that what a driver works
  // out later (its properties) may keep them without a copy.
  std::shared_ptr<const TiffDirectories> tiff;
  // The lower-cased extension of the file name with its dot: ".vsi"; "" without one.
  std::string extension() const;
  // The first directory of a standard (not NDPI-style) TIFF; null otherwise.
  const tiff_tools::Ifd* first_ifd() const {
    return tiff && tiff->standard && !tiff->ifds.empty() ? &tiff->ifds[0] : nullptr;
  }
  // What the specified decoders take a standard TIFF for (classify_tiff), worked
  // out for the first driver that asks; nothing when there is no standard TIFF.
  std::optional<dynamic_decoder::TiffFamily> specified_family() const;
  mutable std::optional<dynamic_decoder::TiffFamily> specified_family_ = {};
};

// A driver that looked closer and found the file is not its own; the registry
// asks the next one. `cause` is the core's reason, kept for the final refusal.
struct Declined {
  std::optional<KolvaError> cause;
};

using Opening = std::variant<SlideParts, Declined>;

class Driver {
 public:
  virtual ~Driver() = default;
  virtual const Family& family() const = 0;
  // Whether the file may be this family's: guard clauses over the probe.
  virtual bool detect(const Probe& probe) const = 0;
  // Opens the slide: its parts, Declined to let later drivers try, or an error
  // that ends the opening (an unreadable source, a file of this family that
  // kolva cannot read).
  virtual SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                                    const OpenOptions& options) const = 0;
  // Whether open() takes directories whose large tables are still in the file
  // (kTablesInFile): it plans its levels with the sources to read them from
  // and fills in what it needs at once (fill_in_file).
  virtual bool reads_tables_in_file() const { return false; }
  // The directories of a file that no TIFF reader reads but this family
  // stores its own way, asked of every driver in order before any detects;
  // nothing by default. The outer error is a failure of the source.
  virtual SlideResult<std::optional<std::vector<tiff_tools::Ifd>>> own_directories(
      std_io::RangeSource& /*source*/) const {
    return std::optional<std::vector<tiff_tools::Ifd>>();
  }
};

}  // namespace kolva::drivers
