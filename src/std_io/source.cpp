#include "std_io/source.hpp"

#include <algorithm>
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

KolvaResult<std::uint64_t> SharedFileSource::read_at(std::uint64_t offset,
                                                     std::span<std::uint8_t> dst) {
  return file_.read_at(offset, dst);
}

KolvaResult<std::uint64_t> SharedMemorySource::read_at(std::uint64_t offset,
                                                       std::span<std::uint8_t> dst) {
  if (dst.empty() || offset >= bytes_.size()) return std::uint64_t{0};
  const auto n = std::min<std::uint64_t>(dst.size(), bytes_.size() - offset);
  std::memcpy(dst.data(), bytes_.data() + offset, n);
  return n;
}

}  // namespace kolva::std_io
