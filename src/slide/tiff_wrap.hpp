#pragma once

// A minimal TIFF around stored chunks: one directory whose strips are the
// chunks, byte for byte, placed right after the header. It carries what a
// decoder needs to read the chunks as the source file stored them (codec,
// predictor, byte order, samples, bits, sample format, photometric), so an
// LZW, Deflate, Zstd, PackBits or uncompressed tile, or the strips of an
// associated image, become one self-contained `image/tiff` stream without
// decoding anything.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide {

struct TiffLayout {
  ByteOrder order = ByteOrder::Little;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t rows_per_strip = 0;
  std::uint16_t compression = 1;
  std::uint16_t photometric = 1;
  std::uint16_t samples = 1;
  std::vector<std::uint16_t> bits;  // one per sample (a single value is widened)
  std::optional<std::uint16_t> predictor;
  std::vector<std::uint16_t> sample_format;
  std::vector<std::uint16_t> extra_samples;
  std::vector<std::uint16_t> color_map;
  std::vector<std::uint16_t> ycbcr_subsampling;
  Bytes jpeg_tables;
};

// The layout of the chunks of `ifd` (tiles or strips) in a file of byte order
// `order`, for an image of width x height whose strips hold `rows_per_strip`
// rows. Fails, in words, for what a single-directory wrapper cannot express:
// planar (one plane per sample) data, and sizes past 32 bits.
Result<TiffLayout, std::string> layout_of(const tiff_tools::Ifd& ifd, ByteOrder order,
                                          std::uint64_t width, std::uint64_t height,
                                          std::uint64_t rows_per_strip);
// What layout_of would refuse, in the same words, without making the layout;
// nothing when it would make one.
std::optional<std::string> layout_refusal(const tiff_tools::Ifd& ifd, std::uint64_t width,
                                          std::uint64_t height, std::uint64_t rows_per_strip);

// The header and directory of a TIFF of `layout` in `strips` strips, made
// once for every chunk of a level: a chunk's header differs from it only in
// the strips' byte counts and offsets, written in by `write`.
class TiffHeaderTemplate {
 public:
  // Nothing when no chunk of `strips` strips would fit a classic TIFF.
  static std::optional<TiffHeaderTemplate> make(const TiffLayout& layout, std::size_t strips);

  // The header with every strip's byte count still 0.
  ByteSpan bytes() const { return head_; }
  std::size_t strips() const { return strips_; }
  // Where a single strip's byte count lies in bytes() (4 bytes in the file's
  // byte order); the only field a one-strip chunk changes.
  std::size_t count_at() const { return counts_at_; }
  // The 4 bytes of a byte count in the file's byte order.
  std::array<std::uint8_t, 4> encode(std::uint32_t value) const;
  // Writes the header of strips of `lengths` (strips() of them) into `out`
  // (bytes().size() long); false, writing nothing, when they do not fit a
  // classic TIFF.
  bool write(std::span<std::uint8_t> out, std::span<const std::uint64_t> lengths) const;

 private:
  Bytes head_;
  ByteOrder order_ = ByteOrder::Little;
  std::size_t strips_ = 0;
  std::size_t offsets_at_ = 0;  // the first strip offset in head_
  std::size_t counts_at_ = 0;   // the first strip byte count in head_
};

// Whether a header for `strips` strips of `layout` and the strips' `data`
// bytes after it surely fit a classic TIFF, so that tiff_header will make it;
// false also where only making the header would tell.
bool fits_classic_tiff(const TiffLayout& layout, std::uint64_t strips, std::uint64_t data);

// The header and directory of a TIFF whose strips, of the given lengths, follow
// it in order. Nothing when they would not fit a classic TIFF.
std::optional<Bytes> tiff_header(const TiffLayout& layout,
                                 std::span<const std::uint64_t> strip_lengths);

}  // namespace kolva::slide
