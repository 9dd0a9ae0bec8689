#include "base/base.hpp"

#include <cstdio>

namespace kolva {
namespace {

void write_stdout(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

DiagnosticSink g_sink = nullptr;

}  // namespace

std::string_view media_type(TileEncoding encoding) {
  switch (encoding) {
    case TileEncoding::Jpeg: return "image/jpeg";
    case TileEncoding::Jpeg2000:
    case TileEncoding::Jpeg2000YCbCr: return "image/jp2";
    case TileEncoding::Bmp: return "image/bmp";
    case TileEncoding::Tiff: return "image/tiff";
  }
  return "";
}

void set_diagnostic_sink(DiagnosticSink sink) { g_sink = sink; }

void diagnostic_line(std::string_view line) {
  if (g_sink != nullptr) {
    g_sink(line);
  } else {
    write_stdout(line);
  }
}

}  // namespace kolva
