#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace kolva {

// The empty value of a Result that carries no output.
struct Unit {
  friend bool operator==(Unit, Unit) = default;
};

// A value or an error, shaped like std::expected. Errors in this library are
// values: nothing under src/ throws.
template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "a Result needs distinct value and error types");

 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}   // NOLINT: implicit by design

  // Anything that converts to exactly one of T and E (an error variant, say).
  template <class U>
    requires(!std::is_same_v<std::decay_t<U>, Result> && !std::is_same_v<std::decay_t<U>, T> &&
             !std::is_same_v<std::decay_t<U>, E> && std::is_convertible_v<U, E> &&
             !std::is_convertible_v<U, T>)
  Result(U&& u) : v_(std::in_place_index<1>, E(std::forward<U>(u))) {}  // NOLINT
  template <class U>
    requires(!std::is_same_v<std::decay_t<U>, Result> && !std::is_same_v<std::decay_t<U>, T> &&
             !std::is_same_v<std::decay_t<U>, E> && std::is_convertible_v<U, T> &&
             !std::is_convertible_v<U, E>)
  Result(U&& u) : v_(std::in_place_index<0>, T(std::forward<U>(u))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  T* operator->() { return std::get_if<0>(&v_); }
  const T* operator->() const { return std::get_if<0>(&v_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

#define KOLVA_CONCAT_INNER(a, b) a##b
#define KOLVA_CONCAT(a, b) KOLVA_CONCAT_INNER(a, b)

// Evaluates `expr` (a Result); on error returns the error from the enclosing
// function, otherwise binds the value to `decl`.
#define KOLVA_TRY(decl, expr)                                         \
  auto KOLVA_CONCAT(kolva_try_, __LINE__) = (expr);                   \
  if (!KOLVA_CONCAT(kolva_try_, __LINE__).ok())                       \
    return std::move(KOLVA_CONCAT(kolva_try_, __LINE__)).error();     \
  decl = std::move(KOLVA_CONCAT(kolva_try_, __LINE__)).value()

}  // namespace kolva
