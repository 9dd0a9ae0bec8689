#include "std_io/callback.hpp"

#include <algorithm>

namespace kolva::std_io {

KolvaResult<std::uint64_t> CallbackSource::read_at(std::uint64_t offset,
                                                   std::span<std::uint8_t> dst) {
  if (dst.empty() || offset >= size_) return std::uint64_t{0};
  const std::uint64_t n = std::min<std::uint64_t>(dst.size(), size_ - offset);
  const FetchRange range{offset, n};
  const std::span<std::uint8_t> target = dst.first(static_cast<std::size_t>(n));
  KOLVA_TRY(const Unit done, fetch_({&range, 1}, {&target, 1}));
  (void)done;
  return n;
}

KolvaResult<Unit> CallbackSource::read_many(std::span<const FetchRange> ranges,
                                            std::span<const std::span<std::uint8_t>> dst) {
  if (ranges.size() != dst.size()) return KolvaError::UnexpectedStep{};
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const FetchRange& r = ranges[i];
    if (r.offset > size_ || r.length > size_ - r.offset || dst[i].size() != r.length) {
      return KolvaError::UnexpectedStep{};
    }
  }
  if (ranges.empty()) return Unit{};
  return fetch_(ranges, dst);
}

}  // namespace kolva::std_io
