// The TIFF/BigTIFF directory reader alone, over arbitrary bytes; and the
// registry's reader, which reads a directory's values together where they lie
// close: wherever the plain reader reads the file, it reads the same.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "std_io/std_io.hpp"
#include "tiff_tools/sub_ifds.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace {
void drop_line(std::string_view) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kolva::set_diagnostic_sink(drop_line);
  kolva::std_io::MemorySource source(kolva::Bytes(data, data + size));
  auto [decoder, first] = kolva::tiff_tools::TiffDecoder::dispatch(kolva::NoInput{});
  auto ifds = kolva::std_io::run(source, std::move(decoder), first);
  if (ifds.ok()) {
    for (const auto& ifd : *ifds) {
      const auto& entries = ifd.entries();
      for (std::size_t i = 0; i < entries.size(); ++i) {
        // One entry per tag, in ascending order, each found by its tag.
        if ((i > 0 && entries[i - 1].tag >= entries[i].tag) ||
            ifd.get(entries[i].tag) != &entries[i].data) {
          __builtin_trap();
        }
        (void)entries[i].data.to_u64vec();
        (void)entries[i].data.expect_u8vec();
      }
    }
    auto [sub, sub_first] = kolva::tiff_tools::SubIfdTiffDecoder::dispatch(kolva::NoInput{});
    auto same = kolva::std_io::run(source, std::move(sub), sub_first);
    if (!same.ok() || same->size() != ifds->size()) __builtin_trap();
    for (std::size_t i = 0; i < ifds->size(); ++i) {
      if ((*same)[i].entries() != (*ifds)[i].entries()) __builtin_trap();
    }
  }
  return 0;
}
