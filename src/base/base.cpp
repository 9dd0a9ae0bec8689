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
// Per-thread override: `active` says whether one is installed (its sink may be
// nullptr, which drops the lines).
thread_local bool t_override_active = false;
thread_local DiagnosticSink t_override = nullptr;

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

ScopedThreadDiagnostics::ScopedThreadDiagnostics(DiagnosticSink sink)
    : had_previous_(t_override_active), previous_(t_override) {
  t_override_active = true;
  t_override = sink;
}

ScopedThreadDiagnostics::~ScopedThreadDiagnostics() {
  t_override_active = had_previous_;
  t_override = previous_;
}

void diagnostic_line(std::string_view line) {
  if (t_override_active) {
    if (t_override != nullptr) t_override(line);
  } else if (g_sink != nullptr) {
    g_sink(line);
  } else {
    write_stdout(line);
  }
}

}  // namespace kolva
