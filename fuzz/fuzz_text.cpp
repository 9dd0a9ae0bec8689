// The XML reader, the base64 decoder and TIFF's LZW over arbitrary bytes:
// every element's children and content must lie inside the document, and LZW
// writes only the bytes asked for (the first two bytes ask).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <vector>

#include "text/base64.hpp"
#include "tiff_tools/lzw.hpp"
#include "text/xml.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto doc = kolva::text::parse_xml(text)) {
    for (const auto& element : doc->elements) {
      if (element.text_begin > element.text_end || element.text_end > doc->text.size()) {
        __builtin_trap();
      }
      for (std::size_t child : element.children) {
        if (child >= doc->elements.size()) __builtin_trap();
      }
      (void)doc->content(element);
    }
  }
  (void)kolva::text::base64_decode(text);
  if (size >= 2) {
    std::vector<std::uint8_t> out(std::size_t{data[0]} << 8 | data[1]);
    (void)kolva::tiff_tools::lzw_decode({data + 2, size - 2}, out);
  }
  return 0;
}
