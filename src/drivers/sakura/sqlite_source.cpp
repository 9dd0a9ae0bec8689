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

// The file of an open database: the source, as a set the executor reads.
struct File {
  sqlite3_file base;
  slide::SourceSet* sources;
  std::uint64_t size;
};

// Sources waiting for SQLite to open them, by the name handed to it.
std::mutex pending_mutex;
std::map<std::string, std::shared_ptr<std_io::RangeSource>> pending;

int file_close(sqlite3_file* f) {
  delete reinterpret_cast<File*>(f)->sources;
  return SQLITE_OK;
}

int file_read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
  auto* file = reinterpret_cast<File*>(f);
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (amount < 0 || offset < 0) return SQLITE_IOERR_READ;
  const auto at = static_cast<std::uint64_t>(offset);
  const std::uint64_t have = at >= file->size ? 0 : std::min<std::uint64_t>(amount, file->size - at);
  if (have > 0) {
    const slide::Range range{at, have, 0};
    const std::span<std::uint8_t> dst(out, static_cast<std::size_t>(have));
    if (!slide::read_ranges(*file->sources, {&range, 1}, {&dst, 1}, 1).ok()) {
      return SQLITE_IOERR_READ;
    }
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

Connection::Connection(Connection&& other) noexcept : owner_(other.owner_), db_(other.db_) {
  other.db_ = nullptr;
}

Connection::~Connection() {
  if (db_ != nullptr) owner_->give_back(db_);
}

Database::~Database() {
  for (sqlite3* db : idle_) sqlite3_close_v2(db);
}

void Database::give_back(sqlite3* db) {
  std::lock_guard lock(mutex_);
  idle_.push_back(db);
}

slide::SlideResult<Connection> Database::connect() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      sqlite3* db = idle_.back();
      idle_.pop_back();
      return Connection(this, db);
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
  return Connection(this, db);
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
