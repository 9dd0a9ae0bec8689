// The tar records of dataset shards and the shard writer, on the bundled example
// slide: headers that tar readers accept, every tile's bytes exactly as
// read_tile returns them, manifest offsets that point at them, and failures.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "export/shard.hpp"
#include "export/tar.hpp"
#include "std_io/sink.hpp"
#include "std_io/source.hpp"

namespace kolva::shard {
namespace {

std::string example_path() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/")) + "/python/kolva/example/example.svs";
}

std::shared_ptr<const slide::Slide> open_example() {
  auto source = std_io::SharedFileSource::open(example_path());
  EXPECT_TRUE(source.ok());
  auto s = slide::Slide::open(std::move(source).value());
  EXPECT_TRUE(s.ok());
  return std::move(s).value();
}

std::uint64_t octal(const std::uint8_t* field, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
    v = v * 8 + (field[i] - '0');
  }
  return v;
}

struct Member {
  std::string name;
  std::uint64_t offset;  // of the data
  std::uint64_t size;
};

// Walks a tar archive the way a reader does, checking each header's checksum.
std::vector<Member> walk(const Bytes& tar) {
  std::vector<Member> out;
  std::uint64_t at = 0;
  while (at + kTarBlock <= tar.size()) {
    const std::uint8_t* h = tar.data() + at;
    if (std::all_of(h, h + kTarBlock, [](std::uint8_t b) { return b == 0; })) break;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kTarBlock; ++i) sum += (i >= 148 && i < 156) ? ' ' : h[i];
    EXPECT_EQ(octal(h + 148, 8), sum);
    EXPECT_EQ(std::memcmp(h + 257, "ustar\0" "00", 8), 0);
    Member m{std::string(reinterpret_cast<const char*>(h), strnlen(reinterpret_cast<const char*>(h), 100)),
             at + kTarBlock, octal(h + 124, 12)};
    out.push_back(m);
    at += kTarBlock + tar_padded(m.size);
  }
  // Two zero blocks close the archive, and nothing follows them.
  EXPECT_EQ(at + 2 * kTarBlock, tar.size());
  return out;
}

struct HeaderCase {
  const char* name;
  std::string member;
  std::uint64_t size;
  bool ok;
};

class TarHeader : public testing::TestWithParam<HeaderCase> {};

TEST_P(TarHeader, WritesValidHeadersOrRefuses) {
  const auto& c = GetParam();
  std::uint8_t block[kTarBlock];
  std::memset(block, 0xAA, sizeof block);
  ASSERT_EQ(write_tar_header(c.member, c.size, block), c.ok);
  if (!c.ok) {
    EXPECT_EQ(block[0], 0xAA);  // untouched
    return;
  }
  if (c.size > (1u << 20)) {  // too large to build here: read the size field alone
    EXPECT_EQ(octal(block + 124, 12), c.size);
    return;
  }
  Bytes tar(block, block + kTarBlock);
  tar.resize(kTarBlock + tar_padded(c.size) + 2 * kTarBlock, 0);
  const auto members = walk(tar);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].name, c.member);
  EXPECT_EQ(members[0].size, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TarHeader,
    testing::Values(HeaderCase{"plain", "a-l0-x1-y2.jpg", 12345, true},
                    HeaderCase{"empty_member", "k.json", 0, true},
                    HeaderCase{"name_of_100", std::string(96, 'k') + ".jpg", 1, true},
                    HeaderCase{"name_of_101", std::string(97, 'k') + ".jpg", 1, false},
                    HeaderCase{"no_name", "", 1, false},
                    HeaderCase{"nul_in_name", std::string("a\0b", 3), 1, false},
                    HeaderCase{"largest_size", "big.bin", kTarSizeMax, true},
                    HeaderCase{"too_large", "big.bin", kTarSizeMax + 1, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class FailingSink final : public std_io::ByteSink {
 public:
  KolvaResult<Unit> write(ByteSpan) override { return KolvaError::IoError{OsError{28}}; }
  KolvaResult<Unit> finish() override { return Unit{}; }
};

ShardPiece piece(std::shared_ptr<const slide::Slide> s, std::uint64_t level,
                 std::vector<std::uint64_t> tiles, std::string prefix = "ex-l0-") {
  return ShardPiece{std::move(s), level, std::move(tiles), std::move(prefix), "jpg",
                    "\"level\": 0", "\"slide\": \"example\""};
}

TEST(Shard, TileSizesAreTheReadSizes) {
  const auto s = open_example();
  for (std::uint64_t level = 0; level < s->levels().size(); ++level) {
    auto sizes = tile_sizes(*s, level);
    ASSERT_TRUE(sizes.ok());
    const auto [across, down] = s->levels()[level].info.tile_grid;
    ASSERT_EQ(sizes->size(), across * down);
    for (std::uint64_t i = 0; i < sizes->size(); ++i) {
      auto tile = s->read_tile(level, i % across, i / across);
      ASSERT_TRUE(tile.ok());
      EXPECT_EQ((*sizes)[i], static_cast<std::int64_t>(tile->size()));
    }
  }
  auto past = tile_sizes(*s, s->levels().size());
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().kind, slide::ErrorKind::LevelNotFound);
}

TEST(Shard, SamplesHoldTheTilesAndTheManifestPointsAtThem) {
  const auto s = open_example();
  const auto [across, down] = s->levels()[0].info.tile_grid;
  std::vector<std::uint64_t> all;
  for (std::uint64_t i = 0; i < across * down; ++i) all.push_back(i);
  std::vector<ShardPiece> pieces = {piece(s, 0, all), piece(s, 1, {1, 0}, "ex-l1-")};
  std_io::MemorySink sink;
  auto written = write_shard(pieces, "shard-000007.tar", sink);
  ASSERT_TRUE(written.ok());
  const Bytes& tar = sink.bytes();
  EXPECT_EQ(written->size, tar.size());
  EXPECT_EQ(written->samples, all.size() + 2);

  const auto members = walk(tar);
  ASSERT_EQ(members.size(), 2 * written->samples);
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; (nl = written->manifest.find('\n', at)) != std::string::npos;
       at = nl + 1) {
    lines.push_back(written->manifest.substr(at, nl - at));
  }
  ASSERT_EQ(lines.size(), written->samples);
  std::uint64_t tile_bytes = 0;
  for (std::size_t i = 0; i < written->samples; ++i) {
    const bool second = i >= all.size();
    const std::uint64_t level = second ? 1 : 0;
    const std::uint64_t index = second ? pieces[1].tiles[i - all.size()] : i;
    const std::uint64_t lx = index % s->levels()[level].info.tile_grid.first;
    const std::uint64_t ly = index / s->levels()[level].info.tile_grid.first;
    const std::string key = std::string(second ? "ex-l1-" : "ex-l0-") + "x" +
                            std::to_string(lx) + "-y" + std::to_string(ly);
    const Member& data = members[2 * i];
    const Member& meta = members[2 * i + 1];
    EXPECT_EQ(data.name, key + ".jpg");
    EXPECT_EQ(meta.name, key + ".json");
    auto tile = s->read_tile(level, lx, ly);
    ASSERT_TRUE(tile.ok());
    ASSERT_EQ(data.size, tile->size());
    EXPECT_TRUE(std::equal(tile->begin(), tile->end(), tar.begin() + data.offset));
    tile_bytes += tile->size();
    const std::string json(tar.begin() + meta.offset, tar.begin() + meta.offset + meta.size);
    EXPECT_EQ(json, "{\"key\": \"" + key + "\", \"level\": 0, \"x\": " + std::to_string(lx) +
                        ", \"y\": " + std::to_string(ly) + ", \"box\": [" +
                        std::to_string(lx * 240) + ", " + std::to_string(ly * 240) + ", " +
                        std::to_string(std::min<std::uint64_t>(
                            240, s->levels()[level].info.dimensions.first - lx * 240)) +
                        ", " +
                        std::to_string(std::min<std::uint64_t>(
                            240, s->levels()[level].info.dimensions.second - ly * 240)) +
                        "], \"bytes\": " + std::to_string(tile->size()) + "}");
    EXPECT_EQ(lines[i], "{\"key\": \"" + key + "\", \"shard\": \"shard-000007.tar\", \"offset\": " +
                            std::to_string(data.offset) + ", \"bytes\": " +
                            std::to_string(data.size) + ", \"slide\": \"example\", \"x\": " +
                            std::to_string(lx) + ", \"y\": " + std::to_string(ly) + "}");
  }
  EXPECT_EQ(written->tile_bytes, tile_bytes);
}

// A shard written in parts, each continuing the file where the last part's
// samples end, is the shard written in one go: the same bytes, the same
// manifest, offsets counted from the start of the file.
TEST(Shard, PartsContinueTheFileAsOneShard) {
  const auto s = open_example();
  const std::vector<ShardPiece> pieces = {piece(s, 0, {0, 1, 2}), piece(s, 1, {1, 0}, "ex-l1-"),
                                          piece(s, 0, {}), piece(s, 0, {5}, "ex-l0b-")};
  std_io::MemorySink whole_sink;
  auto whole = write_shard(pieces, "s.tar", whole_sink);
  ASSERT_TRUE(whole.ok());

  const std::string path = testing::TempDir() + "kolva-shard-parts.tar";
  std::uint64_t start = 0;
  std::uint64_t samples = 0;
  std::string manifest;
  for (const ShardPiece& p : pieces) {
    auto sink = std_io::FileSink::create(path, false, start);
    ASSERT_TRUE(sink.ok());
    auto part = write_shard(std::span(&p, 1), "s.tar", **sink, start);
    ASSERT_TRUE(part.ok());
    samples += part->samples;
    manifest += part->manifest;
    ASSERT_GE(part->size, start + kArchiveEnd);
    start = part->size - kArchiveEnd;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Bytes file(whole->size + 1);
  file.resize(std::fread(file.data(), 1, file.size(), f));
  std::fclose(f);
  std::remove(path.c_str());
  EXPECT_EQ(file, whole_sink.bytes());
  EXPECT_EQ(samples, whole->samples);
  EXPECT_EQ(manifest, whole->manifest);
}

TEST(Shard, EmptyShardIsAnEmptyArchive) {
  std_io::MemorySink sink;
  auto written = write_shard({}, "s.tar", sink);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(sink.bytes(), Bytes(2 * kTarBlock, 0));
}

struct FailureCase {
  const char* name;
  std::uint64_t level;
  std::uint64_t tile;
  std::size_t prefix_length;
  bool failing_sink;
  slide::ErrorKind kind;
};

class ShardFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ShardFailure, FailsWithTheRightKind) {
  const auto& c = GetParam();
  const auto s = open_example();
  std::vector<ShardPiece> pieces = {piece(s, c.level, {0, c.tile}, std::string(c.prefix_length, 'k'))};
  std_io::MemorySink memory;
  FailingSink failing;
  auto written = write_shard(pieces, "s.tar", c.failing_sink ? static_cast<std_io::ByteSink&>(failing)
                                                             : static_cast<std_io::ByteSink&>(memory));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind, c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShardFailure,
    testing::Values(FailureCase{"tile_past_grid", 0, 1000, 6, false, slide::ErrorKind::TileNotFound},
                    FailureCase{"level_past_last", 9, 0, 6, false, slide::ErrorKind::LevelNotFound},
                    FailureCase{"key_too_long", 0, 1, 95, false, slide::ErrorKind::Invalid},
                    FailureCase{"sink_fails", 0, 1, 6, true, slide::ErrorKind::Io}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kolva::shard
