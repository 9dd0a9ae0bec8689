#pragma once

// A small writer of flat JSON objects in Python's json.dumps layout
// ({"key": value, "other": value}), appended to a string that the caller
// reuses: what the shard writer emits per tile.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kolva::text {

// Appends `value` as a JSON string: quotes, backslashes and control
// characters escaped, every other byte as it is (UTF-8 stays UTF-8).
void append_json_string(std::string& out, std::string_view value);

// Appends the decimal digits of `value`.
void append_number(std::string& out, std::uint64_t value);

class JsonObject {
 public:
  // Starts the object at the end of `out`.
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }

  // Keys are the caller's own names, written as they are: none may hold a
  // character JSON escapes. Values are escaped.
  JsonObject& string(std::string_view key, std::string_view value) {
    this->key(key);
    append_json_string(out_, value);
    return *this;
  }
  JsonObject& number(std::string_view key, std::uint64_t value) {
    this->key(key);
    append_number(out_, value);
    return *this;
  }
  JsonObject& numbers(std::string_view key, std::initializer_list<std::uint64_t> values);
  // Finite numbers written as Python writes floats ("1024.0", "0.5").
  JsonObject& reals(std::string_view key, std::initializer_list<double> values);
  // Members already written as JSON ("a": 1, "b": "c"); nothing when empty.
  JsonObject& members(std::string_view json);
  // Closes the object.
  void close() { out_ += '}'; }

 private:
  void key(std::string_view key) {
    out_ += first_ ? "\"" : ", \"";
    first_ = false;
    out_ += key;
    out_ += "\": ";
  }
  std::string& out_;
  bool first_ = true;
};

}  // namespace kolva::text
