#include "std_io/source.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <cerrno>
#include <cstring>

#include "base/platform.hpp"

namespace kolva::std_io {

KolvaResult<Unit> RangeSource::read_many(std::span<const ByteRange> ranges,
                                         std::span<const std::span<std::uint8_t>> dst) {
  if (ranges.size() != dst.size()) return KolvaError::UnexpectedStep{};
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (dst[i].size() != ranges[i].length) return KolvaError::UnexpectedStep{};
    if (ranges[i].length == 0) continue;
    KOLVA_TRY(const std::uint64_t got, read_at(ranges[i].offset, dst[i]));
    if (got < ranges[i].length) return KolvaError::UnexpectedStep{};
  }
  return Unit{};
}

KolvaResult<Unit> RangeSource::read_scattered(std::uint64_t offset,
                                              std::span<const std::span<std::uint8_t>> pieces) {
  std::uint64_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  if (total == 0) return Unit{};
  KOLVA_TRY(Buffer buffer, Buffer::allocate(total));
  const ByteRange range{offset, total};
  const std::span<std::uint8_t> all(buffer.data(), static_cast<std::size_t>(total));
  if (auto got = read_many({&range, 1}, {&all, 1}); !got.ok()) return std::move(got).error();
  std::size_t at = 0;
  for (const auto& piece : pieces) {
    std::memcpy(piece.data(), all.data() + at, piece.size());
    at += piece.size();
  }
  return Unit{};
}

KolvaResult<Unit> SharedFileSource::read_scattered(std::uint64_t offset,
                                                   std::span<const std::span<std::uint8_t>> pieces) {
  std::uint64_t want = 0;
  for (const auto& piece : pieces) want += piece.size();
  KOLVA_TRY(const std::uint64_t got, file_.read_scattered(offset, pieces));
  if (got < want) return KolvaError::UnexpectedStep{};
  return Unit{};
}

Result<std::shared_ptr<SharedFileSource>, OsError> SharedFileSource::open(const std::string& path) {
  auto file = FileSource::open(path);
  if (!file.ok()) return file.error();
  return std::shared_ptr<SharedFileSource>(new SharedFileSource(std::move(file).value(), path));
}

KolvaResult<std::uint64_t> SharedFileSource::size() {
  // Asked only when a range seems to reach past the known size (a file that
  // grew, or a hostile offset); fstat keeps no state of ours, so concurrent
  // callers are safe.
  platform::FileStatus st;
  if (const int code = platform::status(file_.fd(), st); code != 0) {
    return KolvaError::IoError{OsError{code}};
  }
  if (st.directory) return KolvaError::IoError{OsError{EISDIR}};
  const std::uint64_t size = st.regular ? st.size : UINT64_MAX;
  size_.store(size, std::memory_order_relaxed);
  return size;
}

namespace {

// The read-ahead windows of an opening on this thread (OpeningReads). Their
// buffers stay with the thread (32 KiB), so an opening neither allocates nor
// clears them again. A window starts at the 4 KiB boundary below the read that
// fills it, so every small read fits the window it fills; larger ones (a
// directory's values read together) go straight to the file.
struct Windows {
  static constexpr std::size_t kCount = 4;
  static constexpr std::uint64_t kSize = 8 << 10;     // bytes one window reads
  static constexpr std::uint64_t kSmall = 4 << 10;    // reads no larger go through a window
  struct Window {
    const void* file = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // less than kSize at the end of the file
    std::unique_ptr<std::uint8_t[]> bytes;
  };
  unsigned depth = 0;
  std::size_t next = 0;  // the window the next miss replaces
  std::array<Window, kCount> windows;
};

thread_local Windows opening;

}  // namespace

OpeningReads::OpeningReads() { ++opening.depth; }

OpeningReads::~OpeningReads() {
  if (--opening.depth > 0) return;
  // A later file may sit at a freed one's address: no window names a file.
  for (auto& w : opening.windows) w.file = nullptr;
}

KolvaResult<std::uint64_t> SharedFileSource::read_at(std::uint64_t offset,
                                                     std::span<std::uint8_t> dst) {
  if (opening.depth == 0 || dst.empty() || dst.size() > Windows::kSmall) return file_.read_at(offset, dst);
  auto inside = [&](const Windows::Window& w) {
    return w.file == this && offset >= w.offset && offset - w.offset <= w.length &&
           w.length - (offset - w.offset) >= dst.size();
  };
  for (const auto& w : opening.windows) {
    if (inside(w)) {
      std::memcpy(dst.data(), w.bytes.get() + (offset - w.offset), dst.size());
      return static_cast<std::uint64_t>(dst.size());
    }
  }
  // A window from a little before the read (values often sit just before the
  // entries that point at them), aligned to 4 KiB.
  Windows::Window& w = opening.windows[opening.next];
  opening.next = (opening.next + 1) % Windows::kCount;
  w.file = nullptr;
  w.offset = offset & ~std::uint64_t{4095};
  if (!w.bytes) w.bytes.reset(new std::uint8_t[Windows::kSize]);
  // To 2 KiB past the read, in whole pages: a directory and the values
  // written after it, without copying a window's worth more than that.
  std::uint64_t reach = std::min(
      (offset - w.offset + dst.size() + 2048 + 4095) & ~std::uint64_t{4095}, Windows::kSize);
  // Not past the end of the file as it was opened (a read there would ask
  // for nothing, once more).
  if (const std::uint64_t size = known_size(); size > w.offset) reach = std::min(reach, size - w.offset);
  auto got = file_.read_at(w.offset, std::span(w.bytes.get(), reach));
  if (!got.ok()) return file_.read_at(offset, dst);
  w.length = *got;
  w.file = this;
  // Past the end of the file: as short as a direct read would be.
  if (!inside(w)) return file_.read_at(offset, dst);
  std::memcpy(dst.data(), w.bytes.get() + (offset - w.offset), dst.size());
  return static_cast<std::uint64_t>(dst.size());
}

KolvaResult<std::uint64_t> SharedMemorySource::read_at(std::uint64_t offset,
                                                       std::span<std::uint8_t> dst) {
  if (dst.empty() || offset >= bytes_.size()) return std::uint64_t{0};
  const auto n = std::min<std::uint64_t>(dst.size(), bytes_.size() - offset);
  std::memcpy(dst.data(), bytes_.data() + offset, n);
  return n;
}

}  // namespace kolva::std_io
