#include "text/xml.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <memory_resource>
#include <cstdint>
#include <system_error>

#include "text/strings.hpp"
#include "text/utf8.hpp"

namespace kolva::text {

namespace {

// decode_entities of `raw`, appended to `out`.
void append_decoded(std::string& out, std::string_view raw) {
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
        if (is_scalar_value(cp)) {
          append_utf8(out, cp);
        } else {
          out += kReplacement;
        }
      }
    } else {
      out.append(raw.substr(amp, semi - amp + 1));
    }
    i = semi + 1;
  }
}

// The characters that end a tag or attribute name: blanks (is_space), '/', '>' and '='.
constexpr auto kEndsName = [] {
  std::array<bool, 256> ends{};
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    ends[static_cast<std::size_t>(c)] = ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' ||
                                        ch == '\f' || ch == '\r' || ch == '/' || ch == '>' ||
                                        ch == '=';
  }
  return ends;
}();

// How often `c` occurs in `s` (found by memchr, which is vectorised).
std::size_t occurrences(std::string_view s, char c) {
  std::size_t n = 0;
  for (std::size_t at = s.find(c); at != std::string_view::npos; at = s.find(c, at + 1)) ++n;
  return n;
}

}  // namespace

std::string_view local_name(std::string_view name) {
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view XmlElement::local_name() const { return text::local_name(name); }

XmlElement element_of(std::string_view name, std::span<const XmlAttribute> attributes) {
  XmlElement e;
  e.name = std::string(name);
  e.attributes.reserve(attributes.size());
  for (const XmlAttribute& a : attributes) {
    e.attributes.emplace_back(std::string(a.name), std::string(a.value));
  }
  return e;
}

void append_text(std::string& out, std::string_view raw, bool cdata) {
  if (cdata) {
    out.append(raw);
  } else {
    append_decoded(out, raw);
  }
}

std::string decode_entities(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  append_decoded(out, raw);
  return out;
}

bool scan_xml(std::string_view s, XmlHandler& handler) {
  // The open elements' names, for matching end tags; the attributes of the
  // tag being read, values decoded into `decoded` where they hold entities.
  // Room for the usual depth and attribute count on the stack.
  std::array<std::byte, 1536> room;
  std::pmr::monotonic_buffer_resource arena(room.data(), room.size());
  std::pmr::vector<std::string_view> open(&arena);
  std::pmr::vector<XmlAttribute> attributes(&arena);
  std::vector<std::string> decoded;
  std::pmr::vector<std::size_t> decoded_of(&arena);  // attribute index -> decoded index + 1, 0: as written
  open.reserve(16);
  attributes.reserve(16);
  decoded_of.reserve(16);
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
    while (j < s.size() && !kEndsName[static_cast<unsigned char>(s[j])]) ++j;
    return j;
  };
  while (i < s.size()) {
    if (s[i] != '<') {
      const std::size_t lt = std::min(s.find('<', i), s.size());
      if (!open.empty()) handler.text(s.substr(i, lt - i), false);
      i = lt;
      continue;
    }
    const std::string_view rest = s.substr(i);
    // The character after '<' tells the markup apart.
    const char after = rest.size() > 1 ? rest[1] : '\0';
    if (after == '?') {
      if (!skip_past("?>")) return false;
    } else if (after == '!' && rest.starts_with("<!--")) {
      if (!skip_past("-->")) return false;
    } else if (after == '!' && rest.starts_with("<![CDATA[")) {
      const std::size_t begin = i + 9;
      if (!skip_past("]]>")) return false;
      if (!open.empty()) handler.text(s.substr(begin, i - 3 - begin), true);
    } else if (after == '!') {
      if (!skip_past(">")) return false;
    } else if (after == '/') {
      const std::size_t end = name_end(i + 2);
      const std::string_view name = s.substr(i + 2, end - i - 2);
      i = end;
      if (!skip_past(">") || open.empty() || open.back() != name) return false;
      open.pop_back();
      handler.end();
    } else {
      const std::size_t end = name_end(i + 1);
      if (end == i + 1) return false;
      const std::string_view name = s.substr(i + 1, end - i - 1);
      i = end;
      attributes.clear();
      decoded_of.clear();
      std::size_t decoded_count = 0;
      bool closed = false;
      while (true) {
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size()) return false;
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
        if (key_end == i) return false;
        const std::string_view key = s.substr(i, key_end - i);
        i = key_end;
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size() || s[i] != '=') return false;
        ++i;
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return false;
        // The value up to its closing quote, and whether it holds an entity.
        const std::size_t close = s.find(s[i], i + 1);
        if (close == std::string_view::npos) return false;
        const std::string_view raw = s.substr(i + 1, close - i - 1);
        const bool entities = raw.find('&') != std::string_view::npos;
        attributes.push_back({key, raw});
        if (!entities) {
          decoded_of.push_back(0);
        } else {
          if (decoded.size() <= decoded_count) decoded.emplace_back();
          decoded[decoded_count].clear();
          append_decoded(decoded[decoded_count], raw);
          decoded_of.push_back(++decoded_count);
        }
        i = close + 1;
      }
      if (open.empty() && have_root) return false;  // a second root
      // The decoded values, now that `decoded` no longer grows.
      for (std::size_t k = 0; k < attributes.size(); ++k) {
        if (decoded_of[k] != 0) attributes[k].value = decoded[decoded_of[k] - 1];
      }
      have_root = true;
      if (!closed && open.size() + 1 > kMaxXmlDepth) return false;
      handler.start(name, attributes, closed);
      if (!closed) open.push_back(name);
    }
  }
  return have_root && open.empty();
}

std::optional<XmlDocument> parse_xml(std::string_view s) {
  // The document as a tree: every element, its attributes and the text.
  class Builder final : public XmlHandler {
   public:
    explicit Builder(std::string_view s) {
      // Room for the elements (most have an end tag: two '<' each) and all
      // the text at once.
      doc.elements.reserve(occurrences(s, '<') / 2 + 1);
      doc.text.reserve(s.size());
    }
    void start(std::string_view name, std::span<const XmlAttribute> attributes,
               bool empty) override {
      XmlElement element = element_of(name, attributes);
      element.text_begin = element.text_end = doc.text.size();
      const std::size_t index = doc.elements.size();
      doc.elements.push_back(std::move(element));
      if (!open.empty()) doc.elements[open.back()].children.push_back(index);
      if (!empty) open.push_back(index);
    }
    void end() override {
      doc.elements[open.back()].text_end = doc.text.size();
      open.pop_back();
    }
    void text(std::string_view raw, bool cdata) override { append_text(doc.text, raw, cdata); }
    XmlDocument doc;

   private:
    std::vector<std::size_t> open;
  } builder(s);
  if (!scan_xml(s, builder)) return std::nullopt;
  return std::move(builder.doc);
}

const XmlElement* XmlDocument::child(const XmlElement& e, std::string_view name) const {
  for (std::size_t i : e.children) {
    if (elements[i].local_name() == name) return &elements[i];
  }
  return nullptr;
}

std::vector<const XmlElement*> XmlDocument::children(const XmlElement& e,
                                                     std::string_view name) const {
  std::vector<const XmlElement*> out;
  for (std::size_t i : e.children) {
    if (elements[i].local_name() == name) out.push_back(&elements[i]);
  }
  return out;
}

std::optional<std::uint64_t> parse_uint(std::string_view value) {
  const std::string_view t = trim(value);
  std::uint64_t out = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return out;
}

std::optional<std::uint64_t> uint_attribute(const XmlElement& e, std::string_view key) {
  const std::string* v = e.attribute(key);
  return v ? parse_uint(*v) : std::nullopt;
}

}  // namespace kolva::text
