#include "std_io/std_io.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "base/platform.hpp"

namespace kolva::std_io {

Result<FileSource, OsError> FileSource::open(const std::string& path) {
  platform::File fd = platform::kNoFile;
  if (const int code = platform::open_for_reading(path, fd); code != 0) return OsError{code};
  platform::FileStatus st;
  if (const int code = platform::status(fd, st); code != 0) {
    platform::close(fd);
    return OsError{code};
  }
  // A directory opens fine but cannot be read; reads then fail with EISDIR.
  return FileSource(fd, st.size);
}

FileSource::FileSource(FileSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

FileSource& FileSource::operator=(FileSource&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) platform::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
  }
  return *this;
}

FileSource::~FileSource() {
  if (fd_ >= 0) platform::close(fd_);
}

KolvaResult<std::uint64_t> FileSource::size() {
  // Asked only when a range seems to reach past the known size, so a file that
  // grew while open is still read in full and ordinary reads cost no fstat.
  platform::FileStatus st;
  if (const int code = platform::status(fd_, st); code != 0) return KolvaError::IoError{OsError{code}};
  if (st.directory) return KolvaError::IoError{OsError{EISDIR}};
  size_ = st.regular ? st.size : UINT64_MAX;
  return size_;
}

KolvaResult<std::uint64_t> FileSource::read_at(std::uint64_t offset,
                                               std::span<std::uint8_t> dst) {
  std::uint64_t done = 0;
  // One positional read moves at most 1 GiB, so a large range takes several;
  // a read of 0 bytes is the end of the file.
  while (done < dst.size()) {
    const auto pos = offset + done;
    if (pos > static_cast<std::uint64_t>(INT64_MAX)) break;
    std::size_t got = 0;
    const auto rest = static_cast<std::size_t>(dst.size() - done);
    if (const int code = platform::read_at(fd_, pos, dst.data() + done, rest, got); code != 0) {
      return KolvaError::IoError{OsError{code}};
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

KolvaResult<std::uint64_t> FileSource::read_scattered(std::uint64_t offset,
                                                      std::span<const std::span<std::uint8_t>> pieces) {
  constexpr std::size_t kBatch = 256;  // pieces handed down at once, without allocating
  std::uint64_t done = 0;
  for (std::size_t first = 0; first < pieces.size(); first += kBatch) {
    platform::Piece batch[kBatch];
    const std::size_t n = std::min(kBatch, pieces.size() - first);
    std::uint64_t want = 0;
    for (std::size_t i = 0; i < n; ++i) {
      batch[i] = {pieces[first + i].data(), pieces[first + i].size()};
      want += pieces[first + i].size();
    }
    std::size_t got = 0;
    if (offset + done > static_cast<std::uint64_t>(INT64_MAX)) break;
    if (const int code = platform::read_scattered_at(fd_, offset + done, batch, n, got); code != 0) {
      return KolvaError::IoError{OsError{code}};
    }
    done += got;
    if (got < want) break;
  }
  return done;
}

KolvaResult<std::uint64_t> MemorySource::read_at(std::uint64_t offset,
                                                 std::span<std::uint8_t> dst) {
  if (dst.empty() || offset >= bytes_.size()) return std::uint64_t{0};
  const auto n = std::min<std::uint64_t>(dst.size(), bytes_.size() - offset);
  std::memcpy(dst.data(), bytes_.data() + offset, n);
  return n;
}

namespace {

struct StepBuffers {
  static constexpr unsigned kCount = 4;
  static constexpr std::uint64_t kKept = 64 << 10;
  std::array<Buffer, kCount> buffers;
  unsigned depth = 0;
};

thread_local StepBuffers step_buffers;

}  // namespace

StepBuffer::StepBuffer()
    : buffer_(step_buffers.depth < StepBuffers::kCount ? &step_buffers.buffers[step_buffers.depth]
                                                       : &own_) {
  ++step_buffers.depth;
}

StepBuffer::~StepBuffer() {
  --step_buffers.depth;
  if (buffer_ != &own_ && buffer_->capacity() > StepBuffers::kKept) *buffer_ = Buffer();
}

KolvaResult<Buffer> Buffer::allocate(std::uint64_t length) {
  Buffer buffer;
  if (!buffer.hold(length)) return KolvaError::UnableToAllocateLargeSize{};
  buffer.size_ = length;
  return buffer;
}

bool Buffer::hold(std::uint64_t room) {
  data_.reset();
  capacity_ = 0;
  data_.reset(new (std::nothrow) std::uint8_t[room]);
  if (!data_) return false;
  capacity_ = room;
  return true;
}

KolvaResult<Unit> Buffer::resize(std::uint64_t length) {
  if (length > capacity_) {
    // Grown at least twofold from a page, so that a run's small steps share one
    // allocation; exactly `length` when that much more is not to be had.
    constexpr std::uint64_t kLeast = 4096;
    const std::uint64_t room = std::max({length, kLeast, std::min(capacity_ * 2, kLargestRange)});
    if (!hold(room) && (room == length || !hold(length))) {
      size_ = 0;
      return KolvaError::UnableToAllocateLargeSize{};
    }
  }
  size_ = length;
  return Unit{};
}

}  // namespace kolva::std_io
