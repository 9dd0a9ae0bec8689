#pragma once

// Associated images (label, macro, thumbnail, map) found in a slide's TIFF
// directories, planned when the slide opens and read on demand, never decoded:
//
//  * JPEG strips become one JPEG: a single strip is spliced with the
//    directory's tables; several are joined with restart markers (jpeg_join);
//    RGB-coded JPEG gets the Adobe "no transform" marker.
//  * LZW, Deflate, Zstd, PackBits and uncompressed strips are wrapped unchanged
//    in a one-directory TIFF (tiff_wrap), as are JPEG strips that cannot be
//    joined.
//  * Complete JPEG files stored as one strip (NDPI macro) or inside the Philips
//    XML (base64) are handed out as they are.
//
// Names follow OpenSlide: Aperio "thumbnail", "label", "macro"; NDPI "macro"
// and "map"; Philips "label" and "macro".

#include <optional>
#include <string>
#include <vector>

#include "slide/slide.hpp"

namespace kolva::slide {

// The associated images of an Aperio SVS ("thumbnail", "label", "macro"), of a
// Philips TIFF ("label", "macro", from strips or the XML) and of an NDPI file
// ("macro", "map"), from their directories.
std::vector<AssociatedImage> aperio_images(const std::vector<tiff_tools::Ifd>& ifds,
                                           ByteOrder order);
std::vector<AssociatedImage> philips_images(const std::vector<tiff_tools::Ifd>& ifds,
                                            ByteOrder order);
std::vector<AssociatedImage> ndpi_images(const std::vector<tiff_tools::Ifd>& ifds);

// The plan of a stripped (or single-tile) image stored in `ifd`, named `name`;
// nothing when its strips are missing, empty or in a codec that cannot be
// handed out whole.
std::optional<AssociatedImage> plan_stored_image(const tiff_tools::Ifd& ifd, ByteOrder order,
                                                 std::string name);

// The images embedded as base64 JPEG in a Philips DPUfsImport description:
// (name, JPEG bytes) for LABELIMAGE -> "label" and MACROIMAGE -> "macro".
std::vector<std::pair<std::string, Bytes>> philips_xml_images(const std::string& xml);

// Width and height from a JPEG's frame header.
std::optional<std::pair<std::uint64_t, std::uint64_t>> jpeg_dimensions(ByteSpan jpeg);

}  // namespace kolva::slide
