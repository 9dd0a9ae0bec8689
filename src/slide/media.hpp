#pragma once

// The media types tiles and associated images are handed out as, in the one
// table every layer asks: the file extension their bytes get, whether browsers
// show them as stored, the codec that decodes them (named as imagecodecs names
// its decoders) and the DICOM transfer syntax DICOMweb assumes for frames of
// that type when a response names none.
// Bare JPEG 2000 codestreams are labelled image/jp2, as DICOMweb does; they are
// `.j2k` files, and a JP2 file (told apart by its first bytes) is `.jp2`.

#include <span>
#include <string_view>

#include "base/base.hpp"

namespace kolva::slide {

struct MediaType {
  std::string_view type;
  std::string_view extension;  // without the dot
  bool displayable;            // shown by browsers as stored
  std::string_view codec;      // "jpeg8", "jpeg2k", "jpegls", ...; "" when none decodes it
  std::string_view transfer_syntax;  // DICOMweb's default for the type; "" when none
};

std::span<const MediaType> media_types();

// The row of `type` (compared without case), or nullptr.
const MediaType* find_media_type(std::string_view type);

// The file extension of bytes of `type` starting with `head`; "bin" when unknown.
std::string_view media_extension(std::string_view type, ByteSpan head = {});

}  // namespace kolva::slide
