#include "slide/associated.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/bytes.hpp"
#include "slide/executor.hpp"
#include "slide/jpeg_join.hpp"
#include "slide/tiff_wrap.hpp"

namespace kolva::slide {
namespace {

using tiff_tools::Ifd;

constexpr std::uint16_t kTileWidth = 322;

bool tiled(const Ifd& ifd) { return ifd.get(kTileWidth) != nullptr; }

// Compressions whose stored chunks a TIFF wrapper hands out unchanged.
bool wrappable(std::uint64_t compression) {
  switch (compression) {
    case 1:       // none
    case 5:       // LZW
    case 8:       // Deflate
    case 32946:   // Deflate (old code)
    case 32773:   // PackBits
    case 50000:   // Zstd
      return true;
    default:
      return false;
  }
}

std::optional<AssociatedImage> wrapped(const Ifd& ifd, ByteOrder order, std::string name,
                                       std::uint64_t width, std::uint64_t height,
                                       std::uint64_t rows, RangeList ranges) {
  auto layout = layout_of(ifd, order, width, height, rows);
  if (!layout.ok()) return std::nullopt;
  std::uint64_t data = 0;
  bool summed = true;
  for (const Range& r : ranges) summed = summed && checked_add(data, r.length, data);
  if (summed && fits_classic_tiff(*layout, ranges.size(), data)) {
    // It fits a classic TIFF: its header is made when the image is read (a
    // label of many strips costs an opening tens of thousands of instructions).
    Custom join{[layout = std::move(layout).value(), label = name](
                    std::span<const ByteSpan> strips) -> SlideResult<Bytes> {
      std::vector<std::uint64_t> lengths;
      lengths.reserve(strips.size());
      std::uint64_t size = 0;
      for (const ByteSpan strip : strips) {
        lengths.push_back(strip.size());
        size += strip.size();
      }
      auto header = tiff_header(layout, lengths);
      if (!header) {
        return SlideError{ErrorKind::Corrupt,
                          "the " + label + " image cannot be wrapped in a TIFF", std::nullopt};
      }
      Bytes out = std::move(*header);
      out.reserve(out.size() + size);
      for (const ByteSpan strip : strips) out.insert(out.end(), strip.begin(), strip.end());
      return out;
    }};
    return AssociatedImage{std::move(name), "image/tiff", {width, height},
                           TilePlan{std::move(ranges), std::move(join)}};
  }
  std::vector<std::uint64_t> lengths;
  for (const Range& r : ranges) lengths.push_back(r.length);
  auto header = tiff_header(*layout, lengths);
  if (!header) return std::nullopt;
  return AssociatedImage{std::move(name), "image/tiff", {width, height},
                         TilePlan{std::move(ranges), Splice{{}, std::move(*header), 0}}};
}

}  // namespace

bool has_image(const std::vector<AssociatedImage>& images, const std::string& name) {
  return std::any_of(images.begin(), images.end(),
                     [&](const AssociatedImage& a) { return a.name == name; });
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> jpeg_dimensions(ByteSpan jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
  std::size_t i = 2;
  while (i + 4 <= jpeg.size()) {
    if (jpeg[i] != 0xFF) return std::nullopt;
    const std::uint8_t marker = jpeg[i + 1];
    if (marker == 0xFF) {
      ++i;
      continue;
    }
    const std::size_t length = (std::size_t{jpeg[i + 2]} << 8) | jpeg[i + 3];
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (frame) {
      if (length < 7 || i + 9 > jpeg.size()) return std::nullopt;
      const std::uint64_t height = (std::uint64_t{jpeg[i + 5]} << 8) | jpeg[i + 6];
      const std::uint64_t width = (std::uint64_t{jpeg[i + 7]} << 8) | jpeg[i + 8];
      if (width == 0 || height == 0) return std::nullopt;
      return std::pair{width, height};
    }
    if (marker == 0xDA || length < 2) return std::nullopt;
    i += 2 + length;
  }
  return std::nullopt;
}

SlideResult<std::optional<std::pair<std::uint64_t, std::uint64_t>>> stored_jpeg_dimensions(
    const SourceSet& sources, const Range& jpeg) {
  std::optional<std::pair<std::uint64_t, std::uint64_t>> dimensions;
  for (const std::uint64_t look : {std::uint64_t{4} << 10, std::uint64_t{64} << 10}) {
    Bytes head(static_cast<std::size_t>(std::min(jpeg.length, look)));
    const Range range{jpeg.offset, head.size(), jpeg.source};
    const std::span<std::uint8_t> dst(head);
    if (auto got = read_ranges(sources, {&range, 1}, {&dst, 1}, 1); !got.ok()) {
      return std::move(got).error();
    }
    dimensions = jpeg_dimensions(head);
    if (dimensions || jpeg.length <= look) break;
  }
  return dimensions;
}

std::optional<AssociatedImage> plan_stored_image(const Ifd& ifd, ByteOrder order,
                                                 std::string name) {
  const auto width = ifd.scalar(256);
  const auto height = ifd.scalar(257);
  if (!width || !height || *width == 0 || *height == 0) return std::nullopt;
  const bool is_tiled = tiled(ifd);
  const auto* offsets_data = ifd.get(is_tiled ? 324 : 273);
  const auto* counts_data = ifd.get(is_tiled ? 325 : 279);
  if (offsets_data == nullptr || counts_data == nullptr) return std::nullopt;
  const auto offsets = offsets_data->to_u64vec();
  const auto counts = counts_data->to_u64vec();
  if (!offsets || !counts || offsets->empty() || offsets->size() != counts->size()) {
    return std::nullopt;
  }
  // A tiled image is handed out only when one tile holds it.
  if (is_tiled && offsets->size() != 1) return std::nullopt;
  std::uint64_t rows = std::min(ifd.scalar(278).value_or(*height), *height);
  std::uint64_t strip_width = *width;
  if (is_tiled) {
    rows = ifd.scalar(323).value_or(0);
    strip_width = ifd.scalar(322).value_or(0);
    if (rows < *height || strip_width < *width) return std::nullopt;
  }
  if (rows == 0) return std::nullopt;
  const std::uint64_t strips_needed = (*height + rows - 1) / rows;
  if (offsets->size() < strips_needed) return std::nullopt;
  RangeList ranges;
  for (std::size_t i = 0; i < strips_needed; ++i) {
    if ((*counts)[i] == 0) return std::nullopt;
    ranges.push_back(Range{(*offsets)[i], (*counts)[i]});
  }
  const std::uint64_t compression = ifd.scalar(259).value_or(1);
  const bool rgb = ifd.scalar(262) == 2;
  const std::pair<std::uint64_t, std::uint64_t> dimensions{*width, *height};

  if (compression == 7) {
    Bytes tables;
    if (const auto* data = ifd.get(347)) {
      if (const auto* bytes = data->u8vec()) tables = *bytes;
    }
    if (ranges.size() == 1) {
      Bytes head = jpeg_stream_head(tables, rgb);
      const std::uint64_t skip = head.empty() ? 0 : 2;
      return AssociatedImage{std::move(name), "image/jpeg", dimensions,
                             TilePlan{std::move(ranges), Splice{{}, std::move(head), skip}}};
    }
    // Strips of whole MCU rows (16 fits every sampling but 4x vertical) with
    // restart intervals that fit 16 bits join into one JPEG; others are wrapped.
    // Only full-resolution chroma joins: with subsampled chroma a decoder would
    // blend colour across the seams of the joined frame, where the strips decoded
    // one by one do not, so those images are wrapped to decode exactly as stored.
    // RGB-coded strips carry full chroma whatever YCbCrSubSampling says.
    const auto* subsampling = ifd.get(530);
    const auto factors = subsampling ? subsampling->to_u64vec() : std::nullopt;
    const bool full_chroma =
        rgb || ifd.scalar(277).value_or(3) == 1 ||
        (factors && factors->size() == 2 && (*factors)[0] == 1 && (*factors)[1] == 1);
    const bool joinable = full_chroma && rows % 16 == 0 &&
                          (*width + 7) / 8 * (rows / 8) <= 0xFFFF && *width <= 0xFFFF &&
                          *height <= 0xFFFF;
    if (joinable) {
      auto owned = std::make_shared<const Bytes>(std::move(tables));
      const StripImage image{ByteSpan(*owned), *width, *height, rows, rgb};
      Custom join{[owned, image, label = name](std::span<const ByteSpan> strips) -> SlideResult<Bytes> {
        auto joined = join_jpeg_strips(image, strips);
        if (!joined.ok()) {
          return SlideError{ErrorKind::Corrupt,
                            "the " + label + " image cannot be put together: " + joined.error(),
                            std::nullopt};
        }
        return std::move(joined).value();
      }};
      return AssociatedImage{std::move(name), "image/jpeg", dimensions,
                             TilePlan{std::move(ranges), std::move(join)}};
    }
    return wrapped(ifd, order, std::move(name), strip_width, is_tiled ? rows : *height, rows,
                   std::move(ranges));
  }
  if (wrappable(compression)) {
    return wrapped(ifd, order, std::move(name), strip_width, is_tiled ? rows : *height, rows,
                   std::move(ranges));
  }
  return std::nullopt;
}

}  // namespace kolva::slide
