#include "jpeg_tools/jpeg_tools.hpp"

#include <algorithm>
#include <cstring>

#include "text/utf8.hpp"

namespace kolva::jpeg_tools {
namespace {

std::uint16_t be16(ByteSpan data, std::size_t pos) {
  return static_cast<std::uint16_t>((data[pos] << 8) | data[pos + 1]);
}

std::string latin1_to_utf8(ByteSpan bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const std::uint8_t b : bytes) text::append_utf8(out, b);
  return out;
}

}  // namespace

MarkerKind MarkerKind::from_byte(std::uint8_t byte) {
  switch (byte) {
    case 0xC0: return {Sof0{}};
    case 0xC4: return {Dht{}};
    case 0xDA: return {Sos{}};
    case 0xDB: return {Dqt{}};
    case 0xDC: return {Dnl{}};
    case 0xDD: return {Dri{}};
    case 0xE0: return {App0{}};
    case 0xFE: return {Com{}};
    default:
      if (byte >= 0xD0 && byte <= 0xD7) return {Rst{static_cast<std::uint8_t>(byte - 0xD0)}};
      return {Unknown{byte}};
  }
}

std::vector<ParsedSegment> JpegParser::parse(ByteSpan data) {
  std::vector<ParsedSegment> segments;
  const std::size_t len = data.size();
  if (len < 2) return segments;
  std::size_t pos = 0;
  while (pos < len - 1) {
    if (data[pos] != 0xFF) break;
    const std::uint8_t c = data[pos + 1];
    if (c == 0xD8 || c == 0xD9) {
      segments.push_back({c == 0xD8 ? SegmentKind{SegmentKind::Soi{}} : SegmentKind{SegmentKind::Eoi{}},
                          pos, 2});
      pos += 2;
      continue;
    }
    if (pos + 2 >= len - 1) break;  // the length field does not fit
    const std::size_t n = be16(data, pos + 2);
    const std::size_t next = pos + 2 + n;
    SegmentKind kind;
    switch (c) {
      case 0xC0:
        // A frame header cut off by the buffer, or too short to hold its size
        // fields, ends the scan: its fields cannot be trusted.
        if (next > len || n < 7) return segments;
        kind.v = SegmentKind::Sof0{data[pos + 4], be16(data, pos + 5), be16(data, pos + 7)};
        break;
      case 0xDD:
        if (!(pos + 4 < len - 1)) {
          pos = next;
          continue;
        }
        kind.v = SegmentKind::Dri{be16(data, pos + 4)};
        break;
      case 0xFE:
        if (next > len) {
          pos = next;
          continue;
        }
        // A declared length below 2 holds no text.
        kind.v = SegmentKind::Comment{
            n < 2 ? std::string() : latin1_to_utf8(data.subspan(pos + 4, n - 2))};
        break;
      case 0xE0: kind.v = SegmentKind::App0{}; break;
      case 0xDA: kind.v = SegmentKind::Sos{}; break;
      default: kind.v = SegmentKind::Other{MarkerKind::from_byte(c)}; break;
    }
    segments.push_back({std::move(kind), pos, n + 2});
    pos = next;
  }
  return segments;
}

const std::uint8_t kAdobeRgbApp14[16] = {0xFF, 0xEE, 0x00, 0x0E, 0x41, 0x64, 0x6F, 0x62,
                                         0x65, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};

void RestartMarkers::append(Bytes& out) {
  out.push_back(0xFF);
  out.push_back(next());
}

std::size_t RestartMarkers::renumber(std::span<std::uint8_t> data,
                                     std::span<const std::uint64_t> sizes) {
  std::size_t end = 0;
  for (const std::uint64_t size : sizes) {
    end += static_cast<std::size_t>(size);
    data[end - 1] = next();
  }
  return end;
}

bool has_adobe_marker(ByteSpan jpeg) {
  std::size_t at = jpeg.size() >= 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8 ? 2 : 0;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const std::uint8_t marker = jpeg[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9 ||
        (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)) {
      return false;  // a frame or scan header: the tables part has ended
    }
    const std::size_t length = be16(jpeg, at + 2);
    if (length < 2) return false;
    if (marker == 0xEE && length >= 7 && at + 9 <= jpeg.size() &&
        std::memcmp(jpeg.data() + at + 4, "Adobe", 5) == 0) {
      return true;
    }
    at += 2 + length;
  }
  return false;
}

Segments::Step Segments::next(Segment& out) {
  while (at_ + 1 < data_.size() && data_[at_] == 0xFF && data_[at_ + 1] == 0xFF) ++at_;
  if (at_ + 4 > data_.size()) return Step::Short;
  if (data_[at_] != 0xFF) return Step::Malformed;
  const std::size_t length = be16(data_, at_ + 2);
  if (length < 2) return Step::Malformed;
  if (at_ + 2 + length > data_.size()) return Step::Short;
  out = {data_[at_ + 1], at_, data_.subspan(at_ + 4, length - 2)};
  at_ += 2 + length;
  return Step::Segment;
}

Sampling sof0_sampling(ByteSpan header, std::size_t sof_offset) {
  Sampling s;
  // FF C0, length (2), precision, height (2), width (2), component count, then
  // three bytes per component: id, H<<4 | V, table.
  if (sof_offset > header.size() || header.size() - sof_offset < 10) return s;
  const std::size_t n = be16(header, sof_offset + 2);
  const std::size_t end = std::min(header.size(), sof_offset + 2 + n);
  const std::size_t components = header[sof_offset + 9];
  for (std::size_t i = 0; i < components; ++i) {
    const std::size_t at = sof_offset + 10 + 3 * i + 1;
    if (at >= end) break;
    s.h = std::max<std::uint8_t>(s.h, header[at] >> 4);
    s.v = std::max<std::uint8_t>(s.v, header[at] & 0x0F);
  }
  return s;
}

}  // namespace kolva::jpeg_tools
