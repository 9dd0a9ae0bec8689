#include "drivers/qptiff/qpi_xml.hpp"

#include "text/strings.hpp"
#include "text/utf8.hpp"
#include "text/xml.hpp"

namespace kolva::drivers::qpi {
namespace {

constexpr std::string_view kRoot = "PerkinElmer-QPI-ImageDescription";

std::string from_utf16(std::string_view raw, bool big) {
  std::string out;
  out.reserve(raw.size() / 2);
  auto unit = [&](std::size_t i) -> std::uint32_t {
    const auto a = static_cast<std::uint8_t>(raw[i]);
    const auto b = static_cast<std::uint8_t>(raw[i + 1]);
    return big ? (std::uint32_t{a} << 8 | b) : (std::uint32_t{b} << 8 | a);
  };
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
    std::uint32_t cp = unit(i);
    if (cp == 0) break;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < raw.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    text::append_utf8(out, cp);
  }
  return out;
}

}  // namespace

std::string description_text(std::string_view raw) {
  if (raw.size() >= 2) {
    const auto a = static_cast<std::uint8_t>(raw[0]);
    const auto b = static_cast<std::uint8_t>(raw[1]);
    if (a == 0xFF && b == 0xFE) return from_utf16(raw.substr(2), false);
    if (a == 0xFE && b == 0xFF) return from_utf16(raw.substr(2), true);
    if (a == '<' && b == 0) return from_utf16(raw, false);
    if (a == 0 && b == '<') return from_utf16(raw, true);
  }
  const std::size_t nul = raw.find('\0');
  return std::string(nul == std::string_view::npos ? raw : raw.substr(0, nul));
}

bool is_qpi_description(std::string_view text) {
  const std::size_t at = text.find(kRoot);
  return at != std::string_view::npos && at > 0 && text[at - 1] == '<';
}

std::optional<PageDescription> parse_qpi_description(std::string_view text, bool fields) {
  if (!is_qpi_description(text)) return std::nullopt;
  // The root's children that hold only text, each with that text, read as
  // the document is scanned (no tree is built).
  class Fields final : public text::XmlHandler {
   public:
    explicit Fields(bool all) : all_(all) {}
    void start(std::string_view name, std::span<const text::XmlAttribute>, bool empty) override {
      if (depth_ == 0) {
        root_ = name == kRoot;
      } else if (depth_ == 1) {
        name_.assign(name);
        value_.clear();
        leaf_ = true;
      } else {
        leaf_ = false;
      }
      ++depth_;
      if (empty) end();
    }
    void end() override {
      --depth_;
      if (depth_ == 1 && leaf_ && root_) {
        const std::string value(text::trim(value_));
        if (name_ == "ImageType") out.image_type = value;
        if (name_ == "Name") out.name = value;
        if (all_) out.fields.emplace_back(name_, value);
      }
    }
    void text(std::string_view raw, bool cdata) override {
      if (depth_ >= 2) text::append_text(value_, raw, cdata);
    }
    bool root_ = false;
    PageDescription out;

   private:
    bool all_;
    std::size_t depth_ = 0;
    bool leaf_ = false;
    std::string name_;
    std::string value_;
  } read(fields);
  if (!text::scan_xml(text, read) || !read.root_) return std::nullopt;
  return std::move(read.out);
}

}  // namespace kolva::drivers::qpi
