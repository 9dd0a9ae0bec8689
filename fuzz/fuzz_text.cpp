// The XML reader and the base64 decoder over arbitrary text: every element's
// children and content must lie inside the document.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/base64.hpp"
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
  return 0;
}
