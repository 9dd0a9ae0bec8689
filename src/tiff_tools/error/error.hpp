#pragma once

// Errors of the TIFF directory readers.

#include <cstdint>
#include <string>
#include <variant>

#include "tiff_tools/data/data.hpp"

namespace kolva::tiff_tools {

class TiffError {
 public:
  struct DecodeDataError {
    DataType dt;
    std::uint64_t count;
    const char* msg;
  };
  struct DecodeCountError {
    const char* msg;
  };
  struct DecodeEntryError {
    const char* msg;
  };
  struct UnsupportedDataType {
    DataType dt;
    const char* msg;
  };
  struct InvalidDecodingProcess {
    const char* msg;
  };
  struct ParseHeaderError {
    const char* msg;
  };
  struct ParseIfdError {
    const char* msg;
  };
  using Variant = std::variant<DecodeDataError, DecodeCountError, DecodeEntryError,
                               UnsupportedDataType, InvalidDecodingProcess, ParseHeaderError,
                               ParseIfdError>;

  template <class V>
    requires std::is_constructible_v<Variant, V>
  TiffError(V v) : v_(v) {}  // NOLINT: implicit from any variant

  const Variant& variant() const { return v_; }
  std::string display() const;
  // The derived debug form, e.g. DecodeEntryError { msg: "Cannot parse entry data-type" }.
  std::string debug() const;

 private:
  Variant v_;
};

}  // namespace kolva::tiff_tools
