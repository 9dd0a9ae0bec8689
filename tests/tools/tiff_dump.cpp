// tiff_dump FILE: runs the TIFF directory reader over FILE and prints its
// directories as JSON on standard output:
//   {"ifds": [{"256": {"type": "SHORT", "array": false, "values": [1024]}, ...}, ...]}
// ASCII values are a string (one character per stored byte, NULs included);
// rationals are [numerator, denominator] pairs; floats use "nan"/"inf" strings
// where JSON has no number. On failure prints the error to standard error and
// exits with 1. The reader's diagnostic lines go to standard error.

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <type_traits>

#include "std_io/std_io.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace {

using namespace kolva::tiff_tools;

void to_stderr(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
}

// Each stored byte is the character with that code point.
std::string json_string(const std::string& raw) {
  std::string out = "\"";
  for (const char ch : raw) {
    const auto b = static_cast<unsigned char>(ch);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b < 0x20 || b >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out += buf;
    } else {
      out += static_cast<char>(b);
    }
  }
  return out + "\"";
}

template <class T>
std::string number(T v) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(v)) return "\"nan\"";
    if (std::isinf(v)) return v > 0 ? "\"inf\"" : "\"-inf\"";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", static_cast<double>(v));
    return buf;
  } else if constexpr (std::is_same_v<T, std::pair<std::uint32_t, std::uint32_t>> ||
                       std::is_same_v<T, std::pair<std::int32_t, std::int32_t>>) {
    return "[" + std::to_string(v.first) + ", " + std::to_string(v.second) + "]";
  } else {
    return std::to_string(static_cast<std::conditional_t<std::is_signed_v<T>, long long,
                                                         unsigned long long>>(v));
  }
}

std::string type_name(int code) {
  const auto dt = data_type_from_code(static_cast<std::uint64_t>(code));
  return dt ? std::string(debug_text(*dt)) : "?";
}

std::string render(const Data& data) {
  return std::visit(
      [](const auto& v) -> std::string {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, ASCII>) {
          return "{\"type\": \"ASCII\", \"array\": false, \"values\": " + json_string(v.text) + "}";
        } else {
          return []<class T, int Tag, template <class, int> class K>(const K<T, Tag>& x) {
            std::string values;
            bool array;
            if constexpr (std::is_same_v<K<T, Tag>, data::Array<T, Tag>>) {
              array = true;
              for (const auto& e : x.values) values += (values.empty() ? "" : ", ") + number(e);
            } else {
              array = false;
              values = number(x.value);
            }
            return "{\"type\": \"" + type_name(Tag) + "\", \"array\": " + (array ? "true" : "false") +
                   ", \"values\": [" + values + "]}";
          }(v);
        }
      },
      data.variant());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tiff_dump FILE\n";
    return 2;
  }
  kolva::set_diagnostic_sink(&to_stderr);
  auto source = kolva::std_io::FileSource::open(argv[1]);
  if (!source.ok()) {
    std::cerr << "open failed: " << source.error().debug() << "\n";
    return 1;
  }
  auto [consumer, first] = TiffDecoder::dispatch({});
  auto ifds = kolva::std_io::run(*source, std::move(consumer), first);
  if (!ifds.ok()) {
    std::cerr << ifds.error().display() << "\n";
    return 1;
  }
  std::string out = "{\"ifds\": [";
  for (std::size_t i = 0; i < ifds->size(); ++i) {
    const std::map<std::uint16_t, const Data*> sorted = [&] {
      std::map<std::uint16_t, const Data*> m;
      for (const auto& e : (*ifds)[i].entries()) m.emplace(e.tag, &e.data);
      return m;
    }();
    out += i == 0 ? "\n  {" : ",\n  {";
    bool first_tag = true;
    for (const auto& [tag, data] : sorted) {
      out += (first_tag ? "\n    \"" : ",\n    \"") + std::to_string(tag) + "\": " + render(*data);
      first_tag = false;
    }
    out += "}";
  }
  out += "\n]}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
