#include "slide/metadata.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <utility>

namespace kolva::slide::metadata {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// Splits on every occurrence of `separator` (empty pieces kept).
std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    out += kReplacement;
  } else if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

const std::string* ascii_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag) {
  const tiff_tools::Data* data = ifd.get(tag);
  return data ? data->ascii() : nullptr;
}

// A single number of any numeric TIFF type (the first of an array); a
// rational with denominator 0 and a negative or non-finite value count as
// absent, as a TIFF library refuses them.
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

// A single signed or unsigned integer as decimal text.
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

// ------------------------------------------------------------------ a small XML reader

// Elements with their attributes; text is kept once, in document order, and
// an element's content (all the text inside it, as libxml2's
// xmlNodeGetContent gives it) is the range [text_begin, text_end) of it.
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<std::size_t> children;
  std::size_t text_begin = 0;
  std::size_t text_end = 0;

  const std::string* attribute(std::string_view key) const {
    for (const auto& [k, v] : attributes) {
      if (k == key) return &v;
    }
    return nullptr;
  }
};

struct XmlDocument {
  std::vector<XmlElement> elements;  // [0] is the root
  std::string text;

  std::string_view content(const XmlElement& e) const {
    return std::string_view(text).substr(e.text_begin, e.text_end - e.text_begin);
  }
};

constexpr std::size_t kMaxXmlDepth = 64;

// Replaces the five predefined entities and character references; an
// unknown entity stays as written.
std::string decode_entities(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t amp = raw.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, amp - i));
    const std::size_t semi = raw.find(';', amp);
    if (semi == std::string_view::npos || semi - amp > 12) {
      out += '&';
      i = amp + 1;
      continue;
    }
    const std::string_view name = raw.substr(amp + 1, semi - amp - 1);
    if (name == "quot") {
      out += '"';
    } else if (name == "amp") {
      out += '&';
    } else if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "apos") {
      out += '\'';
    } else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      std::uint32_t cp = 0;
      const auto [end, ec] =
          std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
      if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        out.append(raw.substr(amp, semi - amp + 1));
      } else {
        append_utf8(out, cp);
      }
    } else {
      out.append(raw.substr(amp, semi - amp + 1));
    }
    i = semi + 1;
  }
  return out;
}

// Well-formed enough XML into elements; nothing for anything it cannot read
// (unbalanced tags, unterminated markup, more than kMaxXmlDepth levels).
std::optional<XmlDocument> parse_xml(std::string_view s) {
  XmlDocument doc;
  std::vector<std::size_t> open;
  bool have_root = false;
  std::size_t i = 0;
  auto skip_past = [&](std::string_view end) {
    const std::size_t at = s.find(end, i);
    if (at == std::string_view::npos) return false;
    i = at + end.size();
    return true;
  };
  auto name_end = [&](std::size_t from) {
    std::size_t j = from;
    while (j < s.size() && !is_space(s[j]) && s[j] != '/' && s[j] != '>' && s[j] != '=') ++j;
    return j;
  };
  while (i < s.size()) {
    if (s[i] != '<') {
      const std::size_t lt = std::min(s.find('<', i), s.size());
      if (!open.empty()) doc.text += decode_entities(s.substr(i, lt - i));
      i = lt;
      continue;
    }
    const std::string_view rest = s.substr(i);
    if (rest.starts_with("<?")) {
      if (!skip_past("?>")) return std::nullopt;
    } else if (rest.starts_with("<!--")) {
      if (!skip_past("-->")) return std::nullopt;
    } else if (rest.starts_with("<![CDATA[")) {
      const std::size_t begin = i + 9;
      if (!skip_past("]]>")) return std::nullopt;
      if (!open.empty()) doc.text.append(s.substr(begin, i - 3 - begin));
    } else if (rest.starts_with("<!")) {
      if (!skip_past(">")) return std::nullopt;
    } else if (rest.starts_with("</")) {
      const std::size_t end = name_end(i + 2);
      const std::string_view name = s.substr(i + 2, end - i - 2);
      i = end;
      if (!skip_past(">") || open.empty() || doc.elements[open.back()].name != name) {
        return std::nullopt;
      }
      doc.elements[open.back()].text_end = doc.text.size();
      open.pop_back();
    } else {
      const std::size_t end = name_end(i + 1);
      if (end == i + 1) return std::nullopt;
      XmlElement element;
      element.name = std::string(s.substr(i + 1, end - i - 1));
      i = end;
      bool closed = false;
      while (true) {
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '>') {
          ++i;
          break;
        }
        if (s.substr(i).starts_with("/>")) {
          i += 2;
          closed = true;
          break;
        }
        const std::size_t key_end = name_end(i);
        if (key_end == i) return std::nullopt;
        std::string key(s.substr(i, key_end - i));
        i = key_end;
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size() || s[i] != '=') return std::nullopt;
        ++i;
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return std::nullopt;
        const char quote = s[i];
        const std::size_t close = s.find(quote, i + 1);
        if (close == std::string_view::npos) return std::nullopt;
        element.attributes.emplace_back(std::move(key),
                                        decode_entities(s.substr(i + 1, close - i - 1)));
        i = close + 1;
      }
      if (open.empty() && have_root) return std::nullopt;  // a second root
      const std::size_t index = doc.elements.size();
      element.text_begin = element.text_end = doc.text.size();
      doc.elements.push_back(std::move(element));
      if (open.empty()) {
        have_root = true;
      } else {
        doc.elements[open.back()].children.push_back(index);
      }
      if (!closed) {
        if (open.size() >= kMaxXmlDepth) return std::nullopt;
        open.push_back(index);
      }
    }
  }
  if (!have_root || !open.empty()) return std::nullopt;
  return doc;
}

// ------------------------------------------------------------------ Philips

bool has_element_children(const XmlElement& e) { return !e.children.empty(); }

// The objects in an attribute's <Array>, in order.
std::vector<const XmlElement*> array_objects(const XmlDocument& doc, const XmlElement& attribute) {
  std::vector<const XmlElement*> out;
  for (std::size_t c : attribute.children) {
    const XmlElement& array = doc.elements[c];
    if (array.name != "Array") continue;
    for (std::size_t o : array.children) {
      if (doc.elements[o].name == "DataObject") out.push_back(&doc.elements[o]);
    }
  }
  return out;
}

// `prefix + Name` for each text attribute of `object`; with `arrays`, an
// attribute holding an array of objects adds `prefix + Name[i].` for each.
void add_philips_object(const XmlDocument& doc, const XmlElement& object, const std::string& prefix,
                        bool arrays, PropertyMap& out) {
  for (std::size_t c : object.children) {
    const XmlElement& attribute = doc.elements[c];
    const std::string* name = attribute.attribute("Name");
    if (attribute.name != "Attribute" || name == nullptr) continue;
    if (!has_element_children(attribute)) {
      out[prefix + *name] = std::string(doc.content(attribute));
      continue;
    }
    if (!arrays) continue;
    std::size_t i = 0;
    for (const XmlElement* item : array_objects(doc, attribute)) {
      add_philips_object(doc, *item, prefix + *name + "[" + std::to_string(i++) + "].", true, out);
    }
  }
}

const XmlElement* philips_wsi(const XmlDocument& doc) {
  for (std::size_t c : doc.elements[0].children) {
    const XmlElement& attribute = doc.elements[c];
    const std::string* name = attribute.attribute("Name");
    if (attribute.name != "Attribute" || name == nullptr || *name != "PIM_DP_SCANNED_IMAGES") {
      continue;
    }
    for (const XmlElement* image : array_objects(doc, attribute)) {
      for (std::size_t a : image->children) {
        const XmlElement& field = doc.elements[a];
        const std::string* field_name = field.attribute("Name");
        if (field_name && *field_name == "PIM_DP_IMAGE_TYPE" && doc.content(field) == "WSI") {
          return image;
        }
      }
    }
  }
  return nullptr;
}

}  // namespace

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

std::optional<double> parse_double(std::string_view text) {
  std::string canonical(text);
  for (char& c : canonical) {
    if (c == ',') c = '.';
  }
  std::string_view s = canonical;
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
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, format);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return negative ? -value : value;
}

void add_aperio(std::string_view description, PropertyMap& out) {
  const std::string text = clean_text(description);
  const auto fields = split(text, "|");
  std::optional<std::string> mpp, app_mag;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::size_t eq = fields[i].find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key(trim(fields[i].substr(0, eq)));
    std::string value(trim(fields[i].substr(eq + 1)));
    if (key == "MPP") mpp = value;
    if (key == "AppMag") app_mag = value;
    out["aperio." + key] = std::move(value);
  }
  if (mpp) {
    if (const auto v = parse_double(*mpp); usable_positive(v)) {
      out["kolva.mpp-x"] = out["kolva.mpp-y"] = format_double(*v);
    }
  }
  if (app_mag) {
    if (const auto v = parse_double(*app_mag); usable_positive(v)) {
      out["kolva.objective-power"] = format_double(*v);
    }
  }
}

void add_philips(std::string_view xml, PropertyMap& out) {
  const auto doc = parse_xml(clean_text(xml));
  if (!doc) return;
  PropertyMap found;
  add_philips_object(*doc, doc->elements[0], "philips.", false, found);
  if (const XmlElement* wsi = philips_wsi(*doc)) {
    add_philips_object(*doc, *wsi, "philips.", true, found);
  }
  if (const auto it = found.find("philips.DICOM_PIXEL_SPACING"); it != found.end()) {
    // Two quoted numbers in millimetres: the row spacing (y), then the column spacing (x).
    const auto parts = split(it->second, "\"");
    if (parts.size() >= 4) {
      const auto y = parse_double(parts[1]);
      const auto x = parse_double(parts[3]);
      if (usable_positive(x) && usable_positive(y) && std::isfinite(*x * 1000.0) &&
          std::isfinite(*y * 1000.0)) {
        found["kolva.mpp-x"] = format_double(*x * 1000.0);
        found["kolva.mpp-y"] = format_double(*y * 1000.0);
      }
    }
  }
  if (const auto it = found.find("philips.DICOM_DERIVATION_DESCRIPTION"); it != found.end()) {
    // "...-levels=40,20,10-..." : the first number is the objective power.
    const std::size_t at = it->second.find("levels=");
    if (at != std::string::npos) {
      const char* begin = it->second.data() + at + 7;
      const char* end = it->second.data() + it->second.size();
      unsigned power = 0;
      const auto [stop, ec] = std::from_chars(begin, end, power);
      if (ec == std::errc() && stop != begin && power >= 1 && power <= 200) {
        found["kolva.objective-power"] = format_double(power);
      }
    }
  }
  for (auto& [k, v] : found) out[k] = std::move(v);
}

std::vector<double> philips_downsamples(std::string_view xml) {
  PropertyMap found;
  add_philips(xml, found);
  std::vector<std::pair<double, double>> spacing;
  for (std::size_t i = 0;; ++i) {
    const auto it = found.find("philips.PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE[" +
                               std::to_string(i) + "].DICOM_PIXEL_SPACING");
    if (it == found.end()) break;
    const auto parts = split(it->second, "\"");
    if (parts.size() < 4) return {};
    const auto y = parse_double(parts[1]);
    const auto x = parse_double(parts[3]);
    if (!usable_positive(x) || !usable_positive(y)) return {};
    spacing.emplace_back(*x, *y);
  }
  std::vector<double> out;
  for (const auto& [x, y] : spacing) {
    const double ratio = std::round((x / spacing[0].first + y / spacing[0].second) / 2.0);
    if (!std::isfinite(ratio) || ratio < 1) return {};
    out.push_back(ratio);
  }
  return out;
}

void add_hamamatsu(const tiff_tools::Ifd& ifd, PropertyMap& out) {
  constexpr std::uint16_t kSourceLens = 65421, kXOffset = 65422, kYOffset = 65423,
                          kReference = 65427, kPropertyMap = 65449;
  if (const tiff_tools::Data* lens = ifd.get(kSourceLens)) {
    std::optional<double> value;
    if (const auto* f = lens->get_if<tiff_tools::FLOAT>()) value = static_cast<double>(f->value);
    if (const auto* d = lens->get_if<tiff_tools::DOUBLE>()) value = d->value;
    if (value && std::isfinite(*value)) {
      out["hamamatsu.SourceLens"] = format_double(*value);
      if (*value > 0) out["kolva.objective-power"] = format_double(*value);
    }
  }
  if (auto x = integer_tag(ifd, kXOffset)) out["hamamatsu.XOffsetFromSlideCentre"] = std::move(*x);
  if (auto y = integer_tag(ifd, kYOffset)) out["hamamatsu.YOffsetFromSlideCentre"] = std::move(*y);
  if (const std::string* reference = ascii_tag(ifd, kReference)) {
    out["hamamatsu.Reference"] = clean_text(*reference);
  }
  if (const std::string* map = ascii_tag(ifd, kPropertyMap)) {
    const std::string text = clean_text(*map);
    for (std::string_view line : split(text, "\r\n")) {
      const std::size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      out["hamamatsu." + std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
  }
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
