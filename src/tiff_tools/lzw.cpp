#include "tiff_tools/lzw.hpp"

#include <array>

namespace kolva::tiff_tools {
namespace {

constexpr std::uint32_t kClear = 256;
constexpr std::uint32_t kEnd = 257;
constexpr std::uint32_t kFirst = 258;
constexpr std::uint32_t kCodes = 4096;

// A table entry: the string of `prefix` then `last`, `length` bytes in all.
struct Entry {
  std::uint16_t prefix = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  std::uint16_t length = 0;
};

}  // namespace

bool lzw_decode(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) {
  std::array<Entry, kCodes> table;
  for (std::uint32_t c = 0; c < 256; ++c) {
    table[c] = Entry{0, static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c), 1};
  }
  std::uint32_t next = kFirst;
  std::uint32_t width = 9;
  std::uint32_t previous = kClear;  // none since the last clear
  std::size_t written = 0;
  std::uint64_t bits = 0;
  std::uint32_t held = 0;
  std::size_t at = 0;
  while (written < out.size()) {
    while (held < width) {
      if (at >= data.size()) return false;
      bits = (bits << 8) | data[at++];
      held += 8;
    }
    const auto code = static_cast<std::uint32_t>((bits >> (held - width)) & ((1U << width) - 1));
    held -= width;
    if (code == kClear) {
      next = kFirst;
      width = 9;
      previous = kClear;
      continue;
    }
    if (code == kEnd) return false;
    std::uint32_t emit = code;
    if (previous != kClear && next < kCodes) {
      if (code > next) return false;
      // A new entry: the previous string and the first byte of this one (of
      // the previous string itself when this code is the entry being made).
      const Entry& p = table[previous];
      const std::uint8_t tail = code == next ? p.first : table[code].first;
      table[next] = Entry{static_cast<std::uint16_t>(previous), p.first, tail,
                          static_cast<std::uint16_t>(p.length + 1)};
      ++next;
      if (next + 1 >= (1U << width) && width < 12) ++width;
    } else if (code >= next) {
      return false;
    }
    // The string, written from its end back, clipped to what `out` holds.
    const std::size_t length = table[emit].length;
    const std::size_t room = out.size() - written;
    std::size_t skip = length > room ? length - room : 0;
    std::size_t pos = written + length - skip;
    for (std::uint32_t c = emit;; c = table[c].prefix) {
      if (skip > 0) {
        --skip;
      } else {
        out[--pos] = table[c].last;
      }
      if (table[c].length == 1) break;
    }
    written += length - (length > room ? length - room : 0);
    previous = code;
  }
  return true;
}

}  // namespace kolva::tiff_tools
