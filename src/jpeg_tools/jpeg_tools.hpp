#pragma once

// Lists the marker segments of a JPEG header held in memory, up to the start of
// the entropy-coded data behind SOS. Never fails and never reads past the buffer:
// input that does not look like a header ends the scan.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/base.hpp"

namespace kolva::jpeg_tools {

// The classification of the byte that follows 0xFF (other than D8 and D9).
struct MarkerKind {
  struct Sof0 {};
  struct Dht {};
  struct Rst {
    std::uint8_t index;  // 0..7
  };
  struct Sos {};
  struct Dqt {};
  struct Dnl {};
  struct Dri {};
  struct App0 {};
  struct Com {};
  struct Unknown {
    std::uint8_t byte;
  };
  using Variant = std::variant<Sof0, Dht, Rst, Sos, Dqt, Dnl, Dri, App0, Com, Unknown>;
  Variant v;

  static MarkerKind from_byte(std::uint8_t byte);
};

struct SegmentKind {
  struct Soi {};
  struct Eoi {};
  struct App0 {};
  struct Dri {
    std::uint16_t restart_interval;
  };
  struct Sof0 {
    std::uint8_t precision;
    std::uint16_t height;
    std::uint16_t width;
  };
  struct Sos {};
  struct Other {
    MarkerKind marker;
  };
  struct Comment {
    std::string text;  // ISO-8859-1, one character per byte, stored as UTF-8
  };
  using Variant = std::variant<Soi, Eoi, App0, Dri, Sof0, Sos, Other, Comment>;
  Variant v;
};

struct ParsedSegment {
  SegmentKind kind;
  std::size_t offset;  // position of the segment's leading 0xFF
  std::size_t length;  // bytes it occupies, marker included (SOS: its header only)
};

class JpegParser {
 public:
  static std::vector<ParsedSegment> parse(ByteSpan data);
};

// The marker segments of a JPEG header one at a time, from `from` (2: the one
// after SOI), fill bytes skipped. A segment: its marker byte, where its 0xFF
// lies and its body (the bytes after the length field).
struct Segment {
  std::uint8_t marker = 0;
  std::size_t at = 0;
  ByteSpan body;
  std::size_t end() const { return at + 4 + body.size(); }
};
class Segments {
 public:
  enum class Step {
    Segment,    // `out` holds the next segment
    Short,      // it runs past the bytes held: more of the stream may complete it
    Malformed,  // no segment starts here, or its length field is below 2
  };
  explicit Segments(ByteSpan header, std::size_t from = 2) : data_(header), at_(from) {}
  Step next(Segment& out);

 private:
  ByteSpan data_;
  std::size_t at_;
};

// Frame headers: baseline and extended sequential Huffman (SOF0, SOF1), which
// tiles may be joined and cut from, and every other kind (progressive,
// lossless, arithmetic-coded), which they may not.
inline bool is_sequential_frame(std::uint8_t marker) { return marker == 0xC0 || marker == 0xC1; }
inline bool is_other_frame(std::uint8_t marker) {
  return marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The largest horizontal and vertical sampling factors of the SOF0 segment at
// `sof_offset` (1 x 1 when the component table is missing or malformed): an
// MCU is 8H x 8V pixels.
struct Sampling {
  std::uint8_t h = 1;
  std::uint8_t v = 1;
  friend bool operator==(const Sampling&, const Sampling&) = default;
};
Sampling sof0_sampling(ByteSpan header, std::size_t sof_offset);

// The Adobe APP14 segment with colour transform 0: the components are RGB,
// decoders must not convert them from YCbCr.
extern const std::uint8_t kAdobeRgbApp14[16];

// The restart markers of one scan joined from restart intervals: the marker
// that ends interval k (counting on from `first`) is RST(k mod 8). Strip joins
// append one after each strip but the last; joins of stored intervals write
// over the marker each interval was stored with.
class RestartMarkers {
 public:
  RestartMarkers() = default;
  explicit RestartMarkers(std::uint64_t first) : next_(first) {}
  // `first` plus the intervals ended since.
  std::uint64_t count() const { return next_; }
  // Appends the marker (0xFF, RSTn) that ends the interval just appended.
  void append(Bytes& out);
  // `data` holds intervals of `sizes` back to back, each ending with the
  // marker that followed it where it was stored: the marker's second byte
  // (the interval's last) takes the next number. Every interval must end
  // inside `data`, the first no earlier than its first byte. Returns the
  // bytes the intervals take.
  std::size_t renumber(std::span<std::uint8_t> data, std::span<const std::uint64_t> sizes);

 private:
  std::uint8_t next() { return static_cast<std::uint8_t>(0xD0 + next_++ % 8); }
  std::uint64_t next_ = 0;
};

// Whether the marker segments of `jpeg` (a stream from its SOI, or table
// segments without one) carry an Adobe APP14 segment before the first frame
// or scan header.
bool has_adobe_marker(ByteSpan jpeg);

}  // namespace kolva::jpeg_tools
