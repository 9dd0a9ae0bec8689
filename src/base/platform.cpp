#include "base/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/syscall.h>
#include <sys/uio.h>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kolva::platform {
namespace {

// macOS refuses reads and writes of INT_MAX bytes or more, Linux delivers at
// most 0x7ffff000 per call, Windows counts in 32 bits: one call moves at most
// 1 GiB and callers loop.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

}  // namespace

#ifdef _WIN32

namespace {

int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
      return EINVAL;
    default:
      return EIO;
  }
}

// Paths arrive as UTF-8; Windows opens them by their UTF-16 names.
int wide_path(const std::string& path, std::wstring& out) {
  if (path.empty()) return ENOENT;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                    static_cast<int>(path.size()), nullptr, 0);
  if (n <= 0) return EINVAL;
  out.assign(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                      out.data(), n);
  return 0;
}

int open_wide(const std::string& path, int flags, File& file) {
  std::wstring name;
  if (const int error = wide_path(path, name); error != 0) return error;
  file = ::_wopen(name.c_str(), flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  return file < 0 ? errno : 0;
}

}  // namespace

int open_for_reading(const std::string& path, File& file) {
  return open_wide(path, _O_RDONLY, file);
}

int open_for_writing(const std::string& path, bool truncate, File& file) {
  return open_wide(path, _O_WRONLY | _O_CREAT | (truncate ? _O_TRUNC : 0), file);
}

int status(File file, FileStatus& out) {
  struct _stat64 st {};
  if (::_fstat64(file, &st) != 0) return errno;
  out.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
  out.directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
  out.size = out.regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  return 0;
}

int read_at(File file, std::uint64_t offset, std::uint8_t* dst, std::size_t length,
            std::size_t& got) {
  got = 0;
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file));
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  // A read with an OVERLAPPED offset on a synchronous handle is positional:
  // threads sharing the file never race on its position.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  const auto want = static_cast<DWORD>(std::min(length, kLargestTransfer));
  if (!ReadFile(handle, dst, want, &n, &at)) {
    const DWORD code = GetLastError();
    if (code == ERROR_HANDLE_EOF) return 0;
    return errno_of(code);
  }
  got = n;
  return 0;
}

int write_all(File file, const std::uint8_t* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const auto chunk = static_cast<unsigned>(std::min(length - done, kLargestTransfer));
    const int put = ::_write(file, bytes + done, chunk);
    if (put < 0) return errno;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

int resize_and_seek(File file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return EFBIG;
  const auto at = static_cast<__int64>(offset);
  if (const errno_t error = ::_chsize_s(file, at); error != 0) return error;
  return ::_lseeki64(file, at, SEEK_SET) == at ? 0 : errno;
}

int sync(File file) { return ::_commit(file) == 0 ? 0 : errno; }

int close(File file) { return ::_close(file) == 0 ? 0 : errno; }

long process_id() { return static_cast<long>(::_getpid()); }

#else

int open_for_reading(const std::string& path, File& file) {
  do {
    file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (file < 0 && errno == EINTR);
  return file < 0 ? errno : 0;
}

int open_for_writing(const std::string& path, bool truncate, File& file) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  do {
    file = ::open(path.c_str(), flags, 0644);
  } while (file < 0 && errno == EINTR);
  return file < 0 ? errno : 0;
}

int status(File file, FileStatus& out) {
  struct stat st {};
  if (::fstat(file, &st) != 0) return errno;
  out.regular = S_ISREG(st.st_mode);
  out.directory = S_ISDIR(st.st_mode);
  out.size = out.regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  return 0;
}

namespace {

// glibc's pread is a thread cancellation point: in a process with a second
// thread (any Python process that has loaded NumPy) it switches cancellation
// on and off around every call, two atomic operations that cost a small
// tile's read a tenth of its time. kolva cancels no thread, so on the 64-bit
// Linux targets the call goes to the kernel directly.
ssize_t positional_read(int file, std::uint8_t* dst, std::size_t length, off_t at) {
#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
  return static_cast<ssize_t>(::syscall(SYS_pread64, file, dst, length, at));
#else
  return ::pread(file, dst, length, at);
#endif
}

}  // namespace

int read_at(File file, std::uint64_t offset, std::uint8_t* dst, std::size_t length,
            std::size_t& got) {
  got = 0;
  const auto at = static_cast<off_t>(offset);
  if (at < 0 || static_cast<std::uint64_t>(at) != offset) return EINVAL;
  while (true) {
    const ssize_t n = positional_read(file, dst, std::min(length, kLargestTransfer), at);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int write_all(File file, const std::uint8_t* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t put = ::write(file, bytes + done, std::min(length - done, kLargestTransfer));
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

int resize_and_seek(File file, std::uint64_t offset) {
  const auto at = static_cast<off_t>(offset);
  if (at < 0 || static_cast<std::uint64_t>(at) != offset) return EFBIG;
  if (::ftruncate(file, at) != 0) return errno;
  return ::lseek(file, at, SEEK_SET) == at ? 0 : errno;
}

int sync(File file) { return ::fsync(file) == 0 ? 0 : errno; }

int close(File file) {
  // After EINTR the descriptor is gone on Linux and macOS alike: nothing to retry.
  if (::close(file) == 0 || errno == EINTR) return 0;
  return errno;
}

long process_id() { return static_cast<long>(::getpid()); }

#endif

int read_scattered_at(File file, std::uint64_t offset, const Piece* pieces, std::size_t count,
                      std::size_t& got) {
  got = 0;
  std::size_t first = 0, skip = 0;  // the piece the next read starts in, and its bytes done
#ifdef __linux__
  constexpr std::size_t kMaxPieces = 1024;  // IOV_MAX
  struct iovec vec[kMaxPieces];
  while (first < count) {
    std::size_t n = 0, want = 0;
    for (std::size_t i = first; i < count && n < kMaxPieces && want < kLargestTransfer; ++i, ++n) {
      const std::size_t from = i == first ? skip : 0;
      vec[n].iov_base = pieces[i].data + from;
      vec[n].iov_len = std::min(pieces[i].length - from, kLargestTransfer - want);
      want += vec[n].iov_len;
    }
    const auto at = static_cast<off_t>(offset + got);
    if (at < 0 || static_cast<std::uint64_t>(at) != offset + got) return EINVAL;
    const ssize_t read = ::preadv(file, vec, static_cast<int>(n), at);
    if (read < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (read == 0) return 0;
    auto done = static_cast<std::size_t>(read);
    got += done;
    while (first < count && done >= pieces[first].length - skip) {
      done -= pieces[first].length - skip;
      skip = 0;
      ++first;
    }
    skip += done;
  }
#else
  for (; first < count; ++first) {
    std::size_t done = 0;
    while (done < pieces[first].length) {
      std::size_t n = 0;
      if (const int code = read_at(file, offset + got, pieces[first].data + done, pieces[first].length - done, n);
          code != 0) {
        return code;
      }
      if (n == 0) return 0;
      done += n;
      got += n;
    }
  }
  (void)skip;
#endif
  return 0;
}

bool keep_freed_heap(int trim_threshold, int mmap_threshold) {
#ifdef __GLIBC__
  return mallopt(M_TRIM_THRESHOLD, trim_threshold) == 1 &&
         mallopt(M_MMAP_THRESHOLD, mmap_threshold) == 1;
#else
  (void)trim_threshold;
  (void)mmap_threshold;
  return false;
#endif
}

std::size_t last_level_cache_bytes() {
#ifdef __linux__
  // What the kernel says of the first CPU's caches, as lscpu reads it: the C
  // library's figure comes from CPUID, which on AMD and under hypervisors can
  // count every core complex's L3 (ten times what one core can use).
  std::size_t largest = 0;
  for (int index = 0; index < 8; ++index) {
    const std::string path =
        "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/size";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::size_t bytes = 0;
    ssize_t i = 0;
    for (; i < got && text[i] >= '0' && text[i] <= '9' && bytes < (std::size_t{1} << 40); ++i) {
      bytes = bytes * 10 + static_cast<std::size_t>(text[i] - '0');
    }
    if (i < got && text[i] == 'K') bytes <<= 10;
    if (i < got && text[i] == 'M') bytes <<= 20;
    largest = std::max(largest, bytes);
  }
  if (largest != 0) return largest;
#endif
#if defined(__GLIBC__) && defined(_SC_LEVEL3_CACHE_SIZE)
  for (const int name : {_SC_LEVEL3_CACHE_SIZE, _SC_LEVEL2_CACHE_SIZE}) {
    const long bytes = sysconf(name);
    if (bytes > 0) return static_cast<std::size_t>(bytes);
  }
#endif
  return 0;
}

void stream_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t length) {
#ifdef __SSE2__
  // An ordinary copy up to the first 16-byte boundary of the destination, then
  // 64 bytes (a cache line's worth) of streaming stores at a time.
  const std::size_t head =
      std::min<std::size_t>(length, (16 - (reinterpret_cast<std::uintptr_t>(dst) & 15)) & 15);
  std::memcpy(dst, src, head);
  dst += head;
  src += head;
  length -= head;
  for (; length >= 64; length -= 64, dst += 64, src += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 48), d);
  }
#endif
  if (length != 0) std::memcpy(dst, src, length);
}

void stream_fence() {
#ifdef __SSE2__
  _mm_sfence();
#endif
}

}  // namespace kolva::platform
