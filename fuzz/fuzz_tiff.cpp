// The TIFF/BigTIFF directory reader alone, over arbitrary bytes; and the
// registry's reader, which reads a directory's values together where they lie
// close: wherever the plain reader reads the file, it reads the same, also
// when it leaves tables in the file that are filled in afterwards.

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
  const auto order = size >= 2 && data[0] == 'M' && data[1] == 'M' ? kolva::ByteOrder::Big
                                                                    : kolva::ByteOrder::Little;
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
    auto [sub, sub_first] = kolva::tiff_tools::SubIfdTiffDecoder::dispatch({});
    auto same = kolva::std_io::run(source, std::move(sub), sub_first);
    if (!same.ok() || same->size() != ifds->size()) __builtin_trap();
    for (std::size_t i = 0; i < ifds->size(); ++i) {
      if ((*same)[i].entries() != (*ifds)[i].entries()) __builtin_trap();
    }
    // Leaving tables of 16 bytes or more in the file: once they are filled in
    // from the file's bytes, every tag reads as it did.
    auto [lazy, lazy_first] = kolva::tiff_tools::SubIfdTiffDecoder::dispatch({16});
    auto left = kolva::std_io::run(source, std::move(lazy), lazy_first);
    if (!left.ok() || left->size() != ifds->size()) __builtin_trap();
    for (std::size_t i = 0; i < ifds->size(); ++i) {
      const auto& ifd = (*left)[i];
      const auto& in_file = ifd.in_file();
      for (std::size_t k = 0; k < in_file.size(); ++k) {
        const auto& v = in_file[k];
        if (v.offset > size || v.byte_len > size - v.offset) __builtin_trap();
        auto value = kolva::tiff_tools::parse_data(
            kolva::ByteSpan(data + v.offset, static_cast<std::size_t>(v.byte_len)), v.count,
            v.data_type, order);
        if (value.ok()) ifd.fill_in(k, std::move(value).value());
      }
      const auto& want = (*ifds)[i].entries();
      if (ifd.entries().size() + in_file.size() != want.size()) __builtin_trap();
      for (const auto& entry : want) {
        const auto* got = ifd.get(entry.tag);
        if (got == nullptr || !(*got == entry.data)) __builtin_trap();
      }
    }
  }
  return 0;
}
