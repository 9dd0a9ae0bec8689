// OME-XML: planes mapped to directories in every DimensionOrder and TiffData
// form, units of the pixel size, and the plane choices a slide checks.

#include <gtest/gtest.h>

#include "drivers/ome_tiff/ome_xml.hpp"
#include "slide/planes.hpp"

namespace kolva::drivers::ome {
namespace {

std::string document(const std::string& pixels_attributes, const std::string& inside) {
  return "<?xml version=\"1.0\"?><OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\">"
         "<Instrument><Objective ID=\"O:0\" NominalMagnification=\"20\"/></Instrument>"
         "<Image ID=\"Image:0\" Name=\"a\"><ObjectiveSettings ID=\"O:0\"/><Pixels " +
         pixels_attributes + ">" + inside + "</Pixels></Image></OME>";
}

struct PlaneCase {
  std::string order;
  std::string tiff_data;
  // Directory of plane (c, z, t) for c < 2, z < 3, t < 1, in c-major order.
  std::vector<std::optional<std::uint64_t>> expected;
};

class OmePlanes : public ::testing::TestWithParam<PlaneCase> {};

TEST_P(OmePlanes, MapEachPlaneToItsDirectory) {
  const PlaneCase& c = GetParam();
  const std::string xml =
      document("DimensionOrder=\"" + c.order + "\" SizeX=\"4\" SizeY=\"4\" SizeC=\"2\" SizeZ=\"3\"",
               "<Channel Name=\"x\"/><Channel Name=\"y\"/>" + c.tiff_data);
  ASSERT_TRUE(is_ome_xml(xml));
  auto doc = parse_ome_xml(xml, 100);
  ASSERT_TRUE(doc);
  const Image& image = doc->images.at(0);
  ASSERT_EQ(image.plane_count(), 6u);
  std::vector<std::optional<std::uint64_t>> got;
  for (std::uint64_t ch = 0; ch < 2; ++ch) {
    for (std::uint64_t z = 0; z < 3; ++z) got.push_back(image.plane_ifds[image.plane_index(ch, z, 0)]);
  }
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(image.objective_power, 20.0);
}

using O = std::optional<std::uint64_t>;
INSTANTIATE_TEST_SUITE_P(
    Orders, OmePlanes,
    ::testing::Values(
        PlaneCase{"XYZCT", "", {O(0), O(1), O(2), O(3), O(4), O(5)}},
        PlaneCase{"XYCZT", "", {O(0), O(2), O(4), O(1), O(3), O(5)}},
        PlaneCase{"XYCZT", "<TiffData IFD=\"4\" PlaneCount=\"6\"/>",
                  {O(4), O(6), O(8), O(5), O(7), O(9)}},
        // One TiffData per plane; a plane in another file of the set is not here.
        PlaneCase{"XYZCT",
                  "<TiffData IFD=\"7\" FirstC=\"1\" FirstZ=\"2\"/><TiffData IFD=\"3\"/>"
                  "<TiffData IFD=\"9\" FirstZ=\"1\"><UUID FileName=\"other.ome.tif\">u</UUID></TiffData>",
                  {O(3), std::nullopt, std::nullopt, std::nullopt, std::nullopt, O(7)}}));

TEST(OmeXml, PixelSizesInMicrometresAndRgbAsOneChannel) {
  auto doc = parse_ome_xml(
      document("SizeX=\"4\" SizeY=\"4\" SizeC=\"3\" PhysicalSizeX=\"250\" PhysicalSizeXUnit=\"nm\" "
               "PhysicalSizeY=\"0.25\" PhysicalSizeZ=\"1\" PhysicalSizeZUnit=\"furlong\"",
               "<Channel SamplesPerPixel=\"3\"/>"),
      10);
  ASSERT_TRUE(doc);
  const Image& image = doc->images[0];
  EXPECT_DOUBLE_EQ(*image.physical_size_x, 0.25);
  EXPECT_DOUBLE_EQ(*image.physical_size_y, 0.25);
  EXPECT_FALSE(image.physical_size_z);
  EXPECT_EQ(image.plane_channels, 1u);
  EXPECT_EQ(image.plane_count(), 1u);
}

TEST(OmeXml, RefusesWhatIsNoOmeOrAsksForTooManyPlanes) {
  EXPECT_FALSE(is_ome_xml("<xml>OME</xml>"));
  EXPECT_FALSE(parse_ome_xml("<OME></OME>", 10));
  EXPECT_FALSE(parse_ome_xml(document("SizeC=\"100000\" SizeZ=\"100000\"", ""), 1000));
}

TEST(PlaneChoice, ByIndexOrNameAndRefusedInWords) {
  using namespace slide;
  PlaneList channels{3, {"DAPI", "CD3", "7"}, 0};
  EXPECT_EQ(*choose_plane(PlaneAxis::Channel, PlaneChoice{std::nullopt, "CD3"}, channels), 1u);
  EXPECT_EQ(*choose_plane(PlaneAxis::Channel, PlaneChoice{std::nullopt, "7"}, channels), 2u);
  EXPECT_EQ(*choose_plane(PlaneAxis::Channel, PlaneChoice{std::nullopt, "1"}, channels), 1u);
  EXPECT_EQ(*choose_plane(PlaneAxis::Channel, PlaneChoice{2, std::nullopt}, channels), 2u);
  auto missing = choose_plane(PlaneAxis::Channel, PlaneChoice{std::nullopt, "CD8"}, channels);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message,
            "the slide has no channel 'CD8': it has channels 'DAPI', 'CD3', '7'");
  // A driver that serves one plane only: any other choice is refused.
  Planes one;
  PlaneSelection asked;
  asked[PlaneAxis::FocalPlane].index = 1;
  auto checked = check_planes(asked, one);
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(checked.error().message, "the slide has no focal plane 1: it has one focal plane, 0");
  asked[PlaneAxis::FocalPlane].index = 0;
  EXPECT_TRUE(check_planes(asked, one).ok());
}

// Only the elements where the model puts them count: an image's first Pixels,
// AcquisitionDate (all its text) and ObjectiveSettings, objectives of any
// instrument (one after the image too), a TiffData's first UUID.
TEST(OmeDocument, ReadsEachElementWhereTheModelPutsIt) {
  const std::string xml =
      "<OME Creator=\"me &amp; you\"><Image ID=\"i\"><AcquisitionDate> 2020<b>-01</b>"
      "<![CDATA[-02]]> </AcquisitionDate><AcquisitionDate>no</AcquisitionDate>"
      "<ObjectiveSettings ID=\"O:1\"/><Pixels SizeX=\"8\" SizeY=\"8\" SizeC=\"2\">"
      "<Channel Name=\"a &lt; b\"/><x><Channel Name=\"no\"/></x><Channel Name=\"b&gt;\"/>"
      "<TiffData IFD=\"3\"><UUID>u</UUID><UUID FileName=\"f\"/></TiffData>"
      "<TiffData IFD=\"5\" FirstC=\"1\"><UUID FileName=\"f\">u</UUID></TiffData></Pixels>"
      "<Pixels SizeC=\"7\"/></Image><Image ID=\"none\"><x><Pixels/></x></Image>"
      "<Instrument><Objective ID=\"O:1\" NominalMagnification=\"40\"/></Instrument>"
      "<x><Image ID=\"nested\"><Pixels/></Image></x></OME>";
  auto doc = parse_ome_xml(xml, 100);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->creator, "me & you");
  ASSERT_EQ(doc->images.size(), 1u);
  const Image& image = doc->images[0];
  EXPECT_EQ(image.acquisition_date, "2020-01-02");
  EXPECT_EQ(image.objective_power, 40.0);
  EXPECT_EQ(image.size_c, 2u);
  ASSERT_EQ(image.channels.size(), 2u);
  // Decoded values outlive the tags after them.
  EXPECT_EQ(image.channels[0].name, "a < b");
  EXPECT_EQ(image.channels[1].name, "b>");
  EXPECT_EQ(image.plane_ifds, (std::vector<std::optional<std::uint64_t>>{3, std::nullopt}));
}

}  // namespace
}  // namespace kolva::drivers::ome
