// Where a region finds its tiles: recorded rectangles near their grid cells,
// found by cell, painted row by row; edges rounded to whole pixels; tiles
// painted in pieces found piece by piece.

#include <gtest/gtest.h>

#include "region/region.hpp"

namespace kolva::region {
namespace {

TEST(RectLayout, FindsOverlappingTilesInPaintingOrder) {
  // 3 x 2 tiles of 100 advancing by 90, the middle of the bottom row not stored.
  std::vector<slide::TileRect> recorded;
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      recorded.push_back(r == 1 && c == 1 ? slide::TileRect{}
                                          : slide::TileRect{c * 90.0, r * 90.0 + 0.4, 100, 100});
    }
  }
  const RectLayout layout({100, 100}, {3, 2}, RectLayout::from_level(recorded));
  std::vector<PlacedTile> under;
  layout.tiles_under(TileRect{85, 85, 10, 10}, under);  // where four tiles meet
  ASSERT_EQ(under.size(), 3U);
  EXPECT_EQ(under[0].col * 10 + under[0].row, 0U);
  EXPECT_EQ(under[1].col * 10 + under[1].row, 10U);
  EXPECT_EQ(under[2].col * 10 + under[2].row, 1U);
  EXPECT_EQ(under[2].rect.y, 90);
  EXPECT_EQ(under[2].rect.height, 100U);
  under.clear();
  layout.tiles_under(TileRect{285, 0, 10, 10}, under);  // right of the last tile
  EXPECT_TRUE(under.empty());
  layout.tiles_under(TileRect{270, 179, 1, 1}, under);
  ASSERT_EQ(under.size(), 1U);
  EXPECT_EQ(under[0].col, 2U);
}

TEST(RectLayout, ALevelsOwnPaintOrderDecidesWhichTileIsOnTop) {
  // A serpentine mosaic: the second row painted right to left, then a tile the
  // order leaves out, painted after those it names.
  std::vector<slide::TileRect> recorded;
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) recorded.push_back(slide::TileRect{c * 90.0, r * 90.0, 100, 100});
  }
  const std::vector<std::uint64_t> order{0, 1, 3};
  const RectLayout layout({100, 100}, {2, 2}, RectLayout::from_level(recorded), order);
  std::vector<PlacedTile> under;
  layout.tiles_under(TileRect{85, 85, 10, 10}, under);
  ASSERT_EQ(under.size(), 4U);
  std::vector<std::uint64_t> painted;
  for (const PlacedTile& t : under) painted.push_back(t.row * 2 + t.col);
  EXPECT_EQ(painted, (std::vector<std::uint64_t>{0, 1, 3, 2}));
}

TEST(RectLayout, FarFlungTilesAreStillFound) {
  std::vector<slide::TileRect> recorded{{0, 0, 10, 10}, {500, 400, 10, 10}};
  const RectLayout layout({10, 10}, {2, 1}, RectLayout::from_level(recorded));
  std::vector<PlacedTile> under;
  layout.tiles_under(TileRect{505, 405, 1, 1}, under);
  ASSERT_EQ(under.size(), 1U);
  EXPECT_EQ(under[0].col, 1U);
}

TEST(RectLayout, TilesPaintedInPiecesAreFoundPieceByPiece) {
  // One stored tile of 100 holding 2 x 2 tiles of 50 that advance by 45; the
  // bottom-right one is not painted.
  std::vector<slide::TilePiece> pieces;
  for (std::uint32_t r = 0; r < 2; ++r) {
    for (std::uint32_t c = 0; c < 2; ++c) {
      pieces.push_back(r == 1 && c == 1 ? slide::TilePiece{}
                                        : slide::TilePiece{0, c * 50, r * 50,
                                                           {c * 45.0, r * 45.0 + 0.4, 50, 50}});
    }
  }
  const RectLayout layout = RectLayout::from_pieces({100, 100}, {1, 1}, {2, 2}, pieces);
  std::vector<PlacedTile> under;
  layout.tiles_under(TileRect{46, 46, 2, 2}, under);  // where three pieces overlap
  ASSERT_EQ(under.size(), 3U);
  for (const PlacedTile& t : under) EXPECT_EQ(t.col + t.row, 0U);
  // Each piece's place in the level, and the stored tile placed so that the
  // piece's pixels land there.
  EXPECT_EQ(under[1].clip.x, 45);
  EXPECT_EQ(under[1].clip.width, 50U);
  EXPECT_EQ(under[1].rect.x, -5);
  EXPECT_EQ(under[2].clip.y, 45);
  EXPECT_EQ(under[2].rect.y, -5);
  EXPECT_EQ(under[2].rect.width, 100U);
  under.clear();
  layout.tiles_under(TileRect{94, 94, 2, 2}, under);
  EXPECT_TRUE(under.empty());
}

}  // namespace
}  // namespace kolva::region
