// Slide properties from directories built in memory: text cleaning, number
// formatting and parsing, and the Aperio, Philips, NDPI and TIFF sources.
// Expected numbers are the strings OpenSlide gives for the same input.

#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "drivers/aperio/aperio.hpp"
#include "drivers/generic_tiff/generic_tiff.hpp"
#include "drivers/hamamatsu/hamamatsu.hpp"
#include "drivers/philips/philips.hpp"
#include "slide/metadata.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

namespace tt = tiff_tools;
namespace md = slide::metadata;
using Expected = std::map<std::string, std::optional<std::string>>;  // nullopt: key absent

void expect_properties(const md::PropertyMap& got, const Expected& expected) {
  for (const auto& [key, value] : expected) {
    const auto it = got.find(key);
    if (!value) {
      EXPECT_EQ(it, got.end()) << key << " = " << (it == got.end() ? "" : it->second);
    } else if (it == got.end()) {
      ADD_FAILURE() << key << " missing";
    } else {
      EXPECT_EQ(it->second, *value) << key;
    }
  }
}

// gtest names from the cases' `name` fields.
const auto case_name = [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
};

// ------------------------------------------------------------------ text and numbers

struct TextCase {
  std::string raw;
  std::string clean;
};
class CleanText : public ::testing::TestWithParam<TextCase> {};
TEST_P(CleanText, IsValidUtf8) { EXPECT_EQ(md::clean_text(GetParam().raw), GetParam().clean); }
INSTANTIATE_TEST_SUITE_P(
    Table, CleanText,
    ::testing::Values(TextCase{"plain", "plain"}, TextCase{std::string("cut\0here", 8), "cut"},
                      TextCase{"caf\xC3\xA9", "caf\xC3\xA9"},           // valid UTF-8 kept
                      TextCase{"caf\xE9", "caf\xEF\xBF\xBD"},           // Latin-1 byte
                      TextCase{"\xE2\x82", "\xEF\xBF\xBD"},             // truncated: one mark
                      TextCase{"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
                      TextCase{"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
                      TextCase{"\xF4\x90\x80\x80x",
                               "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},  // > U+10FFFF
                      TextCase{"\xF0\x9F\x94\xAC", "\xF0\x9F\x94\xAC"}, TextCase{"", ""}));

struct FormatCase {
  double value;
  std::string text;
};
class FormatDouble : public ::testing::TestWithParam<FormatCase> {};
TEST_P(FormatDouble, PrintsLikePercent17g) {
  EXPECT_EQ(md::format_double(GetParam().value), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Table, FormatDouble,
                         ::testing::Values(FormatCase{0.499, "0.499"}, FormatCase{40, "40"},
                                           FormatCase{10000.0 / 43826, "0.2281750559028887"},
                                           FormatCase{43826.1, "43826.099999999999"},
                                           FormatCase{25400.0 / 72, "352.77777777777777"},
                                           FormatCase{1e-7, "9.9999999999999995e-08"},
                                           FormatCase{0.000246345679 * 1000, "0.24634567900000001"},
                                           FormatCase{1e21, "1e+21"}));

struct ParseCase {
  std::string text;
  std::optional<double> value;
};
class ParseDouble : public ::testing::TestWithParam<ParseCase> {};
TEST_P(ParseDouble, WholeTextCommaAsPoint) {
  const auto got = md::parse_double(GetParam().text);
  ASSERT_EQ(got.has_value(), GetParam().value.has_value()) << GetParam().text;
  if (got) {
    EXPECT_EQ(*got, *GetParam().value);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Table, ParseDouble,
    ::testing::Values(ParseCase{"0.4990", 0.499}, ParseCase{"0,25", 0.25}, ParseCase{"+2", 2.0},
                      ParseCase{"-1", -1.0}, ParseCase{"0x10", 16.0}, ParseCase{" 5", 5.0},
                      ParseCase{"inf", std::numeric_limits<double>::infinity()},
                      ParseCase{"0.5x", std::nullopt}, ParseCase{"", std::nullopt},
                      ParseCase{"+-1", std::nullopt}, ParseCase{"1e999", std::nullopt},
                      ParseCase{"1,2,3", std::nullopt}, ParseCase{"0042", 42.0},
                      ParseCase{"999999999999999", 999999999999999.0},
                      ParseCase{"12345678901234567", 12345678901234567.0},
                      ParseCase{"4 ", std::nullopt}, ParseCase{"-", std::nullopt}));

// ------------------------------------------------------------------ Aperio

struct AperioCase {
  const char* name;
  std::string description;
  Expected expected;
};
class Aperio : public ::testing::TestWithParam<AperioCase> {};
TEST_P(Aperio, Description) {
  md::PropertyMap got;
  drivers::add_aperio(GetParam().description, got);
  expect_properties(got, GetParam().expected);
}
const std::string kHead =
    "Aperio Image Library v10.0.51\r\n46920x33014 [0,100 46000x32914] (240x240) JPEG/RGB Q=30";
INSTANTIATE_TEST_SUITE_P(
    Table, Aperio,
    ::testing::Values(
        AperioCase{"typical",
                   kHead + "|AppMag = 20|MPP = 0.4990|OriginalWidth = 46920|ScanScope ID = "
                           "CPAPERIOCS|OriginalWidth = 46000",
                   {{"aperio.AppMag", "20"},
                    {"aperio.MPP", "0.4990"},
                    {"aperio.OriginalWidth", "46000"},  // the last one wins
                    {"aperio.ScanScope ID", "CPAPERIOCS"},
                    {"kolva.mpp-x", "0.499"},
                    {"kolva.mpp-y", "0.499"},
                    {"kolva.objective-power", "20"}}},
        AperioCase{"header only", kHead, {{"kolva.mpp-x", std::nullopt}}},
        AperioCase{"comma decimal", kHead + "|MPP = 0,25|AppMag = 40.5",
                   {{"kolva.mpp-x", "0.25"}, {"kolva.objective-power", "40.5"}}},
        AperioCase{"odd fields", kHead + "|NoEquals||  Key  =  v = w  |=empty name",
                   {{"aperio.Key", "v = w"}, {"aperio.", "empty name"},
                    {"aperio.NoEquals", std::nullopt}}},
        AperioCase{"unusable numbers", kHead + "|MPP = 0.5x|AppMag = nan",
                   {{"aperio.MPP", "0.5x"}, {"kolva.mpp-x", std::nullopt},
                    {"kolva.objective-power", std::nullopt}}},
        AperioCase{"inf and negative", kHead + "|MPP = inf|AppMag = -20",
                   {{"kolva.mpp-x", std::nullopt}, {"kolva.objective-power", std::nullopt}}},
        AperioCase{"bad bytes", kHead + "|Title = caf\xE9|MPP = 0.25\xFF",
                   {{"aperio.Title", "caf\xEF\xBF\xBD"}, {"kolva.mpp-x", std::nullopt}}}),
    case_name);

// ------------------------------------------------------------------ TIFF resolution

tt::Data rational(std::uint32_t num, std::uint32_t den) { return tt::RATIONAL{{num, den}}; }

struct ResolutionCase {
  const char* name;
  std::optional<tt::Data> x, y;
  std::optional<std::uint16_t> unit;
  std::optional<std::pair<std::string, std::string>> mpp;
  Expected tags;
};
class Resolution : public ::testing::TestWithParam<ResolutionCase> {};
TEST_P(Resolution, MppAndTags) {
  const auto& c = GetParam();
  tt::Ifd ifd;
  if (c.x) ifd.insert(282, *c.x);
  if (c.y) ifd.insert(283, *c.y);
  if (c.unit) ifd.insert(296, tt::SHORT{*c.unit});
  const auto mpp = md::tiff_mpp(ifd);
  ASSERT_EQ(mpp.has_value(), c.mpp.has_value());
  if (mpp) {
    EXPECT_EQ(md::format_double(mpp->first), c.mpp->first);
    EXPECT_EQ(md::format_double(mpp->second), c.mpp->second);
  }
  md::PropertyMap got;
  md::add_tiff(ifd, true, got);
  expect_properties(got, c.tags);
}
const double kNan = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(
    Table, Resolution,
    ::testing::Values(
        ResolutionCase{"centimetre", rational(43826, 10), rational(43826, 10), 3,
                       std::pair{"2.2817505590288869", "2.2817505590288869"},
                       {{"tiff.XResolution", "4382.6000000000004"},
                        {"tiff.ResolutionUnit", "centimeter"}}},
        ResolutionCase{"inch", rational(72, 1), rational(144, 1), 2,
                       std::pair{"352.77777777777777", "176.38888888888889"},
                       {{"tiff.ResolutionUnit", "inch"}}},
        ResolutionCase{"unit absent means inch", rational(72, 1), rational(72, 1), std::nullopt,
                       std::pair{"352.77777777777777", "352.77777777777777"},
                       {{"tiff.ResolutionUnit", "inch"}}},
        ResolutionCase{"unit none", rational(72, 1), rational(72, 1), 1, std::nullopt,
                       {{"tiff.ResolutionUnit", "none"}, {"tiff.XResolution", "72"}}},
        ResolutionCase{"unit unknown", rational(72, 1), rational(72, 1), 7, std::nullopt,
                       {{"tiff.ResolutionUnit", "unknown"}}},
        ResolutionCase{"zero resolution", rational(0, 1), rational(72, 1), 3, std::nullopt,
                       {{"tiff.XResolution", "0"}}},
        ResolutionCase{"zero denominator", rational(5, 0), rational(72, 1), 3, std::nullopt,
                       {{"tiff.XResolution", std::nullopt}}},
        ResolutionCase{"one axis only", rational(72, 1), std::nullopt, 2, std::nullopt, {}},
        ResolutionCase{"no resolution", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                       {{"tiff.XResolution", std::nullopt}, {"tiff.ResolutionUnit", "inch"}}},
        ResolutionCase{"negative", tt::SRATIONAL{{-72, 1}}, tt::SRATIONAL{{-72, 1}}, 2,
                       std::nullopt, {{"tiff.XResolution", std::nullopt}}},
        ResolutionCase{"nan", tt::DOUBLE{kNan}, tt::DOUBLE{kNan}, 3, std::nullopt,
                       {{"tiff.XResolution", std::nullopt}}},
        ResolutionCase{"infinite", tt::FLOAT{std::numeric_limits<float>::infinity()},
                       tt::FLOAT{1.0F}, 3, std::nullopt, {}},
        ResolutionCase{"tiny", tt::DOUBLE{1e-320}, tt::DOUBLE{1e-320}, 2, std::nullopt, {}},
        ResolutionCase{"float type", tt::FLOAT{28.5F}, tt::FLOAT{28.5F}, 3,
                       std::pair{"350.87719298245617", "350.87719298245617"}, {}}),
    case_name);

// ------------------------------------------------------------------ Philips

std::string attr(const std::string& name, const std::string& value) {
  return "<Attribute Name=\"" + name + "\" Group=\"0x0\" Element=\"0x0\" PMSVR=\"IString\">" +
         value + "</Attribute>";
}
std::string array_attr(const std::string& name, const std::string& objects) {
  return "<Attribute Name=\"" + name + "\" PMSVR=\"IDataObjectArray\"><Array>" + objects +
         "</Array></Attribute>";
}
std::string object(const std::string& type, const std::string& body) {
  return "<DataObject ObjectType=\"" + type + "\">" + body + "</DataObject>";
}
std::string philips_xml(const std::string& wsi_body, const std::string& root_extra = "") {
  const std::string label =
      object("DPScannedImage", attr("PIM_DP_IMAGE_TYPE", "LABELIMAGE") + attr("LABEL_ONLY", "x"));
  const std::string wsi = object("DPScannedImage", attr("PIM_DP_IMAGE_TYPE", "WSI") + wsi_body);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<!-- scanner -->" +
         object("DPUfsImport", attr("DICOM_MANUFACTURER", "PHILIPS") + root_extra +
                                   array_attr("PIM_DP_SCANNED_IMAGES", label + wsi)) +
         "\n";
}
const std::string kSpacing =
    attr("DICOM_PIXEL_SPACING", "&quot;0.000227273&quot; &quot;0.000246345679&quot;");

struct PhilipsCase {
  const char* name;
  std::string xml;
  Expected expected;
};
class Philips : public ::testing::TestWithParam<PhilipsCase> {};
TEST_P(Philips, Xml) {
  md::PropertyMap got;
  drivers::add_philips(GetParam().xml, got);
  expect_properties(got, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Table, Philips,
    ::testing::Values(
        PhilipsCase{"spacing row first",
                    philips_xml(kSpacing),
                    {{"philips.DICOM_MANUFACTURER", "PHILIPS"},
                     {"philips.PIM_DP_IMAGE_TYPE", "WSI"},
                     {"philips.DICOM_PIXEL_SPACING", "\"0.000227273\" \"0.000246345679\""},
                     {"philips.LABEL_ONLY", std::nullopt},
                     {"kolva.mpp-y", "0.227273"},
                     {"kolva.mpp-x", "0.24634567900000001"}}},
        PhilipsCase{"levels give the objective",
                    philips_xml(attr("DICOM_DERIVATION_DESCRIPTION",
                                     "tiff-useBigTIFF=0-levels=40,10002-q80")),
                    {{"kolva.objective-power", "40"}}},
        PhilipsCase{"levels out of range",
                    philips_xml(attr("DICOM_DERIVATION_DESCRIPTION", "levels=10003,10002")),
                    {{"kolva.objective-power", std::nullopt}}},
        PhilipsCase{"sequence of levels",
                    philips_xml(array_attr(
                        "PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE",
                        object("PixelDataRepresentation", kSpacing + attr("N", "0")) +
                            object("PixelDataRepresentation", attr("N", "1")))),
                    {{"philips.PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE[0].N", "0"},
                     {"philips.PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE[1].N", "1"},
                     {"philips.PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE[0].DICOM_PIXEL_SPACING",
                      "\"0.000227273\" \"0.000246345679\""},
                     {"kolva.mpp-x", std::nullopt}}},
        PhilipsCase{"entities, comments and CDATA",
                    philips_xml("", attr("AMP", "a &amp; b &lt;c&gt; &#65;&#x42; <!-- c --> d") +
                                        attr("CD", "<![CDATA[x<y]]>") + attr("EMPTY", "") +
                                        array_attr("ROOTARR", object("X", attr("IN", "1")))),
                    {{"philips.AMP", "a & b <c> AB  d"},
                     {"philips.CD", "x<y"},
                     {"philips.EMPTY", ""},
                     {"philips.ROOTARR[0].IN", std::nullopt}}},
        PhilipsCase{"unbalanced", philips_xml(kSpacing).substr(0, 300),
                    {{"philips.DICOM_MANUFACTURER", std::nullopt}, {"kolva.mpp-x", std::nullopt}}},
        PhilipsCase{"stray brackets", std::string(100000, '<').replace(0, 1, "<a>") ,
                    {{"philips.DICOM_MANUFACTURER", std::nullopt}}},
        PhilipsCase{"nested far", [] {
                      std::string s;
                      for (int i = 0; i < 5000; ++i) s += "<a>";
                      for (int i = 0; i < 5000; ++i) s += "</a>";
                      return s;
                    }(),
                    {{"kolva.mpp-x", std::nullopt}}},
        PhilipsCase{"zero spacing",
                    philips_xml(attr("DICOM_PIXEL_SPACING", "&quot;0&quot; &quot;0&quot;")),
                    {{"kolva.mpp-x", std::nullopt}}},
        PhilipsCase{"not xml", "Level=1 Mag=20 Quality=80", {{"kolva.mpp-x", std::nullopt}}}),
    case_name);

TEST(Philips, DownsamplesFromSpacing) {
  auto rep = [](const std::string& spacing) {
    return object("PixelDataRepresentation",
                  attr("DICOM_PIXEL_SPACING", "&quot;" + spacing + "&quot; &quot;" + spacing +
                                                  "&quot;"));
  };
  const auto xml = [&](const std::string& reps) {
    return philips_xml(array_attr("PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE", reps));
  };
  EXPECT_EQ(drivers::philips_downsamples(xml(rep("0.000227273") + rep("0.000454546") +
                                        rep("0.000909092") + rep("0.00181818"))),
            (std::vector<double>{1, 2, 4, 8}));
  EXPECT_EQ(drivers::philips_downsamples(xml(rep("0.25") + rep("0,76"))), (std::vector<double>{1, 3}));
  EXPECT_TRUE(drivers::philips_downsamples(xml(rep("0.25") + rep("0")))
                  .empty());  // no usable spacing: the level sizes stand
  // A level finer than level 0:
  EXPECT_TRUE(drivers::philips_downsamples(xml(rep("0.25") + rep("0.1"))).empty());
  EXPECT_TRUE(drivers::philips_downsamples(xml("")).empty());
  EXPECT_TRUE(drivers::philips_downsamples("not xml").empty());
}

// Seeded damage to an XML and an Aperio description: the readers take any
// bytes, and what they report is valid UTF-8.
TEST(Metadata, DamagedTextGivesValidText) {
  const std::string xml = philips_xml(
      kSpacing + array_attr("PIIM_PIXEL_DATA_REPRESENTATION_SEQUENCE",
                            object("PixelDataRepresentation", kSpacing) +
                                object("PixelDataRepresentation", attr("N", "&#x41;&amp;"))));
  const std::string description = kHead + "|AppMag = 20|MPP = 0.4990|Title = caf\xC3\xA9";
  const std::string specials("<>&;\"'=|/![]#x\0\xC3\xFF", 17);
  std::uint32_t state = 12345;
  auto next = [&] {
    state = state * 1664525U + 1013904223U;
    return state >> 8;
  };
  for (int round = 0; round < 2000; ++round) {
    for (const std::string* original : {&xml, &description}) {
      std::string text = *original;
      for (std::uint32_t k = 0, n = 1 + next() % 6; k < n; ++k) {
        const std::size_t at = next() % text.size();
        switch (next() % 3) {
          case 0: text[at] = specials[next() % specials.size()]; break;
          case 1: text.erase(at, next() % 16); break;
          default: text.insert(at, std::string(1 + next() % 4, specials[next() % specials.size()]));
        }
        if (text.empty()) text = "<";
      }
      md::PropertyMap got;
      drivers::add_philips(text, got);
      drivers::add_aperio(text, got);
      for (double d : drivers::philips_downsamples(text)) EXPECT_GE(d, 1.0);
      for (const auto& [key, value] : got) {
        ASSERT_EQ(md::clean_text(key), key);
        ASSERT_EQ(md::clean_text(value), value);
      }
    }
  }
}

// ------------------------------------------------------------------ NDPI and whole slides

tt::Ifd ndpi_ifd() {
  tt::Ifd ifd;
  ifd.insert(271, tt::ASCII{std::string("Hamamatsu\0", 10)});
  ifd.insert(282, rational(43826, 1));
  ifd.insert(283, rational(43826, 1));
  ifd.insert(296, tt::SHORT{3});
  ifd.insert(65421, tt::FLOAT{35.16F});
  ifd.insert(65422, tt::SLONG{12538720});
  ifd.insert(65423, tt::SLONG{-96063});
  ifd.insert(65449, tt::ASCII{std::string(
                                  "Created=2011/05/23\r\n;NDP Shading Data;Version=0004\r;ID=4\r\n"
                                  "no equals\r\nNDP.S/N=950291\r\n") +
                              '\0'});
  return ifd;
}

TEST(Hamamatsu, DirectoryTags) {
  md::PropertyMap got;
  drivers::add_hamamatsu(ndpi_ifd(), got);
  expect_properties(got, {{"hamamatsu.SourceLens", "35.159999847412109"},
                          {"kolva.objective-power", "35.159999847412109"},
                          {"hamamatsu.XOffsetFromSlideCentre", "12538720"},
                          {"hamamatsu.YOffsetFromSlideCentre", "-96063"},
                          {"hamamatsu.Created", "2011/05/23"},
                          {"hamamatsu.;NDP Shading Data;Version", "0004\r;ID=4"},
                          {"hamamatsu.NDP.S/N", "950291"}});
  EXPECT_EQ(got.size(), 7U);
}

std::vector<slide::Level> two_levels() {
  LevelInfo l0{}, l1{};
  l0.dimensions = {1000, 750};
  l0.tile_size = {256, 256};
  l1.dimensions = {333, 250};
  l1.tile_size = {256, 128};
  return {slide::Level{l0, "image/jpeg", 1.0}, slide::Level{l1, "image/jpeg", 3.0015015015015014}};
}

// The properties each driver builds from its directories and levels.
using PropertiesOf = slide::Properties (*)(const std::vector<tt::Ifd>&,
                                           const std::vector<slide::Level>&);
slide::Properties ets_properties(const std::vector<tt::Ifd>&,
                                 const std::vector<slide::Level>& levels) {
  return md::finish_properties({}, levels, "olympus");
}

struct SlideCase {
  PropertiesOf format;
  std::vector<tt::Ifd> ifds;
  Expected expected;
};
class WholeSlide : public ::testing::TestWithParam<SlideCase> {};
TEST_P(WholeSlide, Properties) {
  const auto props = GetParam().format(GetParam().ifds, two_levels());
  md::PropertyMap got(props.begin(), props.end());
  EXPECT_EQ(got.size(), props.size()) << "a key appears twice";
  expect_properties(got, GetParam().expected);
}
tt::Ifd described(const std::string& text) {
  tt::Ifd ifd;
  ifd.insert(270, tt::ASCII{text + '\0'});
  ifd.insert(305, tt::ASCII{std::string("Soft\xFFware") + '\0'});
  return ifd;
}
const Expected kLevels = {{"kolva.level-count", "2"},
                          {"kolva.level[1].width", "333"},
                          {"kolva.level[1].height", "250"},
                          {"kolva.level[1].tile-width", "256"},
                          {"kolva.level[1].tile-height", "128"},
                          {"kolva.level[1].downsample", "3.0015015015015014"},
                          {"kolva.level[0].downsample", "1"}};
Expected with_levels(Expected e) {
  e.insert(kLevels.begin(), kLevels.end());
  return e;
}
INSTANTIATE_TEST_SUITE_P(
    Table, WholeSlide,
    ::testing::Values(
        SlideCase{ets_properties,
                  {},
                  with_levels({{"kolva.vendor", "olympus"}, {"tiff.ResolutionUnit", std::nullopt}})},
        SlideCase{drivers::aperio_properties,
                  {described(kHead + "|MPP = 0.25"), described("second")},
                  with_levels({{"kolva.vendor", "aperio"},
                               {"kolva.mpp-x", "0.25"},
                               {"kolva.comment", kHead + "|MPP = 0.25"},
                               {"tiff.ImageDescription", kHead + "|MPP = 0.25"},
                               {"tiff.Software", "Soft\xEF\xBF\xBDware"},
                               {"tiff.ResolutionUnit", "inch"}})},
        SlideCase{drivers::philips_properties,
                  {described(philips_xml(kSpacing))},
                  {{"kolva.vendor", "philips"},
                   {"kolva.mpp-y", "0.227273"},
                   {"kolva.comment", std::nullopt},
                   {"tiff.ImageDescription", std::nullopt}}},
        SlideCase{drivers::hamamatsu_properties,
                  {ndpi_ifd()},
                  {{"kolva.vendor", "hamamatsu"},
                   {"kolva.mpp-x", "0.2281750559028887"},
                   {"kolva.objective-power", "35.159999847412109"},
                   {"tiff.Make", "Hamamatsu"},
                   {"tiff.XResolution", "43826"},
                   {"kolva.comment", std::nullopt}}},
        SlideCase{drivers::generic_tiff_properties,
                  {described("a generic image")},
                  {{"kolva.vendor", "generic-tiff"},
                   {"kolva.comment", "a generic image"},
                   {"kolva.mpp-x", std::nullopt}}}));

}  // namespace
}  // namespace kolva::test
