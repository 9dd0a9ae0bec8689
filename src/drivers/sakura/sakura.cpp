#include "drivers/sakura/sakura.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "drivers/sakura/rgb_jpeg.hpp"
#include "drivers/sakura/sqlite_source.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "text/ini.hpp"
#include "text/strings.hpp"

namespace kolva::drivers {

using namespace slide;
using sakura::Connection;
using sakura::Database;
using sakura::Statement;

namespace {

constexpr std::uint64_t kMaxTileIds = std::uint64_t{1} << 26;
constexpr std::uint64_t kMaxDownsample = std::uint64_t{1} << 24;
// A plane's first bytes read for its JPEG header: as many as the last one of
// its colour had (a scanner writes them alike), else these; then more, once,
// if they are too few. What the row's own page holds of its blob (with 4 KiB
// pages, some 450 bytes or more) costs no read of the file.
constexpr std::size_t kHeadBytes = 512;

SlideError damaged(const std::string& name, const std::string& why) {
  return SlideError{ErrorKind::Corrupt, name + " is damaged: " + why, std::nullopt};
}

std::string quote_identifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string column_text(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return "";
  return metadata::clean_text(std::string_view(reinterpret_cast<const char*>(text),
                                               static_cast<std::size_t>(sqlite3_column_bytes(stmt, column))));
}

ByteSpan column_blob(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return {};
  return {static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

// A stored tile id: "T;<x>|<y>;<downsample>;<colour>;<plane>". `canonical`:
// written as the reads write it (no leading zeros), so that a read of the id
// finds this row.
struct TileId {
  std::uint64_t x, y, downsample, colour, plane;
  bool canonical;
};

std::optional<std::uint64_t> unsigned_field(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  auto v = text::parse_integer(text);
  if (!v) return std::nullopt;
  return static_cast<std::uint64_t>(*v);
}

std::optional<TileId> parse_tile_id(std::string_view id) {
  if (!id.starts_with("T;")) return std::nullopt;
  const auto fields = text::split(id.substr(2), ";");
  if (fields.size() != 4) return std::nullopt;
  const auto xy = text::split(fields[0], "|");
  if (xy.size() != 2) return std::nullopt;
  const auto x = unsigned_field(xy[0]), y = unsigned_field(xy[1]);
  const auto d = unsigned_field(fields[1]), c = unsigned_field(fields[2]),
             p = unsigned_field(fields[3]);
  if (!x || !y || !d || !c || !p) return std::nullopt;
  const bool canonical = std::ranges::none_of(std::array{xy[0], xy[1], fields[1], fields[2], fields[3]},
                                              [](std::string_view f) { return f.size() > 1 && f[0] == '0'; });
  return TileId{*x, *y, *d, *c, *p, canonical};
}

struct SakuraLevel {
  std::uint64_t downsample = 1;
  std::uint64_t across = 0;
  std::uint64_t down = 0;
  std::vector<std::uint64_t> stored;  // sorted row * across + column of every stored tile
  // The joined size of each stored tile once it has been read (0 before), so
  // that a batch sized first (tile_nbytes) is then read straight into place.
  std::unique_ptr<std::atomic<std::uint32_t>[]> sizes;
  // The rows of each stored tile's three planes, as the id index listed them
  // at open (where it listed each plane's id as reads write it: rows_known),
  // so that a read seeks no id.
  std::vector<std::array<std::int64_t, 3>> rows;
  std::vector<bool> rows_known;
  // The index of tile (x, y) among `stored`, or none.
  std::optional<std::size_t> find(std::uint64_t x, std::uint64_t y) const {
    const auto it = std::lower_bound(stored.begin(), stored.end(), y * across + x);
    if (it == stored.end() || *it != y * across + x) return std::nullopt;
    return static_cast<std::size_t>(it - stored.begin());
  }
};

// What the tiles and associated images are read with.
struct Store {
  std::shared_ptr<Database> database;
  std::string table;  // quoted
  std::string table_name;  // as stored
  std::array<std::string, 3> tile_sql;  // the same query, once a colour (told apart by a comment)
  std::string rowid_sql;
  std::uint64_t page_size = 0;
  std::uint64_t tile_size = 0;
  std::uint64_t plane = 0;
  std::vector<SakuraLevel> levels;

  std::string tile_id(std::uint64_t level, std::uint64_t x, std::uint64_t y, int colour) const {
    const SakuraLevel& l = levels[level];
    return "T;" + std::to_string(x * tile_size * l.downsample) + "|" +
           std::to_string(y * tile_size * l.downsample) + ";" + std::to_string(l.downsample) +
           ";" + std::to_string(colour) + ";" + std::to_string(plane);
  }

  // At most the bytes of the pages a blob of `bytes` spills into past its
  // row's page (the overflow pages SQLite reads one by one), whatever else
  // the row holds.
  std::uint64_t overflow_pages_bytes(std::uint64_t bytes) const {
    if (page_size < 512) return 0;
    const std::uint64_t usable = page_size - 32;  // at most 32 bytes a page are reserved in practice
    const std::uint64_t min_local = (usable - 12) * 32 / 255 - 23;
    const std::uint64_t spilled = bytes + 64 > min_local ? bytes + 64 - min_local : 0;
    return (spilled + usable - 5) / (usable - 4) * page_size;
  }

  // The three planes of a tile, joined. Each blob is read through the
  // connection's blob handle, its pages read ahead together: into the
  // connection's buffers, or, for a tile read into place whose rows are
  // known, its data straight to where they go. `into`: where the tile goes,
  // of its size (nothing then comes back).
  SlideResult<Bytes> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                               std::span<std::uint8_t> into = {}) const {
    auto tile = join_tile(level, x, y, into);
    const std::size_t size = into.empty() ? (tile.ok() ? tile->size() : 0) : into.size();
    if (const auto k = levels[level].find(x, y); k && tile.ok() && size <= UINT32_MAX) {
      levels[level].sizes[*k].store(static_cast<std::uint32_t>(size), std::memory_order_relaxed);
    }
    return tile;
  }

  SlideResult<Bytes> join_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                               std::span<std::uint8_t> into) const {
    auto connection = database->connect();
    if (!connection.ok()) return std::move(connection).error();
    const SakuraLevel& l = levels[level];
    const auto k = l.find(x, y);
    const std::array<std::int64_t, 3>* rows = k && l.rows_known[*k] ? &l.rows[*k] : nullptr;
    if (rows != nullptr && !into.empty() && read_in_place(*connection, *rows, into)) return Bytes{};
    std::array<ByteSpan, 3> planes;
    std::array<Bytes, 3>& buffers = connection->scratch();
    std::array<std::int64_t, 3> ids{};
    for (int c = 0; c < 3; ++c) {
      if (rows != nullptr) {
        ids[c] = (*rows)[c];
        continue;
      }
      sqlite3_stmt* stmt = connection->prepared(rowid_sql);
      if (stmt == nullptr) return read_tile_queried(*connection, level, x, y, into);
      const std::string id = tile_id(level, x, y, c);
      sqlite3_bind_text(stmt, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      const int rc = sqlite3_step(stmt);
      if (rc != SQLITE_ROW) {
        auto error = rc == SQLITE_DONE ? errors::tile_not_stored(level, x, y) : read_failure(connection->handle());
        sqlite3_reset(stmt);
        return error;
      }
      ids[c] = sqlite3_column_int64(stmt, 0);
      sqlite3_reset(stmt);
    }
    const bool direct = read_planes_direct(*connection, ids, buffers);
    for (std::size_t c = 0; c < 3; ++c) {
      if (!direct) {
        sqlite3_blob* blob = connection->blob(table_name, "data", ids[c]);
        if (blob == nullptr) return read_tile_queried(*connection, level, x, y, into);
        const int size = sqlite3_blob_bytes(blob);
        buffers[c].resize(static_cast<std::size_t>(size));
        connection->read_ahead(overflow_pages_bytes(static_cast<std::uint64_t>(size)));
        const int read = sqlite3_blob_read(blob, buffers[c].data(), size, 0);
        connection->read_ahead(0);
        if (read != SQLITE_OK) return read_failure(connection->handle());
      }
      planes[c] = buffers[c];
    }
    if (!into.empty()) {
      auto size = sakura::join_planes_into(std::span<const ByteSpan, 3>(planes), into);
      if (!size.ok()) return errors::tile_undecodable(database->name(), level, x, y, size.error());
      if (*size != into.size()) return errors::wrong_tile_size();
      return Bytes{};
    }
    auto joined = sakura::join_planes(std::span<const ByteSpan, 3>(planes));
    if (!joined.ok()) return errors::tile_undecodable(database->name(), level, x, y, joined.error());
    return std::move(joined).value();
  }

  // The planes' entropy-coded data read straight to their places in `into`
  // (of the tile's joined size), their headers read first and written around
  // them. False when the tile does not join so (or a read fails): the whole
  // planes are then read and joined, and tell what is wrong with them.
  bool read_in_place(Connection& connection, const std::array<std::int64_t, 3>& rows,
                     std::span<std::uint8_t> into) const {
    if (read_in_place_direct(connection, rows, into)) return true;
    std::array<Bytes, 3>& heads = connection.scratch();
    std::array<std::size_t, 3>& head_sizes = connection.hints();
    sakura::InPlace join(into);
    for (std::size_t c = 0; c < 3; ++c) {
      sqlite3_blob* blob = connection.blob(table_name, "data", rows[c]);
      if (blob == nullptr) return false;
      const auto size = static_cast<std::size_t>(sqlite3_blob_bytes(blob));
      std::optional<sakura::InPlace::Place> place;
      for (const std::size_t want : {head_sizes[c] != 0 ? head_sizes[c] : kHeadBytes, 16 * kHeadBytes}) {
        const std::size_t n = std::min(size, want);
        heads[c].resize(n);
        if (sqlite3_blob_read(blob, heads[c].data(), static_cast<int>(n), 0) != SQLITE_OK) return false;
        place = join.place(c, heads[c], size);
        if (place || n == size) break;
      }
      if (!place) return false;
      head_sizes[c] = place->from;
      connection.read_ahead(overflow_pages_bytes(size));
      const int read = sqlite3_blob_read(blob, into.data() + place->to, static_cast<int>(place->bytes),
                                         static_cast<int>(place->from));
      connection.read_ahead(0);
      if (read != SQLITE_OK) return false;
    }
    return join.finish();
  }

  // The three planes' blobs read from the database's pages into `buffers`;
  // false when the database or a row is not read so.
  bool read_planes_direct(Connection& connection, const std::array<std::int64_t, 3>& rows,
                          std::array<Bytes, 3>& buffers) const {
    sakura::BlobPages* pages = connection.blob_pages();
    if (pages == nullptr) return false;
    std::array<sakura::BlobCell, 3> cells;
    std::array<sakura::BlobPages::Request, 3> requests{};
    for (std::size_t c = 0; c < 3; ++c) {
      auto cell = pages->locate(rows[c]);
      if (!cell) return false;
      cells[c] = *cell;
      buffers[c].resize(static_cast<std::size_t>(cell->size));
      requests[c] = {&cells[c], 0, buffers[c]};
    }
    return pages->read(requests);
  }

  // read_in_place from the database's pages: each plane's header taken from
  // its row's leaf where it is all there (else read first), then the three
  // planes' data read to their places together.
  bool read_in_place_direct(Connection& connection, const std::array<std::int64_t, 3>& rows,
                            std::span<std::uint8_t> into) const {
    sakura::BlobPages* pages = connection.blob_pages();
    if (pages == nullptr) return false;
    std::array<Bytes, 3>& heads = connection.scratch();
    std::array<std::size_t, 3>& head_sizes = connection.hints();
    std::array<sakura::BlobCell, 3> cells;
    for (std::size_t c = 0; c < 3; ++c) {
      auto cell = pages->locate(rows[c]);
      if (!cell) return false;
      cells[c] = *cell;
    }
    std::array<sakura::BlobPages::Request, 3> requests{};
    sakura::InPlace join(into);
    for (std::size_t c = 0; c < 3; ++c) {
      const sakura::BlobCell& cell = cells[c];
      const std::size_t size = static_cast<std::size_t>(cell.size);
      std::optional<sakura::InPlace::Place> place;
      const std::uint64_t in_leaf = cell.local > cell.at ? std::min(cell.size, cell.local - cell.at) : 0;
      if (in_leaf > 0) place = join.place(c, *cell.head(in_leaf), size);
      for (const std::size_t want : {head_sizes[c] != 0 ? head_sizes[c] : kHeadBytes, 16 * kHeadBytes}) {
        if (place) break;
        const std::size_t n = std::min(size, want);
        if (n <= in_leaf) continue;
        heads[c].resize(n);
        const sakura::BlobPages::Request head{&cell, 0, heads[c]};
        if (!pages->read({&head, 1})) return false;
        place = join.place(c, heads[c], size);
        if (n == size) break;
      }
      if (!place) return false;
      head_sizes[c] = place->from;
      requests[c] = {&cell, place->from, into.subspan(place->to, place->bytes)};
    }
    return pages->read(requests) && join.finish();
  }

  // The same through one prepared query a colour, so that the three blobs
  // SQLite hands back stay valid together, uncopied.
  SlideResult<Bytes> read_tile_queried(Connection& connection, std::uint64_t level, std::uint64_t x,
                                       std::uint64_t y, std::span<std::uint8_t> into) const {
    std::array<ByteSpan, 3> planes;
    std::array<sqlite3_stmt*, 3> statements{};
    auto done = [&] {
      for (sqlite3_stmt* stmt : statements) {
        if (stmt != nullptr) sqlite3_reset(stmt);
      }
    };
    for (int c = 0; c < 3; ++c) {
      sqlite3_stmt* stmt = connection.prepared(tile_sql[c]);
      if (stmt == nullptr) {
        done();
        return damaged(database->name(), sqlite3_errmsg(connection.handle()));
      }
      statements[c] = stmt;
      const std::string id = tile_id(level, x, y, c);
      sqlite3_bind_text(stmt, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      const int rc = sqlite3_step(stmt);
      if (rc != SQLITE_ROW) {
        auto error = rc == SQLITE_DONE ? errors::tile_not_stored(level, x, y)
                                       : read_failure(connection.handle());
        done();
        return error;
      }
      planes[c] = column_blob(stmt, 0);
    }
    auto joined = sakura::join_planes(std::span<const ByteSpan, 3>(planes));
    done();
    if (!joined.ok()) return errors::tile_undecodable(database->name(), level, x, y, joined.error());
    if (into.empty()) return std::move(joined).value();
    if (joined->size() != into.size()) return errors::wrong_tile_size();
    std::memcpy(into.data(), joined->data(), joined->size());
    return Bytes{};
  }

  SlideError read_failure(sqlite3* db) const {
    const int code = sqlite3_errcode(db);
    if ((code & 0xFF) == SQLITE_IOERR) {
      return SlideError{ErrorKind::Io, "cannot read " + database->name(), std::nullopt};
    }
    return damaged(database->name(), sqlite3_errmsg(db));
  }

  // One blob of `sql` (with its one parameter), or nothing.
  SlideResult<Bytes> read_blob(const std::string& sql, sqlite3_int64 key) const {
    auto connection = database->connect();
    if (!connection.ok()) return std::move(connection).error();
    Statement stmt(connection->handle(), sql);
    if (!stmt.ok()) return damaged(database->name(), sqlite3_errmsg(connection->handle()));
    sqlite3_bind_int64(stmt.get(), 1, key);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return Bytes{};
    if (rc != SQLITE_ROW) return read_failure(connection->handle());
    const ByteSpan blob = column_blob(stmt.get(), 0);
    return Bytes(blob.begin(), blob.end());
  }
};

class SakuraTiler final : public Tiler {
 public:
  explicit SakuraTiler(std::shared_ptr<const Store> store) : store_(std::move(store)) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                             std::uint64_t y) const override {
    const SakuraLevel& l = store_->levels[level];
    const auto k = l.find(x, y);
    if (!k) return errors::tile_not_stored(level, x, y);
    // The tile's bytes are rows of the database, read through its pages.
    Custom join{[store = store_, level, x, y](std::span<const ByteSpan>) { return store->read_tile(level, x, y); }};
    if (const std::uint32_t size = l.sizes[*k].load(std::memory_order_relaxed); size != 0) join.size = size;
    return TilePlan{{}, std::move(join)};
  }

  // The tiles' queries on `threads` threads, each with a connection of its own.
  SlideResult<Unit> read_batch(const Slide& slide, const Batch& batch,
                               std::span<const std::span<std::uint8_t>> dst,
                               std::vector<Bytes>& assembled, unsigned threads) const override {
    const std::size_t n = batch.coords.size();
    assembled.assign(n, Bytes{});
    if (slide.remote()) threads = std::max(threads, 8U);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::optional<std::pair<std::size_t, SlideError>> first_error;
    auto work = [&] {
      while (!failed.load(std::memory_order_relaxed)) {
        const std::size_t i = next.fetch_add(1);
        if (i >= n) return;
        const bool direct = i < dst.size() && !dst[i].empty();
        auto tile = store_->read_tile(batch.level, batch.coords[i].first, batch.coords[i].second,
                                      direct ? dst[i] : std::span<std::uint8_t>());
        if (!tile.ok()) {
          std::lock_guard lock(error_mutex);
          if (!first_error || first_error->first > i) first_error.emplace(i, std::move(tile).error());
          failed.store(true);
          return;
        }
        if (!direct) assembled[i] = std::move(tile).value();
      }
    };
    const unsigned count = static_cast<unsigned>(std::min<std::size_t>(std::max(threads, 1U), n));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < count; ++t) pool.emplace_back(work);
    work();
    for (auto& thread : pool) thread.join();
    if (first_error) return std::move(first_error->second);
    return Unit{};
  }

 private:
  std::shared_ptr<const Store> store_;
};

// A single row's columns by name, as text; empty strings for absent ones.
std::map<std::string, std::string> one_row(sqlite3* db, const std::string& sql,
                                           std::optional<sqlite3_int64> key = std::nullopt) {
  std::map<std::string, std::string> out;
  Statement stmt(db, sql);
  if (!stmt.ok()) return out;
  if (key) sqlite3_bind_int64(stmt.get(), 1, *key);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return out;
  for (int c = 0; c < sqlite3_column_count(stmt.get()); ++c) {
    const int type = sqlite3_column_type(stmt.get(), c);
    if (type == SQLITE_NULL) continue;
    // Real numbers printed as OpenSlide prints them ("%.17g").
    out[sqlite3_column_name(stmt.get(), c)] =
        type == SQLITE_FLOAT ? metadata::format_double(sqlite3_column_double(stmt.get(), c))
                             : column_text(stmt.get(), c);
  }
  return out;
}

}  // namespace

const Family& SakuraDriver::family() const {
  static const Family family{"sakura", "sakura", "Sakura SVSlide"};
  return family;
}

bool SakuraDriver::detect(const Probe& probe) const {
  static constexpr char kMagic[] = "SQLite format 3";
  return !probe.tiff && probe.head.size() >= 100 &&
         std::memcmp(probe.head.data(), kMagic, sizeof kMagic) == 0;
}

SlideResult<Opening> SakuraDriver::open(SourceSet& sources, const Probe& /*probe*/,
                                        const OpenOptions& /*options*/) const {
  const std::string& name = sources.name();
  auto store = std::make_shared<Store>();
  store->database = std::make_shared<Database>(sources.shared(0));
  auto connection = store->database->connect();
  if (!connection.ok()) return std::move(connection).error();
  sqlite3* db = connection->handle();

  // The unique table: one row of DataManagerSQLiteConfigXPO names it.
  std::vector<std::string> tables;
  {
    Statement stmt(db, "SELECT TableName FROM DataManagerSQLiteConfigXPO LIMIT 2");
    if (!stmt.ok()) {
      const int code = sqlite3_errcode(db) & 0xFF;
      if (code == SQLITE_IOERR) return store->read_failure(db);
      if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) return damaged(name, sqlite3_errmsg(db));
      return Opening(Declined{});
    }
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) tables.push_back(column_text(stmt.get(), 0));
    if (rc != SQLITE_DONE) return store->read_failure(db);
  }
  if (tables.size() != 1) return Opening(Declined{});
  store->table = quote_identifier(tables[0]);
  store->table_name = tables[0];
  store->rowid_sql = "SELECT rowid FROM " + store->table + " WHERE id = ?1";
  {
    Statement stmt(db, "PRAGMA page_size");
    if (stmt.ok() && sqlite3_step(stmt.get()) == SQLITE_ROW) {
      store->page_size = static_cast<std::uint64_t>(std::max<sqlite3_int64>(0, sqlite3_column_int64(stmt.get(), 0)));
    }
  }
  if (auto blobs = sakura::BlobTable::of(db, store->table_name, "data", store->database->source())) {
    store->database->read_blobs_directly(*blobs);
  }
  for (int c = 0; c < 3; ++c) {
    store->tile_sql[c] = "SELECT data FROM " + store->table + " WHERE id = ?1 /* " + std::to_string(c) + " */";
  }
  auto value = [&](const char* id) -> SlideResult<std::optional<Bytes>> {
    Statement stmt(db, "SELECT data FROM " + store->table + " WHERE id = ?1");
    if (!stmt.ok()) return damaged(name, sqlite3_errmsg(db));
    sqlite3_bind_text(stmt.get(), 1, id, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return std::optional<Bytes>();
    if (rc != SQLITE_ROW) return store->read_failure(db);
    const ByteSpan blob = column_blob(stmt.get(), 0);
    return std::optional<Bytes>(Bytes(blob.begin(), blob.end()));
  };
  auto magic = value("++MagicBytes");
  if (!magic.ok()) return std::move(magic).error();
  static constexpr std::string_view kMagic = "SVGigaPixelImage";
  if (!*magic || std::string_view(reinterpret_cast<const char*>((*magic)->data()), (*magic)->size()) != kMagic) {
    return Opening(Declined{});
  }
  auto header = value("Header");
  if (!header.ok()) return std::move(header).error();
  if (!*header || (*header)->size() < 20) return damaged(name, "its header is missing or short");
  auto le32 = [&](std::size_t at) {
    const Bytes& h = **header;
    return std::uint64_t{h[at]} | std::uint64_t{h[at + 1]} << 8 | std::uint64_t{h[at + 2]} << 16 |
           std::uint64_t{h[at + 3]} << 24;
  };
  const std::uint64_t tile_size = le32(0), width = le32(4), height = le32(8), planes = le32(16);
  if (tile_size == 0 || tile_size > 0xFFFF || width == 0 || height == 0 || planes == 0 ||
      planes > 1024) {
    return damaged(name, "its header gives a size out of range");
  }
  store->tile_size = tile_size;
  store->plane = planes / 2 + planes % 2 - 1;

  // Every tile id, through the id index: the levels (downsamples of plane 0)
  // and which tiles of the plane read are stored.
  std::set<std::uint64_t> downsamples;
  struct Seen {
    int colours = 0;
    int rows_known = 0;  // the colours whose row is known
    std::array<std::int64_t, 3> rows{};
  };
  std::map<std::uint64_t, std::map<std::uint64_t, Seen>> seen;  // downsample -> tile -> its planes
  {
    // With the rows (a table without rowids has none: its reads look them up).
    const std::string ids = " FROM " + store->table + " WHERE id >= 'T;' AND id < 'T<'";
    auto listed = std::make_unique<Statement>(db, "SELECT id, rowid" + ids);
    const bool with_rows = listed->ok();
    if (!with_rows) listed = std::make_unique<Statement>(db, "SELECT id" + ids);
    const Statement& stmt = *listed;
    if (!stmt.ok()) return damaged(name, sqlite3_errmsg(db));
    std::uint64_t count = 0;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      if (++count > kMaxTileIds) return damaged(name, "it lists more tiles than a slide holds");
      const bool text_id = sqlite3_column_type(stmt.get(), 0) == SQLITE_TEXT;  // before any conversion
      const auto* text = sqlite3_column_text(stmt.get(), 0);
      if (text == nullptr) continue;
      const auto id = parse_tile_id(std::string_view(
          reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), 0))));
      if (!id) continue;
      const std::uint64_t d = id->downsample;
      if (d == 0 || d > kMaxDownsample || (d & (d - 1)) != 0) {
        return damaged(name, "a tile's downsample (" + std::to_string(d) + ") is no power of two");
      }
      if (id->plane == 0) downsamples.insert(d);
      const std::uint64_t step = tile_size * d;
      if (id->plane != store->plane || id->colour > 2 || id->x % step != 0 || id->y % step != 0 ||
          id->x >= width || id->y >= height) {
        continue;
      }
      const std::uint64_t across = ((width / d) + tile_size - 1) / tile_size;
      Seen& tile = seen[d][(id->y / step) * across + id->x / step];
      const int bit = 1 << id->colour;
      tile.colours |= bit;
      // The first row of the id as reads write it is the one they find.
      if (with_rows && text_id && id->canonical && (tile.rows_known & bit) == 0) {
        tile.rows[id->colour] = sqlite3_column_int64(stmt.get(), 1);
        tile.rows_known |= bit;
      }
    }
    if (rc != SQLITE_DONE) return store->read_failure(db);
  }
  SlideParts parts;
  for (const std::uint64_t d : downsamples) {
    const std::uint64_t w = width / d, h = height / d;
    if (w == 0 || h == 0) continue;
    SakuraLevel level{d, (w + tile_size - 1) / tile_size, (h + tile_size - 1) / tile_size, {}, {}, {}, {}};
    for (const auto& [tile, found] : seen[d]) {
      if (found.colours == 7 && tile < level.across * level.down) {
        level.stored.push_back(tile);
        level.rows.push_back(found.rows);
        level.rows_known.push_back(found.rows_known == 7);
      }
    }
    level.sizes = std::make_unique<std::atomic<std::uint32_t>[]>(level.stored.size());
    store->levels.push_back(std::move(level));
    parts.levels.push_back(Level{{{w, h}, {tile_size, tile_size},
                                  {store->levels.back().across, store->levels.back().down},
                                  TileEncoding::Jpeg},
                                 "image/jpeg",
                                 static_cast<double>(d),
                                 "RGB"});
  }

  metadata::PropertyMap map;
  auto version = value("++VersionBytes");
  if (!version.ok()) return std::move(version).error();
  if (*version) {
    map["sakura.VersionBytes"] = metadata::clean_text(
        std::string_view(reinterpret_cast<const char*>((*version)->data()), (*version)->size()));
  }
  auto slide_row = one_row(db,
                           "SELECT OID, SlideId, Date, Description, Creator, DiagnosisCode, "
                           "Keywords, m_labelScan, m_overviewScan FROM SVSlideDataXPO LIMIT 1");
  for (const char* key : {"SlideId", "Date", "Description", "Creator", "DiagnosisCode", "Keywords"}) {
    if (auto it = slide_row.find(key); it != slide_row.end()) map[std::string("sakura.") + key] = it->second;
  }
  const auto slide_oid = text::parse_integer(slide_row["OID"]);
  auto scan_row = one_row(db,
                          "SELECT OID, ScanId, NominalLensMagnification, ResolutionMmPerPix, "
                          "FocussingMethod FROM SVHRScanDataXPO WHERE ParentSlide = ?1 LIMIT 1",
                          slide_oid.value_or(-1));
  for (const char* key : {"ScanId", "NominalLensMagnification", "ResolutionMmPerPix", "FocussingMethod"}) {
    if (auto it = scan_row.find(key); it != scan_row.end()) map[std::string("sakura.") + key] = it->second;
  }
  if (const auto mm = metadata::parse_double(scan_row["ResolutionMmPerPix"]);
      metadata::usable_positive(mm)) {
    map["kolva.mpp-x"] = metadata::format_double(*mm * 1000.0);
    map["kolva.mpp-y"] = metadata::format_double(*mm * 1000.0);
  }
  if (const auto lens = metadata::parse_double(scan_row["NominalLensMagnification"]);
      metadata::usable_positive(lens)) {
    map["kolva.objective-power"] = metadata::format_double(*lens);
  }
  parts.properties = metadata::finish_properties(std::move(map), parts.levels, "sakura");

  // Associated images: JPEG blobs, read through the database when asked for.
  const std::shared_ptr<const Store> shared = store;
  auto add_image = [&](const char* image, const std::string& sql, std::optional<sqlite3_int64> key) {
    if (!key) return;
    auto blob = shared->read_blob(sql, *key);
    if (!blob.ok() || blob->empty()) return;
    const auto dims = jpeg_dimensions(*blob);
    if (!dims) return;
    parts.associated.push_back(AssociatedImage{
        image, "image/jpeg", *dims,
        TilePlan{{}, Custom{[shared, sql, key = *key](std::span<const ByteSpan>) {
                   return shared->read_blob(sql, key);
                 }}}});
  };
  const std::string scanned = "SELECT Image FROM SVScannedImageDataXPO WHERE OID = ?1";
  add_image("label", scanned, text::parse_integer(slide_row["m_labelScan"]));
  add_image("macro", scanned, text::parse_integer(slide_row["m_overviewScan"]));
  add_image("thumbnail", "SELECT ThumbnailImage FROM SVHRScanDataXPO WHERE OID = ?1",
            text::parse_integer(scan_row["OID"]));
  parts.tiler = std::make_shared<SakuraTiler>(shared);
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
