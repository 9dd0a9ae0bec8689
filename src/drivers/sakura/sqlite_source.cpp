#include "drivers/sakura/sqlite_source.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

#include "slide/executor.hpp"
#include "slide/source_set.hpp"

namespace kolva::drivers::sakura {
namespace {

constexpr const char* kVfsName = "kolva-readonly";

constexpr std::uint64_t kReadAhead = 64 << 10;
constexpr std::uint64_t kMaxReadAhead = 16 << 20;  // of a blob's pages at once

// The file of an open database (one per connection, so one thread at a time):
// the source, as a set the executor reads, and what was read ahead. A read
// that follows the last one (the overflow pages of a blob, usually back to
// back) reads ahead, so a tile's blob costs one read, not one a page.
struct File {
  sqlite3_file base;
  slide::SourceSet* sources;
  std::uint64_t size;
  Bytes* ahead;  // grown, never shrunk nor cleared: its first ahead_size bytes are the file's
  std::uint64_t ahead_size;
  std::uint64_t ahead_at;
  std::uint64_t last_end;
  std::uint64_t expected;  // bytes the next read outside `ahead` reads ahead (Connection::read_ahead)
};

bool read_source(File* file, std::uint64_t at, std::span<std::uint8_t> dst) {
  const slide::Range range{at, dst.size(), 0};
  return slide::read_ranges(*file->sources, {&range, 1}, {&dst, 1}, 1).ok();
}

// `bytes` of the file from `at` read ahead.
bool read_ahead_at(File* file, std::uint64_t at, std::uint64_t bytes) {
  Bytes& ahead = *file->ahead;
  if (ahead.size() < bytes) ahead.resize(static_cast<std::size_t>(bytes));
  file->ahead_size = 0;
  if (!read_source(file, at, {ahead.data(), static_cast<std::size_t>(bytes)})) return false;
  file->ahead_size = bytes;
  file->ahead_at = at;
  return true;
}

// Sources waiting for SQLite to open them, by the name handed to it.
std::mutex pending_mutex;
std::map<std::string, std::shared_ptr<std_io::RangeSource>> pending;

int file_close(sqlite3_file* f) {
  delete reinterpret_cast<File*>(f)->sources;
  delete reinterpret_cast<File*>(f)->ahead;
  return SQLITE_OK;
}

int file_read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
  auto* file = reinterpret_cast<File*>(f);
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (amount < 0 || offset < 0) return SQLITE_IOERR_READ;
  const auto at = static_cast<std::uint64_t>(offset);
  const std::uint64_t have = at >= file->size ? 0 : std::min<std::uint64_t>(amount, file->size - at);
  if (have > 0) {
    const Bytes& ahead = *file->ahead;
    const bool inside = at >= file->ahead_at && at + have <= file->ahead_at + file->ahead_size;
    if (!inside && file->expected > have) {
      // A blob's pages, as many as it needs: one read.
      const std::uint64_t bytes = std::min(file->expected, file->size - at);
      file->expected = 0;
      if (!read_ahead_at(file, at, bytes)) return SQLITE_IOERR_READ;
    } else if (!inside && at == file->last_end && have < kReadAhead) {
      if (!read_ahead_at(file, at, std::min(kReadAhead, file->size - at))) return SQLITE_IOERR_READ;
    }
    if (at >= file->ahead_at && at + have <= file->ahead_at + file->ahead_size) {
      std::memcpy(out, ahead.data() + (at - file->ahead_at), static_cast<std::size_t>(have));
    } else if (!read_source(file, at, {out, static_cast<std::size_t>(have)})) {
      return SQLITE_IOERR_READ;
    }
    file->last_end = at + have;
  }
  if (have < static_cast<std::uint64_t>(amount)) {
    std::memset(out + have, 0, static_cast<std::size_t>(amount - have));
    return SQLITE_IOERR_SHORT_READ;
  }
  return SQLITE_OK;
}

int file_write(sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; }
int file_truncate(sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; }
int file_sync(sqlite3_file*, int) { return SQLITE_OK; }
int file_size(sqlite3_file* f, sqlite3_int64* size) {
  *size = static_cast<sqlite3_int64>(reinterpret_cast<File*>(f)->size);
  return SQLITE_OK;
}
int file_lock(sqlite3_file*, int) { return SQLITE_OK; }
int file_check_lock(sqlite3_file*, int* out) {
  *out = 0;
  return SQLITE_OK;
}
int file_control(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int file_sector(sqlite3_file*) { return 512; }
int file_device(sqlite3_file*) { return SQLITE_IOCAP_IMMUTABLE; }

const sqlite3_io_methods kIo = {
    1,          file_close, file_read,  file_write,      file_truncate,
    file_sync,  file_size,  file_lock,  file_lock,       file_check_lock,
    file_control, file_sector, file_device, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

int vfs_open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out_flags) {
  f->pMethods = nullptr;
  if (name == nullptr || (flags & SQLITE_OPEN_MAIN_DB) == 0) return SQLITE_CANTOPEN;
  std::shared_ptr<std_io::RangeSource> source;
  {
    std::lock_guard lock(pending_mutex);
    auto it = pending.find(name);
    if (it == pending.end()) return SQLITE_CANTOPEN;
    source = it->second;
  }
  auto size = source->size();
  if (!size.ok()) return SQLITE_CANTOPEN;
  auto* file = reinterpret_cast<File*>(f);
  file->sources = new slide::SourceSet(std::move(source));
  file->size = *size;
  file->ahead = new Bytes();
  file->ahead_size = 0;
  file->ahead_at = 0;
  file->last_end = 0;
  file->expected = 0;
  f->pMethods = &kIo;
  if (out_flags != nullptr) *out_flags = SQLITE_OPEN_READONLY;
  return SQLITE_OK;
}

int vfs_delete(sqlite3_vfs*, const char*, int) { return SQLITE_IOERR_DELETE; }
int vfs_access(sqlite3_vfs*, const char*, int, int* out) {
  *out = 0;
  return SQLITE_OK;
}
int vfs_full_pathname(sqlite3_vfs*, const char* name, int size, char* out) {
  if (size <= 0) return SQLITE_CANTOPEN;
  std::snprintf(out, static_cast<std::size_t>(size), "%s", name);
  return SQLITE_OK;
}
int vfs_randomness(sqlite3_vfs*, int size, char* out) {
  std::memset(out, 0, static_cast<std::size_t>(size));
  return size;
}
int vfs_sleep(sqlite3_vfs*, int microseconds) { return microseconds; }
int vfs_current_time(sqlite3_vfs*, double* out) {
  *out = 2440587.5;  // no clock is needed to read
  return SQLITE_OK;
}

sqlite3_vfs kVfs = {1,       static_cast<int>(sizeof(File)), 512,  nullptr, kVfsName, nullptr,
                    vfs_open, vfs_delete, vfs_access, vfs_full_pathname, nullptr, nullptr, nullptr,
                    nullptr, vfs_randomness, vfs_sleep, vfs_current_time, nullptr, nullptr,
                    nullptr, nullptr, nullptr};

bool register_vfs() {
  static const bool registered = sqlite3_vfs_register(&kVfs, 0) == SQLITE_OK;
  return registered;
}

}  // namespace

Connection::Connection(Connection&& other) noexcept
    : owner_(other.owner_), handle_(std::move(other.handle_)) {}

Connection::~Connection() {
  if (handle_ != nullptr) owner_->give_back(std::move(handle_));
}

Connection::Handle::~Handle() {
  sqlite3_blob_close(blob);
  for (auto& [sql, stmt] : statements) sqlite3_finalize(stmt);
  sqlite3_close_v2(db);
}

sqlite3_stmt* Connection::prepared(const std::string& sql) {
  for (auto& [text, stmt] : handle_->statements) {
    if (text == sql) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      return stmt;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(handle_->db, sql.c_str(), static_cast<int>(sql.size()),
                         SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  handle_->statements.emplace_back(sql, stmt);
  return stmt;
}

sqlite3_blob* Connection::blob(const std::string& table, const std::string& column, std::int64_t rowid) {
  sqlite3_blob*& blob = handle_->blob;
  if (blob != nullptr && sqlite3_blob_reopen(blob, rowid) == SQLITE_OK) return blob;
  // A failed reopen leaves the handle good for nothing but closing.
  sqlite3_blob_close(blob);
  blob = nullptr;
  if (sqlite3_blob_open(handle_->db, "main", table.c_str(), column.c_str(), rowid, 0, &blob) != SQLITE_OK) {
    sqlite3_blob_close(blob);
    blob = nullptr;
  }
  return blob;
}

void Connection::read_ahead(std::uint64_t bytes) {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(handle_->db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
      file != nullptr && file->pMethods == &kIo) {
    reinterpret_cast<File*>(file)->expected = std::min<std::uint64_t>(bytes, kMaxReadAhead);
  }
}

BlobPages* Connection::blob_pages() {
  if (handle_->pages == nullptr && owner_->blobs_) {
    handle_->pages = std::make_unique<BlobPages>(*owner_->blobs_, owner_->source_);
  }
  return handle_->pages.get();
}

void Database::give_back(std::unique_ptr<Connection::Handle> handle) {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(handle));
}

slide::SlideResult<Connection> Database::connect() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      auto handle = std::move(idle_.back());
      idle_.pop_back();
      return Connection(this, std::move(handle));
    }
  }
  auto refused = [&](const std::string& why) {
    return slide::SlideError{slide::ErrorKind::Corrupt,
                             source_->name() + " cannot be read as an SQLite database: " + why,
                             std::nullopt};
  };
  if (!register_vfs()) return refused("the reader could not be set up");
  static std::atomic<std::uint64_t> counter{0};
  const std::string name = "kolva-db-" + std::to_string(counter.fetch_add(1));
  {
    std::lock_guard lock(pending_mutex);
    pending[name] = source_;
  }
  sqlite3* db = nullptr;
  const std::string uri = "file:" + name + "?immutable=1";
  const int rc = sqlite3_open_v2(uri.c_str(), &db,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                                 kVfsName);
  {
    std::lock_guard lock(pending_mutex);
    pending.erase(name);
  }
  if (rc != SQLITE_OK) {
    const std::string why = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return refused(why);
  }
  // Untrusted files: no schema tricks, bounded work.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 256 << 20);
  auto handle = std::make_unique<Connection::Handle>();
  handle->db = db;
  return Connection(this, std::move(handle));
}

Statement::Statement(sqlite3* db, const std::string& sql) {
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

}  // namespace kolva::drivers::sakura
