// The range cache and the fetch-function source: what reaches the fetch
// function (how many calls, which bytes) for typical read sequences, exact
// bytes always, the byte bound, failures passed through, concurrent readers.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "std_io/cache.hpp"
#include "std_io/callback.hpp"

namespace kolva::std_io {
namespace {

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xff);
  return b;
}

// A CallbackSource over bytes in memory that logs every range fetched.
struct Remote {
  explicit Remote(Bytes data) : bytes(std::move(data)) {}
  Bytes bytes;
  std::mutex mutex;
  std::vector<FetchRange> log;
  std::atomic<int> calls{0};
  std::atomic<bool> fail{false};

  std::shared_ptr<CallbackSource> source() {
    return std::make_shared<CallbackSource>(
        [this](std::span<const FetchRange> ranges, std::span<const std::span<std::uint8_t>> dst)
            -> KolvaResult<Unit> {
          ++calls;
          if (fail) return KolvaError::IoError{OsError{5}};
          std::lock_guard lock(mutex);
          for (std::size_t i = 0; i < ranges.size(); ++i) {
            log.push_back(ranges[i]);
            std::memcpy(dst[i].data(), bytes.data() + ranges[i].offset, ranges[i].length);
          }
          return Unit{};
        },
        bytes.size(), "https://example.invalid/slide.svs");
  }
};

Bytes read(RangeSource& s, std::uint64_t offset, std::uint64_t length) {
  Bytes out(length);
  auto got = s.read_at(offset, out);
  EXPECT_TRUE(got.ok());
  out.resize(got.ok() ? *got : 0);
  return out;
}

Bytes slice(const Bytes& b, std::uint64_t offset, std::uint64_t length) {
  if (offset >= b.size()) return {};
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
               b.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(b.size(), offset + length)));
}

struct Case {
  const char* name;
  bool read_ahead;
  std::vector<FetchRange> reads;
  std::vector<FetchRange> fetched;  // what the fetch function must see, in order
  bool walk = false;
};

// `count` item headers of 8 bytes, each followed by `body` bytes.
std::vector<FetchRange> walk_headers(std::uint64_t count, std::uint64_t body) {
  std::vector<FetchRange> reads;
  for (std::uint64_t i = 0; i < count; ++i) reads.push_back({i * (body + 8), 8});
  return reads;
}

class CacheReads : public ::testing::TestWithParam<Case> {};

constexpr std::uint64_t K = 1024;

TEST_P(CacheReads, FetchesTheExpectedRangesAndReturnsExactBytes) {
  const Case& c = GetParam();
  Remote remote(pattern(1024 * K));
  CachedSource cache(remote.source(), CacheOptions{4096 * K, 64 * K});
  cache.set_read_ahead(c.read_ahead);
  cache.set_walking(c.walk);
  for (const auto& r : c.reads) {
    EXPECT_EQ(read(cache, r.offset, r.length), slice(remote.bytes, r.offset, r.length))
        << r.offset << "+" << r.length;
  }
  EXPECT_EQ(remote.log, c.fetched);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CacheReads,
    ::testing::Values(
        // The header read three times, then a directory and its values: one window.
        Case{"header_and_directory", true, {{0, 8}, {0, 16}, {0, 8}, {8, 2}, {10, 240}, {250, 900}},
             {{0, 64 * K}}},
        // A directory far past the first window: one more window from a little
        // before its first byte (values stored before it), then the values.
        Case{"second_window", true, {{0, 8}, {300 * K, 2}, {300 * K + 2, 120}, {290 * K, 900}},
             {{0, 64 * K}, {284 * K, 80 * K}}},
        // Closer than a window to the held window before it: the gap comes too.
        Case{"gap_filled", true, {{0, 8}, {100 * K, 2}, {70 * K, 900}}, {{0, 64 * K}, {64 * K, 100 * K}}},
        // A read straddling a held window fetches from the first missing byte.
        Case{"straddle", true, {{0, 8}, {64 * K - 4, 16}}, {{0, 64 * K}, {64 * K, 64 * K}}},
        // A read larger than a window (a tile offset array) is fetched whole.
        Case{"large_read", true, {{30 * K, 200 * K}, {20 * K, 4}}, {{14 * K, 216 * K}}},
        // Near the end the window stops at the end of the object.
        Case{"tail", true, {{1024 * K - 10, 10}, {1024 * K - 30, 20}}, {{1008 * K - 10, 16 * K + 10}}},
        // Past the end: nothing.
        Case{"past_end", true, {{2048 * K, 10}}, {}},
        // Tiles after opening: exactly their bytes, not kept.
        Case{"tiles_exact", false, {{300 * K, 5000}, {300 * K, 5000}, {400 * K, 70 * K}},
             {{300 * K, 5000}, {300 * K, 5000}, {400 * K, 70 * K}}},
        // A walk from header to header over bodies longer than a step: the
        // headers alone, even while reading ahead.
        Case{"walk_long_steps", true, {{0, 8}, {100 * K + 8, 8}, {200 * K + 16, 8}},
             {{0, 8}, {100 * K + 8, 8}, {200 * K + 16, 8}}, true},
        // Over short bodies: the first header alone, then windows twice as
        // large each time, which hold the headers after them (and the body
        // between the window before and the header that missed).
        Case{"walk_short_steps", false, walk_headers(41, 10 * K),
             {{0, 8}, {10 * K + 8, 256 * K},
              {266 * K + 8, 27 * (10 * K + 8) - (266 * K + 8) + 512 * K}}, true}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(Cache, HeldWindowsStillAnswerAfterOpening) {
  Remote remote(pattern(512 * K));
  CachedSource cache(remote.source(), CacheOptions{4096 * K, 64 * K});
  cache.insert(0, slice(remote.bytes, 0, 64 * K));
  cache.insert(448 * K, slice(remote.bytes, 448 * K, 64 * K));
  cache.set_read_ahead(false);
  EXPECT_EQ(read(cache, 1000, 3000), slice(remote.bytes, 1000, 3000));
  EXPECT_EQ(read(cache, 500 * K, 100), slice(remote.bytes, 500 * K, 100));
  EXPECT_EQ(remote.calls, 0);
  const auto stats = cache.stats();
  EXPECT_EQ(stats.hits, 2u);
  EXPECT_EQ(stats.held, 128 * K);
}

TEST(Cache, OverlappingInsertsKeepFirstBytesAndCoverTheUnion) {
  Remote remote(pattern(256 * K));
  CachedSource cache(remote.source(), CacheOptions{4096 * K, 64 * K});
  cache.insert(10 * K, slice(remote.bytes, 10 * K, 20 * K));
  cache.insert(40 * K, slice(remote.bytes, 40 * K, 10 * K));
  cache.insert(0, slice(remote.bytes, 0, 60 * K));  // fills the gaps around both
  cache.set_read_ahead(false);
  EXPECT_EQ(read(cache, 0, 60 * K), slice(remote.bytes, 0, 60 * K));
  EXPECT_EQ(cache.stats().held, 60 * K);
  EXPECT_EQ(remote.calls, 0);
}

TEST(Cache, StaysWithinItsByteBound) {
  Remote remote(pattern(4096 * K));
  CachedSource cache(remote.source(), CacheOptions{256 * K, 64 * K});
  for (std::uint64_t i = 0; i < 40; ++i) {
    const std::uint64_t at = (i * 97 * K) % (4000 * K);
    EXPECT_EQ(read(cache, at, 100), slice(remote.bytes, at, 100));
    EXPECT_LE(cache.stats().held, 256 * K);
  }
  // The most recent window is still held.
  const int calls = remote.calls;
  const std::uint64_t last = (39 * 97 * K) % (4000 * K);
  EXPECT_EQ(read(cache, last + 10, 100), slice(remote.bytes, last + 10, 100));
  EXPECT_EQ(remote.calls, calls);
}

TEST(Cache, FailuresPassThroughAndAreNotKept) {
  Remote remote(pattern(256 * K));
  CachedSource cache(remote.source(), CacheOptions{});
  remote.fail = true;
  Bytes out(100);
  auto got = cache.read_at(0, out);
  ASSERT_FALSE(got.ok());
  EXPECT_TRUE(got.error().is<KolvaError::IoError>());
  remote.fail = false;
  EXPECT_EQ(read(cache, 0, 100), slice(remote.bytes, 0, 100));
}

TEST(CallbackSource, ReadManyChecksEveryRangeBeforeFetching) {
  Remote remote(pattern(1000));
  auto source = remote.source();
  Bytes a(10), b(20);
  const std::span<std::uint8_t> dst[] = {a, b};
  const FetchRange good[] = {{0, 10}, {980, 20}};
  ASSERT_TRUE(source->read_many(good, dst).ok());
  EXPECT_EQ(a, slice(remote.bytes, 0, 10));
  EXPECT_EQ(b, slice(remote.bytes, 980, 20));
  const FetchRange past[] = {{0, 10}, {990, 20}};
  EXPECT_FALSE(source->read_many(past, dst).ok());
  const FetchRange wrong_size[] = {{0, 11}, {0, 20}};
  EXPECT_FALSE(source->read_many(wrong_size, dst).ok());
  EXPECT_EQ(remote.calls, 1);
  // A read past the end is cut at the end.
  EXPECT_EQ(read(*source, 995, 10), slice(remote.bytes, 995, 5));
}

TEST(Cache, ConcurrentReadersSeeExactBytes) {
  Remote remote(pattern(2048 * K));
  auto cache = std::make_shared<CachedSource>(remote.source(), CacheOptions{512 * K, 64 * K});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t));
      for (int i = 0; i < 300; ++i) {
        if (t == 0 && i == 150) cache->set_read_ahead(false);
        const std::uint64_t at = rng() % (2048 * K);
        const std::uint64_t n = 1 + rng() % (i % 7 == 0 ? 100 * K : 3000);
        Bytes out(n);
        auto got = cache->read_at(at, out);
        if (!got.ok()) {
          ++wrong;
          continue;
        }
        out.resize(*got);
        if (out != slice(remote.bytes, at, n)) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(cache->stats().held, 512 * K);
}

}  // namespace
}  // namespace kolva::std_io
