#include "slide/media.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace kolva::slide {
namespace {

// transfer_syntax: the one DICOMweb assumes for a frame of the type that names none.
constexpr std::array<MediaType, 18> kMediaTypes{{
    {"image/jpeg", "jpg", true, "jpeg8", "1.2.840.10008.1.2.4.50"},
    {"image/jp2", "j2k", false, "jpeg2k", "1.2.840.10008.1.2.4.90"},
    {"image/j2k", "j2k", false, "jpeg2k", "1.2.840.10008.1.2.4.90"},
    {"image/jpx", "jpx", false, "jpeg2k", ""},
    {"image/jphc", "jhc", false, "jpeg2k", "1.2.840.10008.1.2.4.201"},
    {"image/jls", "jls", false, "jpegls", "1.2.840.10008.1.2.4.80"},
    {"image/x-jls", "jls", false, "jpegls", "1.2.840.10008.1.2.4.80"},
    {"image/jxl", "jxl", true, "jpegxl", "1.2.840.10008.1.2.4.110"},
    {"image/tiff", "tif", false, "tiff", ""},
    {"image/png", "png", true, "png", ""},
    {"image/webp", "webp", true, "webp", ""},
    {"image/gif", "gif", true, "gif", ""},
    {"image/bmp", "bmp", true, "bmp", ""},
    {"image/avif", "avif", true, "avif", ""},
    {"image/jxr", "jxr", false, "jpegxr", ""},
    {"image/dicom-rle", "rle", false, "", "1.2.840.10008.1.2.5"},
    {"image/x-dicom-rle", "rle", false, "", "1.2.840.10008.1.2.5"},
    {"application/octet-stream", "bin", true, "", "1.2.840.10008.1.2.1"},
}};

bool same_type(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::span<const MediaType> media_types() { return kMediaTypes; }

const MediaType* find_media_type(std::string_view type) {
  for (const MediaType& m : kMediaTypes) {
    if (same_type(m.type, type)) return &m;
  }
  return nullptr;
}

std::string_view media_extension(std::string_view type, ByteSpan head) {
  static constexpr std::uint8_t kJp2[] = {0, 0, 0, 12, 'j', 'P'};
  if (same_type(type, "image/jp2") && head.size() >= sizeof kJp2 &&
      std::equal(std::begin(kJp2), std::end(kJp2), head.begin())) {
    return "jp2";
  }
  const MediaType* m = find_media_type(type);
  return m ? m->extension : std::string_view("bin");
}

}  // namespace kolva::slide
