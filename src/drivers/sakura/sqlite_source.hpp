#pragma once

// SQLite databases read over a slide's byte source: a read-only SQLite VFS
// whose every read is a range asked of the read executor (a local pread, or a
// remote source's ranged request), so a database on a web server or in an
// object store is read as SQLite pages are needed, never downloaded whole.
// The database is opened immutable: no journal, no locks, no writes.
//
// A connection serves one thread at a time; a Database lends them out, opening
// more while all are in use, so any number of threads may query at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "drivers/sakura/blob_pages.hpp"
#include "slide/errors.hpp"
#include "std_io/source.hpp"

struct sqlite3;
struct sqlite3_blob;
struct sqlite3_stmt;

namespace kolva::drivers::sakura {

class Database;

// One connection, lent by a Database and given back when it goes.
class Connection {
 public:
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&&) = delete;
  ~Connection();
  sqlite3* handle() const { return handle_->db; }
  std::array<Bytes, 3>& scratch() { return handle_->scratch; }
  std::array<std::size_t, 3>& hints() { return handle_->hints; }
  // `sql` prepared once per connection and kept, reset for another use;
  // nullptr when SQLite refuses it (sqlite3_errmsg tells why).
  sqlite3_stmt* prepared(const std::string& sql);
  // The connection's blob handle, moved to row `rowid` of `table`'s `column`
  // (opened the first time); nullptr when SQLite refuses (no such row, a
  // table without rowids...).
  sqlite3_blob* blob(const std::string& table, const std::string& column, std::int64_t rowid);
  // The next read of the database's file that is not served from what was
  // read ahead reads `bytes` ahead (the pages of a blob about to be read,
  // usually back to back); 0: no such read is due.
  void read_ahead(std::uint64_t bytes);
  // The connection's reader of the table's blobs straight from the file's
  // pages, when the database was given one (Database::read_blobs_directly);
  // nullptr otherwise.
  BlobPages* blob_pages();

  // A connection and the statements prepared on it.
  struct Handle {
    sqlite3* db = nullptr;
    std::vector<std::pair<std::string, sqlite3_stmt*>> statements;
    sqlite3_blob* blob = nullptr;
    std::array<Bytes, 3> scratch;  // buffers its user keeps between uses
    std::array<std::size_t, 3> hints{};  // and sizes
    std::unique_ptr<BlobPages> pages;
    ~Handle();
  };

 private:
  friend class Database;
  Connection(Database* owner, std::unique_ptr<Handle> handle)
      : owner_(owner), handle_(std::move(handle)) {}
  Database* owner_;
  std::unique_ptr<Handle> handle_;
};

class Database {
 public:
  explicit Database(std::shared_ptr<std_io::RangeSource> source) : source_(std::move(source)) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // A connection: an idle one, or a new one (SQLite's refusal, in words, when
  // the source is no database).
  slide::SlideResult<Connection> connect();
  const std::string& name() const { return source_->name(); }
  // Connections read `table`'s blobs from the file's pages from now on
  // (Connection::blob_pages). Set before connections are lent to threads.
  void read_blobs_directly(const BlobTable& table) { blobs_ = table; }
  const std::shared_ptr<std_io::RangeSource>& source() const { return source_; }

 private:
  friend class Connection;
  void give_back(std::unique_ptr<Connection::Handle> handle);
  std::shared_ptr<std_io::RangeSource> source_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection::Handle>> idle_;
  std::optional<BlobTable> blobs_;
};

// A prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace kolva::drivers::sakura
