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

SlideError associated_not_found(const std::string& image, std::span<const std::string> names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return SlideError{ErrorKind::NotFound,
                    "associated image '" + image + "' does not exist: the slide has " +
                        (list.empty() ? std::string("none") : list),
                    std::nullopt};
}

SlideError unsupported(const std::string& name, const std::string& reason,
                       std::optional<KolvaError> cause) {
  return SlideError{ErrorKind::Unsupported, name + " is not a slide kolva can read: " + reason,
                    std::move(cause)};
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

SlideError read_failed(const std::string& name, const KolvaError& cause) {
  if (cause.is<KolvaError::IoError>()) return cannot_read(name, cause);
  return SlideError{ErrorKind::Corrupt,
                    name + " is damaged: a tile's bytes lie beyond the end of the file or are "
                           "malformed (" + cause.debug() + ")",
                    cause};
}

}  // namespace kolva::slide::errors
