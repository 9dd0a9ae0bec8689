#pragma once

// INI text as slide formats that span several files keep their index in
// ("[Group]" lines, then "key=value" lines): groups and keys in the order
// stored, values trimmed, a UTF-8 byte-order mark and CR line ends allowed,
// lines starting with ';' or '#' ignored. Lines that are neither are skipped,
// as the vendors' readers do. Never fails; bounded by the text's size.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolva::text {

struct IniGroup {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;
  // The value of `key` (the last one when repeated), or nothing.
  const std::string* find(std::string_view key) const;
};

struct Ini {
  std::vector<IniGroup> groups;
  // The group named `name` (the first when repeated), or nullptr.
  const IniGroup* group(std::string_view name) const;
};

Ini parse_ini(std::string_view text);

// A decimal integer that is the whole of `text` (surrounding blanks allowed,
// an optional sign): nothing on anything else or past 64 bits.
std::optional<long long> parse_integer(std::string_view text);

}  // namespace kolva::text
