#include "std_io/sink.hpp"

#include <cerrno>

#include "base/platform.hpp"

namespace kolva::std_io {

Result<std::unique_ptr<FileSink>, OsError> FileSink::create(const std::string& path, bool sync,
                                                           std::uint64_t offset) {
  platform::File fd = platform::kNoFile;
  if (const int code = platform::open_for_writing(path, offset == 0, fd); code != 0) {
    return OsError{code};
  }
  if (offset != 0) {
    if (const int code = platform::resize_and_seek(fd, offset); code != 0) {
      platform::close(fd);
      return OsError{code};
    }
  }
  return std::unique_ptr<FileSink>(new FileSink(fd, sync));
}

FileSink::~FileSink() {
  if (fd_ >= 0) platform::close(fd_);
}

KolvaResult<Unit> FileSink::write(ByteSpan bytes) {
  if (fd_ < 0) return KolvaError::IoError{OsError{EBADF}};
  if (const int code = platform::write_all(fd_, bytes.data(), bytes.size()); code != 0) {
    return KolvaError::IoError{OsError{code}};
  }
  return Unit{};
}

KolvaResult<Unit> FileSink::finish() {
  if (fd_ < 0) return KolvaError::IoError{OsError{EBADF}};
  const int fd = fd_;
  fd_ = -1;
  if (sync_) {
    if (const int code = platform::sync(fd); code != 0) {
      platform::close(fd);
      return KolvaError::IoError{OsError{code}};
    }
  }
  // A failed close may be the report of a failed delayed write (NFS, quota).
  if (const int code = platform::close(fd); code != 0) return KolvaError::IoError{OsError{code}};
  return Unit{};
}

}  // namespace kolva::std_io
