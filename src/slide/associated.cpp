#include "slide/associated.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "slide/jpeg_join.hpp"
#include "slide/tiff_wrap.hpp"

namespace kolva::slide {
namespace {

using tiff_tools::Ifd;

constexpr std::uint16_t kNewSubfileType = 254;
constexpr std::uint16_t kImageDescription = 270;
constexpr std::uint16_t kTileWidth = 322;
constexpr std::uint16_t kSourceLens = 65421;

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

const std::string* description(const Ifd& ifd) {
  const auto* data = ifd.get(kImageDescription);
  return data ? data->ascii() : nullptr;
}

bool starts_with(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin());
}

std::optional<AssociatedImage> wrapped(const Ifd& ifd, ByteOrder order, std::string name,
                                       std::uint64_t width, std::uint64_t height,
                                       std::uint64_t rows, RangeList ranges) {
  auto layout = layout_of(ifd, order, width, height, rows);
  if (!layout.ok()) return std::nullopt;
  std::vector<std::uint64_t> lengths;
  for (const Range& r : ranges) lengths.push_back(r.length);
  auto header = tiff_header(*layout, lengths);
  if (!header) return std::nullopt;
  return AssociatedImage{std::move(name), "image/tiff", {width, height},
                         TilePlan{std::move(ranges), Splice{{}, std::move(*header), 0}}};
}

// base64 as XML carries it: whitespace ignored, padding optional.
std::optional<Bytes> base64_decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '=') break;
    const int v = value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
      acc &= (1U << bits) - 1;
    }
  }
  return out;
}

// The text content of `<Attribute Name="name" ...>text</Attribute>` in `xml`.
std::optional<std::string_view> attribute_text(std::string_view xml, std::string_view name) {
  const std::string key = "Name=\"" + std::string(name) + "\"";
  const std::size_t at = xml.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t open = xml.find('>', at);
  if (open == std::string_view::npos) return std::nullopt;
  const std::size_t close = xml.find('<', open);
  if (close == std::string_view::npos) return std::nullopt;
  return xml.substr(open + 1, close - open - 1);
}

bool has_image(const std::vector<AssociatedImage>& images, const std::string& name) {
  return std::any_of(images.begin(), images.end(),
                     [&](const AssociatedImage& a) { return a.name == name; });
}

// A name made of lower-case letters, digits and underscores.
bool plain_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

void add_aperio_images(const std::vector<Ifd>& ifds, ByteOrder order,
                       std::vector<AssociatedImage>& out) {
  for (std::size_t i = 1; i < ifds.size(); ++i) {
    const Ifd& ifd = ifds[i];
    if (tiled(ifd)) continue;
    std::string name;
    if (i == 1) {
      name = "thumbnail";
    } else if (const std::string* text = description(ifd)) {
      // "Aperio Image Library ...\nlabel 387x463": the second line's first word.
      const std::size_t line = text->find('\n');
      if (line != std::string::npos) {
        const std::string second = text->substr(line + 1);
        name = second.substr(0, second.find_first_of(" \r\n"));
      }
    }
    if (!plain_name(name)) {
      name.clear();
      const auto subfile = ifd.scalar(kNewSubfileType);
      if (subfile == 1) name = "label";
      if (subfile == 9) name = "macro";
    }
    if (name.empty() || has_image(out, name)) continue;
    if (auto image = plan_stored_image(ifd, order, name)) {
      out.push_back(std::move(*image));
    }
  }
}

void add_philips_images(const std::vector<Ifd>& ifds, ByteOrder order,
                       std::vector<AssociatedImage>& out) {
  for (const Ifd& ifd : ifds) {
    const std::string* text = description(ifd);
    if (text == nullptr || tiled(ifd)) continue;
    std::string name;
    if (starts_with(*text, "Label")) name = "label";
    if (starts_with(*text, "Macro")) name = "macro";
    if (name.empty() || has_image(out, name)) continue;
    if (auto image = plan_stored_image(ifd, order, name)) {
      out.push_back(std::move(*image));
    }
  }
  if (ifds.empty()) return;
  const std::string* xml = description(ifds[0]);
  if (xml == nullptr) return;
  for (auto& found : philips_xml_images(*xml)) {
    const std::string& name = found.first;
    const auto dimensions = jpeg_dimensions(found.second);
    if (has_image(out, name) || !dimensions) continue;
    out.push_back(AssociatedImage{
        name, "image/jpeg", *dimensions, TilePlan{{}, Splice{{}, std::move(found.second), 0}}});
  }
}

void add_ndpi_images(const std::vector<Ifd>& ifds, std::vector<AssociatedImage>& out) {
  for (const Ifd& ifd : ifds) {
    const auto* lens = ifd.get(kSourceLens);
    const auto* value = lens ? lens->get_if<tiff_tools::FLOAT>() : nullptr;
    if (value == nullptr) continue;
    std::string name;
    if (value->value == -1.0F) name = "macro";
    if (value->value == -2.0F) name = "map";
    if (name.empty() || has_image(out, name)) continue;
    auto image = plan_stored_image(ifd, ByteOrder::Little, name);
    if (!image) continue;
    // The macro is a complete JFIF file already: handed out as stored.
    if (image->media_type == "image/jpeg") {
      if (image->plan.ranges.size() != 1) continue;
      image->plan.assembly = Splice{};
    }
    out.push_back(std::move(*image));
  }
}

}  // namespace

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

std::vector<std::pair<std::string, Bytes>> philips_xml_images(const std::string& xml) {
  std::vector<std::pair<std::string, Bytes>> out;
  const std::string_view text(xml);
  const std::string_view marker = "ObjectType=\"DPScannedImage\"";
  std::size_t at = text.find(marker);
  while (at != std::string_view::npos) {
    const std::size_t next = text.find(marker, at + marker.size());
    const std::string_view object = text.substr(at, next == std::string_view::npos ? next : next - at);
    at = next;
    const auto type = attribute_text(object, "PIM_DP_IMAGE_TYPE");
    const auto data = attribute_text(object, "PIM_DP_IMAGE_DATA");
    if (!type || !data) continue;
    std::string name;
    if (*type == "LABELIMAGE") name = "label";
    if (*type == "MACROIMAGE") name = "macro";
    if (name.empty()) continue;
    auto jpeg = base64_decode(*data);
    if (!jpeg || jpeg->size() < 4) continue;
    out.emplace_back(std::move(name), std::move(*jpeg));
  }
  return out;
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
    // RGB-coded strips (Aperio's) carry full chroma whatever YCbCrSubSampling says.
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

std::vector<AssociatedImage> aperio_images(const std::vector<Ifd>& ifds, ByteOrder order) {
  std::vector<AssociatedImage> out;
  add_aperio_images(ifds, order, out);
  return out;
}

std::vector<AssociatedImage> philips_images(const std::vector<Ifd>& ifds, ByteOrder order) {
  std::vector<AssociatedImage> out;
  add_philips_images(ifds, order, out);
  return out;
}

std::vector<AssociatedImage> ndpi_images(const std::vector<Ifd>& ifds) {
  std::vector<AssociatedImage> out;
  add_ndpi_images(ifds, out);
  return out;
}

}  // namespace kolva::slide
