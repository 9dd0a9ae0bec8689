#pragma once

// The one error type of the library (KolvaError) and the format-level error
// (DecodeError) that the directory readers and format decoders build.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "base/result.hpp"
#include "tiff_tools/error/error.hpp"

namespace kolva {

// An operating-system error as the byte source saw it.
struct OsError {
  int code = 0;  // errno
  // "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"
  std::string debug() const;
  std::string_view kind() const;
};

class KolvaError {
 public:
  struct Decoding {
    std::string text;
  };
  struct IoError {
    OsError error;
  };
  struct LevelNotFound {
    std::uint64_t selected;
    std::uint64_t num_level;
  };
  struct TileNotFound {
    std::uint64_t x;
    std::uint64_t y;
    std::uint64_t z;
  };
  struct UnexpectedStep {};
  struct UnableToAllocateLargeSize {};
  struct UnknownFormat {
    const char* text;
  };
  struct JsError {
    std::string text;
  };
  struct Jpeg2000DecodingError {
    std::string text;
  };
  struct ImageError {
    std::string text;
  };
  // A broken invariant of the calling code (a combinator asked to receive in a
  // state that never asks for it). File contents cannot cause it; the binding
  // reports it as an internal failure carrying just the message.
  struct Panic {
    const char* message;
  };
  using Variant = std::variant<Decoding, IoError, LevelNotFound, TileNotFound, UnexpectedStep,
                               UnableToAllocateLargeSize, UnknownFormat, JsError,
                               Jpeg2000DecodingError, ImageError, Panic>;

  template <class V>
    requires std::is_constructible_v<Variant, V>
  KolvaError(V v) : v_(std::move(v)) {}  // NOLINT: implicit from any variant

  const Variant& variant() const { return v_; }
  template <class V>
  const V* get_if() const {
    return std::get_if<V>(&v_);
  }
  template <class V>
  bool is() const {
    return std::holds_alternative<V>(v_);
  }

  std::string display() const;
  std::string debug() const;

 private:
  Variant v_;
};

// The format-level error; converts into KolvaError::Decoding holding its display text.
class DecodeError {
 public:
  struct Tiff {
    tiff_tools::TiffError error;
  };
  struct Ndpi {
    const char* msg;
  };
  struct ReadTile {
    const char* msg;
  };
  struct Olympus {
    const char* msg;
  };
  using Variant = std::variant<Tiff, Ndpi, ReadTile, Olympus>;

  template <class V>
    requires std::is_constructible_v<Variant, V>
  DecodeError(V v) : v_(std::move(v)) {}  // NOLINT: implicit from any variant

  std::string display() const;
  operator KolvaError() const { return KolvaError::Decoding{display()}; }  // NOLINT

 private:
  Variant v_;
};

// Rust-style debug quoting: the text in double quotes with \" \\ \t \r \n \0
// escaped and other non-printable characters as \u{hex}. Bytes of `text` are
// UTF-8.
std::string debug_quote(std::string_view text);

template <class T>
using KolvaResult = Result<T, KolvaError>;

}  // namespace kolva
