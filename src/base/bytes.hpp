#pragma once

// Fixed-width integer reads from byte spans. Callers check bounds first.

#include <cstdint>
#include <cstring>
#include <span>

namespace kolva {

enum class ByteOrder : std::uint8_t { Little, Big };

template <class T>
inline T read_le(std::span<const std::uint8_t> bytes, std::size_t pos) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(bytes[pos + i]) << (8 * i));
  }
  return value;
}

template <class T>
inline T read_be(std::span<const std::uint8_t> bytes, std::size_t pos) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>((value << 8) | bytes[pos + i]);
  }
  return value;
}

template <class T>
inline T read_uint(std::span<const std::uint8_t> bytes, std::size_t pos, ByteOrder order) {
  return order == ByteOrder::Little ? read_le<T>(bytes, pos) : read_be<T>(bytes, pos);
}

// a * b, or false when it overflows 64 bits.
inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}
inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  return !__builtin_add_overflow(a, b, &out);
}

}  // namespace kolva
