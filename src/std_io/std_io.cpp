#include "std_io/std_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace kolva::std_io {

Result<FileSource, OsError> FileSource::open(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OsError{errno};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    return OsError{code};
  }
  // A directory opens fine but cannot be read; reads then fail with EISDIR.
  const std::uint64_t size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  return FileSource(fd, size);
}

FileSource::FileSource(FileSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

FileSource& FileSource::operator=(FileSource&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
  }
  return *this;
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

KolvaResult<std::uint64_t> FileSource::size() {
  // Asked only when a range seems to reach past the known size, so a file that
  // grew while open is still read in full and ordinary reads cost no fstat.
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return KolvaError::IoError{OsError{errno}};
  if (S_ISDIR(st.st_mode)) return KolvaError::IoError{OsError{EISDIR}};
  size_ = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : UINT64_MAX;
  return size_;
}

KolvaResult<std::uint64_t> FileSource::read_at(std::uint64_t offset,
                                               std::span<std::uint8_t> dst) {
  std::uint64_t done = 0;
  // pread delivers at most 0x7ffff000 bytes per call on Linux, so a large range
  // takes several calls; a return of 0 is the end of the file.
  while (done < dst.size()) {
    const auto pos = offset + done;
    if (pos > static_cast<std::uint64_t>(INT64_MAX)) break;
    const ssize_t got = ::pread(fd_, dst.data() + done, dst.size() - done, static_cast<off_t>(pos));
    if (got < 0) {
      if (errno == EINTR) continue;
      return KolvaError::IoError{OsError{errno}};
    }
    if (got == 0) break;
    done += static_cast<std::uint64_t>(got);
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

KolvaResult<Buffer> Buffer::allocate(std::uint64_t length) {
  Buffer buffer;
  if (length > 0) {
    buffer.data_.reset(new (std::nothrow) std::uint8_t[length]);
    if (!buffer.data_) return KolvaError::UnableToAllocateLargeSize{};
  }
  buffer.size_ = length;
  return buffer;
}

}  // namespace kolva::std_io
