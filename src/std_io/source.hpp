#pragma once

// Byte sources that many threads may read at once, behind one interface, so
// that a slide opened from a local file, from memory or from a remote store
// runs the same consumers. Format logic still never sees them: the adapter
// SharedSource makes any of them a ByteSource for the driver.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "std_io/std_io.hpp"

namespace kolva::std_io {

// A byte source that may be read from several threads at once.
//   known_size(): a cheap, possibly stale length.
//   size(): the current length, freshly taken when the source can tell.
//   read_at(offset, dst): fills as much of dst as the source holds from
//   `offset` on; returns how many bytes were delivered (fewer only at the end).
//   name(): what the source is, for messages (a path or a URL).
//   remote(): whether a read costs a round trip (then ranges are best asked
//   for together, through read_many).
//   read_many(ranges, dst): fills dst[i] with exactly ranges[i] for every i,
//   or fails as a whole (UnexpectedStep for a range past the end).
struct ByteRange {
  std::uint64_t offset;
  std::uint64_t length;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

class RangeSource {
 public:
  virtual ~RangeSource() = default;
  virtual std::uint64_t known_size() const = 0;
  virtual KolvaResult<std::uint64_t> size() = 0;
  virtual KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) = 0;
  virtual const std::string& name() const = 0;
  virtual bool remote() const { return false; }
  // One read_at per range, by default.
  virtual KolvaResult<Unit> read_many(std::span<const ByteRange> ranges,
                                      std::span<const std::span<std::uint8_t>> dst);
  // The bytes from `offset` on, exactly as many as `pieces` hold, into them
  // in turn (UnexpectedStep past the end). By default one range read by
  // read_many into a buffer of its own, then copied to the pieces.
  virtual KolvaResult<Unit> read_scattered(std::uint64_t offset,
                                           std::span<const std::span<std::uint8_t>> pieces);
};

// A local file read with pread: reads share no file position, so any number of
// threads may read at once.
class SharedFileSource final : public RangeSource {
 public:
  static Result<std::shared_ptr<SharedFileSource>, OsError> open(const std::string& path);

  std::uint64_t known_size() const override { return size_.load(std::memory_order_relaxed); }
  KolvaResult<std::uint64_t> size() override;
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override;
  // One preadv.
  KolvaResult<Unit> read_scattered(std::uint64_t offset,
                                   std::span<const std::span<std::uint8_t>> pieces) override;
  const std::string& name() const override { return path_; }

 private:
  SharedFileSource(FileSource file, std::string path)
      : file_(std::move(file)), path_(std::move(path)), size_(file_.known_size()) {}
  FileSource file_;
  std::string path_;
  std::atomic<std::uint64_t> size_;
};

// While alive, small reads of local files on this thread go through a few
// read-ahead windows. An opening reads a header, each directory's entries and
// the values stored beside them in many small pieces, often the same bytes
// twice; one read of the window around them answers all of them. Reads after
// the opening (tiles) are exact again, on every thread. Scopes nest.
class OpeningReads {
 public:
  OpeningReads();
  ~OpeningReads();
  OpeningReads(const OpeningReads&) = delete;
  OpeningReads& operator=(const OpeningReads&) = delete;
};

// Bytes held in memory.
class SharedMemorySource final : public RangeSource {
 public:
  SharedMemorySource(Bytes bytes, std::string name) : bytes_(std::move(bytes)), name_(std::move(name)) {}
  std::uint64_t known_size() const override { return bytes_.size(); }
  KolvaResult<std::uint64_t> size() override { return static_cast<std::uint64_t>(bytes_.size()); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override;
  const std::string& name() const override { return name_; }

 private:
  Bytes bytes_;
  std::string name_;
};

// A ByteSource over a shared RangeSource, for the driver's run loop.
class SharedSource {
 public:
  explicit SharedSource(std::shared_ptr<RangeSource> inner) : inner_(std::move(inner)) {}
  std::uint64_t known_size() const { return inner_->known_size(); }
  KolvaResult<std::uint64_t> size() { return inner_->size(); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) {
    return inner_->read_at(offset, dst);
  }
  RangeSource& inner() { return *inner_; }

 private:
  std::shared_ptr<RangeSource> inner_;
};

}  // namespace kolva::std_io
