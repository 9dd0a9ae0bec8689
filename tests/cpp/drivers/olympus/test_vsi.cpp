// The .vsi metadata tree: stacks and their sizes out of nested volumes, the main
// stack, units, and damaged trees that must end the walk without reading astray.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "drivers/olympus/format/vsi/vsi.hpp"
#include "jpeg_tools/transform.hpp"

namespace kolva::test {
namespace {

using namespace kolva::format::vsi;

// A field to write: a value (bytes, or nested fields), flags and tag.
struct F {
  std::int32_t tag = 0;
  std::uint32_t type = 0;
  Bytes data;
  std::vector<F> nested;
  bool volume = false;
  std::optional<std::int32_t> second;
  std::optional<std::uint32_t> inline_value;
};

F val(std::int32_t tag, std::uint32_t type, Bytes data) {
  F f;
  f.tag = tag;
  f.type = type;
  f.data = std::move(data);
  return f;
}
F vol(std::int32_t tag, std::vector<F> nested) {
  F f;
  f.tag = tag;
  f.nested = std::move(nested);
  f.volume = true;
  return f;
}
F inline_int(std::int32_t tag, std::uint32_t value) {
  F f = val(tag, 5, {});
  f.inline_value = value;
  return f;
}
F with_second(F f, std::int32_t second) {
  f.second = second;
  return f;
}

void put(Bytes& b, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes volume(const std::vector<F>& fields) {
  Bytes out;
  put(out, 24, 2);
  put(out, kVolumeMagic, 2);
  put(out, 1, 4);
  put(out, fields.empty() ? 0 : 24, 8);
  put(out, fields.size(), 4);
  put(out, 0, 4);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const F& f = fields[i];
    const Bytes data = f.volume ? volume(f.nested) : f.data;
    const std::uint32_t word = f.type | (f.volume ? 0x10000000U : 0) |
                               (f.second ? 0x08000000U : 0) | (f.inline_value ? 0x40000000U : 0);
    const std::size_t body = (f.second ? 4 : 0) + (f.inline_value ? 0 : data.size());
    put(out, word, 4);
    put(out, static_cast<std::uint32_t>(f.tag), 4);
    put(out, i + 1 == fields.size() ? 0 : out.size() - 8 + 16 + body, 4);
    put(out, f.inline_value ? *f.inline_value : data.size(), 4);
    if (f.second) put(out, static_cast<std::uint32_t>(*f.second), 4);
    if (!f.inline_value) out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

Bytes ints(std::vector<std::int32_t> v) {
  Bytes b;
  for (auto x : v) put(b, static_cast<std::uint32_t>(x), 4);
  return b;
}
Bytes doubles(std::vector<double> v) {
  Bytes b;
  for (double x : v) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, 8);
    put(b, bits, 8);
  }
  return b;
}
Bytes text(const std::string& s) {
  Bytes b;
  for (char c : s) put(b, static_cast<std::uint8_t>(c), 2);
  return b;
}

F stack(std::int64_t type, std::int32_t w, std::int32_t h, bool external = true) {
  F image = vol(2060, {val(kTagImageBoundary, 258, ints({0, 0, w, h})),
                       val(kTagPixelSize, 260, doubles({0.25, 0.5})),
                       val(kTagPixelUnit, 8192, text("10^-6m^1"))});
  return vol(2002, {val(kTagStackName, 8192, text("s" + std::to_string(w))),
                    inline_int(kTagStackType, static_cast<std::uint32_t>(type)),
                    with_second(val(2007, 5, ints({1})), 3),
                    val(kTagHasExternalFile, 12, ints({external ? 1 : 0})), image});
}

// The tree as it would sit in a .vsi: after the 8 TIFF header bytes.
Bytes file_of(const std::vector<F>& root) {
  Bytes file(8, 0);
  const Bytes tree = volume(root);
  file.insert(file.end(), tree.begin(), tree.end());
  return file;
}

TEST(VsiTree, StacksComeWithTheirNestedProperties) {
  const Bytes file = file_of({val(kTagCreationTime, 7, Bytes(8, 1)), stack(1, 500, 200),
                              stack(0, 4000, 3000), stack(256, 9000, 3000, false)});
  auto tree = parse_tag_tree(file);
  ASSERT_TRUE(tree.ok());
  const auto found = stacks(*tree);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].type, 1);
  EXPECT_EQ(found[1].name, "s4000");
  EXPECT_EQ(found[1].boundary, (std::array<std::int64_t, 4>{0, 0, 4000, 3000}));
  EXPECT_EQ(found[1].pixel_size, std::make_pair(0.25, 0.5));
  EXPECT_EQ(found[1].pixel_unit, "10^-6m^1");
  EXPECT_TRUE(found[1].external);
  EXPECT_FALSE(found[2].external);
  // The macro is larger, but only image stacks count.
  EXPECT_EQ(main_stack(found), std::optional<std::size_t>(1));
}

TEST(VsiTree, MainStackIsTheLargestImage) {
  std::vector<Stack> all(3);
  all[0].type = 0;
  all[0].boundary = std::array<std::int64_t, 4>{0, 0, 100, 100};
  all[1].type = 0;
  all[1].boundary = std::array<std::int64_t, 4>{0, 0, 300, 200};
  all[2].type = 1;
  all[2].boundary = std::array<std::int64_t, 4>{0, 0, 900, 900};
  EXPECT_EQ(main_stack(all), std::optional<std::size_t>(1));
  all[0].type = all[1].type = 4;
  EXPECT_EQ(main_stack(all), std::nullopt);
}

struct UnitCase {
  const char* unit;
  std::optional<double> um;
};
class VsiUnits : public ::testing::TestWithParam<UnitCase> {};
TEST_P(VsiUnits, MetresToAPowerOfTen) {
  const auto got = micrometres_per_unit(GetParam().unit);
  ASSERT_EQ(got.has_value(), GetParam().um.has_value());
  if (got) {
    EXPECT_DOUBLE_EQ(*got, *GetParam().um);
  }
}
INSTANTIATE_TEST_SUITE_P(Units, VsiUnits,
                         ::testing::Values(UnitCase{"10^-6m^1", 1.0}, UnitCase{"10^-6m", 1.0},
                                           UnitCase{"10^-3m^1", 1000.0},
                                           UnitCase{"10^-9m^1", 0.001}, UnitCase{"10^0m", 1e6},
                                           UnitCase{"um", std::nullopt},
                                           UnitCase{"10^-6m^2", std::nullopt},
                                           UnitCase{"10^m", std::nullopt}, UnitCase{"", std::nullopt}));

// Damaged trees: each must parse (or be refused) without reading out of bounds.
struct Damage {
  const char* name;
  void (*apply)(Bytes&);
  bool root_ok;
};
class VsiDamage : public ::testing::TestWithParam<Damage> {};
TEST_P(VsiDamage, EndsTheWalk) {
  Bytes file = file_of({stack(0, 400, 300), stack(1, 40, 30)});
  GetParam().apply(file);
  auto tree = parse_tag_tree(file);
  EXPECT_EQ(tree.ok(), GetParam().root_ok);
  if (tree.ok()) (void)stacks(*tree);
}
INSTANTIATE_TEST_SUITE_P(
    Trees, VsiDamage,
    ::testing::Values(
        Damage{"truncated", [](Bytes& f) { f.resize(f.size() / 2); }, true},
        Damage{"no_magic", [](Bytes& f) { f[10] = 0; }, false},
        Damage{"too_short", [](Bytes& f) { f.resize(20); }, false},
        // the first field's next offset points back at itself
        Damage{"loop", [](Bytes& f) { f[8 + 24 + 8] = 24; f[8 + 24 + 9] = 0; }, true},
        Damage{"huge_count", [](Bytes& f) { f[8 + 16] = 0xFF; f[8 + 17] = 0xFF; f[8 + 18] = 0xFF; }, true},
        Damage{"first_field_past_end", [](Bytes& f) { f[8 + 8 + 4] = 0x7F; }, true},
        Damage{"data_size_huge", [](Bytes& f) { f[8 + 24 + 12 + 3] = 0x7F; }, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(VsiTree, DeepNestingStops) {
  F inner = val(kTagStackType, 5, ints({0}));
  for (int i = 0; i < 100; ++i) inner = vol(2002, {inner});
  auto tree = parse_tag_tree(file_of({inner}));
  ASSERT_TRUE(tree.ok());
  EXPECT_LE(tree->volumes.size(), 40u);
}

// Lossless crops refuse what libjpeg-turbo refuses, with its message.
TEST(LosslessCrops, BadInputIsAnError) {
  const Bytes garbage(64, 0xAB);
  const jpeg_tools::CropRect crop{0, 0, 8, 8};
  EXPECT_FALSE(jpeg_tools::lossless_crops(garbage, std::span(&crop, 1)).ok());
  const jpeg_tools::CropRect empty{0, 0, 0, 8};
  EXPECT_FALSE(jpeg_tools::lossless_crops(garbage, std::span(&empty, 1)).ok());
  EXPECT_TRUE(jpeg_tools::lossless_crops(garbage, {}).ok());
}

}  // namespace
}  // namespace kolva::test
