#pragma once

// NDPI levels cut into square tiles of the caller's size. A level is stored as
// one JPEG whose restart intervals are stripes one MCU high (often a whole MCU
// row wide). A tile is made from the stripes that cover it: their intervals are
// joined, restart markers renumbered, into one JPEG "band" under the level's
// own header, and the tile is cropped out of that band in the DCT domain
// (jpeg_tools::lossless_crops), so it decodes to exactly the pixels the level
// holds there. One band serves every tile of a tile row that it covers, so a
// batch cuts all its tiles of one row with a single entropy decode.
//
// When a level's restart intervals are whole MCU rows, a band is made only as
// wide as its rightmost tile needs: the frame and the restart interval shrink to
// that width, and the decoder skips the rest of each row's data at the restart
// marker instead of decoding it.
//
// The grid is OpenSlide's: ceil(width / size) x ceil(height / size) tiles, and
// the tiles of the last column and row are cut to the level's edge (their JPEG
// frame is smaller than the tile size), never padded.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "drivers/hamamatsu/format/ndpi/ndpi.hpp"
#include "jpeg_tools/transform.hpp"
#include "slide/slide.hpp"

namespace kolva::drivers {

using slide::Level;
using slide::RangeList;
using slide::SlideResult;
using slide::Tiler;

// The stripes of one tile row of one level, over a run of restart intervals,
// and the crops to cut from them (band pixel coordinates).
struct NdpiBand {
  std::uint64_t level = 0;
  std::uint64_t first_mcu_row = 0;
  std::uint64_t mcu_rows = 0;
  std::uint64_t first_interval = 0;  // within one MCU row
  std::uint64_t interval_count = 0;
  std::uint32_t width = 0;   // pixels
  std::uint32_t height = 0;  // pixels
  std::vector<jpeg_tools::CropRect> crops;
  std::vector<std::uint64_t> columns;  // the tile column of each crop
};

class NdpiTiling {
 public:
  // SlideError Invalid when `tile_size` is no multiple of a level's MCU size
  // or larger than a JPEG frame may be.
  static SlideResult<std::shared_ptr<const NdpiTiling>> make(
      const format::ndpi::NdpiDecoder& decoder, std::uint64_t tile_size, std::string name);

  std::uint64_t tile_size() const { return tile_size_; }
  std::uint64_t level_count() const { return levels_.size(); }
  LevelInfo level_info(std::uint64_t level) const;

  // The bands that hold tiles (x, y) of `level` for the sorted, distinct
  // columns `xs`, split where one band would grow past the band width limit.
  // The caller has checked that the tiles exist.
  SlideResult<std::vector<NdpiBand>> bands(std::uint64_t level, std::uint64_t y,
                                           std::span<const std::uint64_t> xs) const;
  // The file ranges a band's stripes lie in (back-to-back stripes merged).
  RangeList ranges(const NdpiBand& band) const;
  // The band's tiles, one per crop, from the bytes of its ranges in order.
  SlideResult<std::vector<Bytes>> cut(const NdpiBand& band, std::span<const ByteSpan> pieces) const;

 private:
  NdpiTiling() = default;
  std::vector<format::ndpi::Level> levels_;
  // Where each level header's DRI segment starts (its 0xFF), when it has one.
  std::vector<std::optional<std::size_t>> dri_offsets_;
  std::uint64_t tile_size_ = 0;
  std::string name_;
};

// The tiler of NDPI levels cut into tiles of `tile_size` (`levels` take the
// new grids): a batch cuts a band's tiles together.
SlideResult<std::shared_ptr<const Tiler>> ndpi_tiler(const format::ndpi::NdpiDecoder& decoder,
                                                     std::uint64_t tile_size,
                                                     const std::string& name,
                                                     std::vector<Level>& levels);

}  // namespace kolva::drivers
