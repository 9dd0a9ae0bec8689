// Level 0's EncodeInfo: serpentine numbers, joints in all four directions,
// OpenSlide's mean advances and Pos-Y flip, and refusals.

#include <gtest/gtest.h>

#include "drivers/ventana/stitch.hpp"

namespace kolva::drivers::ventana {
namespace {

TEST(VentanaStitch, SerpentineStartsBottomLeftAndTurnsEachRow) {
  // 3 x 2: bottom row 1 2 3 left to right, top row 4 5 6 right to left.
  const std::pair<std::uint64_t, std::uint64_t> want[] = {{0, 1}, {1, 1}, {2, 1},
                                                          {2, 0}, {1, 0}, {0, 0}};
  for (std::uint64_t n = 1; n <= 6; ++n) EXPECT_EQ(serpentine(n, 3, 2), want[n - 1]) << n;
}

std::string info(const std::string& joints, const std::string& extra = "") {
  return "<EncodeInfo Ver=\"2\"><AoiOrigin><AOI0 OriginX=\"0\" OriginY=\"0\"/>" + extra +
         "</AoiOrigin><SlideStitchInfo><ImageInfo AOIScanned=\"1\" Width=\"100\" Height=\"100\" "
         "NumRows=\"2\" NumCols=\"2\" Pos-X=\"0\" Pos-Y=\"0\">" + joints + "</ImageInfo>"
         "</SlideStitchInfo></EncodeInfo>";
}

std::string joint(int t1, int t2, const char* dir, int ox, int oy, int confidence = 100) {
  return "<TileJointInfo Tile1=\"" + std::to_string(t1) + "\" Tile2=\"" + std::to_string(t2) +
         "\" Direction=\"" + dir + "\" OverlapX=\"" + std::to_string(ox) + "\" OverlapY=\"" +
         std::to_string(oy) + "\" Confidence=\"" + std::to_string(confidence) + "\"/>";
}

struct AdvanceCase {
  std::string joints;
  double advance_x, advance_y;
};

class VentanaAdvance : public ::testing::TestWithParam<AdvanceCase> {};

TEST_P(VentanaAdvance, IsTheTileLessTheWeightedMeanOverlap) {
  auto areas = parse_encode_info(info(GetParam().joints));
  ASSERT_TRUE(areas.ok()) << areas.error();
  ASSERT_TRUE(areas->has_value());
  auto s = stitch(**areas, 100, 100, 4, 4);
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_DOUBLE_EQ(s->advance_x, GetParam().advance_x);
  EXPECT_DOUBLE_EQ(s->advance_y, GetParam().advance_y);
  EXPECT_DOUBLE_EQ(s->width, s->advance_x + 100);
  EXPECT_DOUBLE_EQ(s->height, s->advance_y + 100);
}

// 2 x 2: 1 bottom-left, 2 bottom-right, 3 top-right, 4 top-left.
INSTANTIATE_TEST_SUITE_P(
    Joints, VentanaAdvance,
    ::testing::Values(
        AdvanceCase{joint(1, 2, "RIGHT", 10, 0) + joint(4, 3, "RIGHT", 10, 0) +
                        joint(1, 4, "UP", 0, 6) + joint(2, 3, "UP", 0, 6),
                    90, 94},
        AdvanceCase{joint(2, 1, "LEFT", 10, 0) + joint(4, 1, "DOWN", 0, 6), 90, 94},
        // Weighted by confidence; a joint of confidence 0 counts for nothing.
        AdvanceCase{joint(1, 2, "RIGHT", 10, 0, 1) + joint(4, 3, "RIGHT", 20, 0, 3) +
                        joint(1, 4, "UP", 0, 50, 0),
                    82.5, 100},
        // The tiles decide the axis: "RIGHT" between tiles 1 and 4 joins them vertically;
        // tiles that are no neighbours are left out.
        AdvanceCase{joint(1, 4, "RIGHT", 3, 8) + joint(1, 3, "UP", 40, 40), 100, 92},
        AdvanceCase{"", 100, 100}));

TEST(VentanaStitch, PosYIsMeasuredUpFromBelowEveryArea) {
  const std::string xml =
      "<EncodeInfo><AoiOrigin><AOI0 OriginX=\"0\" OriginY=\"0\"/><AOI1 OriginX=\"200\" "
      "OriginY=\"0\"/></AoiOrigin><SlideStitchInfo>"
      "<ImageInfo Width=\"100\" Height=\"100\" NumRows=\"1\" NumCols=\"2\" Pos-X=\"0\" "
      "Pos-Y=\"300\"/><ImageInfo Width=\"100\" Height=\"100\" NumRows=\"2\" NumCols=\"1\" "
      "Pos-X=\"250.5\" Pos-Y=\"0\"/></SlideStitchInfo></EncodeInfo>";
  auto areas = parse_encode_info(xml);
  ASSERT_TRUE(areas.ok() && areas->has_value());
  auto s = stitch(**areas, 100, 100, 4, 2);
  ASSERT_TRUE(s.ok()) << s.error();
  ASSERT_EQ(s->areas.size(), 2U);
  EXPECT_DOUBLE_EQ(s->areas[0].y, 0);      // baseline 400, minus 300, minus its 100
  EXPECT_DOUBLE_EQ(s->areas[1].y, 200);    // 400 - 0 - 200
  EXPECT_EQ(s->areas[1].start_col, 2U);
  EXPECT_DOUBLE_EQ(s->width, 350.5);
  EXPECT_DOUBLE_EQ(s->height, 400);
}

TEST(VentanaStitch, RefusesWhatCannotBePlaced) {
  const auto refused = [](const std::string& xml, std::uint64_t cols, std::uint64_t rows) {
    auto areas = parse_encode_info(xml);
    if (!areas.ok()) return true;
    return !stitch(**areas, 100, 100, cols, rows).ok();
  };
  EXPECT_TRUE(refused(info(joint(1, 5, "RIGHT", 10, 0)), 4, 4));       // tile 5 of 4
  EXPECT_TRUE(refused(info(joint(1, 2, "SIDEWAYS", 10, 0)), 4, 4));
  EXPECT_TRUE(refused(info(""), 1, 4));                                // wider than the grid
  EXPECT_TRUE(refused(info(joint(1, 2, "RIGHT", 150, 0)), 4, 4));      // overlaps past a tile
  EXPECT_TRUE(refused(info("", "<AOI1 OriginX=\"0\" OriginY=\"0\"/>"), 4, 4));  // 2 origins
  EXPECT_FALSE(refused(info(""), 2, 2));
  auto none = parse_encode_info("<iScan Magnification=\"20\"/>");
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
}

// What the areas are read from, and the first thing wrong, in words; elements
// outside their places (a second EncodeInfo, an ImageInfo elsewhere) are not read.
TEST(VentanaStitch, ReadsOnlyWhereTheAreasAreAndSaysWhatIsWrong) {
  const auto why = [](const std::string& xml) {
    auto areas = parse_encode_info(xml);
    return areas.ok() ? std::string(*areas ? "areas " + std::to_string((*areas)->size()) : "none")
                      : areas.error();
  };
  EXPECT_EQ(why(info(joint(1, 2, "RIGHT", 10, 0) + "<X>" + joint(1, 2, "SIDEWAYS", 0, 0) + "</X>")),
            "areas 1");
  EXPECT_EQ(why("<M>" + info("") + "<EncodeInfo/><ImageInfo/></M>"), "areas 1");
  EXPECT_EQ(why("<EncodeInfo><AoiOrigin/></EncodeInfo>"),
            "its EncodeInfo has no AoiOrigin or SlideStitchInfo");
  EXPECT_EQ(why(info("", "<AOI1/>")), "its EncodeInfo lists 1 areas and 2 area origins");
  std::string no_origin = info("");
  no_origin.replace(no_origin.find("OriginX"), 7, "Origin_");
  EXPECT_EQ(why(no_origin), "its area 0 has no usable origin");
  std::string no_position = info("");
  no_position.replace(no_position.find("Pos-Y=\"0\""), 9, "Pos-Y=\"x\"");
  EXPECT_EQ(why(no_position), "its area 0 has no usable position");
  std::string no_rows = info("");
  no_rows.replace(no_rows.find("NumRows=\"2\""), 11, "NumRows=\"-\"");
  EXPECT_EQ(why(no_rows), "its area 0 has no usable tile size or tile count");
  EXPECT_EQ(why(info("<TileJointInfo Tile1=\"1\" Direction=\"UP\"/>" + joint(1, 2, "NO", 0, 0))),
            "its area 0 has no usable tile joint");
  EXPECT_EQ(why(info(joint(1, 2, "NO", 0, 0) + "<TileJointInfo/>")),
            "a tile joint of its area 0 has direction \"NO\"");
  EXPECT_EQ(why(info("<TileJointInfo>")), "none");  // unbalanced: no document
}

TEST(VentanaStitch, IScanAloneOrInMetadata) {
  for (const char* xml : {"<iScan ScanRes=\"0.25\" Magnification=\"40\"/>",
                          "<?xml version=\"1.0\"?><Metadata><iScan ScanRes=\"0.25\" "
                          "Magnification=\"40\"/></Metadata>\0junk"}) {
    auto attributes = parse_iscan(xml);
    ASSERT_TRUE(attributes.has_value()) << xml;
    ASSERT_EQ(attributes->size(), 2U);
    EXPECT_EQ((*attributes)[0], (std::pair<std::string, std::string>("ScanRes", "0.25")));
  }
  EXPECT_FALSE(parse_iscan("<Metadata><Other/></Metadata>").has_value());
}

}  // namespace
}  // namespace kolva::drivers::ventana
