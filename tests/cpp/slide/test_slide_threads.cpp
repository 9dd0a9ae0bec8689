// The shared worker pool and one Slide read from many threads at once. Built
// into the ThreadSanitizer run as well as the ordinary suite.

#include <algorithm>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "slide/pool.hpp"
#include "slide/tiled_tiff.hpp"

namespace kolva::test {
namespace {

class ParallelChunks : public ::testing::TestWithParam<std::pair<std::size_t, unsigned>> {};

TEST_P(ParallelChunks, CoverEveryIndexExactlyOnce) {
  const std::size_t n = GetParam().first;
  const unsigned threads = GetParam().second;
  std::vector<std::atomic<int>> hits(n);
  slide::parallel_chunks(n, threads, [&](std::size_t begin, std::size_t end) {
    ASSERT_LE(begin, end);
    ASSERT_LE(end, n);
    for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
  });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Table, ParallelChunks,
                         ::testing::Values(std::pair<std::size_t, unsigned>{0, 4},
                                           std::pair<std::size_t, unsigned>{1, 8},
                                           std::pair<std::size_t, unsigned>{15, 2},
                                           std::pair<std::size_t, unsigned>{100, 1},
                                           std::pair<std::size_t, unsigned>{1000, 3},
                                           std::pair<std::size_t, unsigned>{4097, 8}));

TEST(ParallelChunksThreads, ManyCallersAtOnceEachGetTheirOwnJobDone) {
  std::vector<std::thread> callers;
  std::atomic<std::size_t> wrong{0};
  for (int c = 0; c < 6; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 20; ++round) {
        const std::size_t n = 64 + static_cast<std::size_t>(c * 37 + round);
        std::vector<std::atomic<int>> hits(n);
        slide::parallel_chunks(n, 4, [&](std::size_t b, std::size_t e) {
          for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
        });
        for (auto& h : hits) wrong += h.load() != 1;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0U);
}

TEST(SlideThreads, EightThreadsSharingOneSlideReadTheSameBytes) {
  const TiledTiff tiff;
  const auto s = open_memory(tiff.file);
  ASSERT_TRUE(s);
  // Every tile six times over: the batch's runs are shared by its threads.
  constexpr std::uint64_t kTiles = kAcross * kDown;
  std::vector<slide::TilePlan> plans;
  for (std::uint64_t i = 0; i < 6 * kTiles; ++i) {
    plans.push_back(std::move(s->plan_tile(0, i % kAcross, i % kTiles / kAcross)).value());
  }
  std::atomic<std::size_t> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        if ((round + t) % 2 == 0) {
          const std::uint64_t i = static_cast<std::uint64_t>(round * 7 + t) % kTiles;
          auto got = s->read_tile(0, i % kAcross, i / kAcross);
          wrong += !got.ok() || *got != tiff.expected(i % kAcross, i / kAcross);
        } else {
          std::vector<Bytes> out(plans.size());
          std::vector<std::span<std::uint8_t>> dst(plans.size());
          for (std::size_t i = 0; i < plans.size(); ++i) {
            out[i].resize(*plans[i].output_size());
            dst[i] = out[i];
          }
          std::vector<Bytes> assembled;
          wrong += !slide::read_plans(*s, plans, dst, assembled, 3).ok();
          for (std::size_t i = 0; i < plans.size(); ++i) {
            wrong += out[i] != tiff.expected(i % kAcross, i % kTiles / kAcross);
          }
        }
        wrong += s->properties().empty();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0U);
}

// A Trestle slide whose level 0 has 1,024 tiles: its tables stay in the file
// when it opens, and the threads that plan its first tiles at once read them
// once, all getting the same bytes.
// JPEG tiles come as stored; Deflate tiles in a TIFF header the level makes
// on first use, once.
class FirstUse : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(FirstUse, ThreadsFirstUsingALevelReadItsTablesOnce) {
  const std::uint64_t compression = GetParam();
  const TiffFlavour f{ByteOrder::Little, false};
  const Enc e = f.enc();
  constexpr std::uint64_t kSide = 32;
  auto tile = [](std::uint64_t i) {
    return Bytes{0xFF, 0xD8, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                 0xFF, 0xD9};
  };
  auto build = [&](std::uint64_t data_at) {
    Bytes offsets, counts;
    for (std::uint64_t i = 0; i < kSide * kSide; ++i) {
      put(offsets, data_at + 6 * i, 4, f.order);
      put(counts, 6, 4, f.order);
    }
    auto level = [&](std::uint64_t side, std::uint64_t tiles, std::vector<TiffEntry> extra) {
      std::vector<TiffEntry> entries = {{256, 4, 1, e.u32({side * 16})},
                                        {257, 4, 1, e.u32({side * 16})},
                                        {259, 3, 1, e.u16({compression})}};
      entries.insert(entries.end(), extra.begin(), extra.end());
      entries.push_back({322, 4, 1, e.u32({16})});
      entries.push_back({323, 4, 1, e.u32({16})});
      entries.push_back({324, 4, tiles, Bytes(offsets.begin(), offsets.begin() + 4 * tiles)});
      entries.push_back({325, 4, tiles, Bytes(counts.begin(), counts.begin() + 4 * tiles)});
      return TiffDir{entries};
    };
    return build_tiff(f, {level(kSide, kSide * kSide,
                                {{270, 2, 16, ascii_bytes(std::string("OverlapsXY= 0 0\0", 16))},
                                 {305, 2, 8, ascii_bytes(std::string("MedScan\0", 8))}}),
                          level(2, 4, {})})
        .bytes;
  };
  Bytes file = build(0);
  file = build(file.size());
  for (std::uint64_t i = 0; i < kSide * kSide; ++i) {
    const Bytes t = tile(i);
    file.insert(file.end(), t.begin(), t.end());
  }
  for (int round = 0; round < 4; ++round) {
    const auto s = open_memory(file);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->family().name, "trestle");
    std::atomic<std::size_t> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&, t] {
        for (std::uint64_t k = 0; k < 64; ++k) {
          const std::uint64_t i = (k * 37 + static_cast<std::uint64_t>(t) * 101) % (kSide * kSide);
          auto got = s->read_tile(0, i % kSide, i / kSide);
          const Bytes want = tile(i);
          const bool right =
              got.ok() && (compression == 7
                               ? *got == want
                               : got->size() > want.size() && (*got)[0] == 'I' &&
                                     std::equal(want.begin(), want.end(),
                                                got->end() - static_cast<std::ptrdiff_t>(want.size())));
          wrong += !right;
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0U);
  }
}

INSTANTIATE_TEST_SUITE_P(SlideThreads, FirstUse, ::testing::Values(7, 8));

TEST(SlideThreads, DroppingTheLastOwnerWhileOthersReadIsSafe) {
  // What close() does: the opener's reference goes while readers hold theirs.
  const TiledTiff tiff;
  for (int round = 0; round < 20; ++round) {
    auto owner = open_memory(tiff.file);
    ASSERT_TRUE(owner);
    std::atomic<std::size_t> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
      readers.emplace_back([&wrong, &tiff, held = owner] {
        for (std::uint64_t i = 0; i < kAcross * kDown; ++i) {
          auto got = held->read_tile(0, i % kAcross, i / kAcross);
          wrong += !got.ok() || *got != tiff.expected(i % kAcross, i / kAcross);
        }
      });
    }
    owner.reset();
    for (auto& t : readers) t.join();
    EXPECT_EQ(wrong.load(), 0U);
  }
}

}  // namespace
}  // namespace kolva::test
