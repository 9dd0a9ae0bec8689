#include "slide/metadata.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <utility>

#include "text/strings.hpp"
#include "text/utf8.hpp"

namespace kolva::slide::metadata {

using text::is_space;
using text::kReplacement;

const std::string* ascii_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag) {
  const tiff_tools::Data* data = ifd.get(tag);
  return data ? data->ascii() : nullptr;
}

std::optional<double> number_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag) {
  using namespace tiff_tools;
  const Data* data = ifd.get(tag);
  if (data == nullptr) return std::nullopt;
  std::optional<double> value;
  auto rational = [](auto num, auto den) -> std::optional<double> {
    if (den == 0) return std::nullopt;
    return static_cast<double>(num) / static_cast<double>(den);
  };
  if (const auto* r = data->get_if<RATIONAL>()) {
    value = rational(r->value.first, r->value.second);
  } else if (const auto* ra = data->get_if<RATIONAL_ARRAY>(); ra && !ra->values.empty()) {
    value = rational(ra->values[0].first, ra->values[0].second);
  } else if (const auto* s = data->get_if<SRATIONAL>()) {
    value = rational(s->value.first, s->value.second);
  } else if (const auto* sa = data->get_if<SRATIONAL_ARRAY>(); sa && !sa->values.empty()) {
    value = rational(sa->values[0].first, sa->values[0].second);
  } else if (const auto* f = data->get_if<FLOAT>()) {
    value = static_cast<double>(f->value);
  } else if (const auto* fa = data->get_if<FLOAT_ARRAY>(); fa && !fa->values.empty()) {
    value = static_cast<double>(fa->values[0]);
  } else if (const auto* d = data->get_if<DOUBLE>()) {
    value = d->value;
  } else if (const auto* da = data->get_if<DOUBLE_ARRAY>(); da && !da->values.empty()) {
    value = da->values[0];
  } else if (const auto u = data->unsigned_scalar()) {
    value = static_cast<double>(*u);
  }
  if (!value || !std::isfinite(*value) || *value < 0) return std::nullopt;
  return value;
}

std::optional<std::string> integer_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag) {
  using namespace tiff_tools;
  const Data* data = ifd.get(tag);
  if (data == nullptr) return std::nullopt;
  if (const auto u = data->unsigned_scalar()) return std::to_string(*u);
  if (const auto* l = data->get_if<SLONG>()) return std::to_string(l->value);
  if (const auto* s = data->get_if<SSHORT>()) return std::to_string(s->value);
  if (const auto* b = data->get_if<SBYTE>()) return std::to_string(b->value);
  if (const auto* l8 = data->get_if<SLONG8>()) return std::to_string(l8->value);
  return std::nullopt;
}

bool usable_positive(const std::optional<double>& v) { return v && std::isfinite(*v) && *v > 0; }

std::string clean_text(std::string_view raw) {
  const std::size_t nul = raw.find('\0');
  if (nul != std::string_view::npos) raw = raw.substr(0, nul);
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(raw[k]); };
  while (i < raw.size()) {
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    // Length of the sequence and the range of its second byte.
    std::size_t length = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    }
    // The longest valid start of a sequence counts as one bad character.
    std::size_t good = length == 0 ? 0 : 1;
    while (good > 0 && good < length && i + good < raw.size()) {
      const std::uint8_t b = byte(i + good);
      const bool fits = good == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!fits) break;
      ++good;
    }
    if (length > 0 && good == length) {
      out.append(raw.substr(i, length));
      i += length;
    } else {
      out += kReplacement;
      i += std::max<std::size_t>(good, 1);
    }
  }
  return out;
}

std::string format_double(double value) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
  if (ec != std::errc()) return "nan";
  return std::string(buffer, end);
}

namespace {

// Up to 15 decimal digits and nothing else: a whole number, exact in a double.
std::optional<double> whole_number(std::string_view s) {
  if (s.empty() || s.size() > 15) return std::nullopt;
  std::uint64_t whole = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    whole = whole * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return static_cast<double>(whole);
}

}  // namespace

std::optional<double> parse_double(std::string_view text) {
  // Most vendor numbers are whole numbers of a few digits: read at once.
  if (const auto whole = whole_number(text)) return whole;
  std::string canonical;
  if (text.find(',') != std::string_view::npos) {
    canonical.assign(text);
    std::replace(canonical.begin(), canonical.end(), ',', '.');
    text = canonical;
  }
  std::string_view s = text;
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  auto format = std::chars_format::general;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    format = std::chars_format::hex;
    s.remove_prefix(2);
  }
  if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
  double value = 0;
  if (const auto whole = format == std::chars_format::general ? whole_number(s) : std::nullopt) {
    value = *whole;
  } else {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, format);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  }
  return negative ? -value : value;
}

void add_tiff(const tiff_tools::Ifd& ifd, bool with_description, PropertyMap& out) {
  static constexpr std::pair<std::uint16_t, const char*> kText[] = {
      {269, "tiff.DocumentName"}, {270, "tiff.ImageDescription"}, {271, "tiff.Make"},
      {272, "tiff.Model"},        {305, "tiff.Software"},         {306, "tiff.DateTime"},
      {315, "tiff.Artist"},       {316, "tiff.HostComputer"},     {33432, "tiff.Copyright"},
  };
  for (const auto& [tag, key] : kText) {
    if (tag == 270 && !with_description) continue;
    if (const std::string* text = ascii_tag(ifd, tag)) out[key] = clean_text(*text);
  }
  static constexpr std::pair<std::uint16_t, const char*> kNumber[] = {
      {282, "tiff.XResolution"}, {283, "tiff.YResolution"},
      {286, "tiff.XPosition"},   {287, "tiff.YPosition"},
  };
  for (const auto& [tag, key] : kNumber) {
    if (const auto v = number_tag(ifd, tag)) out[key] = format_double(*v);
  }
  const std::uint64_t unit = ifd.scalar(296).value_or(2);
  out["tiff.ResolutionUnit"] = unit == 1   ? "none"
                               : unit == 2 ? "inch"
                               : unit == 3 ? "centimeter"
                                           : "unknown";
}

std::optional<std::pair<double, double>> tiff_mpp(const tiff_tools::Ifd& ifd) {
  const std::uint64_t unit = ifd.scalar(296).value_or(2);
  const double micrometres = unit == 2 ? 25400.0 : unit == 3 ? 10000.0 : 0.0;
  const auto x = number_tag(ifd, 282);
  const auto y = number_tag(ifd, 283);
  if (micrometres == 0 || !usable_positive(x) || !usable_positive(y)) return std::nullopt;
  const double mx = micrometres / *x, my = micrometres / *y;
  if (!std::isfinite(mx) || !std::isfinite(my)) return std::nullopt;
  return std::pair{mx, my};
}

void add_levels(const std::vector<Level>& levels, PropertyMap& out) {
  out["kolva.level-count"] = std::to_string(levels.size());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const Level& level = levels[i];
    const std::string prefix = "kolva.level[" + std::to_string(i) + "].";
    out[prefix + "width"] = std::to_string(level.info.dimensions.first);
    out[prefix + "height"] = std::to_string(level.info.dimensions.second);
    out[prefix + "downsample"] = format_double(level.downsample);
    out[prefix + "tile-width"] = std::to_string(level.info.tile_size.first);
    out[prefix + "tile-height"] = std::to_string(level.info.tile_size.second);
  }
}

void add_first_directory(const std::vector<tiff_tools::Ifd>& ifds, bool with_description,
                         PropertyMap& out) {
  if (ifds.empty()) return;
  const tiff_tools::Ifd& first = ifds[0];
  add_tiff(first, with_description, out);
  if (!with_description) return;
  if (const std::string* description = ascii_tag(first, 270)) {
    out["kolva.comment"] = clean_text(*description);
  }
}

void add_tiff_mpp(const std::vector<tiff_tools::Ifd>& ifds, PropertyMap& out) {
  if (ifds.empty()) return;
  if (const auto mpp = tiff_mpp(ifds[0])) {
    out["kolva.mpp-x"] = format_double(mpp->first);
    out["kolva.mpp-y"] = format_double(mpp->second);
  }
}

Properties finish_properties(PropertyMap map, const std::vector<Level>& levels,
                             std::string_view vendor) {
  add_levels(levels, map);
  map["kolva.vendor"] = std::string(vendor);
  Properties out;
  out.reserve(map.size());
  for (auto& [k, v] : map) out.emplace_back(k, std::move(v));
  return out;
}

}  // namespace kolva::slide::metadata
