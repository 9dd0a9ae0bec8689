#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers/sakura/blob_pages.hpp"
#include "drivers/sakura/sqlite_source.hpp"
#include "std_io/source.hpp"

namespace kolva::drivers::sakura {
namespace {

struct Layout {
  int page_size;
  int reserved;
  bool auto_vacuum;
};

Bytes blob_bytes(std::size_t size, int seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + i / 251 + seed);
  return out;
}

void exec(sqlite3* db, const std::string& sql) { ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }

// Blobs of two tables inserted in turn, some deleted, then more inserted into
// the pages freed: chains back to back, interleaved and scattered.
Bytes database(const Layout& layout) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  int reserved = layout.reserved;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserved);
  exec(db, "PRAGMA page_size = " + std::to_string(layout.page_size));
  exec(db, std::string("PRAGMA auto_vacuum = ") + (layout.auto_vacuum ? "FULL" : "NONE"));
  exec(db, "CREATE TABLE a (id TEXT, size INTEGER, data BLOB); CREATE TABLE b (id INTEGER PRIMARY KEY, data BLOB)");
  const std::size_t sizes[] = {0, 1, 100, 470, 1000, 4000, 4093, 9000, 20000, 70000};
  sqlite3_stmt* put = nullptr;
  auto insert = [&](const char* sql, std::size_t size, int seed) {
    sqlite3_prepare_v2(db, sql, -1, &put, nullptr);
    const Bytes bytes = blob_bytes(size, seed);
    if (size == 0) {
      sqlite3_bind_zeroblob(put, 1, 0);  // empty, not NULL
    } else {
      sqlite3_bind_blob(put, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    EXPECT_EQ(sqlite3_step(put), SQLITE_DONE);
    sqlite3_finalize(put);
  };
  for (int round = 0; round < 4; ++round) {
    for (std::size_t size : sizes) {
      insert("INSERT INTO a VALUES ('x', 0, ?1)", size + round, round);
      insert("INSERT INTO b (data) VALUES (?1)", size * 2 + 7, round + 1);
    }
  }
  exec(db, "DELETE FROM b WHERE id % 3 != 0");
  for (std::size_t size : sizes) insert("INSERT INTO a VALUES ('y', 1, ?1)", size * 3 + 5, 9);
  sqlite3_int64 size = 0;
  unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
  Bytes out(bytes, bytes + size);
  sqlite3_free(bytes);
  sqlite3_close(db);
  return out;
}

std::uint32_t be32(const Bytes& b, std::uint64_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

class BlobPagesLayouts : public testing::TestWithParam<Layout> {};

TEST_P(BlobPagesLayouts, ReadAsSqliteReadsThem) {
  const Layout layout = GetParam();
  const Bytes file = database(layout);
  auto source = std::make_shared<std_io::SharedMemorySource>(file, "blobs.db");
  Database database(source);
  auto connection = database.connect();
  ASSERT_TRUE(connection.ok());
  sqlite3* db = connection->handle();
  int scattered = 0;
  for (const char* name : {"a", "b"}) {
    const auto table = BlobTable::of(db, name, "data", source);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->usable, static_cast<std::uint32_t>(layout.page_size - layout.reserved));
    BlobPages pages(*table, source);
    sqlite3_stmt* rows = nullptr;
    sqlite3_prepare_v2(db, (std::string("SELECT rowid, data FROM ") + name).c_str(), -1, &rows, nullptr);
    std::vector<std::pair<std::int64_t, Bytes>> blobs;
    while (sqlite3_step(rows) == SQLITE_ROW) {
      const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(rows, 1));
      blobs.emplace_back(sqlite3_column_int64(rows, 0), Bytes(data, data + sqlite3_column_bytes(rows, 1)));
    }
    sqlite3_finalize(rows);
    ASSERT_GE(blobs.size(), 10U);
    for (std::size_t k = 0; k + 2 < blobs.size(); ++k) {
      // Three at once, as a tile's planes: one whole, one from a third on, one a middle part.
      std::array<BlobCell, 3> cells;
      for (std::size_t j = 0; j < 3; ++j) {
        auto cell = pages.locate(blobs[k + j].first);
        ASSERT_TRUE(cell) << name << " row " << blobs[k + j].first;
        ASSERT_EQ(cell->size, blobs[k + j].second.size());
        cells[j] = *cell;
      }
      const Bytes& whole = blobs[k].second;
      const Bytes& tail = blobs[k + 1].second;
      const Bytes& middle = blobs[k + 2].second;
      Bytes got0(whole.size()), got1(tail.size() - tail.size() / 3), got2(middle.size() / 2);
      const std::array<BlobPages::Request, 3> requests{{{&cells[0], 0, got0},
                                                         {&cells[1], tail.size() / 3, got1},
                                                         {&cells[2], middle.size() / 4, got2}}};
      ASSERT_TRUE(pages.read(requests)) << name << " row " << blobs[k].first;
      EXPECT_EQ(got0, whole);
      EXPECT_TRUE(std::equal(got1.begin(), got1.end(), tail.begin() + tail.size() / 3));
      EXPECT_TRUE(std::equal(got2.begin(), got2.end(), middle.begin() + middle.size() / 4));
      // Chains that are not back to back.
      for (std::uint32_t page = cells[0].overflow, n = 0; page != 0 && n < 1000; ++n) {
        const std::uint32_t next = be32(file, std::uint64_t{page - 1} * layout.page_size);
        scattered += next != 0 && next != page + 1;
        page = next;
      }
    }
  }
  if (layout.page_size < 65536) {
    EXPECT_GT(scattered, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlobPagesLayouts,
                         testing::Values(Layout{512, 0, false}, Layout{1024, 32, false}, Layout{4096, 0, false},
                                         Layout{4096, 40, true}, Layout{65536, 0, false}));

TEST(BlobPages, RefusesWhatItDoesNotReadAndStopsAtBrokenChains) {
  Bytes file = database({1024, 0, false});
  Bytes header(file.begin(), file.begin() + 100);
  EXPECT_TRUE(BlobTable::from_header(header, file.size(), 2, 2));
  for (auto [at, value] : {std::pair{18, 2}, {19, 2}, {16, 0}, {17, 3}, {21, 65}, {0, 'X'}}) {
    Bytes changed = header;
    changed[at] = static_cast<std::uint8_t>(value);
    EXPECT_FALSE(BlobTable::from_header(changed, file.size(), 2, 2)) << at;
  }
  EXPECT_FALSE(BlobTable::from_header(header, file.size(), 1 + static_cast<std::int64_t>(file.size() / 1024), 2));
  // A blob's chain ending early, leaving the file, or looping: the read fails.
  auto source = std::make_shared<std_io::SharedMemorySource>(file, "blobs.db");
  Database database(source);
  auto connection = database.connect();
  ASSERT_TRUE(connection.ok());
  const auto table = BlobTable::of(connection->handle(), "a", "data", source);
  ASSERT_TRUE(table);
  BlobPages pages(*table, source);
  const auto cell = pages.locate(10);  // 70000 bytes
  ASSERT_TRUE(cell && cell->overflow != 0);
  const std::uint64_t link = std::uint64_t{cell->overflow - 1} * 1024;
  for (std::uint32_t next : {0U, 1U, 0x7FFFFFFFU, cell->overflow}) {
    Bytes broken = file;
    for (int i = 0; i < 4; ++i) broken[link + i] = static_cast<std::uint8_t>(next >> (24 - 8 * i));
    auto bad = std::make_shared<std_io::SharedMemorySource>(broken, "broken.db");
    BlobPages reader(*table, bad);
    const auto located = reader.locate(10);
    ASSERT_TRUE(located);
    Bytes out(located->size);
    const BlobPages::Request request{&*located, 0, out};
    EXPECT_FALSE(reader.read({&request, 1})) << next;
  }
}

}  // namespace
}  // namespace kolva::drivers::sakura
