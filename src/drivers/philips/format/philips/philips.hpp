#pragma once

// Philips TIFF: tiled JPEG pyramids sharing their tables through JPEGTables.
// Only directories that carry the Philips signature (Software beginning with
// "Philips"), an ImageDescription and JPEG compression are levels; tiles are
// read as for a plain tiled TIFF.

#include <cstdint>
#include <optional>
#include <vector>

#include "base/base.hpp"
#include "drivers/generic_tiff/format/generic_tiff/generic_tiff.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::format::philips {

struct Level : generic_tiff::Level {
  static std::optional<Level> from_ifd(const tiff_tools::Ifd& ifd);
};

class PhilipsDecoder {
 public:
  static KolvaResult<PhilipsDecoder> with_ifds(const std::vector<tiff_tools::Ifd>& ifds);

  KolvaResult<generic_tiff::ReadTile> read_tile(std::uint64_t level, std::uint64_t x,
                                                std::uint64_t y) const;
  std::optional<LevelInfo> get_level(std::uint64_t level) const;
  std::uint64_t level_count() const { return levels_.size(); }
  const std::vector<Level>& levels() const { return levels_; }

 private:
  std::vector<Level> levels_;
};

}  // namespace kolva::format::philips
