#include "drivers/zeiss_czi/pixels.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "slide/tiff_wrap.hpp"
#include "tiff_tools/lzw.hpp"

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

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KOLVA_CZI_SSSE3 1
#endif

namespace kolva::czi {
namespace {

// Samples of S bytes, three a pixel: the first and the third swapped.
template <std::size_t S>
void swap_outer_scalar(std::uint8_t* p, std::size_t n) {
  for (std::size_t at = 0; at + 3 * S <= n; at += 3 * S) {
    for (std::size_t b = 0; b < S; ++b) std::swap(p[at + b], p[at + 2 * S + b]);
  }
}

#if KOLVA_CZI_SSSE3
// Byte shuffles that swap the outer samples of 48 bytes (16 pixels of 3 bytes,
// 8 of 6) held in three registers: mask 3 * out + in picks the bytes of
// output register `out` that come from input register `in` (-128: none).
template <std::size_t S>
constexpr std::array<std::array<std::int8_t, 16>, 9> swap_masks() {
  std::array<std::array<std::int8_t, 16>, 9> m{};
  for (std::size_t out = 0; out < 3; ++out) {
    for (std::size_t in = 0; in < 3; ++in) {
      for (std::size_t i = 0; i < 16; ++i) {
        const std::size_t at = out * 16 + i, o = at % (3 * S);
        const std::size_t from = at - o + (2 - o / S) * S + o % S;
        m[out * 3 + in][i] = from / 16 == in ? static_cast<std::int8_t>(from % 16) : std::int8_t{-128};
      }
    }
  }
  return m;
}

template <std::size_t S>
__attribute__((target("ssse3"))) void swap_outer_ssse3(std::uint8_t* p, std::size_t n) {
  static constexpr auto kMasks = swap_masks<S>();
  auto mask = [](std::size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kMasks[k].data())); };
  // The first output register takes nothing from the third input, the last
  // nothing from the first.
  const __m128i m00 = mask(0), m01 = mask(1), m10 = mask(3), m11 = mask(4), m12 = mask(5), m21 = mask(7),
                m22 = mask(8);
  std::size_t at = 0;
  for (; at + 48 <= n; at += 48) {
    auto* q = reinterpret_cast<__m128i*>(p + at);
    const __m128i a = _mm_loadu_si128(q), b = _mm_loadu_si128(q + 1), c = _mm_loadu_si128(q + 2);
    _mm_storeu_si128(q, _mm_or_si128(_mm_shuffle_epi8(a, m00), _mm_shuffle_epi8(b, m01)));
    _mm_storeu_si128(q + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m10), _mm_shuffle_epi8(b, m11)),
                                         _mm_shuffle_epi8(c, m12)));
    _mm_storeu_si128(q + 2, _mm_or_si128(_mm_shuffle_epi8(b, m21), _mm_shuffle_epi8(c, m22)));
  }
  swap_outer_scalar<S>(p + at, n - at);
}

// The same 192 bytes at a time in three 64-byte registers, with byte permutes
// across two registers (AVX-512 VBMI): one permute an output register, and a
// second, masked, for the bytes of the middle one that come from the first.
struct VbmiIndices {
  std::array<std::array<std::uint8_t, 64>, 4> index{};  // out 0 of (a, b); out 1 of (b, c), of a; out 2 of (b, c)
  std::uint64_t from_a = 0;  // out 1's bytes that come from a
};

template <std::size_t S>
constexpr VbmiIndices vbmi_indices() {
  VbmiIndices v;
  for (std::size_t at = 0; at < 192; ++at) {
    const std::size_t o = at % (3 * S);
    const std::size_t from = at - o + (2 - o / S) * S + o % S;
    const std::size_t i = at % 64;
    if (at < 64) {
      v.index[0][i] = static_cast<std::uint8_t>(from);
    } else if (at < 128 && from < 64) {
      v.index[2][i] = static_cast<std::uint8_t>(from);
      v.from_a |= std::uint64_t{1} << i;
    } else {
      v.index[at < 128 ? 1 : 3][i] = static_cast<std::uint8_t>(from - 64);
    }
  }
  return v;
}

template <std::size_t S>
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void swap_outer_vbmi(std::uint8_t* p, std::size_t n) {
  static constexpr VbmiIndices kIndices = vbmi_indices<S>();
  const __m512i i0 = _mm512_loadu_si512(kIndices.index[0].data()), i1 = _mm512_loadu_si512(kIndices.index[1].data()),
                i1a = _mm512_loadu_si512(kIndices.index[2].data()), i2 = _mm512_loadu_si512(kIndices.index[3].data());
  const __mmask64 from_a = kIndices.from_a;
  std::size_t at = 0;
  for (; at + 192 <= n; at += 192) {
    const __m512i a = _mm512_loadu_si512(p + at), b = _mm512_loadu_si512(p + at + 64),
                  c = _mm512_loadu_si512(p + at + 128);
    const __m512i out1 = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(b, i1, c), from_a, i1a, a);
    _mm512_storeu_si512(p + at, _mm512_permutex2var_epi8(a, i0, b));
    _mm512_storeu_si512(p + at + 64, out1);
    _mm512_storeu_si512(p + at + 128, _mm512_permutex2var_epi8(b, i2, c));
  }
  swap_outer_ssse3<S>(p + at, n - at);
}
#endif

// Blue-first pixels with alpha (4 bytes): the first and the third swapped.
void swap_bgra_scalar(std::uint8_t* p, std::size_t n) {
  for (std::size_t at = 0; at + 4 <= n; at += 4) std::swap(p[at], p[at + 2]);
}

#if KOLVA_CZI_SSSE3
__attribute__((target("ssse3"))) void swap_bgra_ssse3(std::uint8_t* p, std::size_t n) {
  const __m128i mask = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
  std::size_t at = 0;
  for (; at + 16 <= n; at += 16) {
    auto* q = reinterpret_cast<__m128i*>(p + at);
    _mm_storeu_si128(q, _mm_shuffle_epi8(_mm_loadu_si128(q), mask));
  }
  swap_bgra_scalar(p + at, n - at);
}
#endif

void swap_bgra(std::span<std::uint8_t> pixels) {
#if KOLVA_CZI_SSSE3
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return swap_bgra_ssse3(pixels.data(), pixels.size());
#endif
  swap_bgra_scalar(pixels.data(), pixels.size());
}

template <std::size_t S>
void swap_outer(std::span<std::uint8_t> pixels) {
#if KOLVA_CZI_SSSE3
  static const bool vbmi = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
  if (vbmi) return swap_outer_vbmi<S>(pixels.data(), pixels.size());
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return swap_outer_ssse3<S>(pixels.data(), pixels.size());
#endif
  swap_outer_scalar<S>(pixels.data(), pixels.size());
}

}  // namespace

SampleFix to_rgb(const PixelFormat& format) {
  if (!format.bgr) return nullptr;
  if (format.samples == 4) return format.sample_bytes == 1 ? &swap_bgra : nullptr;
  switch (format.sample_bytes) {
    case 1: return &swap_outer<1>;
    case 2: return &swap_outer<2>;
    case 4: return &swap_outer<4>;
    default: return nullptr;
  }
}

namespace {

std::optional<Bytes> make_tiff_head(const PixelFormat& format, std::uint32_t width, std::uint32_t height) {
  slide::TiffLayout layout;
  layout.width = width;
  layout.height = height;
  layout.rows_per_strip = height;
  layout.samples = format.samples;
  layout.photometric = format.samples >= 3 ? 2 : 1;
  if (format.samples == 4) layout.extra_samples = {2};  // unassociated alpha
  layout.bits.assign(format.samples, static_cast<std::uint16_t>(format.sample_bytes * 8));
  if (format.is_float) layout.sample_format.assign(format.samples, 3);
  if (format.is_signed) layout.sample_format.assign(format.samples, 2);
  const std::uint64_t length = std::uint64_t{width} * height * format.samples * format.sample_bytes;
  return slide::tiff_header(layout, std::span<const std::uint64_t>(&length, 1));
}

}  // namespace

std::optional<Bytes> tiff_head(const PixelFormat& format, std::uint32_t width, std::uint32_t height) {
  // Slides of one scanner share their sub-blocks' few sizes: the last headers
  // made on this thread are kept.
  struct Made {
    PixelFormat format;
    std::uint32_t width = 0, height = 0;
    std::optional<Bytes> head;
  };
  static thread_local std::array<Made, 8> made;
  static thread_local std::size_t next = 0;
  const auto same = [&](const Made& m) {
    return m.head && m.width == width && m.height == height && m.format.samples == format.samples &&
           m.format.sample_bytes == format.sample_bytes && m.format.is_float == format.is_float;
  };
  if (const auto it = std::find_if(made.begin(), made.end(), same); it != made.end()) return it->head;
  auto head = make_tiff_head(format, width, height);
  if (head) {
    made[next] = Made{format, width, height, head};
    next = (next + 1) % made.size();
  }
  return head;
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
    case Compression::Lzw:
      if (!tiff_tools::lzw_decode(data, {pixels, static_cast<std::size_t>(length)})) {
        return std::string("an LZW sub-block does not decode to its pixels");
      }
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
  if (const SampleFix fix = to_rgb(format)) fix({pixels, static_cast<std::size_t>(length)});
  return out;
}

}  // namespace kolva::czi
