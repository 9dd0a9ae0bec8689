// The shared text modules: JSON strings as Python's json.loads reads them,
// base64 both ways, and the XML reader's refusals.

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"
#include "text/base64.hpp"
#include "text/json.hpp"
#include "text/xml.hpp"

namespace kolva::test {
namespace {

TEST(Json, ObjectInPythonLayout) {
  std::string out;
  text::JsonObject(out)
      .string("key", "a\"b\\c\n\x01\xC3\xA9")
      .members("\"level\": 0")
      .numbers("box", {1, 2})
      .number("n", 18446744073709551615ULL)
      .close();
  EXPECT_EQ(out,
            "{\"key\": \"a\\\"b\\\\c\\n\\u0001\xC3\xA9\", \"level\": 0, \"box\": [1, 2], "
            "\"n\": 18446744073709551615}");
}

TEST(Base64, RoundTripsEveryLength) {
  Bytes bytes;
  for (int n = 0; n < 8; ++n) {
    const std::string text = text::base64_encode(bytes);
    EXPECT_EQ(text.size() % 4, 0U);
    EXPECT_EQ(text::base64_decode(text), bytes);
    bytes.push_back(static_cast<std::uint8_t>(0xF0 + n));
  }
  EXPECT_EQ(text::base64_decode("QUJD\n RA"), (Bytes{'A', 'B', 'C', 'D'}));
  EXPECT_FALSE(text::base64_decode("QU*D").has_value());
}

TEST(Xml, ReadsElementsAndRefusesBrokenDocuments) {
  const auto doc = text::parse_xml(
      "<?xml version=\"1.0\"?><r a='1 &amp; 2'><c>x&#233;<![CDATA[<y>]]></c><d/></r>");
  ASSERT_TRUE(doc.has_value());
  ASSERT_EQ(doc->elements.size(), 3U);
  EXPECT_EQ(*doc->elements[0].attribute("a"), "1 & 2");
  EXPECT_EQ(doc->content(doc->elements[1]), "x\xC3\xA9<y>");
  EXPECT_EQ(text::decode_entities("&#0;&#xD800;&bogus;"), "\xEF\xBF\xBD\xEF\xBF\xBD&bogus;");
  for (const char* broken : {"<a><b></a>", "<a>", "<a/><b/>", "<a x=1/>", "text only"}) {
    EXPECT_FALSE(text::parse_xml(broken).has_value()) << broken;
  }
}

}  // namespace
}  // namespace kolva::test
