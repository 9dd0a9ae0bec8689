#pragma once

// Associated images (label, macro, thumbnail, map) found in a slide's TIFF
// directories, planned when the slide opens and read on demand, never decoded:
//
//  * JPEG strips become one JPEG: a single strip is spliced with the
//    directory's tables; several are joined with restart markers (jpeg_join);
//    RGB-coded JPEG gets the Adobe "no transform" marker.
//  * LZW, Deflate, Zstd, PackBits and uncompressed strips are wrapped unchanged
//    in a one-directory TIFF (tiff_wrap), as are JPEG strips that cannot be
//    joined; the header is made when the image is read.
//
// Each driver names its images (OpenSlide's names) and plans those stored
// elsewhere (a complete JPEG in one strip, or in the vendor's XML) itself.

#include <optional>
#include <string>
#include <vector>

#include "slide/slide.hpp"

namespace kolva::slide {

// Whether `images` has one named `name`.
bool has_image(const std::vector<AssociatedImage>& images, const std::string& name);

// The plan of a stripped (or single-tile) image stored in `ifd`, named `name`;
// nothing when its strips are missing, empty or in a codec that cannot be
// handed out whole.
std::optional<AssociatedImage> plan_stored_image(const tiff_tools::Ifd& ifd, ByteOrder order,
                                                 std::string name);

// Width and height from a JPEG's frame header.
std::optional<std::pair<std::uint64_t, std::uint64_t>> jpeg_dimensions(ByteSpan jpeg);

// Width and height of the JPEG stored as `jpeg` (one range), read from its
// frame header: in its first 4 KiB, where a scanner writes it, else (behind a
// large application segment) in its first 64 KiB. Nothing when neither holds
// one; the read's failure as an error.
SlideResult<std::optional<std::pair<std::uint64_t, std::uint64_t>>> stored_jpeg_dimensions(
    const SourceSet& sources, const Range& jpeg);

}  // namespace kolva::slide
