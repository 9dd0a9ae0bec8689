#pragma once

// The errors of the package's layer, and every message a user reads from it,
// built in one place: "level 3 does not exist: the slide has 3 levels".
// Drivers, the Slide, the read executor and the shard writer call these
// builders instead of writing the words themselves.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "error/error.hpp"

namespace kolva::slide {

// What kind of failure a SlideError reports; the Python layer maps each to an
// exception class.
enum class ErrorKind : std::uint8_t {
  Unsupported,    // not a slide this library reads
  LevelNotFound,  // a level number past the last level
  TileNotFound,   // a tile outside the grid, or not stored
  NotFound,       // an associated image that does not exist
  MissingFile,    // a file the slide keeps its pixels in (a companion) is not there
  Io,             // the byte source failed (file system, network)
  Corrupt,        // the file claims something it does not hold
  Invalid,        // a bad argument (a tile size that is no MCU multiple)
};

// A failure in words a user understands, with the core's error as its cause.
struct SlideError {
  ErrorKind kind;
  std::string message;
  std::optional<KolvaError> cause;
};

template <class T>
using SlideResult = Result<T, SlideError>;

namespace errors {

// "level 3 does not exist: the slide has 3 levels"
SlideError level_not_found(std::uint64_t level, std::uint64_t level_count);
// "tile (9, 1) of level 0 does not exist: the level has 4 x 3 tiles"
SlideError tile_outside(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                        std::pair<std::uint64_t, std::uint64_t> grid,
                        std::optional<KolvaError> cause = std::nullopt);
// A tile whose bytes do not fill the caller's place for it exactly:
// "a tile was read into a buffer of the wrong size"
SlideError wrong_tile_size();
// "tile (1, 2) of level 0 is not stored in the file"
SlideError tile_not_stored(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                           std::optional<KolvaError> cause = std::nullopt);
// A driver's positioned level whose rectangles do not match its grid:
// "<name>: level 1 records 5 tile rectangles for 6 tiles"
SlideError bad_tile_rects(const std::string& name, std::uint64_t level, std::uint64_t rects,
                          std::uint64_t tiles);
// "associated image 'x' does not exist: the slide has label, macro"
SlideError associated_not_found(const std::string& image, std::span<const std::string> names);
// "the slide has no channel 'CD8': it has channels DAPI, CD3" (Invalid)
SlideError plane_not_found(std::string_view axis, const std::string& chosen,
                           std::span<const std::string> offered);
// "<name> is not a slide kolva can read: <reason>"
SlideError unsupported(const std::string& name, const std::string& reason,
                       std::optional<KolvaError> cause = std::nullopt);
// A series made of several images, chosen, whose images do not agree (as
// OpenSlide refuses them): "<name>: its images cannot be composed into series
// 'collection': <why>" (Unsupported).
SlideError not_composable(const std::string& name, const std::string& series,
                          const std::string& why);
// A DICOM object of another class than VL Whole Slide Microscopy Image
// Storage: "<name> is not a slide kolva can read: it is a segmentation
// (1.2.840.10008.5.1.4.1.1.66.4), not a whole-slide image (...)"; `holds` for a
// series of such objects only ("it holds ...").
SlideError not_whole_slide(const std::string& name, const std::string& sop_class,
                           bool holds = false);
// "cannot read <name>: <the system's words>"
SlideError cannot_read(const std::string& name, const KolvaError& cause);
// "cannot open <name>: No such file or directory"
SlideError cannot_open(const std::string& name, const OsError& cause);
// "<name>: tile (3, 1) of level 0 does not decode: <reason>"
SlideError tile_undecodable(const std::string& name, std::uint64_t level, std::uint64_t x,
                            std::uint64_t y, const std::string& reason);
// A slide whose pixels lie in companion files of which none was found:
// "cannot open <name>: its pixels are kept in companion files<detail>, and none
// was found: expected <expected> beside it". `remote`: the usual names were
// tried where `folder` could not be listed, so the message says the server must
// list it (MissingFile).
SlideError missing_companions(const std::string& name, const std::string& detail,
                              const std::string& expected, const std::string& folder,
                              bool remote);
// A failed read of a tile's bytes: Io for the source, Corrupt for the file.
SlideError read_failed(const std::string& name, const KolvaError& cause);

// A failure of the byte source in words: the system's message for an
// operating-system error ("Is a directory"), the core's display otherwise.
std::string source_failure(const KolvaError& cause);

}  // namespace errors
}  // namespace kolva::slide
