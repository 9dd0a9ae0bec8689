#include "drivers/zeiss_czi/pixels.hpp"

#include <algorithm>
#include <cstring>

#include "slide/tiff_wrap.hpp"

// libzstd. Where its headers are not installed (the library alone is), the
// few functions of its stable API used here are declared as zstd.h does.
#if KOLVA_HAVE_ZSTD && __has_include(<zstd.h>)
#include <zstd.h>
#elif KOLVA_HAVE_ZSTD
extern "C" {
std::size_t ZSTD_decompress(void* dst, std::size_t dst_capacity, const void* src, std::size_t src_size);
unsigned ZSTD_isError(std::size_t code);
}
#endif

namespace kolva::czi {

std::optional<Bytes> tiff_head(const PixelFormat& format, std::uint32_t width, std::uint32_t height) {
  slide::TiffLayout layout;
  layout.width = width;
  layout.height = height;
  layout.rows_per_strip = height;
  layout.samples = format.samples;
  layout.photometric = format.samples == 3 ? 2 : 1;
  layout.bits.assign(format.samples, static_cast<std::uint16_t>(format.sample_bytes * 8));
  if (format.is_float) layout.sample_format.assign(format.samples, 3);
  const std::uint64_t length = std::uint64_t{width} * height * format.samples * format.sample_bytes;
  return slide::tiff_header(layout, std::span<const std::uint64_t>(&length, 1));
}

Result<Bytes, std::string> to_tiff(ByteSpan data, Compression compression, const PixelFormat& format,
                                   std::uint32_t width, std::uint32_t height) {
  const std::uint64_t length = std::uint64_t{width} * height * format.samples * format.sample_bytes;
  auto head = tiff_head(format, width, height);
  if (!head) return std::string("a sub-block is too large for a TIFF");
  Bytes out = std::move(*head);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(length));
  std::uint8_t* pixels = out.data() + at;
  bool hilo = false;
  switch (compression) {
    case Compression::None:
      if (data.size() < length) return std::string("a sub-block holds fewer bytes than its pixels");
      std::memcpy(pixels, data.data(), static_cast<std::size_t>(length));
      break;
    case Compression::Zstd1: {
      // Header: its size (1 or 3); with 3, chunk type 1 and the hi-lo flag.
      if (data.empty() || (data[0] != 1 && data[0] != 3) || data.size() < data[0]) {
        return std::string("a zstd1 sub-block has no header");
      }
      if (data[0] == 3) {
        if (data[1] != 1) return std::string("a zstd1 sub-block's header has an unknown chunk");
        hilo = (data[2] & 1) != 0;
      }
      data = data.subspan(data[0]);
      [[fallthrough]];
    }
    case Compression::Zstd0: {
#if KOLVA_HAVE_ZSTD
      const std::size_t got = ZSTD_decompress(pixels, static_cast<std::size_t>(length), data.data(), data.size());
      if (ZSTD_isError(got) || got != length) {
        return std::string("a Zstd sub-block does not decompress to its pixels");
      }
      break;
#else
      return std::string("Zstd sub-blocks need libzstd, which this build of kolva lacks");
#endif
    }
    default:
      return std::string("a sub-block's compression has no lossless TIFF form");
  }
  if (hilo && format.sample_bytes == 2) {
    // All low bytes, then all high bytes: interleave them again.
    const std::size_t half = static_cast<std::size_t>(length / 2);
    Bytes split(pixels, pixels + 2 * half);
    for (std::size_t i = 0; i < half; ++i) {
      pixels[2 * i] = split[i];
      pixels[2 * i + 1] = split[half + i];
    }
  }
  if (format.bgr && format.sample_bytes == 1) {
    for (std::size_t p = 0; p + 3 <= length; p += 3) std::swap(pixels[p], pixels[p + 2]);
  } else if (format.bgr) {
    const std::size_t s = format.sample_bytes, step = 3 * s;
    for (std::size_t p = 0; p + step <= length; p += step) {
      for (std::size_t b = 0; b < s; ++b) std::swap(pixels[p + b], pixels[p + 2 * s + b]);
    }
  }
  return out;
}

}  // namespace kolva::czi
