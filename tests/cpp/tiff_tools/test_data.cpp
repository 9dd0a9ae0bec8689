// The TIFF value model (DataType tables, conversions, Ifd) and parse_data.

#include <cmath>
#include <cstring>
#include <string>

#include "test_support.hpp"
#include "tiff_tools/data/data.hpp"
#include "tiff_tools/decode/decode.hpp"

namespace kolva::test {
namespace {

using namespace kolva::tiff_tools;

struct TypeRow {
  std::uint64_t code;
  DataType dt;
  std::uint64_t size;
  std::string display;
  std::string debug;
};

TEST(DataTypeTable, CodesSizesAndTexts) {
  const std::vector<TypeRow> rows = {
      {1, DataType::BYTE, 1, "byte", "BYTE"},
      {2, DataType::ASCII, 1, "ascii", "ASCII"},
      {3, DataType::SHORT, 2, "short", "SHORT"},
      {4, DataType::LONG, 4, "long", "LONG"},
      {5, DataType::RATIONAL, 8, "rational", "RATIONAL"},
      {6, DataType::SBYTE, 1, "signed byte", "SBYTE"},
      {7, DataType::UNDEFINED, 1, "undefined", "UNDEFINED"},
      {8, DataType::SSHORT, 2, "signed short", "SSHORT"},
      {9, DataType::SLONG, 4, "signed long", "SLONG"},
      {10, DataType::SRATIONAL, 8, "signed rational", "SRATIONAL"},
      {11, DataType::FLOAT, 4, "float", "FLOAT"},
      {12, DataType::DOUBLE, 8, "double", "DOUBLE"},
      {16, DataType::LONG8, 8, "long-8(u64)", "LONG8"},
      {17, DataType::SLONG8, 8, "singned-long-8(i64)", "SLONG8"},
      {18, DataType::IFD8, 8, "ifd offset 8bit", "IFD8"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(data_type_from_code(r.code), r.dt) << r.code;
    EXPECT_EQ(element_size(r.dt), r.size) << r.debug;
    EXPECT_EQ(display_text(r.dt), r.display);
    EXPECT_EQ(debug_text(r.dt), r.debug);
  }
  for (std::uint64_t bad : {0ULL, 13ULL, 14ULL, 15ULL, 19ULL, 20ULL, 255ULL, 65535ULL,
                            (1ULL << 32) + 3, (1ULL << 16) + 1}) {
    EXPECT_EQ(data_type_from_code(bad), std::nullopt) << bad;
  }
}

struct ConvCase {
  std::string name;
  Data data;
  std::optional<std::vector<std::uint64_t>> u64;
  std::optional<std::vector<std::uint8_t>> u8;
};

class DataConversions : public ::testing::TestWithParam<ConvCase> {};

TEST_P(DataConversions, ToU64VecAndExpectU8Vec) {
  EXPECT_EQ(GetParam().data.to_u64vec(), GetParam().u64);
  EXPECT_EQ(GetParam().data.expect_u8vec(), GetParam().u8);
}

using U64s = std::vector<std::uint64_t>;
using U8s = std::vector<std::uint8_t>;
const auto kNone64 = std::optional<U64s>{};
const auto kNone8 = std::optional<U8s>{};

U8s bytes289() {
  U8s b(289);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7);
  return b;
}
U64s widened289() {
  const U8s b = bytes289();
  return U64s(b.begin(), b.end());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DataConversions,
    ::testing::Values(
        ConvCase{"Byte", BYTE{0xFF}, U64s{255}, kNone8},
        ConvCase{"Undefined", UNDEFINED{9}, U64s{9}, kNone8},
        ConvCase{"Short", SHORT{7}, U64s{7}, kNone8},
        ConvCase{"Long", LONG{0xFFFFFFFF}, U64s{0xFFFFFFFFULL}, kNone8},
        ConvCase{"Long8", LONG8{~0ULL}, U64s{~0ULL}, kNone8},
        ConvCase{"ByteArray", BYTE_ARRAY{{0xFF, 0}}, U64s{255, 0}, U8s{0xFF, 0}},
        ConvCase{"UndefinedArray", UNDEFINED_ARRAY{bytes289()},
                 widened289(), bytes289()},
        ConvCase{"EmptyByteArray", BYTE_ARRAY{{}}, U64s{}, U8s{}},
        ConvCase{"ShortArray", SHORT_ARRAY{{1, 65535}}, U64s{1, 65535}, kNone8},
        ConvCase{"LongArray", LONG_ARRAY{{5, 0x80000000}}, U64s{5, 0x80000000ULL}, kNone8},
        ConvCase{"Long8Array", LONG8_ARRAY{{1, ~0ULL}}, U64s{1, ~0ULL}, kNone8},
        ConvCase{"Ascii", ASCII{"12"}, kNone64, kNone8},
        ConvCase{"Rational", RATIONAL{{4, 2}}, kNone64, kNone8},
        ConvCase{"RationalArray", RATIONAL_ARRAY{{{4, 2}}}, kNone64, kNone8},
        ConvCase{"Sbyte", SBYTE{-1}, kNone64, kNone8},
        ConvCase{"SbyteArray", SBYTE_ARRAY{{-1}}, kNone64, kNone8},
        ConvCase{"Slong", SLONG{5}, kNone64, kNone8},
        ConvCase{"SlongArray", SLONG_ARRAY{{5}}, kNone64, kNone8},
        ConvCase{"Float", FLOAT{1.0F}, kNone64, kNone8},
        ConvCase{"Double", DOUBLE{2.0}, kNone64, kNone8},
        ConvCase{"Slong8", SLONG8{3}, kNone64, kNone8},
        ConvCase{"Ifd8", IFD8{16}, kNone64, kNone8},
        ConvCase{"Ifd8Array", IFD8_ARRAY{{16}}, kNone64, kNone8}),
    ByName());

TEST(IfdTest, LastInsertedEntryWins) {
  std::vector<Entry> entries;
  entries.push_back({SHORT{1}, 256, 1});
  entries.push_back({LONG{2}, 257, 1});
  entries.push_back({ASCII{"x"}, 256, 1});
  const Ifd ifd(std::move(entries));
  EXPECT_EQ(ifd.size(), 2U);
  ASSERT_NE(ifd.get(256), nullptr);
  EXPECT_EQ(*ifd.get(256), Data(ASCII{"x"}));
  EXPECT_EQ(*ifd.get(257), Data(LONG{2}));
  EXPECT_EQ(ifd.get(258), nullptr);
}

// ---------------------------------------------------------------------------
// parse_data: every type, single value and array, good and short lengths.

struct ParseCase {
  std::string name;
  DataType dt;
  std::uint64_t count;
  Bytes bytes;  // little-endian
  std::optional<Data> ok;
  std::string error;  // TiffError debug when !ok
};

class TiffParseData : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TiffParseData, LittleEndianAndBigEndian) {
  const auto& c = GetParam();
  auto got = parse_data(c.bytes, c.count, c.dt, ByteOrder::Little);
  if (!c.ok) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().debug(), c.error);
    return;
  }
  ASSERT_TRUE(got.ok()) << got.error().debug();
  EXPECT_EQ(*got, *c.ok);
  // The same values stored big-endian: swap each element (rationals: each half).
  std::size_t width = element_size(c.dt);
  if (c.dt == DataType::RATIONAL || c.dt == DataType::SRATIONAL) width = 4;
  Bytes swapped = c.bytes;
  for (std::size_t p = 0; p + width <= swapped.size(); p += width) {
    std::reverse(swapped.begin() + static_cast<std::ptrdiff_t>(p),
                 swapped.begin() + static_cast<std::ptrdiff_t>(p + width));
  }
  auto big = parse_data(swapped, c.count, c.dt, ByteOrder::Big);
  ASSERT_TRUE(big.ok());
  EXPECT_EQ(*big, *c.ok);
}

std::string size_err(const char* dt, std::uint64_t count) {
  return std::string("DecodeDataError { dt: ") + dt + ", count: " + std::to_string(count) +
         ", msg: \"\" }";
}
std::string unsupported(const char* dt) {
  return std::string("UnsupportedDataType { dt: ") + dt + ", msg: \"\" }";
}

INSTANTIATE_TEST_SUITE_P(
    Types, TiffParseData,
    ::testing::Values(
        ParseCase{"ByteSingle", DataType::BYTE, 1, {0xFE, 1, 2, 3}, Data(BYTE{0xFE}), ""},
        ParseCase{"ByteSingleEmpty", DataType::BYTE, 1, {}, std::nullopt, size_err("BYTE", 1)},
        ParseCase{"ByteArrayTakesAllBytes", DataType::BYTE, 3, {1, 2, 3, 4}, Data(BYTE_ARRAY{{1, 2, 3, 4}}), ""},
        ParseCase{"ByteArrayCountZeroEmpty", DataType::BYTE, 0, {}, Data(BYTE_ARRAY{{}}), ""},
        ParseCase{"SbyteSingle", DataType::SBYTE, 1, {0x80}, Data(SBYTE{-128}), ""},
        ParseCase{"SbyteSingleEmpty", DataType::SBYTE, 1, {}, std::nullopt, size_err("SBYTE", 1)},
        ParseCase{"SbyteArray", DataType::SBYTE, 2, {0xFF, 0x01}, Data(SBYTE_ARRAY{{-1, 1}}), ""},
        ParseCase{"UndefinedSingle", DataType::UNDEFINED, 1, {7, 8}, Data(UNDEFINED{7}), ""},
        ParseCase{"UndefinedSingleEmpty", DataType::UNDEFINED, 1, {}, std::nullopt, size_err("UNDEFINED", 1)},
        ParseCase{"UndefinedArray", DataType::UNDEFINED, 9, {7, 8}, Data(UNDEFINED_ARRAY{{7, 8}}), ""},
        ParseCase{"AsciiKeepsEveryByte", DataType::ASCII, 3, {'A', 'b', 0, 0xE9},
                  Data(ASCII{std::string("Ab\0\xe9", 4)}), ""},
        ParseCase{"AsciiSingleEmpty", DataType::ASCII, 1, {}, Data(ASCII{""}), ""},
        ParseCase{"ShortSingle", DataType::SHORT, 1, {0x34, 0x12, 0xFF, 0xFF}, Data(SHORT{0x1234}), ""},
        ParseCase{"ShortSingleShort", DataType::SHORT, 1, {0x34}, std::nullopt, size_err("SHORT", 1)},
        ParseCase{"ShortArrayCountZeroInline", DataType::SHORT, 0, {1, 0, 0xFF, 0xFF},
                  Data(SHORT_ARRAY{{1, 65535}}), ""},
        ParseCase{"ShortArrayOdd", DataType::SHORT, 3, {1, 0, 2, 0, 3}, std::nullopt, size_err("SHORT", 3)},
        ParseCase{"LongSingle", DataType::LONG, 1, {1, 2, 3, 4, 5}, Data(LONG{0x04030201}), ""},
        ParseCase{"LongSingleShort", DataType::LONG, 1, {1, 2, 3}, std::nullopt, size_err("LONG", 1)},
        ParseCase{"LongArray", DataType::LONG, 2, {1, 0, 0, 0, 0, 0, 0, 0x80},
                  Data(LONG_ARRAY{{1, 0x80000000}}), ""},
        ParseCase{"LongArrayRagged", DataType::LONG, 2, {1, 0, 0, 0, 0, 0}, std::nullopt, size_err("LONG", 2)},
        ParseCase{"SlongSingle", DataType::SLONG, 1, {0xFE, 0xFF, 0xFF, 0xFF}, Data(SLONG{-2}), ""},
        ParseCase{"SlongSingleShort", DataType::SLONG, 1, {0xFE}, std::nullopt, size_err("SLONG", 1)},
        ParseCase{"SlongArray", DataType::SLONG, 0, {0xFF, 0xFF, 0xFF, 0xFF}, Data(SLONG_ARRAY{{-1}}), ""},
        ParseCase{"SlongArrayRagged", DataType::SLONG, 2, {1, 2, 3, 4, 5}, std::nullopt, size_err("SLONG", 2)},
        ParseCase{"FloatSingle", DataType::FLOAT, 1, {0, 0, 0xC0, 0x3F}, Data(FLOAT{1.5F}), ""},
        ParseCase{"FloatSingleShort", DataType::FLOAT, 1, {0, 0}, std::nullopt, size_err("FLOAT", 1)},
        ParseCase{"FloatArray", DataType::FLOAT, 2, {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0},
                  Data(FLOAT_ARRAY{{1.0F, -2.0F}}), ""},
        ParseCase{"FloatArrayRagged", DataType::FLOAT, 2, {0, 0, 0x80}, std::nullopt, size_err("FLOAT", 2)},
        ParseCase{"DoubleSingle", DataType::DOUBLE, 1, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, Data(DOUBLE{1.5}), ""},
        ParseCase{"DoubleSingleShort", DataType::DOUBLE, 1, {0, 0, 0, 0}, std::nullopt, size_err("DOUBLE", 1)},
        ParseCase{"DoubleArrayCountZeroClassicInline", DataType::DOUBLE, 0, {0, 0, 0, 0}, std::nullopt,
                  size_err("DOUBLE", 0)},
        ParseCase{"DoubleArray", DataType::DOUBLE, 2, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0x40},
                  Data(DOUBLE_ARRAY{{1.0, 2.0}}), ""},
        ParseCase{"Long8Single", DataType::LONG8, 1, {1, 0, 0, 0, 0, 0, 0, 0x80}, Data(LONG8{0x8000000000000001ULL}), ""},
        ParseCase{"Long8SingleShort", DataType::LONG8, 1, {1, 2, 3, 4, 5, 6, 7}, std::nullopt, size_err("LONG8", 1)},
        ParseCase{"Long8Array", DataType::LONG8, 1000, {2, 0, 0, 0, 0, 0, 0, 0}, Data(LONG8_ARRAY{{2}}), ""},
        ParseCase{"Long8ArrayCountZeroClassicInline", DataType::LONG8, 0, {0, 0, 0, 0}, std::nullopt,
                  size_err("LONG8", 0)},
        ParseCase{"RationalSingle", DataType::RATIONAL, 1, {72, 0, 0, 0, 1, 0, 0, 0}, Data(RATIONAL{{72, 1}}), ""},
        ParseCase{"RationalSingleShort", DataType::RATIONAL, 1, {72, 0, 0, 0}, std::nullopt, size_err("RATIONAL", 1)},
        ParseCase{"RationalArrayIgnoresTrailing", DataType::RATIONAL, 2,
                  {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 9, 9, 9},
                  Data(RATIONAL_ARRAY{{{1, 2}, {3, 4}}}), ""},
        ParseCase{"RationalArrayCountZeroClassicInline", DataType::RATIONAL, 0, {0, 0, 0, 0}, std::nullopt,
                  size_err("RATIONAL", 0)},
        ParseCase{"SshortUnsupported", DataType::SSHORT, 1, {1, 0}, std::nullopt, unsupported("SSHORT")},
        ParseCase{"SrationalUnsupported", DataType::SRATIONAL, 2, Bytes(16), std::nullopt, unsupported("SRATIONAL")},
        ParseCase{"Slong8Unsupported", DataType::SLONG8, 1, Bytes(8), std::nullopt, unsupported("SLONG8")},
        ParseCase{"Ifd8Unsupported", DataType::IFD8, 0, {}, std::nullopt, unsupported("IFD8")}),
    ByName());

TEST(ParseDataBits, FloatsKeepTheirBitPatterns) {
  const Bytes nan_bits = {0x01, 0x00, 0xC0, 0x7F};  // a quiet NaN with payload 1
  auto f = parse_data(nan_bits, 1, DataType::FLOAT, ByteOrder::Little);
  ASSERT_TRUE(f.ok());
  const float got = f->get_if<FLOAT>()->value;
  std::uint32_t bits;
  std::memcpy(&bits, &got, 4);
  EXPECT_EQ(bits, 0x7FC00001U);
  const Bytes neg_zero = {0x80, 0, 0, 0, 0, 0, 0, 0};
  auto d = parse_data(neg_zero, 1, DataType::DOUBLE, ByteOrder::Big);
  ASSERT_TRUE(d.ok());
  EXPECT_TRUE(std::signbit(d->get_if<DOUBLE>()->value));
}

}  // namespace
}  // namespace kolva::test
