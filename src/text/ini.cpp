#include "text/ini.hpp"

#include <charconv>

#include "text/strings.hpp"

namespace kolva::text {

const std::string* IniGroup::find(std::string_view key) const {
  const std::string* found = nullptr;
  for (const auto& [k, v] : entries) {
    if (k == key) found = &v;
  }
  return found;
}

const IniGroup* Ini::group(std::string_view name) const {
  for (const IniGroup& g : groups) {
    if (g.name == name) return &g;
  }
  return nullptr;
}

Ini parse_ini(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  Ini ini;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      ini.groups.push_back(IniGroup{std::string(trim(line.substr(1, close - 1))), {}});
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || ini.groups.empty()) continue;
    ini.groups.back().entries.emplace_back(std::string(trim(line.substr(0, eq))),
                                           std::string(trim(line.substr(eq + 1))));
  }
  return ini;
}

std::optional<long long> parse_integer(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace kolva::text
