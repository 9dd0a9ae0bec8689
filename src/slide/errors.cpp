#include "slide/errors.hpp"

#include <cstring>

namespace kolva::slide::errors {

SlideError level_not_found(std::uint64_t level, std::uint64_t level_count) {
  return SlideError{ErrorKind::LevelNotFound,
                    "level " + std::to_string(level) + " does not exist: the slide has " +
                        (level_count == 0 ? std::string("no levels")
                                          : std::to_string(level_count) +
                                                (level_count == 1 ? " level" : " levels")),
                    KolvaError::LevelNotFound{level, level_count}};
}

SlideError tile_outside(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                        std::pair<std::uint64_t, std::uint64_t> grid,
                        std::optional<KolvaError> cause) {
  return SlideError{ErrorKind::TileNotFound,
                    "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                        std::to_string(level) + " does not exist: the level has " +
                        std::to_string(grid.first) + " x " + std::to_string(grid.second) + " tiles",
                    cause ? std::move(cause) : KolvaError::TileNotFound{x, y, 0}};
}

SlideError tile_not_stored(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                           std::optional<KolvaError> cause) {
  return SlideError{ErrorKind::TileNotFound,
                    "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                        std::to_string(level) + " is not stored in the file",
                    cause ? std::move(cause) : KolvaError::TileNotFound{x, y, 0}};
}

SlideError wrong_tile_size() {
  return SlideError{ErrorKind::Corrupt, "a tile was read into a buffer of the wrong size", std::nullopt};
}

SlideError bad_tile_rects(const std::string& name, std::uint64_t level, std::uint64_t rects,
                          std::uint64_t tiles) {
  return SlideError{ErrorKind::Corrupt,
                    name + ": level " + std::to_string(level) + " records " +
                        std::to_string(rects) + " tile rectangles for " + std::to_string(tiles) +
                        " tiles",
                    std::nullopt};
}

SlideError associated_not_found(const std::string& image, std::span<const std::string> names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return SlideError{ErrorKind::NotFound,
                    "associated image '" + image + "' does not exist: the slide has " +
                        (list.empty() ? std::string("none") : list),
                    std::nullopt};
}

SlideError plane_not_found(std::string_view axis, const std::string& chosen,
                           std::span<const std::string> offered) {
  std::string plural(axis);
  plural += axis == "series" ? "" : "s";
  std::string list;
  for (const std::string& n : offered) list += (list.empty() ? "" : ", ") + n;
  for (char& c : plural) c = c == '_' ? ' ' : c;
  std::string word(axis);
  for (char& c : word) c = c == '_' ? ' ' : c;
  return SlideError{ErrorKind::Invalid,
                    "the slide has no " + word + " " + chosen + ": it has " +
                        (offered.size() == 1 ? "one " + word + ", " + list : plural + " " + list),
                    std::nullopt};
}

SlideError unsupported(const std::string& name, const std::string& reason,
                       std::optional<KolvaError> cause) {
  return SlideError{ErrorKind::Unsupported, name + " is not a slide kolva can read: " + reason,
                    std::move(cause)};
}

SlideError not_composable(const std::string& name, const std::string& series,
                          const std::string& why) {
  return SlideError{ErrorKind::Unsupported,
                    name + ": its images cannot be composed into series '" + series + "': " + why,
                    std::nullopt};
}

namespace {

std::string sop_class_name(const std::string& uid) {
  if (uid == "1.2.840.10008.5.1.4.1.1.66.4") return "a segmentation (" + uid + ")";
  if (uid == "1.2.840.10008.5.1.4.1.1.88.33" || uid == "1.2.840.10008.5.1.4.1.1.88.22" ||
      uid == "1.2.840.10008.5.1.4.1.1.88.11") {
    return "a structured report (" + uid + ")";
  }
  if (uid == "1.2.840.10008.5.1.4.1.1.91.1") {
    return "a microscopy bulk simple annotations object (" + uid + ")";
  }
  if (uid == "1.2.840.10008.5.1.4.1.1.11.1") return "a presentation state (" + uid + ")";
  if (uid == "1.2.840.10008.5.1.4.1.1.77.1.2") return "a VL microscopic image (" + uid + ")";
  if (uid.empty()) return "a DICOM object without a SOP class";
  return "a DICOM object of SOP class " + uid;
}

}  // namespace

SlideError not_whole_slide(const std::string& name, const std::string& sop_class, bool holds) {
  return unsupported(name, std::string(holds ? "it holds " : "it is ") + sop_class_name(sop_class) +
                               ", not a whole-slide image (VL Whole Slide Microscopy Image "
                               "Storage)");
}

std::string source_failure(const KolvaError& cause) {
  if (const auto* io = cause.get_if<KolvaError::IoError>()) return std::strerror(io->error.code);
  return cause.display();
}

SlideError cannot_read(const std::string& name, const KolvaError& cause) {
  return SlideError{ErrorKind::Io, "cannot read " + name + ": " + source_failure(cause), cause};
}

SlideError cannot_open(const std::string& name, const OsError& cause) {
  return SlideError{ErrorKind::Io,
                    "cannot open " + name + ": " + std::strerror(cause.code),
                    KolvaError::IoError{cause}};
}

SlideError tile_undecodable(const std::string& name, std::uint64_t level, std::uint64_t x,
                            std::uint64_t y, const std::string& reason) {
  return SlideError{ErrorKind::Corrupt,
                    name + ": tile (" + std::to_string(x) + ", " + std::to_string(y) +
                        ") of level " + std::to_string(level) + " does not decode: " + reason,
                    std::nullopt};
}

SlideError missing_companions(const std::string& name, const std::string& detail,
                              const std::string& expected, const std::string& folder,
                              bool remote) {
  std::string message = "cannot open " + name + ": its pixels are kept in companion files" +
                        detail + ", and none was found: expected " + expected + " beside it";
  if (remote) {
    message += "; none answered under the usual names either, so the server must list the folder " +
               folder + "/ for them to be found";
  }
  return SlideError{ErrorKind::MissingFile, std::move(message), std::nullopt};
}

SlideError read_failed(const std::string& name, const KolvaError& cause) {
  if (cause.is<KolvaError::IoError>()) return cannot_read(name, cause);
  return SlideError{ErrorKind::Corrupt,
                    name + " is damaged: a tile's bytes lie beyond the end of the file or are "
                           "malformed (" + cause.debug() + ")",
                    cause};
}

}  // namespace kolva::slide::errors
