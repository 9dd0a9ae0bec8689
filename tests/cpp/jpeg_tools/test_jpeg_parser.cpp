// The JPEG marker-segment parser and the SOF0 sampling factors.

#include <string>

#include "jpeg_tools/jpeg_tools.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

using namespace kolva::jpeg_tools;

// A compact rendering of a parsed segment list: "Kind@offset+length" joined by
// blanks, with the decoded fields in brackets.
std::string render(const std::vector<ParsedSegment>& segments) {
  struct Kind {
    std::string operator()(const SegmentKind::Soi&) const { return "Soi"; }
    std::string operator()(const SegmentKind::Eoi&) const { return "Eoi"; }
    std::string operator()(const SegmentKind::App0&) const { return "App0"; }
    std::string operator()(const SegmentKind::Sos&) const { return "Sos"; }
    std::string operator()(const SegmentKind::Dri& d) const {
      return "Dri[" + std::to_string(d.restart_interval) + "]";
    }
    std::string operator()(const SegmentKind::Sof0& s) const {
      return "Sof0[" + std::to_string(s.precision) + "," + std::to_string(s.height) + "," +
             std::to_string(s.width) + "]";
    }
    std::string operator()(const SegmentKind::Comment& c) const { return "Com[" + c.text + "]"; }
    std::string operator()(const SegmentKind::Other& o) const {
      struct Marker {
        std::string operator()(const MarkerKind::Sof0&) const { return "Sof0"; }
        std::string operator()(const MarkerKind::Dht&) const { return "Dht"; }
        std::string operator()(const MarkerKind::Rst& r) const { return "Rst" + std::to_string(r.index); }
        std::string operator()(const MarkerKind::Sos&) const { return "Sos"; }
        std::string operator()(const MarkerKind::Dqt&) const { return "Dqt"; }
        std::string operator()(const MarkerKind::Dnl&) const { return "Dnl"; }
        std::string operator()(const MarkerKind::Dri&) const { return "Dri"; }
        std::string operator()(const MarkerKind::App0&) const { return "App0"; }
        std::string operator()(const MarkerKind::Com&) const { return "Com"; }
        std::string operator()(const MarkerKind::Unknown& u) const {
          char buf[8];
          std::snprintf(buf, sizeof buf, "%02X", u.byte);
          return std::string("Unknown") + buf;
        }
      };
      return "Other:" + std::visit(Marker{}, o.marker.v);
    }
  };
  std::string out;
  for (const auto& s : segments) {
    if (!out.empty()) out += ' ';
    out += std::visit(Kind{}, s.kind.v) + "@" + std::to_string(s.offset) + "+" + std::to_string(s.length);
  }
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kApp0 = {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
const Bytes kDqt = cat({{0xFF, 0xDB, 0x00, 0x43, 0x00}, Bytes(64, 1)});
// 8-bit, 256 lines, 512 samples per line, three components: Y 2x2, Cb and Cr 1x1.
const Bytes kSof0 = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0x00, 0x02, 0x00, 0x03,
                     0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
const Bytes kDht = cat({{0xFF, 0xC4, 0x00, 0x14, 0x00}, Bytes(16, 0), Bytes(1, 0)});
const Bytes kSos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
const Bytes kScan = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xD9};
Bytes baseline() { return cat({kSoi, kApp0, kDqt, kSof0, kDht, kSos, kScan}); }

struct ParseCase {
  std::string name;
  Bytes data;
  std::string segments;
};

class JpegParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JpegParse, Segments) { EXPECT_EQ(render(JpegParser::parse(GetParam().data)), GetParam().segments); }

INSTANTIATE_TEST_SUITE_P(
    Cases, JpegParse,
    ::testing::Values(
        ParseCase{"SoiEoi", {0xFF, 0xD8, 0xFF, 0xD9}, "Soi@0+2 Eoi@2+2"},
        ParseCase{"Empty", {}, ""},
        ParseCase{"OneByte", {0xFF}, ""},
        ParseCase{"NotFF", {0x00, 0xFF, 0xD8}, ""},
        ParseCase{"TrailingFFNotListed", {0xFF, 0xD8, 0xFF}, "Soi@0+2"},
        ParseCase{"Baseline", baseline(),
                  "Soi@0+2 App0@2+18 Other:Dqt@20+69 Sof0[8,256,512]@89+19 Other:Dht@108+22 Sos@130+14"},
        ParseCase{"Dri", {0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x04, 0x00, 0x10, 0xAA}, "Soi@0+2 Dri[16]@2+6"},
        ParseCase{"DriAtVeryEnd", {0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x04, 0x00, 0x10}, "Soi@0+2 Dri[16]@2+6"},
        ParseCase{"DriCutOff", {0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x04, 0x00}, "Soi@0+2"},
        ParseCase{"DriLengthNotChecked", {0xFF, 0xDD, 0x00, 0x02, 0x00, 0x05, 0xFF, 0xD9}, "Dri[5]@0+4"},
        ParseCase{"ComLatin1", {0xFF, 0xFE, 0x00, 0x04, 0x41, 0xE9}, "Com[A\xc3\xa9]@0+6"},
        ParseCase{"ComLength2", {0xFF, 0xFE, 0x00, 0x02, 0xFF, 0xD9}, "Com[]@0+4 Eoi@4+2"},
        // The next position is the low length byte (never 0xFF), so the scan ends there.
        ParseCase{"ComLengthBelow2", {0xFF, 0xFE, 0x00, 0x01, 0xFF, 0xD9}, "Com[]@0+3"},
        ParseCase{"ComCutOff", {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x08, 0x41}, "Soi@0+2"},
        ParseCase{"App1Unknown", {0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xD9}, "Other:UnknownE1@0+4 Eoi@4+2"},
        ParseCase{"Sof2Unknown", {0xFF, 0xC2, 0x00, 0x02}, "Other:UnknownC2@0+4"},
        ParseCase{"RstWithLength", {0xFF, 0xD3, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xD9}, "Other:Rst3@0+6 Eoi@6+2"},
        ParseCase{"DnlAndFillByte", {0xFF, 0xDC, 0x00, 0x02, 0xFF, 0xFF, 0x00, 0x02}, "Other:Dnl@0+4 Other:UnknownFF@4+4"},
        ParseCase{"EoiDoesNotEndScan", {0xFF, 0xD9, 0xFF, 0xD8}, "Eoi@0+2 Soi@2+2"},
        ParseCase{"LengthFieldDoesNotFit", {0xFF, 0xD8, 0xFF, 0xC4, 0x00}, "Soi@0+2"},
        ParseCase{"Sof0TruncatedEndsScan", {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0x00, 0x02, 0x00},
                  "Soi@0+2"},
        ParseCase{"Sof0TooShortEndsScan", {0xFF, 0xC0, 0x00, 0x06, 0x08, 0x01, 0x00, 0x02, 0xFF, 0xD9}, ""},
        ParseCase{"Sof0Minimal", {0xFF, 0xC0, 0x00, 0x07, 0x0C, 0x00, 0x10, 0x00, 0x20, 0xFF, 0xD9},
                  "Sof0[12,16,32]@0+9 Eoi@9+2"},
        ParseCase{"SosLengthNotChecked", {0xFF, 0xDA, 0x00, 0x40, 0x01}, "Sos@0+66"}),
    ByName());

TEST(JpegParser, BaselineEndsAtFirstScanByte) {
  const Bytes data = baseline();
  const auto segments = JpegParser::parse(data);
  ASSERT_EQ(segments.size(), 6U);
  EXPECT_EQ(segments.back().offset + segments.back().length, data.size() - kScan.size());
}

TEST(JpegParser, EveryPrefixOfAValidHeaderIsSafe) {
  const Bytes data = cat({kSoi, kApp0, {0xFF, 0xFE, 0x00, 0x05, 'a', 0xE9, 'c'}, kDqt,
                          {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x08}, kSof0, kDht, kSos, kScan});
  const std::string full = render(JpegParser::parse(data));
  for (std::size_t n = 0; n <= data.size(); ++n) {
    // A fresh, exact-size copy so that a read past the prefix is caught by ASan.
    const Bytes prefix(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    const auto segments = JpegParser::parse(prefix);
    const std::string got = render(segments);
    EXPECT_EQ(full.compare(0, got.size(), got), 0) << "prefix " << n << ": " << got;
    for (const auto& s : segments) {
      if (!std::holds_alternative<SegmentKind::Sos>(s.kind.v) &&
          !std::holds_alternative<SegmentKind::App0>(s.kind.v)) {
        EXPECT_LE(s.offset + 2, n);
      }
    }
    if (const auto* last = segments.empty() ? nullptr : &segments.back()) {
      (void)sof0_sampling(prefix, last->offset);
    }
  }
}

struct SamplingCase {
  std::string name;
  Bytes header;
  std::size_t sof_offset;
  Sampling expected;
};

class Sof0Sampling : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(Sof0Sampling, LargestFactors) {
  const auto& c = GetParam();
  EXPECT_EQ(sof0_sampling(c.header, c.sof_offset), c.expected);
}

Bytes sof(std::initializer_list<std::uint8_t> factors) {
  Bytes b = {0xFF, 0xC0, 0x00, static_cast<std::uint8_t>(8 + 3 * factors.size()), 8, 0, 16, 0, 16,
             static_cast<std::uint8_t>(factors.size())};
  std::uint8_t id = 1;
  for (auto f : factors) b.insert(b.end(), {id++, f, 0});
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Sof0Sampling,
    ::testing::Values(
        SamplingCase{"Yuv444", sof({0x11, 0x11, 0x11}), 0, Sampling{1, 1}},
        SamplingCase{"Yuv420", sof({0x22, 0x11, 0x11}), 0, Sampling{2, 2}},
        SamplingCase{"Yuv422", sof({0x21, 0x11, 0x11}), 0, Sampling{2, 1}},
        SamplingCase{"Gray", sof({0x11}), 0, Sampling{1, 1}},
        SamplingCase{"AtOffset", cat({kSoi, kApp0, kSof0}), 20, Sampling{2, 2}},
        SamplingCase{"BaselineAtOffset", baseline(), 89, Sampling{2, 2}},
        SamplingCase{"TruncatedBeforeComponentCount", {0xFF, 0xC0, 0x00, 0x11, 8, 0, 16, 0, 16}, 0, Sampling{1, 1}},
        SamplingCase{"TruncatedInsideComponents", {0xFF, 0xC0, 0x00, 0x11, 8, 0, 16, 0, 16, 3, 1}, 0, Sampling{1, 1}},
        SamplingCase{"OffsetPastEnd", sof({0x22}), 100, Sampling{1, 1}},
        SamplingCase{"DeclaredLengthLimitsComponents", {0xFF, 0xC0, 0x00, 0x0B, 8, 0, 16, 0, 16, 2, 1, 0x11, 0, 2, 0x22, 0},
                     0, Sampling{1, 1}}),
    ByName());

// The Adobe APP14 check walks the segments before the frame: a table whose
// bytes happen to hold FF EE, or an APP14 of another writer, is no Adobe marker.
struct AdobeCase {
  std::string name;
  Bytes jpeg;
  bool expected;
};

class AdobeMarker : public ::testing::TestWithParam<AdobeCase> {};

TEST_P(AdobeMarker, Found) { EXPECT_EQ(has_adobe_marker(GetParam().jpeg), GetParam().expected); }

Bytes adobe() { return Bytes(kAdobeRgbApp14, kAdobeRgbApp14 + 16); }
const Bytes kDqtWithFfEe = {0xFF, 0xDB, 0x00, 0x06, 0x00, 0xFF, 0xEE, 0x01};
const Bytes kOtherApp14 = {0xFF, 0xEE, 0x00, 0x07, 'O', 't', 'h', 'e', 'r'};

INSTANTIATE_TEST_SUITE_P(
    Cases, AdobeMarker,
    ::testing::Values(AdobeCase{"AfterSoi", cat({kSoi, adobe(), kSof0}), true},
                      AdobeCase{"TableSegmentsWithoutSoi", cat({kDqtWithFfEe, adobe()}), true},
                      AdobeCase{"FfEeInsideATable", cat({kSoi, kDqtWithFfEe, kSof0}), false},
                      AdobeCase{"OtherWritersApp14", cat({kSoi, kOtherApp14}), false},
                      AdobeCase{"AfterTheFrame", cat({kSoi, kSof0, adobe()}), false},
                      AdobeCase{"CutShort", Bytes(kAdobeRgbApp14, kAdobeRgbApp14 + 8), false},
                      AdobeCase{"Empty", {}, false}),
    ByName());

// Stored intervals keep all but their last byte; the numbering counts on
// across calls, from `first`, wrapping after RST7, and appended markers go on
// from where renumbering stopped.
TEST(RestartMarkers, RenumbersStoredIntervalsAndAppendsInOneCount) {
  Bytes data = {1, 0xFF, 0xD0, 2, 0xFF, 0xD1, 0xFF, 0xD2, 9};
  RestartMarkers markers(6);
  const std::uint64_t first_sizes[] = {3, 3};
  const std::uint64_t second_sizes[] = {2};
  EXPECT_EQ(markers.renumber(data, first_sizes), 6u);
  EXPECT_EQ(markers.renumber(std::span(data).subspan(6), second_sizes), 2u);
  markers.append(data);
  EXPECT_EQ(data, (Bytes{1, 0xFF, 0xD6, 2, 0xFF, 0xD7, 0xFF, 0xD0, 9, 0xFF, 0xD1}));
  EXPECT_EQ(markers.count(), 10u);
}

// The walk every header reader shares: fill bytes skipped, the segment that
// runs past the bytes held told apart from bytes that are no segment.
TEST(Segments, WalksSkipsFillAndTellsShortFromMalformed) {
  using Step = Segments::Step;
  const Bytes header = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xDD, 0x00, 0x04, 0x00, 0x10,
                        0xFF, 0xDA, 0x00, 0x03, 0x01};
  Segments walk(header);
  Segment seg;
  ASSERT_EQ(walk.next(seg), Step::Segment);
  EXPECT_EQ(seg.marker, 0xDD);
  EXPECT_EQ(seg.at, 4u);
  EXPECT_EQ(Bytes(seg.body.begin(), seg.body.end()), (Bytes{0x00, 0x10}));
  EXPECT_EQ(seg.end(), 10u);
  ASSERT_EQ(walk.next(seg), Step::Segment);
  EXPECT_EQ(seg.marker, 0xDA);
  EXPECT_EQ(walk.next(seg), Step::Short);  // nothing after the scan header
  const Bytes cut = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
  EXPECT_EQ(Segments(cut).next(seg), Step::Short);
  const Bytes no_marker = {0xFF, 0xD8, 0x12, 0x34, 0x00, 0x02};
  EXPECT_EQ(Segments(no_marker).next(seg), Step::Malformed);
  const Bytes too_short = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x01, 0x00};
  EXPECT_EQ(Segments(too_short).next(seg), Step::Malformed);
}

}  // namespace
}  // namespace kolva::test
