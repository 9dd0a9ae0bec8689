// The TIFF/BigTIFF directory decoder: its exact request sequence, its results
// in both byte orders and flavours, and every way it fails.

#include <string>

#include "test_support.hpp"
#include "tiff_tools/decode/decode.hpp"
#include "tiff_tools/sub_ifds.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::test {
namespace {

using namespace kolva::tiff_tools;

constexpr TiffFlavour kLeClassic{ByteOrder::Little, false};
constexpr TiffFlavour kBeClassic{ByteOrder::Big, false};
constexpr TiffFlavour kLeBig{ByteOrder::Little, true};
constexpr TiffFlavour kBeBig{ByteOrder::Big, true};

// The Decoder as a consumer that keeps its TiffError visible: a failure comes
// back as KolvaError::Decoding holding the TiffError's debug form.
struct RawTiff {
  using Input = NoInput;
  using Output = std::vector<Ifd>;
  Decoder decoder;
  static std::pair<RawTiff, ReadInstruction> dispatch(NoInput) {
    return {RawTiff{}, ReadAndStep{0, 4}};
  }
  KolvaResult<ReadInstruction> step(ByteSpan bytes) {
    auto next = decoder.step(bytes);
    if (!next.ok()) return KolvaError::Decoding{next.error().debug()};
    return *next;
  }
  KolvaResult<Output> receive(ByteSpan) && {
    auto ifds = std::move(decoder).receive();
    if (!ifds.ok()) return KolvaError::Decoding{ifds.error().debug()};
    return std::move(ifds).value();
  }
};

std::string failure(const KolvaResult<std::vector<Ifd>>& r) {
  if (r.ok()) return "ok";
  const auto* d = r.error().get_if<KolvaError::Decoding>();
  return d ? d->text : r.error().debug();
}

// Requests the decoder must make for a well-formed image of this builder.
Reads expected_plan(TiffFlavour f, const TiffImage& img, const std::vector<TiffDir>& dirs) {
  Reads plan = {{0, 4}, {0, f.header_size()}};
  for (std::size_t d = 0; d < dirs.size(); ++d) {
    const auto n = dirs[d].entries.size();
    plan.push_back({img.dirs[d], f.count_size()});
    plan.push_back({img.dirs[d] + f.count_size(), n * f.entry_size()});
    for (std::size_t i = n; i-- > 0;) {
      if (img.blocks[d][i]) plan.push_back({*img.blocks[d][i], dirs[d].entries[i].value.size()});
    }
    plan.push_back({img.dirs[d] + f.count_size() + n * f.entry_size(), f.offset_size()});
  }
  return plan;
}

// Content whose decoded values do not depend on flavour or byte order: every
// value is either deferred in both flavours or fills the BigTIFF value field.
std::vector<TiffDir> sample_dirs(TiffFlavour f) {
  const Enc e = f.enc();
  return {
      {{{256, 3, 1, e.u16({1000})},
        {257, 4, 1, e.u32({70000})},
        {258, 3, 4, e.u16({8, 8, 8, 65535})},
        {270, 2, 12, ascii_bytes(std::string("hello world\0", 12))},
        {273, 4, 3, e.u32({100, 200, 0xFFFFFFFF})},
        {282, 5, 1, e.u32({72, 1})},
        {300, 12, 1, e.u64({0x3FF8000000000000ULL})},
        {301, 7, 1, {0xAB}},
        {302, 16, 2, e.u64({1, 0x8000000000000000ULL})},
        {303, 9, 2, e.u32({0xFFFFFFFE, 5})}}},
      {{{256, 3, 1, e.u16({500})},
        {273, 4, 2, e.u32({11, 22})},
        {305, 2, 11, ascii_bytes(std::string("kolva-test\0", 11))}}},
      {{{256, 3, 1, e.u16({1})}}},
  };
}

class TiffFlavours : public ::testing::TestWithParam<TiffFlavour> {};

TEST_P(TiffFlavours, RequestSequenceAndValues) {
  const TiffFlavour f = GetParam();
  const auto dirs = sample_dirs(f);
  const TiffImage img = build_tiff(f, dirs);
  RecordingSource src(img.bytes);
  CaptureDiagnostics diag;
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_TRUE(out.ok()) << out.error().debug();
  EXPECT_EQ(src.reads(), expected_plan(f, img, dirs));
  EXPECT_EQ(diag.lines(), std::vector<std::string>{"Empty!!!"});  // only the last directory
  ASSERT_EQ(out->size(), 3U);
  const Ifd& d0 = (*out)[0];
  EXPECT_EQ(d0.size(), 10U);
  EXPECT_EQ(*d0.get(256), Data(SHORT{1000}));
  EXPECT_EQ(*d0.get(257), Data(LONG{70000}));
  EXPECT_EQ(*d0.get(258), Data(SHORT_ARRAY{{8, 8, 8, 65535}}));
  EXPECT_EQ(*d0.get(270), Data(ASCII{std::string("hello world\0", 12)}));
  EXPECT_EQ(*d0.get(273), Data(LONG_ARRAY{{100, 200, 0xFFFFFFFF}}));
  EXPECT_EQ(*d0.get(282), Data(RATIONAL{{72, 1}}));
  EXPECT_EQ(*d0.get(300), Data(DOUBLE{1.5}));
  EXPECT_EQ(*d0.get(301), Data(UNDEFINED{0xAB}));
  EXPECT_EQ(*d0.get(302), Data(LONG8_ARRAY{{1, 0x8000000000000000ULL}}));
  EXPECT_EQ(*d0.get(303), Data(SLONG_ARRAY{{-2, 5}}));
  const Ifd& d1 = (*out)[1];
  EXPECT_EQ(d1.size(), 3U);
  EXPECT_EQ(*d1.get(256), Data(SHORT{500}));
  EXPECT_EQ(*d1.get(273), Data(LONG_ARRAY{{11, 22}}));
  EXPECT_EQ(*d1.get(305), Data(ASCII{std::string("kolva-test\0", 11)}));
  EXPECT_EQ((*out)[2].size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(LeBe, TiffFlavours, ::testing::Values(kLeClassic, kBeClassic, kLeBig, kBeBig),
                         [](const ::testing::TestParamInfo<TiffFlavour>& p) { return p.param.name(); });

// SubIFD offsets in the IFD entry types (13 classic, 18 BigTIFF), held in the
// entry and stored beside it: the plain reader refuses them; the reader the
// registry opens with reads them as LONG / LONG8 offsets, and the rest alike.
TEST_P(TiffFlavours, SubIfdReaderTakesIfdTypedOffsets) {
  const TiffFlavour f = GetParam();
  const Enc e = f.enc();
  const std::uint16_t type = f.big ? 18 : 13;
  auto offsets = [&](std::initializer_list<std::uint64_t> v) { return f.big ? e.u64(v) : e.u32(v); };
  const std::vector<TiffDir> dirs = {
      {{{256, 3, 1, e.u16({1000})}, {273, 4, 3, e.u32({100, 200, 300})},
        {330, type, 3, offsets({7, 8, 9})}}},
      {{{256, 3, 1, e.u16({500})}, {330, type, 1, offsets({11})}}},
  };
  const TiffImage img = build_tiff(f, dirs);
  RecordingSource plain_src(img.bytes);
  EXPECT_FALSE(run_consumer<TiffDecoder>(plain_src).ok());
  RecordingSource src(img.bytes);
  auto out = run_consumer<SubIfdTiffDecoder>(src);
  ASSERT_TRUE(out.ok()) << out.error().debug();
  // The first directory's two values, stored side by side, come in one read.
  EXPECT_EQ(src.reads().size() + 1, expected_plan(f, img, dirs).size());
  ASSERT_EQ(out->size(), 2U);
  const Ifd& d0 = (*out)[0];
  EXPECT_EQ(*d0.get(273), Data(LONG_ARRAY{{100, 200, 300}}));
  EXPECT_EQ(*d0.get(330), f.big ? Data(LONG8_ARRAY{{7, 8, 9}}) : Data(LONG_ARRAY{{7, 8, 9}}));
  EXPECT_EQ(*(*out)[1].get(330), f.big ? Data(LONG8{11}) : Data(LONG{11}));
  // Without those types both readers agree, also on a file cut short inside
  // its last directory's values.
  const auto sample = sample_dirs(f);
  const TiffImage plain = build_tiff(f, {sample[0], sample[1]});
  for (std::size_t cut : {std::size_t{0}, std::size_t{5}}) {
    const Bytes bytes(plain.bytes.begin(), plain.bytes.end() - static_cast<std::ptrdiff_t>(cut));
    RecordingSource a(bytes), b(bytes);
    auto want = run_consumer<TiffDecoder>(a);
    auto got = run_consumer<SubIfdTiffDecoder>(b);
    ASSERT_EQ(got.ok(), want.ok()) << cut;
    if (!want.ok()) continue;
    ASSERT_EQ(got->size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ((*got)[i].entries(), (*want)[i].entries());
  }
}

// A next-directory offset naming a directory the chain already read ends the
// chain for the readers kolva opens with (the plain reader runs to its step
// budget instead); chains written out of file order still read whole.
struct RepeatCase {
  const char* name;
  std::vector<int> next;  // per directory, the index its next offset names; -1 ends
  std::size_t read;
};

class RepeatedDirectories : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(RepeatedDirectories, EndTheChain) {
  const RepeatCase c = GetParam();
  for (const TiffFlavour f : {kLeClassic, kBeBig}) {
    const Enc e = f.enc();
    std::vector<TiffDir> dirs(c.next.size(), TiffDir{{{256, 3, 1, e.u16({64})},
                                                      {273, 4, 3, e.u32({100, 200, 300})}}});
    const auto layout = build_tiff(f, dirs).dirs;  // where each directory lands
    for (std::size_t i = 0; i < dirs.size(); ++i) {
      dirs[i].next = c.next[i] < 0 ? 0 : layout[static_cast<std::size_t>(c.next[i])];
    }
    const TiffImage img = build_tiff(f, dirs);
    RecordingSource src(img.bytes);
    auto out = run_consumer<SubIfdTiffDecoder>(src);
    ASSERT_TRUE(out.ok()) << c.name << " " << f.name() << " " << out.error().debug();
    EXPECT_EQ(out->size(), c.read) << c.name << " " << f.name();
    // A SubIFD chain, here started at the last directory, ends the same way.
    std::size_t reachable = 0;
    std::vector<bool> seen(dirs.size());
    for (int at = static_cast<int>(dirs.size()) - 1; at >= 0 && !seen[at];
         at = c.next[static_cast<std::size_t>(at)]) {
      seen[static_cast<std::size_t>(at)] = true;
      ++reachable;
    }
    RecordingSource chained(img.bytes);
    auto from_last = run_consumer<SubDirectoryDecoder>(
        chained, SubDirectoryDecoder::Input{{layout.back()}, f.order, f.big});
    ASSERT_TRUE(from_last.ok()) << c.name << " " << from_last.error().debug();
    ASSERT_EQ(from_last->size(), 1U);
    EXPECT_EQ((*from_last)[0].size(), reachable) << c.name << " " << f.name();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, RepeatedDirectories,
    ::testing::Values(RepeatCase{"itself", {0}, 1}, RepeatCase{"back_to_first", {1, 2, 0}, 3},
                      RepeatCase{"back_to_middle", {1, 2, 1}, 3},
                      RepeatCase{"out_of_file_order", {2, -1, 1}, 3},
                      RepeatCase{"out_of_order_then_back", {2, 0, 1}, 3},
                      // Longer than the chain kept in place: 20 directories, then
                      // back to the fourth; and the same read in reverse file order.
                      RepeatCase{"long_then_back",
                                 {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 3},
                                 20},
                      RepeatCase{"long_reversed_then_back",
                                 {19, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18},
                                 20}),
    [](const ::testing::TestParamInfo<RepeatCase>& p) { return std::string(p.param.name); });

// Tile and strip tables of the threshold's size or more are left in the file:
// the directory says where, get() finds them once filled in, and what is
// filled in equals what reading them would give. A table tag listed twice
// leaves nothing in the file (which entry wins is decided by reading both).
TEST_P(TiffFlavours, TablesLeftInTheFileFillInAsRead) {
  const TiffFlavour f = GetParam();
  const Enc e = f.enc();
  const Bytes big_offsets = e.u32({100, 200, 300, 400});  // 16 bytes: left at 16
  const Bytes counts = e.u16({1, 2, 3, 4});               // 8 bytes: read
  for (const bool twice : {false, true}) {
    std::vector<TiffEntry> entries = {{256, 3, 1, e.u16({64})},
                                      {270, 2, 6, ascii_bytes(std::string("hello\0", 6))},
                                      {273, 4, 4, big_offsets},
                                      {279, 3, 4, counts}};
    if (twice) entries.push_back({273, 4, 4, e.u32({5, 6, 7, 8})});
    const TiffImage img = build_tiff(f, {{entries}});
    RecordingSource plain_src(img.bytes), src(img.bytes);
    auto plain = run_consumer<SubIfdTiffDecoder>(plain_src);
    auto lazy = run_consumer<SubIfdTiffDecoder>(src, {16});
    ASSERT_TRUE(plain.ok() && lazy.ok());
    const Ifd& d = (*lazy)[0];
    if (twice) {
      EXPECT_TRUE(d.in_file().empty());
      EXPECT_EQ(d.entries(), (*plain)[0].entries());
      continue;
    }
    ASSERT_EQ(d.in_file().size(), 1U);
    const ValueInFile v = d.in_file()[0];
    EXPECT_EQ(v, (ValueInFile{*img.blocks[0][2], 16, 4, 273, DataType::LONG}));
    EXPECT_EQ(d.get(273), nullptr);
    EXPECT_EQ(d.unread(273), &d.in_file()[0]);
    EXPECT_EQ(*d.get(279), *(*plain)[0].get(279));
    EXPECT_EQ(*d.get(270), *(*plain)[0].get(270));
    auto value = parse_data(ByteSpan(img.bytes).subspan(v.offset, v.byte_len), v.count,
                            v.data_type, f.order);
    ASSERT_TRUE(value.ok());
    d.fill_in(0, *value);
    EXPECT_EQ(d.unread(273), nullptr);
    EXPECT_EQ(*d.get(273), *(*plain)[0].get(273));
  }
}

TEST(TiffDecode, InlineOnlyClassicLittleEndianPlan) {
  const Enc e{ByteOrder::Little};
  const auto img = build_tiff(kLeClassic, {{{{256, 3, 1, e.u16({64})}, {257, 4, 1, e.u32({48})}}}});
  RecordingSource src(img.bytes);
  CaptureDiagnostics diag;
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(src.reads(), (Reads{{0, 4}, {0, 8}, {8, 2}, {10, 24}, {34, 4}}));
  EXPECT_EQ(diag.lines(), std::vector<std::string>{"Empty!!!"});
  ASSERT_EQ(out->size(), 1U);
}

TEST(TiffDecode, DeferredValuesReadInReverseEntryOrder) {
  const Enc e{ByteOrder::Little};
  // Directory at 8 (2 + 3*12 + 4 = 42 bytes), blocks at 50 (tag 273) and 62 (tag 279).
  const auto img = build_tiff(kLeClassic, {{{{273, 4, 3, e.u32({1, 2, 3})},
                                             {278, 3, 1, e.u16({16})},
                                             {279, 4, 3, e.u32({4, 5, 6})}}}});
  RecordingSource src(img.bytes);
  CaptureDiagnostics diag;
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(src.reads(), (Reads{{0, 4}, {0, 8}, {8, 2}, {10, 36}, {62, 12}, {50, 12}, {46, 4}}));
  EXPECT_TRUE(diag.lines().empty());
}

TEST(TiffDecode, DuplicateTagsLastAppendedWins) {
  const Enc e{ByteOrder::Little};
  // Appended: inline A, inline D, then deferred in reverse: C, B. B survives.
  const auto both = build_tiff(kLeClassic, {{{{300, 3, 1, e.u16({1})},        // A inline
                                              {300, 4, 2, e.u32({2, 2})},      // B deferred
                                              {300, 4, 2, e.u32({3, 3})},      // C deferred
                                              {300, 3, 1, e.u16({4})}}}});     // D inline
  const auto only_inline = build_tiff(kLeClassic, {{{{300, 3, 1, e.u16({1})}, {300, 3, 1, e.u16({4})}}}});
  CaptureDiagnostics diag;
  RecordingSource a(both.bytes);
  auto out = run_consumer<TiffDecoder>(a);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*(*out)[0].get(300), Data(LONG_ARRAY{{2, 2}}));
  RecordingSource b(only_inline.bytes);
  auto out2 = run_consumer<TiffDecoder>(b);
  ASSERT_TRUE(out2.ok());
  EXPECT_EQ(*(*out2)[0].get(300), Data(SHORT{4}));
}

// Single-entry directories: where the value goes and what an inline field yields.
struct InlineCase {
  std::string name;
  TiffFlavour flavour;
  TiffEntry entry;
  Data expected;
  bool deferred;
};

class TiffInlineOrDeferred : public ::testing::TestWithParam<InlineCase> {};

TEST_P(TiffInlineOrDeferred, ValueAndPlacement) {
  const auto& c = GetParam();
  const auto img = build_tiff(c.flavour, {{{c.entry}}});
  RecordingSource src(img.bytes);
  CaptureDiagnostics diag;
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_TRUE(out.ok()) << out.error().debug();
  EXPECT_EQ(*(*out)[0].get(c.entry.tag), c.expected);
  EXPECT_EQ(src.reads().size(), c.deferred ? 6U : 5U);
  EXPECT_EQ(diag.lines().size(), c.deferred ? 0U : 1U);
}

const Enc kLe{ByteOrder::Little};
INSTANTIATE_TEST_SUITE_P(
    Entries, TiffInlineOrDeferred,
    ::testing::Values(
        InlineCase{"ClassicShortCount0YieldsTwo", kLeClassic, {1, 3, 0, kLe.u16({7, 9})},
                   Data(SHORT_ARRAY{{7, 9}}), false},
        InlineCase{"ClassicByteCount3YieldsFour", kLeClassic, {1, 1, 3, {1, 2, 3}},
                   Data(BYTE_ARRAY{{1, 2, 3, 0}}), false},
        InlineCase{"ClassicAsciiCount3KeepsFourthByte", kLeClassic, {1, 2, 3, {'A', 'b', 0, 'Z'}},
                   Data(ASCII{std::string("Ab\0Z", 4)}), false},
        InlineCase{"ClassicAsciiCount4Inline", kLeClassic, {1, 2, 4, ascii_bytes("abcd")},
                   Data(ASCII{"abcd"}), false},
        InlineCase{"ClassicAsciiCount5Deferred", kLeClassic, {1, 2, 5, ascii_bytes("abcde")},
                   Data(ASCII{"abcde"}), true},
        InlineCase{"ClassicLongCount1Inline", kLeClassic, {1, 4, 1, kLe.u32({9})}, Data(LONG{9}), false},
        InlineCase{"ClassicLongCount2Deferred", kLeClassic, {1, 4, 2, kLe.u32({9, 10})},
                   Data(LONG_ARRAY{{9, 10}}), true},
        InlineCase{"BigLongCount2Inline", kLeBig, {1, 4, 2, kLe.u32({9, 10})},
                   Data(LONG_ARRAY{{9, 10}}), false},
        InlineCase{"BigShortCount1Inline", kLeBig, {1, 3, 1, kLe.u16({77})}, Data(SHORT{77}), false},
        InlineCase{"BigShortCount3YieldsFour", kLeBig, {1, 3, 3, kLe.u16({1, 2, 3})},
                   Data(SHORT_ARRAY{{1, 2, 3, 0}}), false},
        InlineCase{"BigLong8Count1Inline", kLeBig, {1, 16, 1, kLe.u64({1ULL << 40})},
                   Data(LONG8{1ULL << 40}), false},
        InlineCase{"BigAsciiCount9Deferred", kLeBig, {1, 2, 9, ascii_bytes("123456789")},
                   Data(ASCII{"123456789"}), true}),
    ByName());

TEST(TiffDecode, BigTiffZeroEntryDirectoryIsEmptyIfd) {
  const auto img = build_tiff(kBeBig, {{{}}});
  RecordingSource src(img.bytes);
  CaptureDiagnostics diag;
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_TRUE(out.ok()) << out.error().debug();
  ASSERT_EQ(out->size(), 1U);
  EXPECT_EQ((*out)[0].size(), 0U);
  EXPECT_EQ(src.reads(), (Reads{{0, 4}, {0, 16}, {16, 8}, {24, 0}, {24, 8}}));
  EXPECT_EQ(diag.lines(), std::vector<std::string>{"Empty!!!"});
}

// ---------------------------------------------------------------------------
// TiffDecodeFailures over whole files.

struct FailCase {
  std::string name;
  Bytes file;
  std::string error;  // TiffError debug
  std::vector<std::string> lines;
};

class TiffDecodeFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(TiffDecodeFailures, ErrorAndOutputLines) {
  const auto& c = GetParam();
  RecordingSource src(c.file);
  CaptureDiagnostics diag;
  EXPECT_EQ(failure(run_consumer<RawTiff>(src)), c.error);
  EXPECT_EQ(diag.lines(), c.lines);
}

Bytes one_entry(TiffFlavour f, TiffEntry entry) { return build_tiff(f, {{{std::move(entry)}}}).bytes; }

Bytes patched(Bytes b, std::size_t pos, std::uint64_t v, int width, ByteOrder order) {
  patch(b, pos, v, width, order);
  return b;
}

const std::string kEntryErr = "DecodeEntryError { msg: \"Cannot parse entry data-type\" }";
const std::string kOverflow = "InvalidDecodingProcess(\"Buffer length overflow\")";
const std::string kBadHeader = "InvalidDecodingProcess(\"Invalid Header\")";
const std::string kHeaderErr = "ParseHeaderError(\"\")";
std::vector<std::string> unknown(int code) {
  return {"Unknown data type " + std::to_string(code), "Err " + kEntryErr};
}
Bytes minimal(TiffFlavour f) { return one_entry(f, {256, 3, 1, f.enc().u16({1})}); }

INSTANTIATE_TEST_SUITE_P(
    Table, TiffDecodeFailures,
    ::testing::Values(
        FailCase{"MixedByteOrderMark", {0x49, 0x4D, 0x2A, 0, 8, 0, 0, 0}, kBadHeader, {}},
        FailCase{"LittleMarkBigVersion", {0x49, 0x49, 0, 0x2A, 8, 0, 0, 0}, kBadHeader, {}},
        FailCase{"BigMarkLittleVersion", {0x4D, 0x4D, 0x2A, 0, 0, 0, 0, 8}, kBadHeader, {}},
        FailCase{"Version44", {0x49, 0x49, 44, 0, 8, 0, 0, 0}, kBadHeader, {}},
        FailCase{"ClassicFirstOffsetZero", patched(minimal(kLeClassic), 4, 0, 4, ByteOrder::Little), kHeaderErr, {}},
        FailCase{"BigFirstOffsetZero", patched(minimal(kBeBig), 8, 0, 8, ByteOrder::Big), kHeaderErr, {}},
        FailCase{"BigOffsetSize4", patched(minimal(kLeBig), 4, 4, 2, ByteOrder::Little), kHeaderErr, {}},
        FailCase{"BigReservedNonZero", patched(minimal(kLeBig), 7, 1, 1, ByteOrder::Little), kHeaderErr, {}},
        FailCase{"ClassicZeroEntries", build_tiff(kLeClassic, {{{}}}).bytes,
                 "DecodeCountError { msg: \"Failed to parse IFD count\" }", {}},
        FailCase{"ClassicZeroEntriesInSecondDirectory", build_tiff(kBeClassic, {{{{1, 3, 1, {0, 1}}}}, {{}}}).bytes,
                 "DecodeCountError { msg: \"Failed to parse IFD count\" }", {"Empty!!!"}},
        FailCase{"BigEntryCountOverflows", patched(minimal(kLeBig), 16, 1ULL << 62, 8, ByteOrder::Little),
                 kOverflow, {}},
        FailCase{"TypeCode13", one_entry(kLeClassic, {1, 13, 1, {0, 0, 0, 0}}), kEntryErr, unknown(13)},
        FailCase{"TypeCode0", one_entry(kBeClassic, {1, 0, 1, {}}), kEntryErr, unknown(0)},
        FailCase{"TypeCode14", one_entry(kLeBig, {1, 14, 1, {}}), kEntryErr, unknown(14)},
        FailCase{"TypeCode15", one_entry(kBeBig, {1, 15, 1, {}}), kEntryErr, unknown(15)},
        FailCase{"TypeCode19", one_entry(kLeClassic, {1, 19, 1, {}}), kEntryErr, unknown(19)},
        FailCase{"TypeCode256BigEndian", one_entry(kBeClassic, {1, 256, 1, {}}), kEntryErr, unknown(256)},
        FailCase{"BigValueLengthOverflows", one_entry(kLeBig, {1, 4, 1ULL << 62, {}}), kOverflow,
                 {"Err " + kOverflow}},
        FailCase{"InlineSshort", one_entry(kLeClassic, {1, 8, 1, {1, 0}}),
                 "UnsupportedDataType { dt: SSHORT, msg: \"\" }",
                 {"Err UnsupportedDataType { dt: SSHORT, msg: \"\" }"}},
        FailCase{"InlineSlong8", one_entry(kBeBig, {1, 17, 1, Bytes(8)}),
                 "UnsupportedDataType { dt: SLONG8, msg: \"\" }",
                 {"Err UnsupportedDataType { dt: SLONG8, msg: \"\" }"}},
        FailCase{"InlineIfd8", one_entry(kLeBig, {1, 18, 1, Bytes(8)}),
                 "UnsupportedDataType { dt: IFD8, msg: \"\" }",
                 {"Err UnsupportedDataType { dt: IFD8, msg: \"\" }"}},
        FailCase{"DeferredSrationalNoLine", one_entry(kLeClassic, {1, 10, 1, Bytes(8)}),
                 "UnsupportedDataType { dt: SRATIONAL, msg: \"\" }", {}},
        FailCase{"ClassicDoubleCount0", one_entry(kLeClassic, {1, 12, 0, {}}),
                 "DecodeDataError { dt: DOUBLE, count: 0, msg: \"\" }",
                 {"Err DecodeDataError { dt: DOUBLE, count: 0, msg: \"\" }"}},
        FailCase{"ClassicLong8Count0", one_entry(kBeClassic, {1, 16, 0, {}}),
                 "DecodeDataError { dt: LONG8, count: 0, msg: \"\" }",
                 {"Err DecodeDataError { dt: LONG8, count: 0, msg: \"\" }"}},
        FailCase{"ClassicRationalCount0", one_entry(kLeClassic, {1, 5, 0, {}}),
                 "DecodeDataError { dt: RATIONAL, count: 0, msg: \"\" }",
                 {"Err DecodeDataError { dt: RATIONAL, count: 0, msg: \"\" }"}}),
    ByName());

TEST(TiffDecode, TiffDecoderWrapsTheDisplayText) {
  RecordingSource src(build_tiff(kLeClassic, {{{}}}).bytes);
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().display(),
            "Decoding Error Tiff Error Error During decodoing count Failed to parse IFD count");
  auto [fresh, first] = TiffDecoder::dispatch({});
  EXPECT_EQ(first, ReadInstruction(ReadAndStep{0, 4}));
  auto early = std::move(fresh).receive({});
  ASSERT_FALSE(early.ok());
  EXPECT_EQ(early.error().debug(), "Decoding(\"Tiff Error Error During decodoing entry Invalid Header\")");
}

TEST(TiffDecode, SelfLoopingChainStopsAtTheStepBudget) {
  const Enc e{ByteOrder::Little};
  const auto img = build_tiff(kLeClassic, {{{{256, 3, 1, e.u16({1})}}, 8}});
  RecordingSource src(img.bytes);
  CaptureDiagnostics diag;
  auto out = run_consumer<TiffDecoder>(src);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "UnableToAllocateLargeSize");
  // 2 header steps, then 3 per directory: 349,524 whole rounds plus count and entries.
  ASSERT_EQ(src.reads().size(), 1048576U);
  EXPECT_EQ(Reads(src.reads().end() - 4, src.reads().end()), (Reads{{10, 12}, {22, 4}, {8, 2}, {10, 12}}));
  EXPECT_EQ(src.reads()[4], (Read{22, 4}));
  EXPECT_EQ(diag.lines().size(), 349525U);
}

// ---------------------------------------------------------------------------
// The Decoder fed by hand: deliveries the driver never makes.

Bytes le_big_header(std::uint64_t first) {
  Bytes h = {'I', 'I', 43, 0, 8, 0, 0, 0};
  put(h, first, 8, ByteOrder::Little);
  return h;
}

TEST(DecoderByHand, ShortDeliveries) {
  Decoder d;
  auto r = d.step(Bytes{'I', 'I', 42});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().debug(), "InvalidDecodingProcess(\"Buf size not enough\")");

  Decoder h;
  ASSERT_TRUE(h.step(Bytes{'I', 'I', 42, 0}).ok());
  auto short_header = h.step(Bytes{'I', 'I', 42, 0, 8, 0, 0});
  ASSERT_FALSE(short_header.ok());
  EXPECT_EQ(short_header.error().debug(), kHeaderErr);
}

TEST(DecoderByHand, HeaderMagicIsNotExaminedTwiceAndShortNextOffsetEndsChain) {
  Decoder d;
  auto r = d.step(Bytes{'M', 'M', 0, 42, 0xEE});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadInstruction(ReadAndStep{0, 8}));
  r = d.step(Bytes{'X', 'X', 'X', 'X', 0, 0, 1, 0});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadInstruction(ReadAndStep{256, 2}));
  r = d.step(Bytes{0, 1});
  EXPECT_EQ(*r, ReadInstruction(ReadAndStep{258, 12}));
  {
    CaptureDiagnostics diag;
    r = d.step(Bytes{1, 0, 0, 3, 0, 0, 0, 1, 0, 5, 0, 0});
    EXPECT_EQ(diag.lines(), std::vector<std::string>{"Empty!!!"});
  }
  EXPECT_EQ(*r, ReadInstruction(ReadAndStep{270, 4}));
  r = d.step(Bytes{0, 0, 9});  // fewer than 4 bytes: the chain ends
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadInstruction(Finish{}));
  auto again = d.step(Bytes{});
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().debug(), "InvalidDecodingProcess(\"Invalid\")");
  auto ifds = std::move(d).receive();
  ASSERT_TRUE(ifds.ok());
  ASSERT_EQ(ifds->size(), 1U);
  EXPECT_EQ(*(*ifds)[0].get(256), Data(SHORT{5}));
}

TEST(DecoderByHand, ReceiveBeforeFinished) {
  Decoder fresh;
  auto a = std::move(fresh).receive();
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().debug(), kBadHeader);
  Decoder mid;
  ASSERT_TRUE(mid.step(Bytes{'I', 'I', 42, 0}).ok());
  auto b = std::move(mid).receive();
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().debug(), "InvalidDecodingProcess(\"Invalid\")");
}

TEST(DecoderByHand, OffsetsNear2Pow64FailInsteadOfWrapping) {
  // The entries would start past 2^64.
  Decoder a;
  ASSERT_TRUE(a.step(Bytes{'I', 'I', 43, 0}).ok());
  auto r = a.step(le_big_header(~0ULL - 3));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadInstruction(ReadAndStep{~0ULL - 3, 8}));
  r = a.step(Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().debug(), kOverflow);

  // The next-directory offset field would lie past 2^64.
  Decoder b;
  ASSERT_TRUE(b.step(Bytes{'I', 'I', 43, 0}).ok());
  ASSERT_TRUE(b.step(le_big_header(~0ULL - 8)).ok());
  r = b.step(Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadInstruction(ReadAndStep{~0ULL, 20}));
  Bytes entry = {1, 1, 3, 0};
  put(entry, 1, 8, ByteOrder::Little);
  put(entry, 7, 8, ByteOrder::Little);
  CaptureDiagnostics diag;
  r = b.step(entry);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().debug(), kOverflow);
}

}  // namespace
}  // namespace kolva::test
