// The directory reader for NDPI files with 64-bit offsets, run through the
// driver over sparse in-memory files that place directories and values beyond
// 4 GiB.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"
#include "test_support.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::test {
namespace {

namespace tt = tiff_tools;
using format::ndpi_big::NdpiBigIfdDecoder;

constexpr std::uint64_t k4G = std::uint64_t{1} << 32;


Bytes le(std::uint64_t value, int width) {
  Bytes out;
  put(out, value, width, ByteOrder::Little);
  return out;
}

struct BigEntry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  std::uint32_t value;  // the entry's 4-byte field, little-endian
  std::uint32_t high = 0;
};

// Entries, 64-bit next offset and high words, as stored at D.
Bytes big_dir(const std::vector<BigEntry>& entries, std::uint64_t next) {
  Bytes out = le(entries.size(), 2);
  for (const auto& e : entries) {
    for (const auto& part : {le(e.tag, 2), le(e.type, 2), le(e.count, 4), le(e.value, 4)}) {
      out.insert(out.end(), part.begin(), part.end());
    }
  }
  const Bytes next_bytes = le(next, 8);
  out.insert(out.end(), next_bytes.begin(), next_bytes.end());
  for (const auto& e : entries) {
    const Bytes h = le(e.high, 4);
    out.insert(out.end(), h.begin(), h.end());
  }
  return out;
}

Bytes big_header(std::uint64_t first) {
  Bytes out = {'I', 'I', 42, 0};
  const Bytes f = le(first, 8);
  out.insert(out.end(), f.begin(), f.end());
  return out;
}

std::string text(const KolvaError& error) {
  if (const auto* d = error.get_if<KolvaError::Decoding>()) return d->text;
  return error.debug();
}

std::string tiff_text(const tt::TiffError& error) { return text(tt::to_kolva_error(error)); }

KolvaResult<std::vector<tt::Ifd>> run_big(SparseSource& source) {
  return run_consumer<NdpiBigIfdDecoder>(source);
}

// ---------------------------------------------------------------------------
// Inline values: which decoded form one entry takes, and that it costs no read.

struct InlineCase {
  std::string name;
  BigEntry entry;
  std::optional<tt::Data> expected;  // nothing: the decoder fails
  std::string error;
};

class NdpiBigInlineValue : public ::testing::TestWithParam<InlineCase> {};

TEST_P(NdpiBigInlineValue, DecodesTheValueFieldAndHighWordAsLaidDown) {
  const auto& c = GetParam();
  constexpr std::uint64_t kDir = 16;
  SparseSource source;
  source.place(0, big_header(kDir));
  source.place(kDir, big_dir({c.entry}, 0));
  CaptureDiagnostics diagnostics;
  const auto ifds = run_big(source);
  if (!c.expected) {
    ASSERT_FALSE(ifds.ok());
    EXPECT_EQ(text(ifds.error()), c.error);
    return;
  }
  ASSERT_TRUE(ifds.ok()) << ifds.error().debug();
  ASSERT_EQ(ifds->size(), 1u);
  const auto* data = (*ifds)[0].get(c.entry.tag);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(*data, *c.expected);
  // Header, count, entries, next offset: nothing for the value.
  EXPECT_EQ(source.reads(), (Reads{{0, 12}, {kDir, 2}, {kDir + 2, 24}, {kDir + 14, 8}}));
  EXPECT_TRUE(diagnostics.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Layout, NdpiBigInlineValue,
    ::testing::Values(
        InlineCase{"LongZeroHighIsLong", {273, 4, 1, 0x89ABCDEF, 0}, tt::LONG{0x89ABCDEF}, ""},
        InlineCase{"LongWithHighIsLong8",
                   {273, 4, 1, 0x89ABCDEF, 0x12},
                   tt::LONG8{0x12'89ABCDEFULL},
                   ""},
        InlineCase{"ShortIgnoresHigh", {256, 3, 1, 0x0000BEEF, 7}, tt::SHORT{0xBEEF}, ""},
        InlineCase{"ShortPairIgnoresHigh",
                   {256, 3, 2, 0x00020001, 7},
                   tt::SHORT_ARRAY{{1, 2}},
                   ""},
        InlineCase{"ByteIgnoresHigh", {1, 1, 1, 0xAB, 0xFFFFFFFF}, tt::BYTE{0xAB}, ""},
        InlineCase{"SlongIgnoresHigh", {1, 9, 1, 0xFFFFFFFE, 3}, tt::SLONG{-2}, ""},
        InlineCase{"AsciiIgnoresHigh",
                   {270, 2, 4, 0x00636261, 1},
                   tt::ASCII{std::string("abc\0", 4)},
                   ""},
        // Zero count: nothing to defer, the 4-byte field goes to the value parser.
        InlineCase{"ZeroCountLongStaysInline", {5, 4, 0, 9, 0}, tt::LONG_ARRAY{{9}}, ""},
        InlineCase{"ZeroCountLongWithHigh", {5, 4, 0, 9, 1}, tt::LONG8_ARRAY{{k4G + 9}}, ""},
        InlineCase{"ZeroCountRationalStaysInline", {5, 5, 0, 0, 0}, std::nullopt,
                   "Tiff Error Tiff Decode Data Error: target dt rational, count 0, "},
        InlineCase{"SshortFailsInParser", {5, 8, 1, 1, 0}, std::nullopt,
                   "Tiff Error Error During parsing signed short: "},
        InlineCase{"Slong8ZeroCountFailsInParser", {5, 17, 0, 1, 0}, std::nullopt,
                   "Tiff Error Error During parsing singned-long-8(i64): "}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------
// Deferred values, order of reads, duplicates.

TEST(NdpiBigDeferred, ValueIsReadAtValueFieldPlusHighWordTimes4G) {
  // Directory at 5 GiB + 0x100, a LONG pair at 8 GiB + 0x40 (high word 2).
  const std::uint64_t dir = 5 * k4G / 4 + 0x100;
  const std::uint64_t value_at = 2 * k4G + 0x40;
  SparseSource source;
  source.place(0, big_header(dir));
  source.place(dir, big_dir({{273, 4, 2, 0x40, 2}}, 0));
  source.place(value_at, le(0x1111, 4));
  source.place(value_at + 4, le(0x2222, 4));
  const auto ifds = run_big(source);
  ASSERT_TRUE(ifds.ok()) << ifds.error().debug();
  ASSERT_EQ(ifds->size(), 1u);
  EXPECT_EQ(*(*ifds)[0].get(273), tt::Data(tt::LONG_ARRAY{{0x1111, 0x2222}}));
  EXPECT_EQ(source.reads(),
            (Reads{{0, 12}, {dir, 2}, {dir + 2, 24}, {value_at, 8}, {dir + 14, 8}}));
}

TEST(NdpiBigDeferred, ValuesAreReadLastEntryFirstAfterAllInlineEntries) {
  const std::uint64_t dir = 0x20;
  SparseSource source;
  source.place(0, big_header(dir));
  source.place(dir, big_dir({{10, 4, 2, 0x200, 0},
                             {11, 3, 1, 5, 0},
                             {12, 2, 6, 0x300, 1},
                             {13, 4, 3, 0x400, 0}},
                            0));
  source.place(0x200, le(0x0000000200000001ULL, 8));
  source.place(k4G + 0x300, Bytes{'n', 'd', 'p', 'i', '!', 0});
  source.place(0x400, le(7, 4));
  const auto ifds = run_big(source);
  ASSERT_TRUE(ifds.ok()) << ifds.error().debug();
  const std::uint64_t n = 4;
  EXPECT_EQ(source.reads(), (Reads{{0, 12},
                                   {dir, 2},
                                   {dir + 2, 16 * n + 8},
                                   {0x400, 12},
                                   {k4G + 0x300, 6},
                                   {0x200, 8},
                                   {dir + 2 + 12 * n, 8}}));
  const tt::Ifd& ifd = (*ifds)[0];
  EXPECT_EQ(ifd.size(), 4u);
  EXPECT_EQ(*ifd.get(10), tt::Data(tt::LONG_ARRAY{{1, 2}}));
  EXPECT_EQ(*ifd.get(11), tt::Data(tt::SHORT{5}));
  EXPECT_EQ(*ifd.get(12), tt::Data(tt::ASCII{std::string("ndpi!\0", 6)}));
  EXPECT_EQ(*ifd.get(13), tt::Data(tt::LONG_ARRAY{{7, 0, 0}}));
}

struct DuplicateCase {
  std::string name;
  std::vector<BigEntry> entries;
  tt::Data expected;
};

class NdpiBigDuplicate : public ::testing::TestWithParam<DuplicateCase> {};

TEST_P(NdpiBigDuplicate, LastAppendedEntryOfATagWins) {
  const std::uint64_t dir = 0x20;
  SparseSource source;
  source.place(0, big_header(dir));
  source.place(dir, big_dir(GetParam().entries, 0));
  source.place(0x200, le(0x0000000200000001ULL, 8));  // deferred value A: 1, 2
  source.place(0x300, le(0x0000000400000003ULL, 8));  // deferred value B: 3, 4
  const auto ifds = run_big(source);
  ASSERT_TRUE(ifds.ok()) << ifds.error().debug();
  ASSERT_EQ((*ifds)[0].size(), 1u);
  EXPECT_EQ(*(*ifds)[0].get(700), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, NdpiBigDuplicate,
    ::testing::Values(
        DuplicateCase{"TwoInlineKeepsTheLater",
                      {{700, 4, 1, 1, 0}, {700, 4, 1, 2, 0}},
                      tt::LONG{2}},
        DuplicateCase{"TwoDeferredKeepsTheEarlier",
                      {{700, 4, 2, 0x200, 0}, {700, 4, 2, 0x300, 0}},
                      tt::LONG_ARRAY{{1, 2}}},
        DuplicateCase{"DeferredBeatsInlineBefore",
                      {{700, 4, 1, 9, 0}, {700, 4, 2, 0x300, 0}},
                      tt::LONG_ARRAY{{3, 4}}},
        DuplicateCase{"DeferredBeatsInlineAfter",
                      {{700, 4, 2, 0x200, 0}, {700, 4, 1, 9, 0}},
                      tt::LONG_ARRAY{{1, 2}}}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiBigChain, FollowsSixtyFourBitNextOffsetsUntilZero) {
  const std::uint64_t first = 0x10;
  const std::uint64_t second = 3 * k4G + 0x10;
  SparseSource source;
  source.place(0, big_header(first));
  source.place(first, big_dir({{256, 3, 1, 100, 0}}, second));
  source.place(second, big_dir({{256, 3, 1, 50, 0}, {257, 3, 1, 25, 0}}, 0));
  const auto ifds = run_big(source);
  ASSERT_TRUE(ifds.ok()) << ifds.error().debug();
  ASSERT_EQ(ifds->size(), 2u);
  EXPECT_EQ(*(*ifds)[0].get(256), tt::Data(tt::SHORT{100}));
  EXPECT_EQ(*(*ifds)[1].get(257), tt::Data(tt::SHORT{25}));
  EXPECT_EQ(source.reads(), (Reads{{0, 12},
                                   {first, 2},
                                   {first + 2, 24},
                                   {first + 14, 8},
                                   {second, 2},
                                   {second + 2, 40},
                                   {second + 26, 8}}));
}

// ---------------------------------------------------------------------------
// Failures.

struct FailureCase {
  std::string name;
  Bytes header;
  std::optional<Bytes> dir;  // placed at 0x10
  std::string error;
  std::vector<std::string> lines;
};

class NdpiBigFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(NdpiBigFailure, FailsWithTheTiffErrorText) {
  const auto& c = GetParam();
  SparseSource source;
  source.place(0, c.header);
  if (c.dir) source.place(0x10, *c.dir);
  CaptureDiagnostics diagnostics;
  const auto ifds = run_big(source);
  ASSERT_FALSE(ifds.ok());
  EXPECT_EQ(text(ifds.error()), c.error);
  EXPECT_EQ(diagnostics.lines(), c.lines);
}

Bytes with_magic(std::initializer_list<std::uint8_t> magic) {
  Bytes h = big_header(0x10);
  std::copy(magic.begin(), magic.end(), h.begin());
  return h;
}

FailureCase bad_type(std::uint16_t code) {
  return {"TypeCode" + std::to_string(code), big_header(0x10),
          big_dir({{256, 3, 1, 1, 0}, {300, code, 1, 0, 0}}, 0),
          tiff_text(tt::TiffError::DecodeEntryError{"Cannot parse entry data-type"}),
          {"Unknown data type " + std::to_string(code)}};
}

INSTANTIATE_TEST_SUITE_P(
    Errors, NdpiBigFailure,
    ::testing::Values(
        FailureCase{"BigEndianHeader", with_magic({'M', 'M', 0, 42}), std::nullopt,
                    "Tiff Error Error During decodoing entry Invalid Header", {}},
        FailureCase{"BigTiffMagic", with_magic({'I', 'I', 43, 0}), std::nullopt,
                    "Tiff Error Error During decodoing entry Invalid Header", {}},
        FailureCase{"FirstOffsetZero", big_header(0), std::nullopt,
                    tiff_text(tt::TiffError::ParseHeaderError{""}), {}},
        FailureCase{"EmptyDirectory", big_header(0x10), Bytes{0, 0},
                    "Tiff Error Error During decodoing count Failed to parse IFD count", {}},
        bad_type(0), bad_type(13), bad_type(14), bad_type(15), bad_type(19), bad_type(0xFFFF),
        // Accepted by the type check, refused by the value parser when deferred.
        FailureCase{"DeferredSrationalFailsInParser", big_header(0x10),
                    big_dir({{300, 10, 1, 0, 0}}, 0),
                    "Tiff Error Error During parsing signed rational: ", {}},
        FailureCase{"DeferredIfd8FailsInParser", big_header(0x10),
                    big_dir({{300, 18, 1, 0, 0}}, 0),
                    "Tiff Error Error During parsing ifd offset 8bit: ", {}}),
    [](const auto& p) { return p.param.name; });

TEST(NdpiBigFailure, DirectoryNearTheTopOfTheOffsetRangeFailsInsteadOfWrapping) {
  // A directory at 2^64 - 1: its entries would start at 2^64 + 1.
  auto [decoder, first] = NdpiBigIfdDecoder::dispatch(NoInput{});
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{0, 12}));
  ASSERT_TRUE(decoder.step(big_header(~std::uint64_t{0})).ok());
  const auto next = decoder.step(le(1, 2));
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(text(next.error()), "Tiff Error Error During decodoing entry Buffer length overflow");
}

TEST(NdpiBigFailure, DirectoryWhoseNextOffsetFieldWouldWrapFails) {
  // A directory at 2^64 - 11: its entries start at 2^64 - 9, but its
  // next-offset field would lie at 2^64 + 3.
  const std::uint64_t dir = ~std::uint64_t{0} - 10;
  auto [decoder, first] = NdpiBigIfdDecoder::dispatch(NoInput{});
  (void)first;
  ASSERT_TRUE(decoder.step(big_header(dir)).ok());
  const auto entries = decoder.step(le(1, 2));
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(*entries, ReadInstruction(ReadAndStep{dir + 2, 24}));
  Bytes body = big_dir({{256, 3, 1, 1, 0}}, 0);
  body.erase(body.begin(), body.begin() + 2);
  const auto next = decoder.step(body);
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(text(next.error()), "Tiff Error Error During decodoing entry Buffer length overflow");
}

TEST(NdpiBigFailure, ShortDeliveriesFailWhereAPlainTiffChainWouldEnd) {
  const std::string short_buffer = "Tiff Error Error During decodoing entry Buf size not enough";
  Bytes body = big_dir({{256, 3, 1, 1, 0}}, 0);
  body.erase(body.begin(), body.begin() + 2);  // the count is read first
  for (const bool in_high_words : {true, false}) {
    auto [decoder, first] = NdpiBigIfdDecoder::dispatch(NoInput{});
    (void)first;
    ASSERT_TRUE(decoder.step(big_header(0x10)).ok());
    ASSERT_TRUE(decoder.step(le(1, 2)).ok());
    // One byte short of the last high word, or of the next-directory offset.
    if (!in_high_words) {
      ASSERT_TRUE(decoder.step(body).ok());
    }
    const auto next = decoder.step(in_high_words ? ByteSpan(body).first(body.size() - 1)
                                                 : ByteSpan(le(0, 7)));
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(text(next.error()), short_buffer);
  }
}

TEST(NdpiBigLifecycle, ReceiveBeforeTheEndAndStepAfterItAreInvalid) {
  const std::string invalid = "Tiff Error Error During decodoing entry Invalid";
  {
    auto [decoder, first] = NdpiBigIfdDecoder::dispatch(NoInput{});
    (void)first;
    ASSERT_TRUE(decoder.step(big_header(0x10)).ok());
    const auto early = std::move(decoder).receive({});
    ASSERT_FALSE(early.ok());
    EXPECT_EQ(text(early.error()), invalid);
  }
  {
    auto [decoder, first] = NdpiBigIfdDecoder::dispatch(NoInput{});
    (void)first;
    ASSERT_TRUE(decoder.step(big_header(0x10)).ok());
    ASSERT_TRUE(decoder.step(le(1, 2)).ok());
    Bytes body = big_dir({{256, 3, 1, 1, 0}}, 0);
    body.erase(body.begin(), body.begin() + 2);  // the count was the previous read
    const auto next = decoder.step(body);
    ASSERT_TRUE(next.ok());
    // Not a deferred read: the next-directory offset at 0x10 + 2 + 12.
    EXPECT_EQ(*next, ReadInstruction(ReadAndStep{0x1E, 8}));
    const auto end = decoder.step(le(0, 8));
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(*end, ReadInstruction(Finish{}));
    const auto again = decoder.step(le(0, 8));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(text(again.error()), invalid);
  }
  {
    // An error ends the decoder: receive afterwards does not hand out a list.
    auto [decoder, first] = NdpiBigIfdDecoder::dispatch(NoInput{});
    (void)first;
    ASSERT_FALSE(decoder.step(with_magic({'M', 'M', 0, 42})).ok());
    const auto after = std::move(decoder).receive({});
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(text(after.error()), invalid);
  }
}

// ---------------------------------------------------------------------------
// Inside the opening composition: the plain reader goes first, the 64-bit one
// takes over from the start of the file when it fails.

TEST(NdpiBigComposition, TakesOverWhenThePlainTiffReaderFails) {
  using Both = OrElseReadConsumer<tt::TiffDecoder, NdpiBigIfdDecoder>;
  // First directory at 4 GiB + 0x10: the low half alone (0x10) leads the plain
  // reader to a zero entry count.
  const std::uint64_t dir = k4G + 0x10;
  SparseSource source;
  source.place(0, big_header(dir));
  source.place(dir, big_dir({{273, 16, 1, 0x40, 1}, {279, 4, 1, 0x1234, 1}}, 0));
  source.place(k4G + 0x40, le(k4G * 3 + 5, 8));
  CaptureDiagnostics diagnostics;
  const auto ifds = run_consumer<Both>(source);
  ASSERT_TRUE(ifds.ok()) << ifds.error().debug();
  ASSERT_EQ(ifds->size(), 1u);
  EXPECT_EQ(*(*ifds)[0].get(273), tt::Data(tt::LONG8{k4G * 3 + 5}));
  EXPECT_EQ(*(*ifds)[0].get(279), tt::Data(tt::LONG8{k4G + 0x1234}));
  // The plain reader's magic, header and (zero) count, then the 64-bit reader from 0.
  ASSERT_GE(source.reads().size(), 4u);
  EXPECT_EQ(Reads(source.reads().begin(), source.reads().begin() + 4),
            (Reads{{0, 4}, {0, 8}, {0x10, 2}, {0, 12}}));
}

}  // namespace
}  // namespace kolva::test
