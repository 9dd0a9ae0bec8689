#include "slide/tiff_wrap.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace kolva::slide {
namespace {

constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;
constexpr std::uint16_t kUndefined = 7;

// One directory entry of a header being made. Nothing is allocated for it: a
// value that fits the entry is held encoded; a larger one is written from
// where it is (SHORT values, raw bytes) or as zeros (the strip tables).
struct Field {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::size_t size = 0;                   // bytes of the value in the file
  std::array<std::uint8_t, 4> held = {};  // the value when it fits the entry
  std::span<const std::uint16_t> shorts;  // else SHORT values to encode,
  ByteSpan raw;                           // or bytes as they are; else zeros
};

Field field(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::size_t size) {
  Field f;
  f.tag = tag;
  f.type = type;
  f.count = count;
  f.size = size;
  return f;
}

class Writer {
 public:
  explicit Writer(ByteOrder order) : order_(order) {}
  void put16(std::uint8_t* at, std::uint16_t v) const {
    const bool little = order_ == ByteOrder::Little;
    at[0] = static_cast<std::uint8_t>(little ? v : v >> 8);
    at[1] = static_cast<std::uint8_t>(little ? v >> 8 : v);
  }
  void put32(std::uint8_t* at, std::uint32_t v) const {
    const bool little = order_ == ByteOrder::Little;
    put16(at + (little ? 0 : 2), static_cast<std::uint16_t>(v));
    put16(at + (little ? 2 : 0), static_cast<std::uint16_t>(v >> 16));
  }
  Field shorts(std::uint16_t tag, std::span<const std::uint16_t> values) const {
    Field f = field(tag, kShort, static_cast<std::uint32_t>(values.size()), 2 * values.size());
    if (f.size > 4) {
      f.shorts = values;
      return f;
    }
    for (std::size_t i = 0; i < values.size(); ++i) put16(f.held.data() + 2 * i, values[i]);
    return f;
  }
  Field one_short(std::uint16_t tag, std::uint16_t v) const {
    Field f = field(tag, kShort, 1, 2);
    put16(f.held.data(), v);
    return f;
  }
  Field one_long(std::uint16_t tag, std::uint32_t v) const {
    Field f = field(tag, kLong, 1, 4);
    put32(f.held.data(), v);
    return f;
  }
  // `count` LONGs of zero.
  static Field zero_longs(std::uint16_t tag, std::uint32_t count) {
    return field(tag, kLong, count, 4 * std::size_t{count});
  }
  static Field bytes(std::uint16_t tag, ByteSpan value) {
    Field f = field(tag, kUndefined, static_cast<std::uint32_t>(value.size()), value.size());
    if (f.size > 4) {
      f.raw = value;
    } else {
      std::copy(value.begin(), value.end(), f.held.begin());
    }
    return f;
  }
  // Writes a value that does not fit its entry at `at` (zeros are there already).
  void put_value(std::uint8_t* at, const Field& f) const {
    if (!f.shorts.empty()) {
      for (std::size_t i = 0; i < f.shorts.size(); ++i) put16(at + 2 * i, f.shorts[i]);
    } else if (!f.raw.empty()) {
      std::copy(f.raw.begin(), f.raw.end(), at);
    }
  }

 private:
  ByteOrder order_;
};

// A short array entry, or nothing when the tag is absent or not unsigned.
std::vector<std::uint16_t> short_values(const tiff_tools::Ifd& ifd, std::uint16_t tag) {
  std::vector<std::uint16_t> out;
  const auto* data = ifd.get(tag);
  if (data == nullptr) return out;
  const auto values = data->unsigned_values();
  if (!values) return out;
  out.resize(values->size);
  for (std::size_t i = 0; i < values->size; ++i) {
    out[i] = static_cast<std::uint16_t>(std::min<std::uint64_t>((*values)[i], 0xFFFF));
  }
  return out;
}

}  // namespace

std::optional<std::string> layout_refusal(const tiff_tools::Ifd& ifd, std::uint64_t width,
                                          std::uint64_t height, std::uint64_t rows_per_strip) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (width == 0 || height == 0 || width > kMax || height > kMax || rows_per_strip > kMax) {
    return std::string("an image size of ") + std::to_string(width) + " x " +
           std::to_string(height) + " pixels";
  }
  const std::uint64_t samples = ifd.scalar(277).value_or(1);
  if (samples == 0 || samples > 64) {
    return std::to_string(samples) + " samples per pixel";
  }
  if (samples > 1 && ifd.scalar(284).value_or(1) == 2) {
    return std::string("samples stored in separate planes (PlanarConfiguration 2)");
  }
  return std::nullopt;
}

Result<TiffLayout, std::string> layout_of(const tiff_tools::Ifd& ifd, ByteOrder order,
                                          std::uint64_t width, std::uint64_t height,
                                          std::uint64_t rows_per_strip) {
  if (auto refused = layout_refusal(ifd, width, height, rows_per_strip)) {
    return std::move(*refused);
  }
  TiffLayout layout;
  layout.order = order;
  layout.width = static_cast<std::uint32_t>(width);
  layout.height = static_cast<std::uint32_t>(height);
  layout.rows_per_strip = static_cast<std::uint32_t>(std::max<std::uint64_t>(rows_per_strip, 1));
  layout.compression = static_cast<std::uint16_t>(std::min<std::uint64_t>(ifd.scalar(259).value_or(1), 0xFFFF));
  layout.photometric = static_cast<std::uint16_t>(std::min<std::uint64_t>(ifd.scalar(262).value_or(1), 0xFFFF));
  const std::uint64_t samples = ifd.scalar(277).value_or(1);
  layout.samples = static_cast<std::uint16_t>(samples);
  layout.bits = short_values(ifd, 258);
  if (layout.bits.empty()) layout.bits.push_back(1);
  layout.bits.resize(samples, layout.bits.back());
  if (const auto predictor = ifd.scalar(317); predictor && *predictor != 1) {
    layout.predictor = static_cast<std::uint16_t>(std::min<std::uint64_t>(*predictor, 0xFFFF));
  }
  layout.sample_format = short_values(ifd, 339);
  if (!layout.sample_format.empty()) layout.sample_format.resize(samples, layout.sample_format.back());
  layout.extra_samples = short_values(ifd, 338);
  if (layout.extra_samples.size() >= samples) layout.extra_samples.clear();
  layout.color_map = short_values(ifd, 320);
  layout.ycbcr_subsampling = short_values(ifd, 530);
  if (layout.ycbcr_subsampling.size() != 2) layout.ycbcr_subsampling.clear();
  if (const auto* tables = ifd.get(347)) {
    if (const auto* bytes = tables->u8vec()) layout.jpeg_tables = *bytes;
  }
  return layout;
}

std::optional<TiffHeaderTemplate> TiffHeaderTemplate::make(const TiffLayout& layout,
                                                           std::size_t strips) {
  if (strips == 0 || strips > (1U << 24)) return std::nullopt;
  const Writer w(layout.order);
  std::array<Field, 16> fields;
  std::size_t n = 0;
  fields[n++] = w.one_long(256, layout.width);
  fields[n++] = w.one_long(257, layout.height);
  fields[n++] = w.shorts(258, layout.bits);
  fields[n++] = w.one_short(259, layout.compression);
  fields[n++] = w.one_short(262, layout.photometric);
  // The strips' offsets and byte counts, written per chunk.
  const std::size_t offsets_field = n;
  fields[n++] = Writer::zero_longs(273, static_cast<std::uint32_t>(strips));
  fields[n++] = w.one_short(277, layout.samples);
  fields[n++] = w.one_long(278, layout.rows_per_strip);
  const std::size_t counts_field = n;
  fields[n++] = Writer::zero_longs(279, static_cast<std::uint32_t>(strips));
  fields[n++] = w.one_short(284, 1);
  if (layout.predictor) fields[n++] = w.one_short(317, *layout.predictor);
  if (!layout.color_map.empty()) fields[n++] = w.shorts(320, layout.color_map);
  if (!layout.extra_samples.empty()) fields[n++] = w.shorts(338, layout.extra_samples);
  if (!layout.sample_format.empty()) fields[n++] = w.shorts(339, layout.sample_format);
  if (!layout.jpeg_tables.empty()) fields[n++] = Writer::bytes(347, layout.jpeg_tables);
  if (!layout.ycbcr_subsampling.empty()) fields[n++] = w.shorts(530, layout.ycbcr_subsampling);

  // Out-of-line values follow the directory, each on a word boundary; the
  // strips follow them.
  const std::uint64_t directory = 8 + 2 + 12 * n + 4;
  std::uint64_t data_start = directory;
  for (std::size_t i = 0; i < n; ++i) {
    if (fields[i].size > 4) data_start += fields[i].size + (fields[i].size & 1);
  }
  if (data_start > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;

  TiffHeaderTemplate out;
  out.order_ = layout.order;
  out.strips_ = strips;
  Bytes& head = out.head_;
  head.assign(static_cast<std::size_t>(data_start), 0);
  std::uint8_t* const at = head.data();
  at[0] = at[1] = layout.order == ByteOrder::Little ? 'I' : 'M';
  w.put16(at + 2, 42);
  w.put32(at + 4, 8);
  w.put16(at + 8, static_cast<std::uint16_t>(n));
  std::size_t entry = 10;
  std::uint64_t value_at = directory;
  for (std::size_t i = 0; i < n; ++i, entry += 12) {
    const Field& f = fields[i];
    w.put16(at + entry, f.tag);
    w.put16(at + entry + 2, f.type);
    w.put32(at + entry + 4, f.count);
    const std::size_t lands = f.size <= 4 ? entry + 8 : static_cast<std::size_t>(value_at);
    if (i == offsets_field) out.offsets_at_ = lands;
    if (i == counts_field) out.counts_at_ = lands;
    if (f.size <= 4) {
      std::copy(f.held.begin(), f.held.end(), at + entry + 8);
    } else {
      w.put32(at + entry + 8, static_cast<std::uint32_t>(value_at));
      w.put_value(at + value_at, f);
      value_at += f.size + (f.size & 1);
    }
  }
  // The next directory's offset, 0, is there already.
  // The first strip starts where the header ends, whatever the lengths.
  const auto first = out.encode(static_cast<std::uint32_t>(head.size()));
  std::copy(first.begin(), first.end(), head.begin() + static_cast<std::ptrdiff_t>(out.offsets_at_));
  return out;
}

std::array<std::uint8_t, 4> TiffHeaderTemplate::encode(std::uint32_t value) const {
  if (order_ == ByteOrder::Little) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  }
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

bool TiffHeaderTemplate::write(std::span<std::uint8_t> out,
                               std::span<const std::uint64_t> lengths) const {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (lengths.size() != strips_ || out.size() != head_.size()) return false;
  std::uint64_t at = head_.size();
  for (std::uint64_t length : lengths) {
    if (length > kMax || at > kMax) return false;
    at += length;
  }
  if (at > kMax) return false;
  std::copy(head_.begin(), head_.end(), out.begin());
  at = head_.size();
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const auto offset = encode(static_cast<std::uint32_t>(at));
    const auto count = encode(static_cast<std::uint32_t>(lengths[i]));
    std::copy(offset.begin(), offset.end(), out.begin() + static_cast<std::ptrdiff_t>(offsets_at_ + 4 * i));
    std::copy(count.begin(), count.end(), out.begin() + static_cast<std::ptrdiff_t>(counts_at_ + 4 * i));
    at += lengths[i];
  }
  return true;
}

bool fits_classic_tiff(const TiffLayout& layout, std::uint64_t strips, std::uint64_t data) {
  if (strips == 0 || strips > (1U << 24)) return false;
  // More than make() writes: the directory, the strips' offsets and byte
  // counts, every array value and its padding.
  const std::uint64_t header =
      512 + 8 * strips +
      2 * (layout.bits.size() + layout.sample_format.size() + layout.extra_samples.size() +
           layout.color_map.size() + layout.ycbcr_subsampling.size()) +
      layout.jpeg_tables.size();
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  return header <= kMax && data <= kMax - header;
}

std::optional<Bytes> tiff_header(const TiffLayout& layout,
                                 std::span<const std::uint64_t> strip_lengths) {
  const auto made = TiffHeaderTemplate::make(layout, strip_lengths.size());
  if (!made) return std::nullopt;
  Bytes out(made->bytes().size());
  if (!made->write(out, strip_lengths)) return std::nullopt;
  return out;
}

}  // namespace kolva::slide
