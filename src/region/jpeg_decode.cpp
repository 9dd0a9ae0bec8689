#include "region/jpeg_decode.hpp"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace kolva::region {
namespace {

// libjpeg's error manager with a place to jump back to and libjpeg's words.
struct ErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

extern "C" void on_jpeg_error(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorJump*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Corrupt-data warnings (a truncated stream, a bad Huffman code) would leave
// grey or garbage pixels: a tile that does not decode cleanly is an error.
// Stray bytes between markers are harmless and common in scanner files.
extern "C" void on_jpeg_warning(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code != JWRN_EXTRANEOUS_DATA) on_jpeg_error(cinfo);
}

extern "C" void quiet(j_common_ptr) {}

// Why a decode stopped, filled in by decode_crop().
enum class Failure : int { None, Jpeg, TooSmall, ScratchTooSmall, Channels };

// Rows decoded per call into the scratch buffer.
constexpr std::uint32_t kScratchRows = 16;

struct Scratch {
  std::uint8_t* data;
  std::size_t capacity;
};

// The whole libjpeg conversation. Holds no object with a destructor: a
// longjmp out of libjpeg lands here and only the decompressor is released.
// The variables the jump must see unchanged are volatile.
Failure decode_crop(const std::uint8_t* data, std::size_t size, const JpegCrop* crop,
                    std::uint8_t* out, std::size_t stride, Scratch scratch, char* message,
                    std::uint32_t* seen_w, std::uint32_t* seen_h, std::uint32_t* painted_w,
                    std::uint32_t* painted_h) {
  jpeg_decompress_struct cinfo;
  ErrorJump err;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = on_jpeg_error;
  err.mgr.emit_message = on_jpeg_warning;
  err.mgr.output_message = quiet;
  err.message[0] = '\0';
  volatile Failure failure = Failure::None;
  if (setjmp(err.jump) != 0) {
    std::memcpy(message, err.message, JMSG_LENGTH_MAX);
    jpeg_destroy_decompress(&cinfo);
    return Failure::Jpeg;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.num_components != 1 && cinfo.num_components != 3) {
    failure = Failure::Channels;
  } else {
    cinfo.out_color_space = JCS_RGB;
    cinfo.scale_num = 1;
    cinfo.scale_denom = crop->scale_denom;
    jpeg_start_decompress(&cinfo);
    *seen_w = cinfo.output_width;
    *seen_h = cinfo.output_height;
    // Edge tiles may be stored smaller than the level's tiles (cut to the
    // level): what lies past the stream's own size is left to the caller.
    const std::uint32_t crop_w =
        crop->x < cinfo.output_width ? std::min(crop->width, cinfo.output_width - crop->x) : 0;
    const std::uint32_t crop_h =
        crop->y < cinfo.output_height ? std::min(crop->height, cinfo.output_height - crop->y) : 0;
    *painted_w = crop_w;
    *painted_h = crop_h;
    if (crop_w == 0 || crop_h == 0) {
      jpeg_abort_decompress(&cinfo);
    } else {
      // Fancy upsampling takes a chroma sample from each side: one iMCU more
      // on either side keeps the crop's edge pixels those of the whole tile.
      const JDIMENSION imcu =
          static_cast<JDIMENSION>(cinfo.max_h_samp_factor) * cinfo.min_DCT_scaled_size;
      JDIMENSION x = crop->x > imcu ? crop->x - imcu : 0;
      JDIMENSION width = std::min<JDIMENSION>(crop->x + crop_w + imcu, cinfo.output_width) - x;
      if (x != 0 || width != cinfo.output_width) jpeg_crop_scanline(&cinfo, &x, &width);
      const std::size_t row_bytes = static_cast<std::size_t>(cinfo.output_width) * 3;
      if (row_bytes * kScratchRows > scratch.capacity) {
        failure = Failure::ScratchTooSmall;
      } else {
        const std::size_t lead = static_cast<std::size_t>(crop->x - x) * 3;
        if (crop->y > 0) jpeg_skip_scanlines(&cinfo, crop->y);
        // Several rows per call: libjpeg hands out an iMCU row at a time, and
        // rows copied long after they were written copy at full speed.
        JSAMPROW rows[kScratchRows];
        for (std::uint32_t i = 0; i < kScratchRows; ++i) rows[i] = scratch.data + i * row_bytes;
        std::uint32_t r = 0;
        while (r < crop_h) {
          const JDIMENSION got =
              jpeg_read_scanlines(&cinfo, rows, std::min<JDIMENSION>(kScratchRows, crop_h - r));
          if (got == 0) break;
          for (JDIMENSION i = 0; i < got; ++i, ++r) {
            std::memcpy(out + r * stride, rows[i] + lead, static_cast<std::size_t>(crop_w) * 3);
          }
        }
        if (cinfo.output_scanline < crop->y + crop_h) failure = Failure::TooSmall;
      }
    }
  }
  jpeg_destroy_decompress(&cinfo);
  return failure;
}

}  // namespace

std::string decode_jpeg_rgb(std::span<const std::uint8_t> data, const JpegCrop& crop,
                            std::uint8_t* out, std::size_t stride, JpegSize* painted) {
  JpegSize none;
  if (painted == nullptr) painted = &none;
  *painted = JpegSize{};
  if (crop.width == 0 || crop.height == 0) return {};
  if (crop.scale_denom != 1 && crop.scale_denom != 2 && crop.scale_denom != 4 &&
      crop.scale_denom != 8) {
    return "a JPEG scale of 1/" + std::to_string(crop.scale_denom);
  }
  // A cropped row is at most three iMCUs (of up to 32 pixels) wider than the crop.
  const std::size_t scratch_size = (static_cast<std::size_t>(crop.width) + 96) * 3 * kScratchRows;
  const auto scratch = std::make_unique_for_overwrite<std::uint8_t[]>(scratch_size);
  char message[JMSG_LENGTH_MAX] = {};
  std::uint32_t width = 0, height = 0;
  switch (decode_crop(data.data(), data.size(), &crop, out, stride,
                      Scratch{scratch.get(), scratch_size}, message, &width, &height,
                      &painted->width, &painted->height)) {
    case Failure::None:
      return {};
    case Failure::Jpeg:
      return message[0] != '\0' ? std::string(message) : std::string("not a JPEG stream");
    case Failure::TooSmall:
      return "its JPEG of " + std::to_string(width) + " x " + std::to_string(height) +
             " pixels ends early";
    case Failure::ScratchTooSmall:
      return "its JPEG rows do not crop to the region";
    case Failure::Channels:
      return "its JPEG has neither 1 nor 3 components";
  }
  return {};
}

}  // namespace kolva::region
