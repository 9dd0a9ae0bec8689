#pragma once

// Fixed-width integer reads from byte spans. Callers check bounds first.

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace kolva {

enum class ByteOrder : std::uint8_t { Little, Big };

namespace detail {
// `value` with its bytes in the reverse order.
template <class T>
inline T swap_bytes(T value) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(value);
  if constexpr (sizeof(T) == 2) u = __builtin_bswap16(u);
  if constexpr (sizeof(T) == 4) u = __builtin_bswap32(u);
  if constexpr (sizeof(T) == 8) u = __builtin_bswap64(u);
  return static_cast<T>(u);
}
// The `sizeof(T)` bytes at `pos` as they lie in memory: one load.
template <class T>
inline T load(std::span<const std::uint8_t> bytes, std::size_t pos) {
  static_assert(std::is_integral_v<T>);
  T value;
  std::memcpy(&value, bytes.data() + pos, sizeof(T));
  return value;
}
}  // namespace detail

template <class T>
inline T read_le(std::span<const std::uint8_t> bytes, std::size_t pos) {
  const T value = detail::load<T>(bytes, pos);
  return std::endian::native == std::endian::little ? value : detail::swap_bytes(value);
}

template <class T>
inline T read_be(std::span<const std::uint8_t> bytes, std::size_t pos) {
  const T value = detail::load<T>(bytes, pos);
  return std::endian::native == std::endian::big ? value : detail::swap_bytes(value);
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
