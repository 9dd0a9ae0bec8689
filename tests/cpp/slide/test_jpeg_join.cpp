// Joining JPEG strips into one frame: the exact stream for well-formed strips,
// and refusals in words for strips that cannot be joined by restart markers.

#include <gtest/gtest.h>

#include "slide/jpeg_join.hpp"
#include "test_support.hpp"

namespace kolva::slide {
namespace {

const Bytes kTables = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x03, 0x07, 0xFF, 0xC4, 0x00, 0x03, 0x09,
                       0xFF, 0xD9};
const Bytes kTablesWithAdobe = {0xFF, 0xD8, 0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o', 'b', 'e', 0,
                                0x64, 0, 0, 0, 0, 0, 0xFF, 0xD9};

Bytes frame(std::uint16_t height, std::uint16_t width, std::uint8_t sampling,
            std::uint8_t marker = 0xC0) {
  return {0xFF, marker, 0x00, 0x11, 0x08, static_cast<std::uint8_t>(height >> 8),
          static_cast<std::uint8_t>(height), static_cast<std::uint8_t>(width >> 8),
          static_cast<std::uint8_t>(width), 0x03, 0x00, sampling, 0x00, 0x01, 0x11, 0x01,
          0x02, 0x11, 0x01};
}

const Bytes kScan = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00,
                     0x3F, 0x00};

Bytes strip(const Bytes& sof, const Bytes& data, const Bytes& extra = {}) {
  Bytes s = {0xFF, 0xD8};
  s.insert(s.end(), extra.begin(), extra.end());
  s.insert(s.end(), sof.begin(), sof.end());
  s.insert(s.end(), kScan.begin(), kScan.end());
  s.insert(s.end(), data.begin(), data.end());
  s.insert(s.end(), {0xFF, 0xD9});
  return s;
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

struct JoinCase {
  std::string name;
  std::size_t strips;
  std::uint64_t rows_per_strip;
  std::uint64_t height;
  std::uint8_t sampling;
  bool rgb;
  Bytes tables;
  std::uint16_t interval;  // 0: no DRI expected
};

class JoinStrips : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinStrips, GivesTablesOneFrameAndRestartSeparatedData) {
  const JoinCase& c = GetParam();
  const std::uint16_t width = 100;
  std::vector<Bytes> stored;
  for (std::size_t k = 0; k < c.strips; ++k) {
    const bool last = k + 1 == c.strips;
    const auto rows = static_cast<std::uint16_t>(last ? c.height - k * c.rows_per_strip
                                                      : c.rows_per_strip);
    // Entropy data with a stuffed 0xFF 0x00 pair, which must pass unchanged.
    stored.push_back(strip(frame(rows, width, c.sampling),
                           {static_cast<std::uint8_t>(0x10 + k), 0xFF, 0x00, 0x42}));
  }
  std::vector<ByteSpan> spans(stored.begin(), stored.end());
  auto joined = join_jpeg_strips({c.tables, width, c.height, c.rows_per_strip, c.rgb}, spans);
  ASSERT_TRUE(joined.ok()) << joined.error();

  Bytes want = {0xFF, 0xD8};
  const bool tables_adobe = c.tables.size() > 3 && c.tables[3] == 0xEE;
  if (c.rgb && !tables_adobe) append(want, Bytes(kAdobeRgbApp14, kAdobeRgbApp14 + 16));
  if (!c.tables.empty()) append(want, Bytes(c.tables.begin() + 2, c.tables.end() - 2));
  append(want, frame(static_cast<std::uint16_t>(c.height), width, c.sampling));
  if (c.interval > 0) {
    append(want, {0xFF, 0xDD, 0x00, 0x04, static_cast<std::uint8_t>(c.interval >> 8),
                  static_cast<std::uint8_t>(c.interval)});
  }
  append(want, kScan);
  for (std::size_t k = 0; k < c.strips; ++k) {
    if (k > 0) append(want, {0xFF, static_cast<std::uint8_t>(0xD0 + (k - 1) % 8)});
    append(want, {static_cast<std::uint8_t>(0x10 + k), 0xFF, 0x00, 0x42});
  }
  append(want, {0xFF, 0xD9});
  EXPECT_EQ(*joined, want);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, JoinStrips,
    ::testing::Values(
        // 100 px wide: 13 MCUs of 8, 7 of 16, per MCU row.
        JoinCase{"one_strip_no_restarts", 1, 16, 16, 0x11, false, kTables, 0},
        JoinCase{"three_444_strips_short_last", 3, 16, 40, 0x11, false, kTables, 26},
        JoinCase{"ten_strips_wrap_rst_numbers", 10, 16, 160, 0x11, false, kTables, 26},
        JoinCase{"subsampled_420", 2, 16, 32, 0x22, false, kTables, 7},
        JoinCase{"rgb_gets_adobe_marker", 2, 16, 30, 0x11, true, kTables, 26},
        JoinCase{"rgb_tables_with_adobe_keep_theirs", 2, 16, 32, 0x11, true, kTablesWithAdobe, 26},
        JoinCase{"tables_in_strips_only", 2, 32, 64, 0x11, false, {}, 52}),
    test::ByName{});

struct RefusalCase {
  std::string name;
  std::vector<Bytes> strips;
  std::uint64_t rows_per_strip;
  std::string message;
};

class JoinRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(JoinRefusal, SaysWhy) {
  const RefusalCase& c = GetParam();
  std::vector<ByteSpan> spans(c.strips.begin(), c.strips.end());
  auto joined = join_jpeg_strips({kTables, 100, 32, c.rows_per_strip, false}, spans);
  ASSERT_FALSE(joined.ok());
  EXPECT_NE(joined.error().find(c.message), std::string::npos) << joined.error();
}

const Bytes kData = {0x01, 0x02};

INSTANTIATE_TEST_SUITE_P(
    Strips, JoinRefusal,
    ::testing::Values(
        RefusalCase{"no_strips", {}, 16, "no strips"},
        RefusalCase{"strip_height_not_mcu_rows",
                    {strip(frame(8, 100, 0x22), kData), strip(frame(8, 100, 0x22), kData)}, 8,
                    "not a whole number of MCU rows"},
        RefusalCase{"progressive",
                    {strip(frame(16, 100, 0x11, 0xC2), kData), strip(frame(16, 100, 0x11), kData)},
                    16, "baseline"},
        RefusalCase{"headers_differ",
                    {strip(frame(16, 100, 0x11), kData), strip(frame(16, 99, 0x11), kData)}, 16,
                    "headers differ"},
        RefusalCase{"own_restart_markers",
                    {strip(frame(16, 100, 0x11), kData, {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01}),
                     strip(frame(16, 100, 0x11), kData, {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01})},
                    16, "restart markers"},
        RefusalCase{"not_jpeg", {Bytes{0x00, 0x01, 0x02, 0x03}}, 16, "SOI"},
        RefusalCase{"truncated_header", {Bytes{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08}}, 16,
                    "malformed"},
        RefusalCase{"no_frame_before_scan", {Bytes{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x00}}, 16,
                    "no JPEG frame"}),
    test::ByName{});

TEST(JpegStreamHead, AddsTheAdobeMarkerOnlyForRgbWithoutOne) {
  EXPECT_TRUE(jpeg_stream_head({}, false).empty());
  EXPECT_EQ(jpeg_stream_head({}, true).size(), 2U + 16U);
  const Bytes head = jpeg_stream_head(kTables, true);
  ASSERT_EQ(head.size(), 2U + 16U + kTables.size() - 4);
  EXPECT_EQ(head[3], 0xEE);
  EXPECT_EQ(jpeg_stream_head(kTablesWithAdobe, true).size(), kTablesWithAdobe.size() - 2);
  EXPECT_EQ(jpeg_stream_head(kTables, false), Bytes(kTables.begin(), kTables.end() - 2));
}

}  // namespace
}  // namespace kolva::slide
