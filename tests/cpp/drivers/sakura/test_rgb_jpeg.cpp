#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "drivers/sakura/rgb_jpeg.hpp"
#include "jpeg_encode.hpp"

namespace kolva::drivers::sakura {
namespace {

using Planes = std::array<Bytes, 3>;

// Joined as the driver reads a tile into place: each plane placed from its
// first `head` bytes, then the bytes it names copied to where it says.
std::optional<Bytes> joined_in_place(const Planes& planes, std::size_t out_size, std::size_t head) {
  Bytes out(out_size, 0xAB);
  InPlace join(out);
  for (std::size_t c = 0; c < 3; ++c) {
    const auto place = join.place(c, ByteSpan(planes[c]).first(std::min(head, planes[c].size())),
                                  planes[c].size());
    if (!place) return std::nullopt;
    std::memcpy(out.data() + place->to, planes[c].data() + place->from, place->bytes);
  }
  if (!join.finish()) return std::nullopt;
  return out;
}

struct Case {
  std::string name;
  std::function<void(Planes&)> change;
  std::size_t head = 512;
  std::size_t extra = 0;  // bytes of the buffer past the joined tile
  bool in_place = true;   // joined in place (as the whole planes join), or left to that join
};

class InPlaceJoin : public ::testing::TestWithParam<Case> {};

TEST_P(InPlaceJoin, GivesTheWholePlanesJoinOrDeclines) {
  const Case& c = GetParam();
  Planes planes{test::encode(64, 48, 1, 1, 1, 0), test::encode(64, 48, 1, 1, 1, 40),
                test::encode(64, 48, 1, 1, 1, 80)};
  c.change(planes);
  const std::array<ByteSpan, 3> spans{planes[0], planes[1], planes[2]};
  const auto whole = join_planes(spans);
  const std::size_t size = (whole.ok() ? whole->size() : 4096) + c.extra;
  const auto got = joined_in_place(planes, size, c.head);
  if (c.in_place) {
    ASSERT_TRUE(whole.ok());
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, *whole);
  } else {
    EXPECT_FALSE(got.has_value());
  }
}

Bytes with_app1(const Bytes& jpeg, std::size_t body) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), {0xFF, 0xE1, static_cast<std::uint8_t>((body + 2) >> 8),
                         static_cast<std::uint8_t>(body + 2)});
  out.resize(out.size() + body, 0x5A);
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Planes, InPlaceJoin,
    ::testing::Values(
        Case{"plain", [](Planes&) {}},
        Case{"whole_planes_as_heads", [](Planes&) {}, 1 << 20},
        // A header longer than the bytes given is not placed; given all, it is.
        Case{"long_header", [](Planes& p) { p[1] = with_app1(p[1], 700); }, 512, 0, false},
        Case{"long_header_given", [](Planes& p) { p[1] = with_app1(p[1], 700); }, 1 << 20},
        // Bytes after the EOI: the whole join drops them.
        Case{"bytes_after_eoi", [](Planes& p) { p[2].insert(p[2].end(), {0, 1, 2}); }, 512, 0, false},
        Case{"no_eoi", [](Planes& p) { p[0].pop_back(); }, 512, 0, false},
        Case{"other_sizes", [](Planes& p) { p[2] = test::encode(64, 40, 1, 1, 1); }, 512, 0, false},
        Case{"buffer_too_long", [](Planes&) {}, 512, 1, false},
        Case{"no_jpeg", [](Planes& p) { p[1].assign(300, 0); }, 512, 0, false}),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace kolva::drivers::sakura
