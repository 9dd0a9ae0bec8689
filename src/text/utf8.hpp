#pragma once

// UTF-8 encoding of code points, shared by every layer that turns stored text
// (UTF-16, ISO-8859-1, character references) into UTF-8.

#include <cstdint>
#include <string>
#include <string_view>

namespace kolva::text {

// Appends `cp` encoded as UTF-8, 1 to 4 bytes by its value; the caller decides
// what it accepts (see is_scalar_value).
inline void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Whether `cp` is a Unicode scalar value other than NUL (what a document may
// carry as a character).
inline bool is_scalar_value(std::uint32_t cp) {
  return cp != 0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

// U+FFFD, the replacement character.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace kolva::text
