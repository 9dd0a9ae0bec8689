// The file driver: read_bytes limits, the run loop and its step budget,
// FileSource on real files, and KolvaDecoder with a toy format.

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "std_io/std_io.hpp"
#include "test_support.hpp"

// Array allocations of the whole test binary are counted so that a test can
// tell that read_bytes allocated nothing (its buffer is the only new[] it does).
namespace {
std::uint64_t g_array_allocations = 0;
void* counted_alloc(std::size_t n) {
  ++g_array_allocations;
  return std::malloc(n == 0 ? 1 : n);
}
}  // namespace
void* operator new[](std::size_t n) {
  if (void* p = counted_alloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace kolva::test {
namespace {

using std_io::FileSource;
using std_io::read_bytes;

constexpr std::uint64_t kTwoGiB = 2147483648ULL;

Bytes iota_bytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

Bytes to_bytes(const std_io::Buffer& buffer) {
  const auto s = buffer.span();
  return Bytes(s.begin(), s.end());
}

struct ReadCase {
  std::string name;
  std::uint64_t offset;
  std::uint64_t length;
  std::string error;  // debug form, empty for success
  Reads reads;
  int size_calls;
  std::uint64_t allocations;
};

class DriverReadBytes : public ::testing::TestWithParam<ReadCase> {};

TEST_P(DriverReadBytes, OnHundredByteSource) {
  const auto& c = GetParam();
  RecordingSource src(iota_bytes(100));
  const auto before = g_array_allocations;
  auto got = read_bytes(src, c.offset, c.length);
  EXPECT_EQ(g_array_allocations - before, c.allocations);
  EXPECT_EQ(src.reads(), c.reads);
  EXPECT_EQ(src.size_calls(), c.size_calls);
  if (!c.error.empty()) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().debug(), c.error);
    return;
  }
  ASSERT_TRUE(got.ok()) << got.error().debug();
  ASSERT_EQ(got->size(), c.length);
  const Bytes all = iota_bytes(100);
  EXPECT_EQ(to_bytes(*got), Bytes(all.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.offset, 100)),
                                  all.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.offset + c.length, 100))));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DriverReadBytes,
    ::testing::Values(
        ReadCase{"Whole", 0, 100, "", {{0, 100}}, 0, 1},
        ReadCase{"LastTen", 90, 10, "", {{90, 10}}, 0, 1},
        ReadCase{"TwentyOfLastTen", 90, 20, "UnexpectedStep", {}, 1, 0},
        ReadCase{"AtEnd", 100, 1, "UnexpectedStep", {}, 1, 0},
        ReadCase{"OffsetBeyondEnd", 5000, 4, "UnexpectedStep", {}, 1, 0},
        ReadCase{"OffsetNear2Pow64", ~0ULL, 2, "UnexpectedStep", {}, 1, 0},
        ReadCase{"EmptyInside", 50, 0, "", {{50, 0}}, 0, 0},
        ReadCase{"EmptyPastEnd", 1000, 0, "", {{1000, 0}}, 0, 0},
        ReadCase{"ExactlyTwoGiBIsNotRefused", 0, kTwoGiB, "UnexpectedStep", {}, 1, 0},
        ReadCase{"TwoGiBPlusOneRefused", 0, kTwoGiB + 1, "UnableToAllocateLargeSize", {}, 0, 0},
        ReadCase{"HugeRefused", 0, ~0ULL, "UnableToAllocateLargeSize", {}, 0, 0}),
    ByName());

// A consumer that asks for one byte at 0 on every step and answers Finish on
// step number `finish_at` (never when 0).
struct Endless {
  using Input = NoInput;
  using Output = std::uint64_t;
  static inline std::uint64_t finish_at = 0;
  static inline std::uint64_t steps = 0;
  static inline std::vector<std::size_t> received;
  static std::pair<Endless, ReadInstruction> dispatch(NoInput) {
    steps = 0;
    received.clear();
    return {Endless{}, ReadAndStep{0, 1}};
  }
  KolvaResult<ReadInstruction> step(ByteSpan bytes) {
    EXPECT_EQ(bytes.size(), 1U);
    ++steps;
    if (steps == finish_at) return ReadInstruction{Finish{}};
    return ReadInstruction{ReadAndStep{steps % 3, 1}};
  }
  KolvaResult<std::uint64_t> receive(ByteSpan bytes) && {
    received.push_back(bytes.size());
    return steps;
  }
};

TEST(DriverRun, StepBudgetStopsAfterExactly1048576Steps) {
  Endless::finish_at = 0;
  RecordingSource src(Bytes(4));
  auto out = run_consumer<Endless>(src);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "UnableToAllocateLargeSize");
  EXPECT_EQ(Endless::steps, 1048576U);
  EXPECT_EQ(src.reads().size(), 1048576U);
  EXPECT_TRUE(Endless::received.empty());
}

TEST(DriverRun, StepBudgetLastStepIsNotObeyedEvenIfFinish) {
  Endless::finish_at = 1048576;
  std_io::MemorySource mem(Bytes(4));
  auto out = run_consumer<Endless>(mem);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "UnableToAllocateLargeSize");
  EXPECT_TRUE(Endless::received.empty());

  Endless::finish_at = 1048575;
  auto fits = run_consumer<Endless>(mem);
  ASSERT_TRUE(fits.ok()) << fits.error().debug();
  EXPECT_EQ(*fits, 1048575U);
  EXPECT_EQ(Endless::received, (std::vector<std::size_t>{0}));
}

TEST(DriverRun, FinishAfterThreeStepsReadsThreeRangesThenReceivesEmpty) {
  Endless::finish_at = 3;
  RecordingSource src(Bytes(4));
  auto out = run_consumer<Endless>(src);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 3U);
  EXPECT_EQ(src.reads(), (Reads{{0, 1}, {1, 1}, {2, 1}}));
  EXPECT_EQ(Endless::received, (std::vector<std::size_t>{0}));
}

TEST(DriverRun, ReadFailureEndsRunBeforeConsumerSeesIt) {
  Endless::finish_at = 0;
  RecordingSource src(Bytes{});  // even the first byte is past the end
  auto out = run_consumer<Endless>(src);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug(), "UnexpectedStep");
  EXPECT_EQ(Endless::steps, 0U);
  EXPECT_TRUE(src.reads().empty());
}

// ---------------------------------------------------------------------------
// FileSource

class TempFile {
 public:
  explicit TempFile(const Bytes& content) {
    char name[] = "/tmp/kolva_test_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    ::close(fd);
    append(content);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  void append(const Bytes& more) const {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(more.data()), static_cast<std::streamsize>(more.size()));
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int open_fd_count() {
  int n = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
  ::closedir(dir);
  return n;
}

TEST(FileSourceTest, ReadsRangesOfARealFile) {
  TempFile file(iota_bytes(100));
  auto src = FileSource::open(file.path());
  ASSERT_TRUE(src.ok());
  EXPECT_EQ(src->known_size(), 100U);
  auto last_ten = read_bytes(*src, 90, 10);
  ASSERT_TRUE(last_ten.ok());
  EXPECT_EQ(to_bytes(*last_ten), (Bytes{90, 91, 92, 93, 94, 95, 96, 97, 98, 99}));
  auto past = read_bytes(*src, 90, 20);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().debug(), "UnexpectedStep");
  auto empty = read_bytes(*src, 50, 0);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->size(), 0U);
  auto refused = read_bytes(*src, 0, kTwoGiB + 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().debug(), "UnableToAllocateLargeSize");
}

TEST(FileSourceTest, FileThatGrewAfterOpeningIsReadInFull) {
  TempFile file(iota_bytes(10));
  auto src = FileSource::open(file.path());
  ASSERT_TRUE(src.ok());
  file.append(Bytes(10, 0xEE));
  auto grown = read_bytes(*src, 8, 4);
  ASSERT_TRUE(grown.ok()) << grown.error().debug();
  EXPECT_EQ(to_bytes(*grown), (Bytes{8, 9, 0xEE, 0xEE}));
  EXPECT_EQ(src->known_size(), 20U);
}

TEST(FileSourceTest, MissingFileGivesOsError) {
  auto src = FileSource::open("/tmp/kolva_test_this_file_does_not_exist");
  ASSERT_FALSE(src.ok());
  EXPECT_EQ(src.error().code, ENOENT);
  EXPECT_EQ(src.error().debug(),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(KolvaError(KolvaError::IoError{src.error()}).display(), "IO Error");
}

TEST(FileSourceTest, DirectoryFailsWithEisdirOnRead) {
  auto src = FileSource::open("/tmp");
  ASSERT_TRUE(src.ok());
  auto got = read_bytes(*src, 0, 4);
  ASSERT_FALSE(got.ok());
  const auto* io = got.error().get_if<KolvaError::IoError>();
  ASSERT_NE(io, nullptr) << got.error().debug();
  EXPECT_EQ(io->error.code, EISDIR);
  EXPECT_EQ(got.error().debug(),
            "IoError(Os { code: 21, kind: IsADirectory, message: \"Is a directory\" })");
}

// ---------------------------------------------------------------------------
// KolvaDecoder with a toy format: "TOY!", u32 LE tile count n, then n tiles of
// 4 bytes each; one level of n x 1 tiles.

struct ToyRequest {
  std::uint64_t offset;
  std::uint64_t length;
};

struct ToyTile {
  using Input = ToyRequest;
  using Output = Bytes;
  static std::pair<ToyTile, ReadInstruction> dispatch(ToyRequest r) {
    return {ToyTile{}, ReadAndReceive{r.offset, r.length}};
  }
  KolvaResult<ReadInstruction> step(ByteSpan) { return KolvaError::UnexpectedStep{}; }
  KolvaResult<Bytes> receive(ByteSpan bytes) && { return Bytes(bytes.begin(), bytes.end()); }
};

struct ToyDecoder {
  std::uint64_t tiles = 0;
  KolvaResult<ToyRequest> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const {
    if (level >= 1) return KolvaError::LevelNotFound{level, 1};
    if (x >= tiles || y >= 1) return KolvaError::TileNotFound{x, y, 0};
    return ToyRequest{8 + 4 * x, 4};
  }
  std::optional<LevelInfo> get_level(std::uint64_t level) const {
    if (level != 0) return std::nullopt;
    return LevelInfo{{4 * tiles, 4}, {4, 4}, {tiles, 1}, TileEncoding::Bmp};
  }
  std::uint64_t level_count() const { return 1; }
};

struct ToyOpen {
  using Input = NoInput;
  using Output = ToyDecoder;
  static std::pair<ToyOpen, ReadInstruction> dispatch(NoInput) {
    return {ToyOpen{}, ReadAndStep{0, 4}};
  }
  KolvaResult<ReadInstruction> step(ByteSpan bytes) {
    if (Bytes(bytes.begin(), bytes.end()) != ascii_bytes("TOY!")) {
      return KolvaError::Decoding{"not a toy"};
    }
    return ReadInstruction{ReadAndReceive{4, 4}};
  }
  KolvaResult<ToyDecoder> receive(ByteSpan bytes) && {
    return ToyDecoder{read_le<std::uint32_t>(bytes, 0)};
  }
};

template <class S>
using Toy = std_io::KolvaDecoder<S, ToyDecoder, ToyTile>;

Bytes toy_file(std::uint32_t tiles, std::uint32_t stored) {
  Bytes b = ascii_bytes("TOY!");
  put(b, tiles, 4, ByteOrder::Little);
  for (std::uint32_t i = 0; i < 4 * stored; ++i) b.push_back(static_cast<std::uint8_t>(0xA0 + i));
  return b;
}

TEST(KolvaDecoderTest, OpensAndReadsTilesExactly) {
  auto slide = Toy<RecordingSource>::open<ToyOpen>(RecordingSource(toy_file(3, 2)));
  ASSERT_TRUE(slide.ok()) << slide.error().debug();
  EXPECT_EQ(slide->reader().reads(), (Reads{{0, 4}, {4, 4}}));
  EXPECT_EQ(slide->level_count(), 1U);
  EXPECT_EQ(slide->get_level(0), (LevelInfo{{12, 4}, {4, 4}, {3, 1}, TileEncoding::Bmp}));
  slide->reader().clear();

  struct Case {
    std::uint64_t level, x, y;
    std::string error;
    Bytes bytes;
    Reads reads;
  };
  const std::vector<Case> cases = {
      {0, 1, 0, "", {0xA4, 0xA5, 0xA6, 0xA7}, {{12, 4}}},
      {1, 0, 0, "LevelNotFound { selected: 1, num_level: 1 }", {}, {}},
      {0, 3, 0, "TileNotFound { x: 3, y: 0, z: 0 }", {}, {}},
      {0, 0, 1, "TileNotFound { x: 0, y: 1, z: 0 }", {}, {}},
      {0, 2, 0, "UnexpectedStep", {}, {}},  // tile 2 lies past the end of the file
      {0, 0, 0, "", {0xA0, 0xA1, 0xA2, 0xA3}, {{8, 4}}},  // still usable after failures
  };
  for (const auto& c : cases) {
    slide->reader().clear();
    auto tile = slide->read_tile_as_bytes(c.level, c.x, c.y);
    EXPECT_EQ(slide->reader().reads(), c.reads) << c.level << "/" << c.x << "/" << c.y;
    if (c.error.empty()) {
      ASSERT_TRUE(tile.ok()) << tile.error().debug();
      EXPECT_EQ(*tile, c.bytes);
    } else {
      ASSERT_FALSE(tile.ok());
      EXPECT_EQ(tile.error().debug(), c.error);
    }
  }
}

TEST(KolvaDecoderTest, FailedOpenReturnsConsumerErrorAndClosesTheFile) {
  TempFile not_toy(ascii_bytes("NOPE1234"));
  TempFile toy(toy_file(1, 1));
  const int fds = open_fd_count();
  {
    auto src = FileSource::open(not_toy.path());
    ASSERT_TRUE(src.ok());
    EXPECT_EQ(open_fd_count(), fds + 1);
    auto slide = Toy<FileSource>::open<ToyOpen>(std::move(src).value());
    ASSERT_FALSE(slide.ok());
    EXPECT_EQ(slide.error().debug(), "Decoding(\"not a toy\")");
    EXPECT_EQ(open_fd_count(), fds);
  }
  auto src = FileSource::open(toy.path());
  ASSERT_TRUE(src.ok());
  auto slide = Toy<FileSource>::open<ToyOpen>(std::move(src).value());
  ASSERT_TRUE(slide.ok());
  EXPECT_EQ(open_fd_count(), fds + 1);
  auto tile = slide->read_tile_as_bytes(0, 0, 0);
  ASSERT_TRUE(tile.ok());
  EXPECT_EQ(*tile, (Bytes{0xA0, 0xA1, 0xA2, 0xA3}));
}

}  // namespace
}  // namespace kolva::test
