#include "jpeg_tools/transform.hpp"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // before jpeglib.h, which needs FILE and size_t
#include <cstring>
#include <jpeglib.h>

namespace kolva::jpeg_tools {
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return:
// it jumps back to the setjmp in crop_all. Warnings (recoverable damage) are
// noted and the work goes on. Nothing is printed.
struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg sees only this part
  std::jmp_buf jump;
  bool warned;
  char message[JMSG_LENGTH_MAX];  // the error, else the first warning
};

ErrorManager& errors_of(j_common_ptr info) { return *reinterpret_cast<ErrorManager*>(info->err); }

// The encoder writes into the thread's scratch buffer, which grows as needed
// and is kept: a crop's stream is then copied out at its exact size, with no
// page of a fresh buffer faulted in or cleared per crop. libjpeg's
// client_data points at it.
struct Output {
  std::vector<unsigned char> scratch;
  std::size_t first_size = 0;
  std::size_t used = 0;
};

Output& output_of(j_compress_ptr info) { return *static_cast<Output*>(info->client_data); }

void on_error(j_common_ptr info) {
  ErrorManager& e = errors_of(info);
  (*info->err->format_message)(info, e.message);
  std::longjmp(e.jump, 1);
}

void on_message(j_common_ptr info, int level) {
  ErrorManager& e = errors_of(info);
  if (level >= 0 || e.warned) return;  // trace messages, later warnings
  e.warned = true;
  (*info->err->format_message)(info, e.message);
}

void no_output(j_common_ptr) {}

void start_output(j_compress_ptr info) {
  Output& o = output_of(info);
  if (o.scratch.size() < o.first_size) o.scratch.resize(o.first_size);
  info->dest->next_output_byte = o.scratch.data();
  info->dest->free_in_buffer = o.scratch.size();
}

boolean grow_output(j_compress_ptr info) {
  Output& o = output_of(info);
  // libjpeg calls this only when the buffer is full.
  const std::size_t full = o.scratch.size();
  o.scratch.resize(full * 2);
  info->dest->next_output_byte = o.scratch.data() + full;
  info->dest->free_in_buffer = o.scratch.size() - full;
  return TRUE;
}

void end_output(j_compress_ptr info) {
  Output& o = output_of(info);
  o.used = o.scratch.size() - info->dest->free_in_buffer;
}

// One decoder and one encoder per thread, made on first use and kept, so their
// permanent allocations (Huffman and quantisation tables, the managers) are
// made once per thread rather than once per call.
struct Codecs {
  ErrorManager errors{};
  Output output;
  jpeg_destination_mgr destination{};
  jpeg_decompress_struct decoder{};
  jpeg_compress_struct encoder{};
  bool ready = false;

  Codecs() {
    decoder.err = jpeg_std_error(&errors.pub);
    encoder.err = &errors.pub;
    errors.pub.error_exit = on_error;
    errors.pub.emit_message = on_message;
    errors.pub.output_message = no_output;
    if (setjmp(errors.jump) != 0) {
      jpeg_destroy_decompress(&decoder);
      jpeg_destroy_compress(&encoder);
      return;
    }
    jpeg_create_decompress(&decoder);
    jpeg_create_compress(&encoder);
    destination.init_destination = start_output;
    destination.empty_output_buffer = grow_output;
    destination.term_destination = end_output;
    encoder.dest = &destination;
    encoder.client_data = &output;
    ready = true;
  }
  ~Codecs() {
    if (!ready) return;
    jpeg_destroy_decompress(&decoder);
    jpeg_destroy_compress(&encoder);
  }
  Codecs(const Codecs&) = delete;
  Codecs& operator=(const Codecs&) = delete;
};

enum class Outcome { Done, Failed };

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// The sampling factors the output gets for component `ci`: the source's, but
// as jpegtran a grey image is written with 1x1 sampling whatever its header
// said (its MCU is one block either way).
int h_samp(const jpeg_decompress_struct& d, int ci) {
  return d.num_components == 1 ? 1 : d.comp_info[ci].h_samp_factor;
}
int v_samp(const jpeg_decompress_struct& d, int ci) {
  return d.num_components == 1 ? 1 : d.comp_info[ci].v_samp_factor;
}

// Writes the coefficients of `crop` from the decoded source as a new baseline
// stream into `out`, as jpegtran's -crop does for a crop on the MCU grid: the
// source's quantisation tables, sampling and colour space, libjpeg's standard
// Huffman tables, no restart markers, no APPn or COM segment copied (the
// encoder writes its own JFIF header for YCbCr and grey images). A crop at the
// top left is encoded straight from the source's coefficients (the encoder
// reads only the blocks inside its frame); any other is first copied into
// `workspace`, which is large enough for every crop of the call.
void crop_one(Codecs& c, jvirt_barray_ptr* source, jvirt_barray_ptr* workspace,
              const CropRect& crop, std::uint32_t mcu_width, std::uint32_t mcu_height,
              std::uint64_t source_size, Bytes& out) {
  jpeg_decompress_struct& d = c.decoder;
  jpeg_compress_struct& e = c.encoder;
  // At first a buffer of about the crop's share of the source; it doubles when full.
  const double share = static_cast<double>(source_size) * crop.width / d.image_width *
                       crop.height / d.image_height;
  c.output.first_size = static_cast<std::size_t>(share * 1.25) + 4096;

  jpeg_copy_critical_parameters(&d, &e);
  for (int ci = 0; ci < e.num_components; ++ci) {
    e.comp_info[ci].h_samp_factor = h_samp(d, ci);
    e.comp_info[ci].v_samp_factor = v_samp(d, ci);
  }
  e.image_width = crop.width;
  e.image_height = crop.height;
  const bool in_place = crop.x == 0 && crop.y == 0;
  jpeg_write_coefficients(&e, in_place ? source : workspace);
  if (!in_place) {
    // The encoder has now worked out each component's size in blocks.
    for (int ci = 0; ci < e.num_components; ++ci) {
      const jpeg_component_info& comp = e.comp_info[ci];
      const auto h = static_cast<JDIMENSION>(comp.h_samp_factor);
      const auto v = static_cast<JDIMENSION>(comp.v_samp_factor);
      const JDIMENSION skip_x = crop.x / mcu_width * h;
      const JDIMENSION skip_y = crop.y / mcu_height * v;
      const std::size_t row_bytes = std::size_t{comp.width_in_blocks} * sizeof(JBLOCK);
      for (JDIMENSION y = 0; y < comp.height_in_blocks; y += v) {
        JBLOCKARRAY to = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                      workspace[ci], y, v, TRUE);
        JBLOCKARRAY from = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                        source[ci], y + skip_y, v, FALSE);
        for (JDIMENSION r = 0; r < v; ++r) std::memcpy(to[r], from[r] + skip_x, row_bytes);
      }
    }
  }
  jpeg_finish_compress(&e);
  out.assign(c.output.scratch.data(), c.output.scratch.data() + c.output.used);
}

// Everything from the setjmp to a longjmp out of libjpeg runs in this frame and
// libjpeg's: no object here has a destructor for the jump to skip. `outs` holds
// one Bytes per crop.
Outcome crop_all(Codecs& c, const unsigned char* data, unsigned long size, const CropRect* crops,
                 std::size_t count, Bytes* outs) {
  jpeg_decompress_struct& d = c.decoder;
  c.errors.warned = false;
  c.errors.message[0] = '\0';
  if (setjmp(c.errors.jump) != 0) {
    jpeg_abort_compress(&c.encoder);
    jpeg_abort_decompress(&d);
    return Outcome::Failed;
  }
  jpeg_mem_src(&d, data, size);
  jpeg_read_header(&d, TRUE);
  const bool single = d.num_components == 1;
  const auto mcu_width = static_cast<std::uint32_t>(DCTSIZE * (single ? 1 : d.max_h_samp_factor));
  const auto mcu_height = static_cast<std::uint32_t>(DCTSIZE * (single ? 1 : d.max_v_samp_factor));
  std::uint32_t most_columns = 0;  // in MCUs, of the crops that need the workspace
  std::uint32_t most_rows = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const CropRect& r = crops[i];
    if (r.x % mcu_width != 0 || r.y % mcu_height != 0) {
      std::snprintf(c.errors.message, sizeof c.errors.message,
                    "a crop must start on the %u x %u MCU grid", mcu_width, mcu_height);
      jpeg_abort_decompress(&d);
      return Outcome::Failed;
    }
    if (r.x >= d.image_width || r.width > d.image_width - r.x || r.y >= d.image_height ||
        r.height > d.image_height - r.y) {
      std::snprintf(c.errors.message, sizeof c.errors.message,
                    "a crop reaches past the %u x %u image", d.image_width, d.image_height);
      jpeg_abort_decompress(&d);
      return Outcome::Failed;
    }
    if (r.x != 0 || r.y != 0) {
      most_columns = std::max<std::uint32_t>(most_columns, ceil_div(r.width, mcu_width));
      most_rows = std::max<std::uint32_t>(most_rows, ceil_div(r.height, mcu_height));
    }
  }
  // One workspace for all crops, made with the source's arrays: each crop is
  // written out before the next one is copied in.
  jvirt_barray_ptr workspace[MAX_COMPONENTS] = {};
  if (most_columns != 0) {
    for (int ci = 0; ci < d.num_components; ++ci) {
      const auto h = static_cast<JDIMENSION>(h_samp(d, ci));
      const auto v = static_cast<JDIMENSION>(v_samp(d, ci));
      workspace[ci] = (*d.mem->request_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                    JPOOL_IMAGE, FALSE, most_columns * h,
                                                    most_rows * v, v);
    }
  }
  jvirt_barray_ptr* source = jpeg_read_coefficients(&d);
  for (std::size_t i = 0; i < count; ++i) {
    crop_one(c, source, workspace, crops[i], mcu_width, mcu_height, size, outs[i]);
  }
  jpeg_finish_decompress(&d);
  return Outcome::Done;
}

}  // namespace

Result<std::vector<Bytes>, std::string> lossless_crops(ByteSpan jpeg,
                                                        std::span<const CropRect> crops,
                                                        bool tolerate_warnings) {
  std::vector<Bytes> out;
  if (crops.empty()) return out;
  if (jpeg.size() > ULONG_MAX) return std::string("JPEG stream too large to crop");
  for (const CropRect& c : crops) {
    if (c.width == 0 || c.height == 0) return std::string("empty or oversized crop");
  }
  thread_local Codecs codecs;
  if (!codecs.ready) return std::string("cannot set up the JPEG decoder and encoder");
  out.resize(crops.size());
  if (crop_all(codecs, jpeg.data(), static_cast<unsigned long>(jpeg.size()), crops.data(),
               crops.size(), out.data()) == Outcome::Failed ||
      (codecs.errors.warned && !tolerate_warnings)) {
    return std::string(codecs.errors.message);
  }
  return out;
}

}  // namespace kolva::jpeg_tools
