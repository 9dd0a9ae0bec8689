#include "slide/describe.hpp"


namespace kolva::slide {

const char* compression_name(std::uint64_t code) {
  switch (code) {
    case 1: return "uncompressed";
    case 5: return "LZW";
    case 6: return "old-style JPEG";
    case 7: return "JPEG";
    case 8:
    case 32946: return "Deflate";
    case 32773: return "PackBits";
    case 33003:
    case 33004:
    case 33005:
    case 34712: return "JPEG 2000";
    case 34887: return "LERC";
    case 34933: return "PNG";
    case 34934:
    case 22610: return "JPEG XR";
    case 50000: return "Zstd";
    case 50001: return "WebP";
    case 50002:
    case 52546: return "JPEG XL";
    default: return "unknown";
  }
}

std::string describe_refusal(const std::vector<tiff_tools::Ifd>& ifds) {
  constexpr std::uint16_t kTileWidth = 322;
  constexpr std::uint16_t kCompression = 259;
  constexpr std::uint16_t kJpegTables = 347;
  const tiff_tools::Ifd* tiled = nullptr;
  for (const auto& ifd : ifds) {
    if (ifd.get(kTileWidth) != nullptr) {
      tiled = &ifd;
      break;
    }
  }
  if (ifds.empty()) return "TIFF without any image";
  if (tiled == nullptr) return "TIFF whose images are stored in strips, not tiles";
  const auto compression = tiled->scalar(kCompression).value_or(1);
  if (compression == 7 && tiled->get(kJpegTables) == nullptr) {
    return "tiled TIFF whose JPEG tiles carry their own tables (no JPEGTables)";
  }
  if (compression != 7) {
    return std::string("tiled TIFF whose tiles are ") + compression_name(compression) +
           (compression == 1 ? "" : "-compressed") + " (compression " +
           std::to_string(compression) + ")";
  }
  return "tiled TIFF whose tile tables are missing or unusable";
}

}  // namespace kolva::slide
