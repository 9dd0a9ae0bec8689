#include "drivers/sakura/rgb_jpeg.hpp"

#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

#include "jpeg_tools/jpeg_tools.hpp"

namespace kolva::drivers::sakura {
namespace {

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The plane's header, through its scan header. `whole`: `s` is the whole
// plane, whose entropy-coded data (up to its last EOI) are found too;
// otherwise `s` may be its first bytes only, and p.data is left empty.
Result<Plane, std::string> parse_plane(ByteSpan s, bool whole = true) {
  if (s.size() < 4 || s[0] != 0xFF || s[1] != 0xD8) return std::string("a plane is no JPEG");
  Plane p;
  std::vector<ByteSpan> dqts;
  bool frame = false;
  jpeg_tools::Segments segments(s);
  jpeg_tools::Segment seg;
  while (true) {
    if (segments.next(seg) != jpeg_tools::Segments::Step::Segment) {
      return std::string("a plane's JPEG header is malformed");
    }
    const std::uint8_t marker = seg.marker;
    const ByteSpan body = seg.body;
    if (jpeg_tools::is_sequential_frame(marker)) {
      if (body.size() < 9 || body[5] != 1) {
        return std::string("a plane is not a one-component (greyscale) JPEG");
      }
      std::copy(body.begin(), body.begin() + 5, p.frame.begin());
      p.sampling = body[7];
      p.quant_id = body[8];
      frame = true;
    } else if (jpeg_tools::is_other_frame(marker)) {
      return std::string("a plane is not a baseline JPEG");
    } else if (marker == 0xDB) {
      dqts.push_back(body);
    } else if (marker == 0xC4) {
      p.huffman.push_back(s.subspan(seg.at, seg.end() - seg.at));
    } else if (marker == 0xDD) {
      if (body.size() < 2) return std::string("a plane's restart interval is malformed");
      p.restart = be16(body.data());
    } else if (marker == 0xDA) {
      if (!frame || body.size() < 6 || body[0] != 1) {
        return std::string("a plane's scan header is malformed");
      }
      p.tables = body[2];
      const std::size_t data_at = seg.end();
      p.data_at = data_at;
      if (!whole) break;
      std::size_t end = s.size();
      while (end >= data_at + 2 && !(s[end - 2] == 0xFF && s[end - 1] == 0xD9)) --end;
      if (end < data_at + 2) return std::string("a plane has no EOI marker");
      p.data = s.subspan(data_at, end - 2 - data_at);
      break;
    }
  }
  // The quantisation table the component uses, from whichever DQT holds it.
  for (ByteSpan dqt : dqts) {
    for (std::size_t k = 0; k < dqt.size();) {
      const std::size_t size = 1 + ((dqt[k] >> 4) != 0 ? 128 : 64);
      if (k + size > dqt.size()) return std::string("a plane's quantisation table is malformed");
      if ((dqt[k] & 0x0F) == p.quant_id) p.quant = dqt.subspan(k, size);
      k += size;
    }
  }
  if (!p.quant) return std::string("a plane has no quantisation table");
  return p;
}

// Counts the joined bytes, or writes them at `at` when it is set.
struct Sink {
  std::uint8_t* at = nullptr;
  std::size_t size = 0;
  void put(const std::uint8_t* bytes, std::size_t n) {
    if (at != nullptr && n != 0) std::memcpy(at + size, bytes, n);
    size += n;
  }
  void put(ByteSpan bytes) { put(bytes.data(), bytes.size()); }
  void put(std::initializer_list<std::uint8_t> bytes) { put(bytes.begin(), bytes.size()); }
  void put16(std::size_t v) { put({static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}); }
  void skip(std::size_t n) { size += n; }
};

bool same_frames(const std::array<Plane, 3>& p) {
  for (std::size_t c = 1; c < 3; ++c) {
    if (p[c].frame != p[0].frame || p[c].sampling != p[0].sampling) return false;
  }
  return true;
}

Result<std::array<Plane, 3>, std::string> parse_planes(std::span<const ByteSpan, 3> planes) {
  std::array<Plane, 3> p;
  for (std::size_t c = 0; c < 3; ++c) {
    auto parsed = parse_plane(planes[c]);
    if (!parsed.ok()) return std::move(parsed).error();
    p[c] = std::move(parsed).value();
  }
  if (!same_frames(p)) return std::string("the colour planes differ in size, precision or sampling");
  return p;
}

// The joined bytes before the scans: SOI, Adobe marker, the three
// quantisation tables and the frame header.
std::size_t front_size(std::size_t quant_bytes) { return 2 + 16 + 3 * 4 + quant_bytes + 19; }

// A plane's scan's bytes before its data: its Huffman tables, restart
// interval and scan header.
std::size_t scan_head_size(const Plane& p) {
  std::size_t n = 6 + 10;
  for (ByteSpan dht : p.huffman) n += dht.size();
  return n;
}

// `sizes`: the planes' data sizes, skipped rather than written (they are in
// place already); none: the planes' data written.
void join(const std::array<Plane, 3>& p, Sink& out, const std::size_t* sizes = nullptr) {
  out.put({0xFF, 0xD8});
  out.put(jpeg_tools::kAdobeRgbApp14, 16);
  for (std::size_t c = 0; c < 3; ++c) {
    const ByteSpan q = *p[c].quant;
    out.put({0xFF, 0xDB});
    out.put16(2 + q.size());
    out.put({static_cast<std::uint8_t>((q[0] & 0xF0) | c)});
    out.put(q.subspan(1));
  }
  out.put({0xFF, 0xC0, 0x00, 17});
  out.put(p[0].frame.data(), p[0].frame.size());
  out.put({3});
  const std::uint8_t ids[3] = {'R', 'G', 'B'};
  for (std::size_t c = 0; c < 3; ++c) {
    out.put({ids[c], p[0].sampling, static_cast<std::uint8_t>(c)});
  }
  for (std::size_t c = 0; c < 3; ++c) {
    for (ByteSpan dht : p[c].huffman) out.put(dht);
    out.put({0xFF, 0xDD, 0x00, 0x04});
    out.put16(p[c].restart);
    out.put({0xFF, 0xDA, 0x00, 0x08, 0x01, ids[c], p[c].tables, 0x00, 0x3F, 0x00});
    if (sizes != nullptr) {
      out.skip(sizes[c]);
    } else {
      out.put(p[c].data);
    }
  }
  out.put({0xFF, 0xD9});
}

}  // namespace

Result<Bytes, std::string> join_planes(std::span<const ByteSpan, 3> planes) {
  auto p = parse_planes(planes);
  if (!p.ok()) return std::move(p).error();
  Sink count;
  join(*p, count);
  Bytes out(count.size);
  Sink write{out.data()};
  join(*p, write);
  return out;
}

Result<std::size_t, std::string> join_planes_into(std::span<const ByteSpan, 3> planes, std::span<std::uint8_t> out) {
  auto p = parse_planes(planes);
  if (!p.ok()) return std::move(p).error();
  Sink count;
  join(*p, count);
  if (count.size == out.size()) {
    Sink write{out.data()};
    join(*p, write);
  }
  return count.size;
}

std::optional<InPlace::Place> InPlace::place(std::size_t c, ByteSpan head, std::size_t plane_size) {
  if (c != placed_ || c >= 3) return std::nullopt;
  auto parsed = parse_plane(head, false);
  if (!parsed.ok()) return std::nullopt;
  Plane& p = planes_[c];
  p = std::move(parsed).value();
  if (c == 0) at_ = front_size(3 * p.quant->size());
  // Data, then the EOI that ends the plane (a plane ending otherwise is not placed).
  if (p.data_at + 2 > plane_size) return std::nullopt;
  const std::size_t start = at_ + scan_head_size(p);
  const std::size_t bytes = plane_size - p.data_at;
  if (start > out_.size() || bytes > out_.size() - start) return std::nullopt;
  sizes_[c] = bytes - 2;
  at_ = start + sizes_[c];
  ++placed_;
  return Place{p.data_at, start, bytes};
}

bool InPlace::finish() {
  if (placed_ != 3 || !same_frames(planes_) || at_ + 2 != out_.size()) return false;
  for (std::size_t c = 1; c < 3; ++c) {
    if (planes_[c].quant->size() != planes_[0].quant->size()) return false;
  }
  // Each plane's bytes read ended with its EOI, where the next scan's header goes.
  Sink check;
  join(planes_, check, sizes_.data());
  if (check.size != out_.size()) return false;
  std::size_t end = front_size(3 * planes_[0].quant->size());
  for (std::size_t c = 0; c < 3; ++c) {
    end += scan_head_size(planes_[c]) + sizes_[c];
    if (out_[end] != 0xFF || out_[end + 1] != 0xD9) return false;
  }
  Sink write{out_.data()};
  join(planes_, write, sizes_.data());
  return true;
}

}  // namespace kolva::drivers::sakura
