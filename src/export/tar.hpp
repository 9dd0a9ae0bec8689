#pragma once

// POSIX ustar records: the 512-byte header of a regular file, and the padding
// that follows its data. Pure formatting; the shard writer puts them together.

#include <cstdint>
#include <string_view>

namespace kolva::shard {

inline constexpr std::uint64_t kTarBlock = 512;
// Longest member name the header's name field holds (no prefix field used).
inline constexpr std::size_t kTarNameMax = 100;
// Largest member the header's 11 octal digits of size can describe.
inline constexpr std::uint64_t kTarSizeMax = 077777777777ULL;

// `size` rounded up to whole blocks.
inline constexpr std::uint64_t tar_padded(std::uint64_t size) {
  return (size + (kTarBlock - 1)) & ~(kTarBlock - 1);
}

// Writes the header of a regular file `name` of `size` bytes into out[0, 512):
// mode 0644, owner 0:0, modification time 0, so that the same members always
// give the same bytes. False (out untouched) when the name is empty, holds a
// NUL or is longer than kTarNameMax, or the size exceeds kTarSizeMax.
bool write_tar_header(std::string_view name, std::uint64_t size, std::uint8_t* out);

}  // namespace kolva::shard
