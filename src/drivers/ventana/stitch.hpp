#pragma once

// What a Roche/Ventana slide's XMP packets say, parsed without I/O:
//
//  * the `iScan` element (the first directory's XMP, alone or inside
//    `Metadata`): the scanner's attributes, which become `ventana.<name>`;
//  * level 0's `EncodeInfo` (BIF only): the scanned areas (AOIs), each a block
//    of stored tiles at a tile-aligned origin in level 0's TIFF grid, numbered
//    in a serpentine from the bottom-left tile, and the joints measured
//    between neighbouring tiles (RIGHT, LEFT, UP, DOWN with their overlaps).
//
// stitch() places the tiles as OpenSlide does: one advance per axis, the tile
// size less the confidence-weighted mean overlap of every joint of the
// scanned areas along it; each area at its Pos-X and its Pos-Y turned from a
// baseline below every area into a distance from the top.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.hpp"

namespace kolva::drivers::ventana {

using Attributes = std::vector<std::pair<std::string, std::string>>;

// The iScan element's attributes in document order, or nothing when the packet
// is no iScan XML.
std::optional<Attributes> parse_iscan(std::string_view xmp);

struct Joint {
  std::uint64_t tile1 = 0, tile2 = 0;  // 1-based serpentine numbers in the area
  bool horizontal = true;              // RIGHT / LEFT; false: UP / DOWN
  double overlap_x = 0, overlap_y = 0;
  double confidence = 0;
};

struct Area {
  bool scanned = true;
  std::uint64_t tile_width = 0, tile_height = 0;
  std::uint64_t cols = 0, rows = 0;
  double pos_x = 0, pos_y = 0;
  std::uint64_t origin_x = 0, origin_y = 0;  // level-0 pixels of the TIFF grid
  std::vector<Joint> joints;
};

// Level 0's EncodeInfo, or why it cannot be used, in words. Nothing at all
// when the packet holds no EncodeInfo (a Ventana TIF).
Result<std::optional<std::vector<Area>>, std::string> parse_encode_info(std::string_view xmp);

// A scanned area placed in level 0.
struct Placed {
  std::uint64_t start_col = 0, start_row = 0;  // its first tile in the TIFF grid
  std::uint64_t cols = 0, rows = 0;
  double x = 0, y = 0;                         // its top-left tile, level-0 pixels
  double width = 0, height = 0;
};

struct Stitch {
  double advance_x = 0, advance_y = 0;
  std::vector<Placed> areas;  // the scanned ones, in file order
  double width = 0, height = 0;  // the bounding box of every placed tile, from 0
};

// Places the scanned areas of a level 0 with tiles of tile_width x tile_height
// in a grid of grid_cols x grid_rows; why not, in words (tile sizes that
// differ from the TIFF's, areas outside the grid, joints between tiles that
// are not neighbours, no scanned area).
Result<Stitch, std::string> stitch(const std::vector<Area>& areas, std::uint64_t tile_width,
                                   std::uint64_t tile_height, std::uint64_t grid_cols,
                                   std::uint64_t grid_rows);

// (col, row) in its area, row 0 at the top, of 1-based serpentine tile `n`.
std::pair<std::uint64_t, std::uint64_t> serpentine(std::uint64_t n, std::uint64_t cols,
                                                   std::uint64_t rows);

}  // namespace kolva::drivers::ventana
