#pragma once

// A small XML reader for the metadata vendors store in slides: elements with
// their attributes and text, entities and character references decoded,
// comments, processing instructions and DOCTYPE skipped, CDATA kept as text.
// Well-formed enough documents only: anything unbalanced reads as nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolva::text {

// Text is kept once, in document order; an element's content (all the text
// inside it, as libxml2's xmlNodeGetContent gives it) is the range
// [text_begin, text_end) of it.
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<std::size_t> children;  // indices into XmlDocument::elements
  std::size_t text_begin = 0;
  std::size_t text_end = 0;

  const std::string* attribute(std::string_view key) const {
    for (const auto& [k, v] : attributes) {
      if (k == key) return &v;
    }
    return nullptr;
  }

  // The name without its namespace prefix ("ome:Image" -> "Image").
  std::string_view local_name() const;
};

struct XmlDocument {
  std::vector<XmlElement> elements;  // [0] is the root, then in document order
  std::string text;

  std::string_view content(const XmlElement& e) const {
    return std::string_view(text).substr(e.text_begin, e.text_end - e.text_begin);
  }

  // The first child of `e`, or all of them, whose local name is `name`.
  const XmlElement* child(const XmlElement& e, std::string_view name) const;
  std::vector<const XmlElement*> children(const XmlElement& e, std::string_view name) const;
};

// A start tag's attribute as the scanner hands it over: the value with its
// entities decoded. Both views hold only during the call they are passed to.
struct XmlAttribute {
  std::string_view name;
  std::string_view value;
};

// What a document holds, in document order, for readers that keep only a few
// of its elements (a large metadata document read for some numbers in it).
class XmlHandler {
 public:
  virtual ~XmlHandler() = default;
  // A start tag; `empty`: it closes itself (<a/>), no end() follows.
  virtual void start(std::string_view name, std::span<const XmlAttribute> attributes,
                     bool empty) = 0;
  virtual void end() {}
  // Text inside the root: as written (entities not decoded), or a CDATA section's.
  virtual void text(std::string_view raw, bool cdata) {
    (void)raw;
    (void)cdata;
  }
};

// Hands the document to `handler`; false for what parse_xml cannot read (the
// events before it was found to be so have been handed over).
bool scan_xml(std::string_view xml, XmlHandler& handler);

// A tag or attribute name without its namespace prefix ("ome:Image" -> "Image").
std::string_view local_name(std::string_view name);
// The element a start tag makes (no children, no text), kept past the event.
XmlElement element_of(std::string_view name, std::span<const XmlAttribute> attributes);
// Appends what a text event holds: a CDATA section as it is, other text with
// its entities decoded.
void append_text(std::string& out, std::string_view raw, bool cdata);

// The attribute's value, or "" when the element has none of that name.
inline std::string attribute_or_empty(const XmlElement& e, std::string_view key) {
  const std::string* v = e.attribute(key);
  return v ? *v : std::string();
}

// A value that is a whole unsigned number (blanks around it allowed).
std::optional<std::uint64_t> parse_uint(std::string_view value);
// An attribute that is a whole unsigned number (parse_uint).
std::optional<std::uint64_t> uint_attribute(const XmlElement& e, std::string_view key);

constexpr std::size_t kMaxXmlDepth = 64;

// The document, or nothing for what it cannot read (unbalanced tags,
// unterminated markup, more than kMaxXmlDepth levels, a second root).
std::optional<XmlDocument> parse_xml(std::string_view xml);

// Replaces the five predefined entities and character references (a reference
// to no character becomes U+FFFD); an unknown entity stays as written.
std::string decode_entities(std::string_view raw);

}  // namespace kolva::text
