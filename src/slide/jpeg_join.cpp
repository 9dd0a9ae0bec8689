#include "slide/jpeg_join.hpp"

#include <algorithm>
#include <optional>

#include "jpeg_tools/jpeg_tools.hpp"

namespace kolva::slide {

namespace {

// The header of one strip: its marker segments up to and including the SOS
// header, and where the entropy-coded data runs.
struct StripHeader {
  std::size_t frame_at = 0;   // offset of the SOF segment
  std::size_t scan_at = 0;    // offset of the SOS segment
  std::size_t data_at = 0;    // first entropy-coded byte
  std::size_t data_end = 0;   // one past the last one (before EOI)
  bool has_restarts = false;
  std::uint8_t h_max = 1;
  std::uint8_t v_max = 1;
};

Result<StripHeader, std::string> parse_strip(ByteSpan s) {
  if (s.size() < 4 || s[0] != 0xFF || s[1] != 0xD8) {
    return std::string("a strip does not start with a JPEG SOI marker");
  }
  StripHeader h;
  bool frame = false;
  jpeg_tools::Segments segments(s);
  jpeg_tools::Segment seg;
  while (true) {
    if (segments.next(seg) != jpeg_tools::Segments::Step::Segment) {
      return std::string("a strip's JPEG header is malformed");
    }
    if (jpeg_tools::is_sequential_frame(seg.marker)) {
      // Precision, height, width, the component count, three bytes a component.
      if (seg.body.size() < 6 || seg.body.size() < 6 + 3 * std::size_t{seg.body[5]}) {
        return std::string("a strip's JPEG frame header is malformed");
      }
      const auto sampling = jpeg_tools::sof0_sampling(s, seg.at);
      h.h_max = sampling.h;
      h.v_max = sampling.v;
      h.frame_at = seg.at;
      frame = true;
    } else if (jpeg_tools::is_other_frame(seg.marker)) {
      return std::string("the strips are not baseline or extended sequential JPEG");
    } else if (seg.marker == 0xDD) {
      h.has_restarts = true;
    } else if (seg.marker == 0xDA) {
      if (!frame) return std::string("a strip has no JPEG frame header");
      h.scan_at = seg.at;
      h.data_at = seg.end();
      break;
    }
  }
  h.data_end = s.size();
  // The EOI that ends the strip, and any padding after it, stay out.
  for (std::size_t j = s.size(); j >= h.data_at + 2; --j) {
    if (s[j - 2] == 0xFF && s[j - 1] == 0xD9) {
      h.data_end = j - 2;
      break;
    }
    if (s.size() - j > 16) break;
  }
  return h;
}

// The strip's header bytes between SOI and SOS with the frame header's height
// field blanked, for comparing strips.
Bytes header_key(ByteSpan s, const StripHeader& h) {
  Bytes key(s.begin() + 2, s.begin() + static_cast<std::ptrdiff_t>(h.data_at));
  const std::size_t height_at = h.frame_at + 5 - 2;
  key[height_at] = 0;
  key[height_at + 1] = 0;
  return key;
}

// The segments of JPEGTables between their SOI and EOI; empty when malformed.
ByteSpan table_segments(ByteSpan tables) {
  if (tables.size() < 4 || tables[0] != 0xFF || tables[1] != 0xD8) return {};
  ByteSpan body = tables.subspan(2);
  if (body[body.size() - 2] == 0xFF && body.back() == 0xD9) body = body.first(body.size() - 2);
  return body;
}

}  // namespace

Bytes jpeg_stream_head(ByteSpan tables, bool rgb) {
  const ByteSpan body = table_segments(tables);
  if (body.empty() && !rgb) return {};
  Bytes head = {0xFF, 0xD8};
  if (rgb && !jpeg_tools::has_adobe_marker(body)) {
    head.insert(head.end(), kAdobeRgbApp14, kAdobeRgbApp14 + 16);
  }
  head.insert(head.end(), body.begin(), body.end());
  return head;
}

Result<Bytes, std::string> join_jpeg_strips(const StripImage& image,
                                            std::span<const ByteSpan> strips) {
  if (strips.empty()) return std::string("the image has no strips");
  if (image.height > 0xFFFF || image.width > 0xFFFF) {
    return std::string("the image is larger than a JPEG frame can be");
  }
  auto first = parse_strip(strips[0]);
  if (!first.ok()) return std::move(first).error();
  const StripHeader& h0 = *first;
  const std::uint64_t mcu_w = 8ULL * h0.h_max;
  const std::uint64_t mcu_h = 8ULL * h0.v_max;
  std::uint64_t interval = 0;
  if (strips.size() > 1) {
    if (image.rows_per_strip == 0 || image.rows_per_strip % mcu_h != 0) {
      return "the strip height (" + std::to_string(image.rows_per_strip) +
             " rows) is not a whole number of MCU rows (" + std::to_string(mcu_h) + ")";
    }
    interval = (image.width + mcu_w - 1) / mcu_w * (image.rows_per_strip / mcu_h);
    if (interval == 0 || interval > 0xFFFF) {
      return std::string("one strip holds more MCUs than a restart interval can count");
    }
    if (h0.has_restarts) return std::string("the strips carry restart markers of their own");
  }
  const Bytes key0 = header_key(strips[0], h0);

  Bytes out = {0xFF, 0xD8};
  const ByteSpan tables = table_segments(image.tables);
  if (image.rgb && !jpeg_tools::has_adobe_marker(strips[0]) &&
      !jpeg_tools::has_adobe_marker(tables)) {
    out.insert(out.end(), kAdobeRgbApp14, kAdobeRgbApp14 + 16);
  }
  out.insert(out.end(), tables.begin(), tables.end());
  // The first strip's header up to SOS, its frame height made the image's.
  const ByteSpan s0 = strips[0];
  const std::size_t head_start = out.size();
  out.insert(out.end(), s0.begin() + 2, s0.begin() + static_cast<std::ptrdiff_t>(h0.scan_at));
  const std::size_t height_at = head_start + h0.frame_at - 2 + 5;
  out[height_at] = static_cast<std::uint8_t>(image.height >> 8);
  out[height_at + 1] = static_cast<std::uint8_t>(image.height);
  if (interval > 0) {
    out.insert(out.end(), {0xFF, 0xDD, 0x00, 0x04, static_cast<std::uint8_t>(interval >> 8),
                           static_cast<std::uint8_t>(interval)});
  }
  out.insert(out.end(), s0.begin() + static_cast<std::ptrdiff_t>(h0.scan_at),
             s0.begin() + static_cast<std::ptrdiff_t>(h0.data_end));
  jpeg_tools::RestartMarkers markers;
  for (std::size_t k = 1; k < strips.size(); ++k) {
    auto parsed = parse_strip(strips[k]);
    if (!parsed.ok()) return std::move(parsed).error();
    if (parsed->has_restarts) return std::string("the strips carry restart markers of their own");
    if (header_key(strips[k], *parsed) != key0) {
      return std::string("the strips' JPEG headers differ");
    }
    markers.append(out);
    out.insert(out.end(), strips[k].begin() + static_cast<std::ptrdiff_t>(parsed->data_at),
               strips[k].begin() + static_cast<std::ptrdiff_t>(parsed->data_end));
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

}  // namespace kolva::slide
