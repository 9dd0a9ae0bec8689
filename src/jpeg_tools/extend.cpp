#include "jpeg_tools/extend.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // before jpeglib.h, which needs FILE and size_t
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>
#include <jpeglib.h>

#include "base/bytes.hpp"
#include "jpeg_tools/jpeg_tools.hpp"

namespace kolva::jpeg_tools {
namespace {

// The header of a JPEG stream as the extension needs it: the segments before
// the scan, in order, and what they say.
struct Header {
  std::vector<Segment> segments;  // up to and including SOS
  ByteSpan sof;
  ByteSpan sos;
  std::array<int, 4> dc_quant{1, 1, 1, 1};  // each table's DC step
  bool rgb = false;                         // Adobe APP14 with transform 0
};

std::optional<Header> parse_header(ByteSpan data, std::string& why) {
  Header h;
  if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8) {
    why = "the tile is no JPEG stream (no SOI)";
    return std::nullopt;
  }
  Segments walk(data);
  Segment seg;
  while (true) {
    switch (walk.next(seg)) {
      case Segments::Step::Segment: break;
      case Segments::Step::Short:
        why = "the JPEG stream ends before its scan";
        return std::nullopt;
      case Segments::Step::Malformed:
        why = "the JPEG stream is damaged before its scan";
        return std::nullopt;
    }
    const std::uint8_t marker = seg.marker;
    const ByteSpan payload = seg.body;
    h.segments.push_back(seg);
    if (is_sequential_frame(marker) && h.sof.empty()) h.sof = payload;
    if (marker == 0xEE && payload.size() >= 12 && std::memcmp(payload.data(), "Adobe", 5) == 0) {
      h.rgb = h.rgb || payload[11] == 0;
    }
    if (marker == 0xDB) {
      std::size_t p = 0;
      while (p < payload.size()) {
        const int precision = payload[p] >> 4;
        const int table = payload[p] & 15;
        const std::size_t size = precision == 0 ? 65 : 129;
        if (p + size > payload.size()) break;
        const int dc = precision == 0 ? payload[p + 1] : read_be<std::uint16_t>(payload, p + 1);
        if (table < 4) h.dc_quant[static_cast<std::size_t>(table)] = dc;
        p += size;
      }
    }
    if (marker == 0xDA) {
      h.sos = payload;
      break;
    }
  }
  if (h.sof.size() < 6 || h.sof.size() < 6 + 3 * std::size_t{h.sof[5]}) {
    why = "only baseline and extended JPEG can be extended";
    return std::nullopt;
  }
  if (h.sos.empty() || h.sos[0] != h.sof[5]) {
    why = "only single-scan baseline JPEG can be extended";
    return std::nullopt;
  }
  return h;
}

// A fatal error jumps back to the setjmp in encode(); a warning (damaged or
// truncated entropy data, which libjpeg would decode as grey) is kept, and
// fails the extension once libjpeg is done.
struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg sees only this part
  std::jmp_buf jump;
  bool warned;
  char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr info) {
  auto& e = *reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, e.message);
  std::longjmp(e.jump, 1);
}
void on_message(j_common_ptr info, int level) {
  auto& e = *reinterpret_cast<ErrorManager*>(info->err);
  if (level >= 0 || e.warned) return;  // trace messages, later warnings
  e.warned = true;
  (*info->err->format_message)(info, e.message);
}
void no_output(j_common_ptr) {}

struct Job {
  const Header* header;
  std::uint32_t width;
  std::uint32_t height;
  unsigned char* out = nullptr;  // malloc'd by jpeg_mem_dest
  unsigned long out_size = 0;
  std::array<int, MAX_COMPONENTS> table{};  // Huffman table of each component
};

// Block (bx, by) of a new component array: the old block, its mirror across
// the old edge (chroma of subsampled streams), or white.
void fill_block(JCOEFPTR to, JBLOCKARRAY old_rows, JDIMENSION bx, JDIMENSION by, JDIMENSION gw,
                JDIMENSION gh, bool mirror, JCOEF white) {
  if (bx < gw && by < gh) {
    std::memcpy(to, old_rows[0][bx], sizeof(JBLOCK));
    return;
  }
  if (mirror && (bx == gw || by == gh) && bx <= gw && by <= gh) {
    const JCOEF* from = old_rows[0][std::min(bx, gw - 1)];
    const bool flip_u = bx == gw;
    const bool flip_v = by == gh;
    for (int n = 0; n < DCTSIZE2; ++n) {
      const bool odd = (flip_u && (n % 2) != 0) != (flip_v && ((n / 8) % 2) != 0);
      to[n] = odd ? static_cast<JCOEF>(-from[n]) : from[n];
    }
    return;
  }
  std::memset(to, 0, sizeof(JBLOCK));
  to[0] = white;
}

// Everything from the setjmp to a longjmp out of libjpeg runs in this frame and
// libjpeg's: no object here has a destructor for the jump to skip.
bool encode(jpeg_decompress_struct& d, jpeg_compress_struct& e, ErrorManager& errors,
            ByteSpan jpeg, Job& job) {
  if (setjmp(errors.jump) != 0) return false;
  jpeg_create_decompress(&d);
  jpeg_create_compress(&e);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  const int nc = d.num_components;
  const bool single = nc == 1;
  const int hmax = single ? 1 : d.max_h_samp_factor;
  const int vmax = single ? 1 : d.max_v_samp_factor;
  const auto mcu_w = static_cast<std::uint32_t>(8 * hmax);
  const auto mcu_h = static_cast<std::uint32_t>(8 * vmax);
  if (job.width % mcu_w != 0 || job.height % mcu_h != 0) {
    std::snprintf(errors.message, sizeof errors.message,
                  "cannot extend a JPEG to %u x %u: not a whole number of its %u x %u MCUs",
                  job.width, job.height, mcu_w, mcu_h);
    return false;
  }
  const JDIMENSION old_mx = (d.image_width + mcu_w - 1) / mcu_w;
  const JDIMENSION old_my = (d.image_height + mcu_h - 1) / mcu_h;
  const JDIMENSION new_mx = job.width / mcu_w;
  const JDIMENSION new_my = job.height / mcu_h;
  std::array<jvirt_barray_ptr, MAX_COMPONENTS> extended{};
  for (int ci = 0; ci < nc; ++ci) {
    const JDIMENSION h = single ? 1 : static_cast<JDIMENSION>(d.comp_info[ci].h_samp_factor);
    const JDIMENSION v = single ? 1 : static_cast<JDIMENSION>(d.comp_info[ci].v_samp_factor);
    extended[static_cast<std::size_t>(ci)] = (*d.mem->request_virt_barray)(
        reinterpret_cast<j_common_ptr>(&d), JPOOL_IMAGE, FALSE, new_mx * h, new_my * v, v);
  }
  jvirt_barray_ptr* source = jpeg_read_coefficients(&d);

  for (int ci = 0; ci < nc; ++ci) {
    const jpeg_component_info& comp = d.comp_info[ci];
    const JDIMENSION h = single ? 1 : static_cast<JDIMENSION>(comp.h_samp_factor);
    const JDIMENSION v = single ? 1 : static_cast<JDIMENSION>(comp.v_samp_factor);
    const JDIMENSION gw = old_mx * h;
    const JDIMENSION gh = old_my * v;
    const bool full = ci == 0 || job.header->rgb || single;
    const int q = job.header->dc_quant[static_cast<std::size_t>(comp.quant_tbl_no & 3)];
    // White: luma (or every RGB plane) at (255 - 128) * 8, halves to even as
    // the stream's own rounding of a DC step would.
    const JCOEF white = full ? static_cast<JCOEF>(std::min(
                                   2047.0, std::nearbyint(1016.0 / (q == 0 ? 1 : q))))
                             : JCOEF{0};
    const bool mirror = !single && (comp.h_samp_factor < d.max_h_samp_factor ||
                                    comp.v_samp_factor < d.max_v_samp_factor);
    for (JDIMENSION by = 0; by < new_my * v; ++by) {
      JBLOCKARRAY to = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                    extended[static_cast<std::size_t>(ci)], by,
                                                    1, TRUE);
      JBLOCKARRAY from = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                      source[ci], std::min(by, gh - 1), 1, FALSE);
      for (JDIMENSION bx = 0; bx < new_mx * h; ++bx) {
        fill_block(to[0][bx], from, bx, by, gw, gh, mirror, white);
      }
    }
  }

  jpeg_copy_critical_parameters(&d, &e);
  e.image_width = job.width;
  e.image_height = job.height;
  e.restart_interval = 0;
  e.optimize_coding = FALSE;
  for (int ci = 0; ci < nc; ++ci) {
    if (single) {
      e.comp_info[ci].h_samp_factor = 1;
      e.comp_info[ci].v_samp_factor = 1;
    }
    e.comp_info[ci].dc_tbl_no = job.table[static_cast<std::size_t>(ci)];
    e.comp_info[ci].ac_tbl_no = job.table[static_cast<std::size_t>(ci)];
  }
  jpeg_mem_dest(&e, &job.out, &job.out_size);
  jpeg_write_coefficients(&e, extended.data());
  jpeg_finish_compress(&e);
  jpeg_finish_decompress(&d);
  return true;
}

void put_segment(Bytes& out, std::uint8_t marker, ByteSpan payload) {
  const std::size_t length = payload.size() + 2;
  out.insert(out.end(), {0xFF, marker, static_cast<std::uint8_t>(length >> 8),
                         static_cast<std::uint8_t>(length & 0xFF)});
  out.insert(out.end(), payload.begin(), payload.end());
}

// Where the entropy-coded data of libjpeg's own stream starts and ends.
std::optional<ByteSpan> entropy_of(ByteSpan stream) {
  Segments walk(stream);
  Segment seg;
  while (walk.next(seg) == Segments::Step::Segment) {
    if (seg.marker != 0xDA) continue;
    const std::size_t at = seg.end();
    if (at + 2 > stream.size()) return std::nullopt;
    return stream.subspan(at, stream.size() - 2 - at);  // without EOI
  }
  return std::nullopt;
}

}  // namespace

Result<Bytes, std::string> extend_jpeg(ByteSpan jpeg, std::uint32_t width, std::uint32_t height) {
  std::string why;
  const auto header = parse_header(jpeg, why);
  if (!header) return why;
  const ByteSpan sof = header->sof;
  const std::uint32_t h0 = read_be<std::uint16_t>(sof, 1);
  const std::uint32_t w0 = read_be<std::uint16_t>(sof, 3);
  if (w0 == width && h0 == height) return Bytes(jpeg.begin(), jpeg.end());
  // A frame is a tile: beyond 2^28 pixels it is a mistake, not a tile.
  if (w0 > width || h0 > height || width > 65535 || height > 65535 ||
      std::uint64_t{width} * height > (std::uint64_t{1} << 28)) {
    return "cannot extend a " + std::to_string(w0) + " x " + std::to_string(h0) + " JPEG to " +
           std::to_string(width) + " x " + std::to_string(height);
  }
  if (jpeg.size() > ULONG_MAX) return std::string("JPEG stream too large to extend");
  const std::size_t nc = sof[5];
  if (nc == 0 || nc > MAX_COMPONENTS) return std::string("the JPEG stream has no usable components");

  Job job{&*header, width, height};
  for (std::size_t k = 0; k < nc; ++k) job.table[k] = (k == 0 || header->rgb) ? 0 : 1;
  ErrorManager errors{};
  jpeg_decompress_struct d{};
  jpeg_compress_struct e{};
  d.err = jpeg_std_error(&errors.pub);
  e.err = &errors.pub;
  errors.pub.error_exit = on_error;
  errors.pub.emit_message = on_message;
  errors.pub.output_message = no_output;
  const bool done = encode(d, e, errors, jpeg, job) && !errors.warned;
  // The standard tables the encoder used, before it is gone.
  Bytes dht;
  if (done) {
    for (int t = 0; t <= 1; ++t) {
      if (t == 1 && !std::count(job.table.begin(), job.table.begin() + nc, 1)) continue;
      for (int ac = 0; ac <= 1; ++ac) {
        const JHUFF_TBL* table = ac ? e.ac_huff_tbl_ptrs[t] : e.dc_huff_tbl_ptrs[t];
        dht.push_back(static_cast<std::uint8_t>((ac << 4) | t));
        int count = 0;
        for (int i = 1; i <= 16; ++i) {
          dht.push_back(table->bits[i]);
          count += table->bits[i];
        }
        dht.insert(dht.end(), table->huffval, table->huffval + count);
      }
    }
  }
  jpeg_destroy_compress(&e);
  jpeg_destroy_decompress(&d);
  const ByteSpan coded(job.out, job.out_size);
  const auto entropy = done ? entropy_of(coded) : std::nullopt;
  if (!entropy) {
    std::free(job.out);
    return done ? std::string("the JPEG encoder wrote no scan") : std::string(errors.message);
  }

  Bytes out{0xFF, 0xD8};
  out.reserve(jpeg.size() + entropy->size());
  for (const Segment& s : header->segments) {
    if ((s.marker >= 0xE0 && s.marker <= 0xEF) || s.marker == 0xDB) {
      put_segment(out, s.marker, s.body);
    }
  }
  Bytes new_sof(sof.begin(), sof.end());
  new_sof[1] = static_cast<std::uint8_t>(height >> 8);
  new_sof[2] = static_cast<std::uint8_t>(height & 0xFF);
  new_sof[3] = static_cast<std::uint8_t>(width >> 8);
  new_sof[4] = static_cast<std::uint8_t>(width & 0xFF);
  put_segment(out, 0xC0, new_sof);
  put_segment(out, 0xC4, dht);
  Bytes sos{static_cast<std::uint8_t>(nc)};
  for (std::size_t k = 0; k < nc; ++k) {
    sos.push_back(sof[6 + 3 * k]);
    sos.push_back(static_cast<std::uint8_t>((job.table[k] << 4) | job.table[k]));
  }
  sos.insert(sos.end(), {0x00, 0x3F, 0x00});
  put_segment(out, 0xDA, sos);
  out.insert(out.end(), entropy->begin(), entropy->end());
  out.insert(out.end(), {0xFF, 0xD9});
  std::free(job.out);
  return out;
}

}  // namespace kolva::jpeg_tools
