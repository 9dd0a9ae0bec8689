#include "text/json.hpp"

#include <array>
#include <charconv>

namespace kolva::text {

void append_json_string(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  // Runs of bytes that need no escape (nearly every byte of a key or a name)
  // go in with one append each.
  static constexpr auto kEscaped = [] {
    std::array<bool, 256> table{};
    for (int b = 0; b < 0x20; ++b) table[static_cast<std::size_t>(b)] = true;
    table['"'] = table['\\'] = true;
    return table;
  }();
  std::size_t run = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto byte = bytes[i];
    if (!kEscaped[byte]) continue;
    const char c = static_cast<char>(byte);
    out.append(value.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  out.append(value.data() + run, value.size() - run);
  out += '"';
}

void append_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

JsonObject& JsonObject::numbers(std::string_view key, std::initializer_list<std::uint64_t> values) {
  this->key(key);
  out_ += '[';
  bool first = true;
  for (const std::uint64_t v : values) {
    if (!first) out_ += ", ";
    first = false;
    append_number(out_, v);
  }
  out_ += ']';
  return *this;
}

JsonObject& JsonObject::reals(std::string_view key, std::initializer_list<double> values) {
  this->key(key);
  out_ += '[';
  bool first = true;
  for (const double v : values) {
    if (!first) out_ += ", ";
    first = false;
    char digits[40];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    const std::string_view text(digits, static_cast<std::size_t>(end - digits));
    out_ += text;
    if (text.find_first_of(".en") == std::string_view::npos) out_ += ".0";
  }
  out_ += ']';
  return *this;
}

JsonObject& JsonObject::members(std::string_view json) {
  if (json.empty()) return *this;
  if (!first_) out_ += ", ";
  first_ = false;
  out_ += json;
  return *this;
}

}  // namespace kolva::text
