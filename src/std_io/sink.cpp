#include "std_io/sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kolva::std_io {

Result<std::unique_ptr<FileSink>, OsError> FileSink::create(const std::string& path, bool sync,
                                                           std::uint64_t offset) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (offset == 0 ? O_TRUNC : 0);
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OsError{errno};
  if (offset != 0) {
    const auto at = static_cast<off_t>(offset);
    if (static_cast<std::uint64_t>(at) != offset || ::ftruncate(fd, at) != 0 ||
        ::lseek(fd, at, SEEK_SET) != at) {
      const int code = static_cast<std::uint64_t>(at) != offset ? EFBIG : errno;
      ::close(fd);
      return OsError{code};
    }
  }
  return std::unique_ptr<FileSink>(new FileSink(fd, sync));
}

FileSink::~FileSink() {
  if (fd_ >= 0) ::close(fd_);
}

KolvaResult<Unit> FileSink::write(ByteSpan bytes) {
  if (fd_ < 0) return KolvaError::IoError{OsError{EBADF}};
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return KolvaError::IoError{OsError{errno}};
    }
    done += static_cast<std::size_t>(put);
  }
  return Unit{};
}

KolvaResult<Unit> FileSink::finish() {
  if (fd_ < 0) return KolvaError::IoError{OsError{EBADF}};
  const int fd = fd_;
  fd_ = -1;
  if (sync_ && ::fsync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return KolvaError::IoError{OsError{code}};
  }
  // A failed close may be the report of a failed delayed write (NFS, quota).
  if (::close(fd) != 0 && errno != EINTR) return KolvaError::IoError{OsError{errno}};
  return Unit{};
}

}  // namespace kolva::std_io
