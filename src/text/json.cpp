#include "text/json.hpp"

#include <charconv>

namespace kolva::text {

void append_json_string(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void JsonObject::key(std::string_view key) {
  if (!first_) out_ += ", ";
  first_ = false;
  append_json_string(out_, key);
  out_ += ": ";
}

JsonObject& JsonObject::string(std::string_view key, std::string_view value) {
  this->key(key);
  append_json_string(out_, value);
  return *this;
}

JsonObject& JsonObject::number(std::string_view key, std::uint64_t value) {
  this->key(key);
  append_number(out_, value);
  return *this;
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
