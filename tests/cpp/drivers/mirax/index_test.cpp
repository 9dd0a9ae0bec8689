// MIRAX index pages and the INI reader: what a hostile index does (cycles,
// counts and pointers past the end, negative values) ends in an error.

#include <gtest/gtest.h>

#include <cstring>

#include "drivers/mirax/index.hpp"
#include "text/ini.hpp"

namespace kolva::drivers::mirax {
namespace {

constexpr std::string_view kId = "abc";

void put(Bytes& b, std::size_t at, std::int32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  std::memcpy(b.data() + at, &v, 4);
}

// One level with `items` images on one page, one non-hierarchical record.
Bytes index_file(std::int32_t items) {
  Bytes b = {'0', '1', '.', '0', '2', 'a', 'b', 'c'};
  put(b, 8, 16);   // hierarchical table
  put(b, 12, 20);  // non-hierarchical table
  put(b, 16, 24);  // level 0's list head
  put(b, 20, 32);  // the record's list head
  put(b, 24, 0);
  put(b, 28, 40);  // level 0's first page
  put(b, 32, 0);
  put(b, 36, 100);  // the record's page
  put(b, 40, items);
  put(b, 44, 0);
  for (std::int32_t i = 0; i < items; ++i) {
    put(b, 48 + 16 * i, i);
    put(b, 52 + 16 * i, 1000 + i);
    put(b, 56 + 16 * i, 10);
    put(b, 60 + 16 * i, 0);
  }
  put(b, 100, 1);
  put(b, 104, 12345);  // a next page that is ignored for records
  put(b, 108, 0);
  put(b, 112, 0);
  put(b, 116, 500);
  put(b, 120, 60);
  put(b, 124, 0);
  return b;
}

TEST(MiraxIndex, ReadsLevelsAndRecords) {
  const Bytes b = index_file(3);
  auto index = parse_index(b, kId, 1, 1);
  ASSERT_TRUE(index.ok()) << index.error();
  ASSERT_EQ(index->levels[0].size(), 3u);
  EXPECT_EQ(index->levels[0][2].image, 2u);
  EXPECT_EQ(index->levels[0][2].offset, 1002u);
  ASSERT_TRUE(index->records[0].has_value());
  EXPECT_EQ(index->records[0]->offset, 500u);
  EXPECT_EQ(index->records[0]->length, 60u);
}

struct Hostile {
  const char* name;
  std::size_t at;
  std::int32_t value;
};

class MiraxIndexHostile : public testing::TestWithParam<Hostile> {};

TEST_P(MiraxIndexHostile, IsRefused) {
  Bytes b = index_file(2);
  put(b, GetParam().at, GetParam().value);
  EXPECT_FALSE(parse_index(b, kId, 1, 1).ok());
}

INSTANTIATE_TEST_SUITE_P(
    Pages, MiraxIndexHostile,
    testing::Values(Hostile{"cycle", 44, 40}, Hostile{"count_past_end", 40, 1 << 26},
                    Hostile{"negative_count", 40, -1}, Hostile{"page_past_end", 28, 1 << 20},
                    Hostile{"table_past_end", 8, 1 << 30}, Hostile{"negative_offset", 52, -5}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(MiraxIndex, RefusesAnotherSlidesIndex) {
  EXPECT_FALSE(parse_index(index_file(1), "abd", 1, 1).ok());
  EXPECT_FALSE(parse_index(index_file(1), kId, 1u << 30, 1).ok());
}

TEST(Ini, GroupsKeysAndOddLines) {
  const auto ini = text::parse_ini(
      "\xEF\xBB\xBF[A]\r\nx = 1\r\n=blank\r\n; note\r\ny=a=b\r\n[B]\nx=2\nnot a line\nx=3\n");
  ASSERT_EQ(ini.groups.size(), 2u);
  EXPECT_EQ(*ini.group("A")->find("x"), "1");
  EXPECT_EQ(*ini.group("A")->find("y"), "a=b");
  EXPECT_EQ(*ini.group("B")->find("x"), "3");
  EXPECT_EQ(ini.group("C"), nullptr);
  EXPECT_EQ(text::parse_integer(" -12 "), -12);
  EXPECT_FALSE(text::parse_integer("12x").has_value());
  EXPECT_FALSE(text::parse_integer("99999999999999999999").has_value());
}

}  // namespace
}  // namespace kolva::drivers::mirax
