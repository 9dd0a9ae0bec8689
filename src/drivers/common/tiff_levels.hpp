#pragma once

// Pyramid levels from chosen TIFF directories, each tile handed out whole and
// never decoded, for drivers that pick their levels themselves (main-chain
// pages, SubIFDs, one page per channel):
//  * tiled directories: JPEG tiles as stored (spliced with JPEGTables; RGB-coded
//    JPEG gets the Adobe "no transform" marker), JPEG 2000, WebP, JPEG XL, PNG
//    and JPEG XR tiles as stored, LZW, Deflate, Zstd, PackBits and uncompressed
//    tiles wrapped unchanged in a one-directory TIFF (one header per level,
//    each tile writing its byte count over it);
//  * stripped directories: tiles of whole image width made of consecutive
//    strips, about 256 rows each: wrapped unchanged in a one-directory TIFF,
//    or, for JPEG, the strip itself (one per tile) or the strips joined into
//    one baseline JPEG with restart markers (jpeg_join) when they join
//    losslessly. A tile of the last row holds the rows that remain.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "slide/errors.hpp"
#include "slide/slide.hpp"

namespace kolva::drivers {

struct CodecPyramid {
  std::vector<slide::Level> levels;
  std::shared_ptr<const slide::Tiler> tiler;
};

// The levels of `ifds`, in the order given (each with its media type,
// photometric interpretation and ICC profile; downsamples left at 1), in a
// TIFF of byte order `order` whose chunks are in source `source`; or why they
// cannot be handed out, in words ("tiled TIFF whose level 1 has no usable tile
// size", ...). `directories`, when given, owns `ifds` and is kept by the
// levels, which then read their tile tables where they are instead of copying.
// Tables a directory left in the file (Ifd::in_file) are read from source
// `source` of `tables_from` the first time a tile of their level is planned;
// without `tables_from` such a level has no usable tables.
Result<CodecPyramid, std::string> plan_tiff_levels(std::span<const tiff_tools::Ifd* const> ifds,
                                                   ByteOrder order,
                                                   slide::SourceIndex source = 0,
                                                   std::shared_ptr<const void> directories = {},
                                                   const slide::SourceSet* tables_from = nullptr);

// Reads the values `ifd` left in the file (source 0 of `sources`) and fills
// them in, for an opening that needs them now (an associated image's strips,
// the smallest level's ranges for the slide's hash).
// The bytes read come out of `budget` when given (an opening filling in many
// directories), else out of a source's read budget (std_io::read_budget).
slide::SlideResult<Unit> fill_in_file(const slide::SourceSet& sources,
                                      const tiff_tools::Ifd& ifd, ByteOrder order,
                                      std::atomic<std::uint64_t>* budget = nullptr);

// A slide's parts whose levels are `ifds` (plan_tiff_levels, downsamples from
// the level sizes; `directories` as there) and whose planes are `planes`; when
// the levels cannot be handed out, UnsupportedFormat naming the slide, the
// reason after `prefix`.
slide::SlideResult<slide::SlideParts> tiff_level_parts(
    const slide::SourceSet& sources, std::span<const tiff_tools::Ifd* const> ifds, ByteOrder order,
    std::shared_ptr<const void> directories, slide::Planes planes = {},
    const std::string& prefix = {});

// Adds the image stored in `ifd`, with its ICC profile, as the associated image
// `name`, unless the parts already have one so named or it cannot be handed
// out; its tables still in the file are read from `sources` first (the error
// when they cannot be).
slide::SlideResult<Unit> add_stored_image(slide::SlideParts& parts,
                                          const slide::SourceSet& sources,
                                          const tiff_tools::Ifd& ifd, ByteOrder order,
                                          const std::string& name);

// slide::tiff_hash_input of `smallest` (the smallest level's directory) and
// `first`, worked out when the slide's hash input is first asked for
// (SlideParts::hash_input_later); `owner` keeps both directories alive until
// then. The tables `smallest` left in the file are read then, into the hash
// input alone: the directory is not changed.
std::function<slide::SlideResult<std::optional<slide::HashInput>>(const slide::SourceSet&)>
tiff_hash_later(std::shared_ptr<const void> owner, const tiff_tools::Ifd& smallest,
                const tiff_tools::Ifd& first, ByteOrder order);

// The media type of tiles in TIFF compression `code` as this layer hands them
// out ("image/tiff" for wrapped ones); empty when it cannot.
std::string_view tile_media_type(std::uint64_t code);

}  // namespace kolva::drivers
