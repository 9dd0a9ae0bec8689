// TIFF LZW decoding of hand-packed code streams: strings of earlier codes,
// the code being defined (KwKwK), clipping, and streams that lie.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tiff_tools/lzw.hpp"

namespace kolva::tiff_tools {
namespace {

// Codes of the given widths, most significant bit first.
std::vector<std::uint8_t> pack(const std::vector<std::pair<unsigned, unsigned>>& codes) {
  std::vector<std::uint8_t> out;
  std::uint64_t bits = 0;
  unsigned held = 0;
  for (auto [code, width] : codes) {
    bits = (bits << width) | code;
    held += width;
    while (held >= 8) {
      out.push_back(static_cast<std::uint8_t>(bits >> (held - 8)));
      held -= 8;
    }
  }
  if (held > 0) out.push_back(static_cast<std::uint8_t>(bits << (8 - held)));
  return out;
}

std::pair<bool, std::string> decode(const std::vector<std::pair<unsigned, unsigned>>& codes,
                                    std::size_t size) {
  const auto data = pack(codes);
  std::string out(size, '\0');
  const bool ok = lzw_decode(data, {reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
  return {ok, out};
}

TEST(Lzw, StringsOfEarlierCodesTheCodeBeingDefinedAndClipping) {
  EXPECT_EQ(decode({{256, 9}, {'a', 9}, {'b', 9}, {258, 9}, {257, 9}}, 4),
            std::make_pair(true, std::string("abab")));
  EXPECT_EQ(decode({{256, 9}, {'a', 9}, {258, 9}}, 3), std::make_pair(true, std::string("aaa")));
  EXPECT_EQ(decode({{256, 9}, {'a', 9}, {'b', 9}, {258, 9}}, 3),
            std::make_pair(true, std::string("aba")));
  EXPECT_TRUE(lzw_decode({}, std::span<std::uint8_t>()));  // nothing asked, nothing read
  // A clear in the middle starts the table again.
  EXPECT_EQ(decode({{256, 9}, {'x', 9}, {256, 9}, {'y', 9}, {'z', 9}, {258, 9}}, 4),
            std::make_pair(true, std::string("xyzy")));
}

TEST(Lzw, StreamsThatLieFail) {
  EXPECT_FALSE(decode({{256, 9}, {'a', 9}, {300, 9}}, 8).first);          // past the table
  EXPECT_FALSE(decode({{256, 9}, {258, 9}}, 8).first);                    // a string before any
  EXPECT_FALSE(decode({{256, 9}, {'a', 9}, {257, 9}}, 8).first);          // ends short
  EXPECT_FALSE(decode({{256, 9}, {'a', 9}}, 8).first);                    // runs out
}

}  // namespace
}  // namespace kolva::tiff_tools
