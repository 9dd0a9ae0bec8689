// QPI page descriptions in the encodings scanners write them in.

#include <gtest/gtest.h>

#include "drivers/qptiff/qpi_xml.hpp"

namespace kolva::drivers::qpi {
namespace {

std::string utf16(std::string_view ascii, bool big, bool bom) {
  std::string out;
  if (bom) out += big ? std::string("\xFE\xFF", 2) : std::string("\xFF\xFE", 2);
  for (char c : ascii) {
    if (big) out += '\0';
    out += c;
    if (!big) out += '\0';
  }
  return out;
}

TEST(QpiDescription, ReadsUtf8AndUtf16AlikeAndOnlyTopLevelFields) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-16\"?><PerkinElmer-QPI-ImageDescription>"
      "<ImageType>FullResolution</ImageType><Name> DAPI </Name>"
      "<Responsivity><Filter><Name>x</Name></Filter></Responsivity>"
      "</PerkinElmer-QPI-ImageDescription>";
  for (const std::string& raw : {xml, utf16(xml, false, true), utf16(xml, true, true),
                                 utf16(xml, false, false)}) {
    auto page = parse_qpi_description(description_text(raw));
    ASSERT_TRUE(page);
    EXPECT_EQ(page->image_type, "FullResolution");
    EXPECT_EQ(page->name, "DAPI");
    EXPECT_EQ(page->fields.size(), 2u);
  }
  EXPECT_FALSE(parse_qpi_description("<Other><Name>a</Name></Other>"));
}

}  // namespace
}  // namespace kolva::drivers::qpi
