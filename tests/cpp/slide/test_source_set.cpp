// Source sets (siblings found and opened by relative name) and the read
// executor (local reads one by one, remote ones gathered into one request).

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/registry.hpp"
#include "slide/executor.hpp"
#include "slide/slide.hpp"
#include "slide/source_set.hpp"
#include "slide/tiled_tiff.hpp"
#include "std_io/source.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

using slide::ErrorKind;
using slide::Range;
using slide::SourceSet;

// Bytes in memory that say they are remote, and log every read_many.
class RemoteMemory final : public std_io::RangeSource {
 public:
  RemoteMemory(Bytes bytes, std::string name) : inner_(std::move(bytes), std::move(name)) {}
  std::uint64_t known_size() const override { return inner_.known_size(); }
  KolvaResult<std::uint64_t> size() override { return inner_.size(); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override {
    return inner_.read_at(offset, dst);
  }
  const std::string& name() const override { return inner_.name(); }
  bool remote() const override { return true; }
  KolvaResult<Unit> read_many(std::span<const std_io::ByteRange> ranges,
                              std::span<const std::span<std::uint8_t>> dst) override {
    {
      std::lock_guard lock(mutex_);
      batches_.emplace_back(ranges.begin(), ranges.end());
    }
    if (fail_) return KolvaError::IoError{OsError{5}};
    return inner_.read_many(ranges, dst);
  }
  std::vector<std::vector<std_io::ByteRange>> batches_;
  bool fail_ = false;

 private:
  std_io::SharedMemorySource inner_;
  std::mutex mutex_;
};

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/kolva-siblings-XXXXXX";
    path_ = mkdtemp(templ);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string write(const std::string& relative, const std::string& text) const {
    const std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full) << text;
    return full;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(SourceSet, FindsAndOpensSiblingsOnceByRelativeName) {
  TempDir dir;
  const std::string main = dir.write("slide.vsi", "main");
  dir.write("_slide_/stack10001/frame_t.ets", "ets1");
  dir.write("_slide_/stack10000/frame_t.ets", "ets0");
  auto first = std_io::SharedFileSource::open(main);
  ASSERT_TRUE(first.ok());
  SourceSet sources(std::move(first).value(), slide::LocalSiblings::of_file(main));
  EXPECT_EQ(sources.file_name(), "slide.vsi");

  auto folders = sources.list("_slide_");
  ASSERT_TRUE(folders.ok());
  EXPECT_EQ(*folders, (std::vector<std::string>{"stack10000", "stack10001"}));

  auto index = sources.open("_slide_/stack10001/frame_t.ets");
  ASSERT_TRUE(index.ok());
  EXPECT_EQ(*index, 1U);
  EXPECT_EQ(*sources.open("_slide_/stack10001/frame_t.ets"), 1U) << "opened once";
  std::uint8_t got[4] = {};
  ASSERT_TRUE(sources.at(1).read_at(0, got).ok());
  EXPECT_EQ(std::string(got, got + 4), "ets1");
}

TEST(OpeningReads, SmallReadsThroughWindowsGiveTheFilesBytesAndKeepNothingAfter) {
  TempDir dir;
  std::string bytes(40000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  const std::string path = dir.write("a.bin", bytes);
  const std::string other = dir.write("b.bin", std::string(100, 'b'));
  auto a = std_io::SharedFileSource::open(path);
  auto b = std_io::SharedFileSource::open(other);
  ASSERT_TRUE(a.ok() && b.ok());
  // {offset, length, bytes expected}: inside a window, across windows' ends, at
  // and past the end of the file, larger than a window reads.
  const std::tuple<std::uint64_t, std::size_t, std::size_t> reads[] = {
      {0, 16, 16}, {100, 300, 300}, {16380, 8, 8}, {39990, 40, 10}, {40000, 4, 0},
      {50000, 4, 0}, {20000, 4096, 4096}, {1000, 9000, 9000}, {4, 4, 4}};
  {
    std_io::OpeningReads scope;
    for (const auto& [offset, length, expected] : reads) {
      std::vector<std::uint8_t> got(length);
      auto n = (*a)->read_at(offset, got);
      ASSERT_TRUE(n.ok());
      ASSERT_EQ(*n, expected) << offset;
      EXPECT_EQ(std::string(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(expected)),
                bytes.substr(std::min<std::size_t>(offset, bytes.size()), expected))
          << offset;
      std::uint8_t one = 0;
      ASSERT_TRUE((*b)->read_at(offset % 100, std::span(&one, 1)).ok());
      EXPECT_EQ(one, 'b') << "windows are the file's own";
    }
  }
  // After the opening, reads see the file as it is now.
  dir.write("a.bin", std::string(40000, 'z'));
  std::uint8_t got[4] = {};
  ASSERT_TRUE((*a)->read_at(0, got).ok());
  EXPECT_EQ(std::string(got, got + 4), "zzzz");
}

TEST(SourceSet, MissingOrEscapingSiblingsAreMissingFiles) {
  TempDir dir;
  const std::string main = dir.write("slide.vsi", "main");
  auto first = std_io::SharedFileSource::open(main);
  ASSERT_TRUE(first.ok());
  SourceSet sources(std::move(first).value(), slide::LocalSiblings::of_file(main));
  for (const std::string name : {"nope.ets", "../slide.vsi", "a/../../b", "/etc/passwd"}) {
    auto opened = sources.open(name);
    ASSERT_FALSE(opened.ok()) << name;
    EXPECT_EQ(opened.error().kind, ErrorKind::MissingFile) << name;
  }
  EXPECT_EQ(sources.list("_slide_").error().kind, ErrorKind::MissingFile);
  // Without siblings (bytes in memory) nothing beside can be found.
  SourceSet alone(std::make_shared<std_io::SharedMemorySource>(Bytes{1, 2}, "mem"));
  EXPECT_EQ(alone.open("x").error().kind, ErrorKind::MissingFile);
}

TEST(ReadExecutor, GathersTheRangesOfARemoteSourceIntoOneRequest) {
  const TiledTiff tiff;
  auto remote = std::make_shared<RemoteMemory>(tiff.file, "http://host/slide.tif");
  auto opened = slide::Slide::open(SourceSet(remote));
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  const auto& s = *opened;
  const auto local = open_memory(tiff.file);
  ASSERT_TRUE(local);

  std::vector<slide::Coord> coords;
  for (std::uint64_t y = 0; y < kDown; ++y) {
    for (std::uint64_t x = 0; x < kAcross; ++x) coords.emplace_back(x, y);
  }
  for (const unsigned threads : {1U, 4U}) {
    remote->batches_.clear();
    auto remote_batch = s->plan_batch(0, coords);
    auto local_batch = local->plan_batch(0, coords);
    ASSERT_TRUE(remote_batch.ok() && local_batch.ok());
    std::vector<Bytes> got;
    std::vector<Bytes> want;
    ASSERT_TRUE(s->read_batch(*remote_batch, {}, got, threads).ok());
    ASSERT_TRUE(local->read_batch(*local_batch, {}, want, threads).ok());
    EXPECT_EQ(got, want);
    ASSERT_EQ(remote->batches_.size(), 1U) << "one request for the whole batch";
    EXPECT_EQ(remote->batches_[0].size(), coords.size());
  }
}

TEST(ReadExecutor, AScatteredReadFillsItsPiecesInTurnFromAFileOrMemory) {
  TempDir dir;
  std::string text(300000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7 + i / 509);
  const std::string path = dir.write("bytes.bin", text);
  const Bytes bytes(text.begin(), text.end());
  auto file = std_io::SharedFileSource::open(path);
  ASSERT_TRUE(file.ok());
  for (const SourceSet& sources : {SourceSet(*file), SourceSet(std::make_shared<std_io::SharedMemorySource>(bytes, "m"))}) {
    // More pieces than one system call takes, of odd sizes, some into one shared buffer.
    Bytes out(200000), shared(64);
    std::vector<std::span<std::uint8_t>> pieces;
    std::size_t kept = 0, total = 0;
    for (std::size_t i = 0; kept + 120 < out.size(); ++i) {
      const std::size_t n = i % 97 + 1;
      if (i % 3 == 2) {
        pieces.emplace_back(shared.data(), std::min<std::size_t>(n, shared.size()));
      } else {
        pieces.emplace_back(out.data() + kept, n);
        kept += n;
      }
      total += pieces.back().size();
    }
    ASSERT_GT(pieces.size(), 1024U);
    ASSERT_TRUE(slide::read_scattered(sources, {1234, total, 0}, pieces).ok());
    std::size_t at = 1234;
    for (const auto& piece : pieces) {
      if (piece.data() != shared.data()) {
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at)));
      }
      at += piece.size();
    }
    const std::span<std::uint8_t> past(out.data(), 20);
    EXPECT_FALSE(slide::read_scattered(sources, {bytes.size() - 10, 20, 0}, {&past, 1}).ok());
  }
}

// Tiles stored back to back are read in file order, several to a read; the
// TIFF's tiles overlap their head by the SOI they drop, and some are asked
// for twice. Cut short under the open slide, the batch fails with the error
// of the first failing tile in the caller's order.
TEST(ReadExecutor, TilesStoredBackToBackReadTogetherGiveEachTilesBytes) {
  const TiledTiff tiff;
  TempDir dir;
  const std::string path = dir.write("slide.tif", std::string(tiff.file.begin(), tiff.file.end()));
  auto file = std_io::SharedFileSource::open(path);
  ASSERT_TRUE(file.ok());
  auto opened = slide::Slide::open(SourceSet(*file));
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  const auto& s = *opened;
  std::vector<slide::Coord> coords;
  for (std::uint64_t i = 0; i < kAcross * kDown; ++i) coords.emplace_back((i * 7) % kAcross, (i * 7) / kAcross % kDown);
  for (std::uint64_t i = 0; i < kAcross * kDown; i += 3) coords.emplace_back(i % kAcross, i / kAcross);
  auto read = [&](unsigned threads, std::vector<Bytes>& out) {
    auto batch = s->plan_batch(0, coords);
    EXPECT_TRUE(batch.ok());
    out.assign(coords.size(), Bytes());
    std::vector<std::span<std::uint8_t>> dst(coords.size());
    for (std::size_t i = 0; i < coords.size(); ++i) {
      out[i].assign(*batch->plans[i].output_size(), 0xAA);
      dst[i] = out[i];
    }
    std::vector<Bytes> unused;
    return s->read_batch(*batch, dst, unused, threads);
  };
  for (const unsigned threads : {1U, 3U}) {
    std::vector<Bytes> out;
    ASSERT_TRUE(read(threads, out).ok());
    for (std::size_t i = 0; i < coords.size(); ++i) {
      EXPECT_EQ(out[i], tiff.expected(coords[i].first, coords[i].second)) << i;
    }
  }
  // Cut in the middle of tile 12: it and those after it are gone.
  std::uintmax_t cut = 8 + 3;
  for (std::size_t i = 0; i < 12; ++i) cut += tiff.tiles[i].size();
  std::filesystem::resize_file(path, cut);
  std::vector<std::size_t> failing;
  for (std::size_t i = 0; i < coords.size(); ++i) {
    if (!s->read_tile(0, coords[i].first, coords[i].second).ok()) failing.push_back(i);
  }
  ASSERT_FALSE(failing.empty());
  const auto first = s->read_tile(0, coords[failing[0]].first, coords[failing[0]].second);
  for (const unsigned threads : {1U, 3U}) {
    std::vector<Bytes> out;
    const auto got = read(threads, out);
    ASSERT_FALSE(got.ok());
    if (threads == 1) {
      EXPECT_EQ(got.error().message, first.error().message);
    }
    for (std::size_t i = 0; threads == 1 && i < failing[0]; ++i) {
      if (s->read_tile(0, coords[i].first, coords[i].second).ok()) {
        EXPECT_EQ(out[i], tiff.expected(coords[i].first, coords[i].second)) << i;
      }
    }
  }
}

TEST(ReadExecutor, ARemoteFailureNamesItsSource) {
  const TiledTiff tiff;
  auto remote = std::make_shared<RemoteMemory>(tiff.file, "http://host/slide.tif");
  auto opened = slide::Slide::open(SourceSet(remote));
  ASSERT_TRUE(opened.ok());
  remote->fail_ = true;
  auto tile = (*opened)->read_tile(0, 0, 0);
  ASSERT_FALSE(tile.ok());
  EXPECT_EQ(tile.error().kind, ErrorKind::Io);
  EXPECT_EQ(tile.error().message, "cannot read http://host/slide.tif: Input/output error");
}

TEST(ReadExecutor, RefusesRangesPastTheirSourceOrInNoSource) {
  SourceSet sources(std::make_shared<std_io::SharedMemorySource>(Bytes(10, 7), "mem"));
  Bytes buffer(8);
  const std::span<std::uint8_t> dst[] = {buffer};
  const Range past[] = {Range{5, 8, 0}};
  auto r = slide::read_ranges(sources, past, dst, 1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Corrupt);
  const Range elsewhere[] = {Range{0, 4, 1}};
  EXPECT_FALSE(slide::read_ranges(sources, elsewhere, dst, 1).ok());
}

TEST(Registry, ListsEachFamilyOnceUnderOneName) {
  std::vector<std::string_view> names;
  for (const drivers::Driver* d : drivers::registry()) names.push_back(d->family().name);
  EXPECT_EQ(names, (std::vector<std::string_view>{"dicom", "ets", "aperio", "philips", "ventana",
                                                  "trestle", "huron", "ome-tiff", "qptiff",
                                                  "leica", "argos", "generic-tiff", "ndpi", "vms",
                                                  "sakura", "mirax", "czi"}));
  ASSERT_NE(drivers::find_family("ndpi"), nullptr);
  EXPECT_EQ(drivers::find_family("ndpi")->vendor, "hamamatsu");
  EXPECT_EQ(drivers::find_family("ets")->vendor, "olympus");
  EXPECT_EQ(drivers::find_family("czi")->vendor, "zeiss");
  EXPECT_EQ(drivers::find_family("olympus"), nullptr);
}

}  // namespace
}  // namespace kolva::test
