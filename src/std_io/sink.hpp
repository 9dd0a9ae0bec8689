#pragma once

// Where written bytes go: the write side of this layer's I/O. The shard writer
// formats records into memory and hands them to a ByteSink; only the sinks
// here touch a file.

#include <cstdint>
#include <memory>
#include <string>

#include "base/base.hpp"
#include "error/error.hpp"

namespace kolva::std_io {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends all of `bytes`.
  virtual KolvaResult<Unit> write(ByteSpan bytes) = 0;
  // Makes everything written durable (a file: flushed to its device when asked
  // for at creation) and releases the sink; later writes fail.
  virtual KolvaResult<Unit> finish() = 0;
};

// A local file written sequentially: a new one (created or truncated), or the
// first `offset` bytes of an existing one continued (what lay past them is cut).
class FileSink final : public ByteSink {
 public:
  // `sync`: finish() also fsyncs the file before closing it.
  static Result<std::unique_ptr<FileSink>, OsError> create(const std::string& path, bool sync,
                                                           std::uint64_t offset = 0);
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  KolvaResult<Unit> write(ByteSpan bytes) override;
  KolvaResult<Unit> finish() override;

 private:
  FileSink(int fd, bool sync) : fd_(fd), sync_(sync) {}
  int fd_ = -1;
  bool sync_ = false;
};

// Bytes kept in memory (tests).
class MemorySink final : public ByteSink {
 public:
  KolvaResult<Unit> write(ByteSpan bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return Unit{};
  }
  KolvaResult<Unit> finish() override { return Unit{}; }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

}  // namespace kolva::std_io
