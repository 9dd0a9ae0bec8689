// The DICOM instance reader on files built here (every offset-table variant and
// hostile lengths) and on the real files of the corpus, plus the fragment
// joiner and the RLE unpacker.

#include "drivers/dicom/parser.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "drivers/dicom/series.hpp"
#include "export/shard.hpp"
#include "slide/slide.hpp"
#include "test_support.hpp"

namespace kolva::dicom {
namespace {

using test::Read;
using test::Reads;
using test::RecordingSource;

// A little-endian DICOM file written element by element.
class Builder {
 public:
  explicit Builder(const std::string& syntax = "1.2.840.10008.1.2.1") {
    out_.assign(128, 0);
    out_.insert(out_.end(), {'D', 'I', 'C', 'M'});
    text(0x0002, 0x0010, "UI", syntax);
  }
  Builder& text(std::uint16_t g, std::uint16_t e, const char* vr, std::string value) {
    if (value.size() % 2) value += vr[0] == 'U' && vr[1] == 'I' ? '\0' : ' ';
    head(g, e, vr, value.size());
    out_.insert(out_.end(), value.begin(), value.end());
    return *this;
  }
  Builder& u16(std::uint16_t g, std::uint16_t e, std::uint16_t v) {
    head(g, e, "US", 2);
    put(v, 2);
    return *this;
  }
  Builder& u32(std::uint16_t g, std::uint16_t e, std::uint32_t v) {
    head(g, e, "UL", 4);
    put(v, 4);
    return *this;
  }
  Builder& ov(std::uint16_t g, std::uint16_t e, const std::vector<std::uint64_t>& values) {
    head(g, e, "OV", values.size() * 8);
    for (auto v : values) put(v, 8);
    return *this;
  }
  // A sequence of undefined length opened; items and the end by hand.
  Builder& sequence(std::uint16_t g, std::uint16_t e) {
    head(g, e, "SQ", 0xFFFFFFFF);
    return *this;
  }
  Builder& item(std::uint32_t length = 0xFFFFFFFF) { return tag(0xE000, length); }
  Builder& item_end() { return tag(0xE00D, 0); }
  Builder& sequence_end() { return tag(0xE0DD, 0); }
  Builder& raw(const Bytes& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // The usual attributes of a whole-slide VOLUME instance.
  Builder& wsi(std::uint32_t frames, std::uint16_t tile = 8) {
    text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\VOLUME\\NONE");
    text(0x0008, 0x0016, "UI", kWsiSopClass);
    text(0x0020, 0x000E, "UI", "1.2.3");
    u16(0x0028, 0x0002, 1);
    text(0x0028, 0x0004, "CS", "MONOCHROME2");
    text(0x0028, 0x0008, "IS", std::to_string(frames));
    u16(0x0028, 0x0010, tile);
    u16(0x0028, 0x0011, tile);
    u16(0x0028, 0x0100, 8);
    u32(0x0048, 0x0006, tile * frames);
    return u32(0x0048, 0x0007, tile);
  }
  Builder& pixel_data() {
    head(0x7FE0, 0x0010, "OB", 0xFFFFFFFF);
    return *this;
  }
  Bytes bytes() const { return out_; }
  std::uint64_t size() const { return out_.size(); }

 private:
  void put(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  Builder& tag(std::uint16_t e, std::uint32_t length) {
    put(0xFFFE, 2);
    put(e, 2);
    put(length, 4);
    return *this;
  }
  void head(std::uint16_t g, std::uint16_t e, const char* vr, std::uint64_t length) {
    put(g, 2);
    put(e, 2);
    out_.push_back(static_cast<std::uint8_t>(vr[0]));
    out_.push_back(static_cast<std::uint8_t>(vr[1]));
    const std::string v(vr, 2);
    if (v == "OB" || v == "OV" || v == "SQ" || v == "UN" || v == "OW" || v == "UT") {
      put(0, 2);
      put(length, 4);
    } else {
      put(length, 2);
    }
  }
  Bytes out_;
};

Bytes item_of(const Bytes& value) {
  Bytes out{0xFE, 0xFF, 0x00, 0xE0};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value.size() >> (8 * i)));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

const Bytes kJpegA{0xFF, 0xD8, 0xFF, 0xDB, 1, 2, 3, 4, 0xFF, 0xD9};
const Bytes kJpegB{0xFF, 0xD8, 0xFF, 0xC0, 5, 6, 0xFF, 0xD9};

KolvaResult<Instance> parse(RecordingSource& source, std::uint64_t size) {
  return test::run_consumer<InstanceReader>(source, size);
}

// --------------------------------------------------------------- offset tables

TEST(DicomParser, NativeFramesFollowOneAnother) {
  Builder b;
  b.wsi(3, 2);
  const std::uint64_t at = b.size() + 12;
  b.raw({0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 12, 0, 0, 0});
  b.raw(Bytes(12, 7));
  RecordingSource source(b.bytes());
  auto parsed = parse(source, b.size());
  ASSERT_TRUE(parsed.ok()) << parsed.error().display();
  EXPECT_EQ(parsed->frames, (std::vector<Frame>{{at, 4}, {at + 4, 4}, {at + 8, 4}}));
  EXPECT_EQ(parsed->header.series_uid, "1.2.3");
  EXPECT_EQ(parsed->header.flavour(), "VOLUME");
  EXPECT_EQ(source.reads(), (Reads{{0, b.size()}}));  // one window holds it all
}

struct TableCase {
  std::string name;
  bool extended;   // an Extended Offset Table
  bool basic;      // a Basic Offset Table
  std::vector<Bytes> fragments;
  std::uint32_t frames;
  // (offset from the first fragment's item, length, kind) of each frame
  std::vector<Frame> expected;
  OffsetSource source;
};

class DicomOffsetTables : public ::testing::TestWithParam<TableCase> {};

TEST_P(DicomOffsetTables, FramesAreWhereTheTableSays) {
  const TableCase& c = GetParam();
  Builder b;
  b.wsi(c.frames);
  std::vector<std::uint64_t> offsets, lengths;
  std::uint64_t at = 0;
  for (const Bytes& f : c.fragments) {
    offsets.push_back(at);
    lengths.push_back(f.size());
    at += 8 + f.size();
  }
  if (c.extended) {
    b.ov(0x7FE0, 0x0001, offsets);
    b.ov(0x7FE0, 0x0002, lengths);
  }
  b.pixel_data();
  if (c.basic) {
    Bytes table;
    for (auto o : offsets) {
      for (int i = 0; i < 4; ++i) table.push_back(static_cast<std::uint8_t>(o >> (8 * i)));
    }
    b.raw(item_of(table));
  } else {
    b.raw(item_of({}));
  }
  const std::uint64_t first = b.size();
  for (const Bytes& f : c.fragments) b.raw(item_of(f));
  b.sequence_end();
  RecordingSource source(b.bytes());
  auto [reader, start] = InstanceReader::dispatch(b.size());
  auto parsed = std_io::run(source, std::move(reader), start);
  ASSERT_TRUE(parsed.ok()) << parsed.error().display();
  std::vector<Frame> expected = c.expected;
  for (Frame& f : expected) f.offset += first;
  EXPECT_EQ(parsed->frames, expected);
  if (c.source == OffsetSource::Scan) {
    // Item headers only: 8 bytes at each item (12 when frame starts are sought).
    for (const auto& [offset, length] : source.reads()) {
      if (offset >= first) {
        EXPECT_LE(length, 12u);
      }
    }
  } else {
    for (const auto& [offset, length] : source.reads()) EXPECT_LT(offset, first);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, DicomOffsetTables,
    ::testing::Values(
        TableCase{"extended", true, false, {kJpegA, kJpegB}, 2,
                  {{8, 10, Frame::Kind::Value}, {26, 8, Frame::Kind::Value}}, OffsetSource::Extended},
        // The basic table gives where frames start; the items in between are cut at read time.
        TableCase{"basic", false, true, {kJpegA, kJpegB}, 2,
                  {{0, 18, Frame::Kind::Items}, {18, 24, Frame::Kind::Items}}, OffsetSource::Basic},
        TableCase{"scan_one_fragment_each", false, false, {kJpegA, kJpegB}, 2,
                  {{8, 10, Frame::Kind::Value}, {26, 8, Frame::Kind::Value}}, OffsetSource::Scan},
        // Frame 0 split over two fragments: told apart by where codestreams start.
        TableCase{"scan_split_frame", false, false, {Bytes(kJpegA.begin(), kJpegA.begin() + 4),
                  Bytes(kJpegA.begin() + 4, kJpegA.end()), kJpegB}, 2,
                  {{0, 26, Frame::Kind::Items}, {26, 16, Frame::Kind::Items}}, OffsetSource::Scan},
        TableCase{"scan_single_frame_in_pieces", false, false, {Bytes{1, 2}, Bytes{3, 4}}, 1,
                  {{0, 20, Frame::Kind::Items}}, OffsetSource::Scan}),
    test::ByName{});

// --------------------------------------------------------------- hostile files

struct HostileCase {
  std::string name;
  Bytes file;
  std::string message;  // a part of the error's text
};

Bytes truncated_element() {
  Builder b;
  b.wsi(1);
  b.raw({0x10, 0x00, 0x10, 0x00, 'P', 'N', 0xFF, 0x7F});  // PatientName of 32767 bytes
  return b.bytes();
}

Bytes basic_outside() {
  Builder b;
  b.wsi(2);
  b.pixel_data();
  b.raw(item_of({0, 0, 0, 0, 0, 0, 1, 0}));  // frame 1 at 65536
  b.raw(item_of(kJpegA)).raw(item_of(kJpegB)).sequence_end();
  return b.bytes();
}

Bytes extended_outside() {
  Builder b;
  b.wsi(1);
  b.ov(0x7FE0, 0x0001, {1ULL << 40});
  b.ov(0x7FE0, 0x0002, {10});
  b.pixel_data();
  b.raw(item_of({})).raw(item_of(kJpegA)).sequence_end();
  return b.bytes();
}

Bytes frames_overflow() {
  Builder b;
  b.text(0x0028, 0x0008, "IS", "99999999999999999999999");
  b.u16(0x0028, 0x0010, 8).u16(0x0028, 0x0011, 8);
  b.pixel_data();
  b.raw(item_of({})).raw(item_of(kJpegA)).sequence_end();
  return b.bytes();
}

Bytes empty_frame() {
  Builder b;
  b.wsi(2);
  b.pixel_data();
  b.raw(item_of({})).raw(item_of(kJpegA)).raw(item_of({})).sequence_end();
  return b.bytes();
}

Bytes deep_nesting() {
  Builder b;
  b.wsi(1);
  for (int i = 0; i < 40; ++i) b.sequence(0x0040, 0x0555).item();
  return b.bytes();
}

Bytes with_syntax(const std::string& syntax) {
  Builder b(syntax);
  b.wsi(1);
  return b.bytes();
}

Bytes stray_delimiter() {
  Builder b;
  b.wsi(1);
  b.sequence_end();
  return b.bytes();
}

class DicomHostile : public ::testing::TestWithParam<HostileCase> {};

INSTANTIATE_TEST_SUITE_P(
    Files, DicomHostile,
    ::testing::Values(
        HostileCase{"element_past_end", truncated_element(), "(0010,0010) at byte"},
        HostileCase{"basic_table_outside", basic_outside(), "Basic Offset Table puts frame 0 outside the pixel data"},
        HostileCase{"extended_table_outside", extended_outside(),
                    "Extended Offset Table puts frame 0 outside the pixel data"},
        HostileCase{"frame_count_overflow", frames_overflow(), "NumberOfFrames is not a number"},
        HostileCase{"zero_length_frame", empty_frame(), "frame 1 is empty"},
        HostileCase{"nested_too_deep", deep_nesting(), "sequences nest more than 32 deep"},
        HostileCase{"deflated", with_syntax("1.2.840.10008.1.2.1.99"), "deflated"},
        HostileCase{"big_endian", with_syntax("1.2.840.10008.1.2.2"), "big endian"},
        HostileCase{"stray_delimiter", stray_delimiter(), "closes no sequence"},
        HostileCase{"not_dicom", Bytes(200, 0), "no DICM marker"}),
    test::ByName{});

TEST_P(DicomHostile, FailsSayingWhatIsWrong) {
  const HostileCase& c = GetParam();
  RecordingSource source(c.file);
  auto parsed = parse(source, c.file.size());
  ASSERT_FALSE(parsed.ok());
  EXPECT_NE(parsed.error().display().find(c.message), std::string::npos) << parsed.error().display();
}

// Every prefix of a valid file fails cleanly (and ASan sees no over-read).
TEST(DicomParser, EveryPrefixFailsCleanly) {
  Builder b;
  b.wsi(2);
  b.sequence(0x0048, 0x0105).item().text(0x0048, 0x0106, "SH", "1").item_end().sequence_end();
  b.pixel_data();
  b.raw(item_of({})).raw(item_of(kJpegA)).raw(item_of(kJpegB)).sequence_end();
  const Bytes whole = b.bytes();
  for (std::size_t n = 0; n + 8 < whole.size(); ++n) {
    RecordingSource source(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
    auto parsed = parse(source, n);
    if (parsed.ok()) {
      for (const Frame& f : parsed->frames) EXPECT_LE(f.offset + f.length, n);
    }
  }
  RecordingSource source(whole);
  auto parsed = parse(source, whole.size());
  ASSERT_TRUE(parsed.ok());
  ASSERT_EQ(parsed->header.optical_paths.size(), 1u);
  EXPECT_EQ(parsed->header.optical_paths[0].identifier, "1");
}

// --------------------------------------------------------------- joining

TEST(DicomFragments, JoinCutsItemHeadersAndStopsAtTheDelimiter) {
  Bytes run = item_of({1, 2});
  const Bytes second = item_of({3});
  run.insert(run.end(), second.begin(), second.end());
  run.insert(run.end(), {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0, 9, 9});
  auto joined = join_fragments(run);
  ASSERT_TRUE(joined.ok());
  EXPECT_EQ(*joined, (Bytes{1, 2, 3}));
  EXPECT_FALSE(join_fragments(Bytes{0xFE, 0xFF, 0x00, 0xE0, 9, 0, 0, 0, 1}).ok());
}

TEST(DicomRle, UnpacksSegmentsInterleaved) {
  // Two samples of one byte, 2x2 pixels: segment 0 a replicate run, segment 1 literals.
  Bytes frame(64, 0);
  frame[0] = 2;
  frame[4] = 64;
  frame[8] = 66;
  frame.insert(frame.end(), {0xFD, 7});           // -3: four times 7
  frame.insert(frame.end(), {3, 1, 2, 3, 4});     // four literals
  auto pixels = unpack_rle(frame, 2, 2, 2, 1);
  ASSERT_TRUE(pixels.ok()) << pixels.error();
  EXPECT_EQ(*pixels, (Bytes{7, 1, 7, 2, 7, 3, 7, 4}));
  frame[4] = 200;
  EXPECT_FALSE(unpack_rle(frame, 2, 2, 2, 1).ok());
}

// --------------------------------------------------------------- real files

struct RealCase {
  std::string name;
  std::string file;
  std::uint64_t frames;
  OffsetSource source;
};

class DicomReal : public ::testing::TestWithParam<RealCase> {};

TEST_P(DicomReal, ReadsFramesWithoutTheirBodies) {
  const RealCase& c = GetParam();
  const std::filesystem::path path = std::filesystem::path(KOLVA_CORPUS_DIR) / "dicom" / c.file;
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " absent";
  std::ifstream in(path, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  RecordingSource source(bytes);
  auto [reader, first] = InstanceReader::dispatch(bytes.size());
  auto parsed = std_io::run(source, std::move(reader), first);
  ASSERT_TRUE(parsed.ok()) << parsed.error().display();
  EXPECT_EQ(parsed->frames.size(), c.frames);
  EXPECT_EQ(parsed->header.sop_class, kWsiSopClass);
  std::uint64_t read = 0;
  for (const auto& [offset, length] : source.reads()) read += length;
  std::uint64_t frame_bytes = 0;
  for (const Frame& f : parsed->frames) frame_bytes += f.length;
  // Small files fit the first window; larger ones are never read whole.
  if (bytes.size() > 2 * kWindow) {
    EXPECT_LT(read, bytes.size() - frame_bytes / 2);
  }
}

// --------------------------------------------------------------- frame sources

TEST(DicomParser, AnImplicitSyntaxOverAnExplicitDataSetIsReadAsExplicit) {
  Builder b("1.2.840.10008.1.2");
  b.wsi(1, 2).raw({0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 4, 0, 0, 0}).raw(Bytes(4, 7));
  RecordingSource source(b.bytes());
  auto parsed = parse(source, b.size());
  ASSERT_TRUE(parsed.ok()) << parsed.error().display();
  EXPECT_EQ(parsed->header.transfer_syntax, "1.2.840.10008.1.2");
  EXPECT_EQ(parsed->frames.size(), 1U);
}

// Frames by number, every call logged.
class FakeFrames final : public slide::FrameFetcher {
 public:
  slide::SlideResult<std::vector<Bytes>> fetch(
      std::span<const std::pair<std::uint64_t, std::uint64_t>> wanted) override {
    calls.emplace_back(wanted.begin(), wanted.end());
    std::vector<Bytes> out;
    for (const auto& [instance, frame] : wanted) out.push_back(frame % 2 ? kJpegA : kJpegB);
    return out;
  }
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> calls;
};

TEST(DicomFrameSource, EveryReadFetchesItsFramesByNumberInOneCall) {
  Builder b("1.2.840.10008.1.2.4.50");
  b.wsi(3, 8).pixel_data().item(0);
  for (int i = 0; i < 3; ++i) b.raw(item_of({0xFF, 0xD8}));  // stand-ins, never read
  b.sequence_end();
  auto frames = std::make_shared<FakeFrames>();
  auto source = std::make_shared<slide::FrameSource>(b.bytes(), "web/instances/1", frames, 7);
  auto opened = slide::Slide::open(slide::SourceSet(source));
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  const auto& s = *opened;

  const std::vector<slide::Coord> coords{{2, 0}, {0, 0}, {1, 0}};
  auto batch = s->plan_batch(0, coords);
  ASSERT_TRUE(batch.ok());
  std::vector<Bytes> got;
  const std::vector<std::span<std::uint8_t>> nowhere(coords.size());
  ASSERT_TRUE(s->read_batch(*batch, nowhere, got, 4).ok());
  EXPECT_EQ(got, (std::vector<Bytes>{kJpegA, kJpegA, kJpegB}));
  ASSERT_EQ(frames->calls.size(), 1U);
  EXPECT_EQ(frames->calls[0], (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                                  {7, 3}, {7, 1}, {7, 2}}));

  auto tile = s->read_tile(0, 1, 0);
  ASSERT_TRUE(tile.ok());
  EXPECT_EQ(*tile, kJpegB);
  auto sizes = shard::tile_sizes(*s, 0);
  ASSERT_TRUE(sizes.ok());
  EXPECT_EQ(*sizes, (std::vector<std::int64_t>{10, 8, 10}));
  EXPECT_EQ(frames->calls.size(), 3U);  // the tile, then the level's sizes at once
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, DicomReal,
    ::testing::Values(RealCase{"jpeg", "wsi-to-dicom-converter_jpeg.dcm", 12, OffsetSource::Scan},
                      RealCase{"jpeg2000", "wsi-to-dicom-converter_jpeg2000.dcm", 12, OffsetSource::Scan},
                      RealCase{"raw", "wsi-to-dicom-converter_raw.dcm", 12, OffsetSource::Native},
                      RealCase{"boxes", "boxes/boxes_0.dcm", 1, OffsetSource::Scan},
                      RealCase{"jpegls", "highdicom_sm_image_jpegls.dcm", 25, OffsetSource::Basic}),
    test::ByName{});

}  // namespace
}  // namespace kolva::dicom
