#pragma once

// The in-memory form of a TIFF directory: field types, decoded entry values,
// entries and directories. Values are stored decoded, in host byte order.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kolva::tiff_tools {

// TIFF field types this reader knows. Code 13 (the classic IFD type) has no variant.
enum class DataType : std::uint8_t {
  BYTE,
  ASCII,
  SHORT,
  LONG,
  RATIONAL,
  SBYTE,
  UNDEFINED,
  SSHORT,
  SLONG,
  SRATIONAL,
  FLOAT,
  DOUBLE,
  LONG8,
  SLONG8,
  IFD8,
};

namespace detail {
// Index = type code - 1. Bit i of kValidCodes tells whether code i + 1 is known.
inline constexpr std::array<DataType, 18> kCodeTable = {
    DataType::BYTE,      DataType::ASCII,  DataType::SHORT,     DataType::LONG,
    DataType::RATIONAL,  DataType::SBYTE,  DataType::UNDEFINED, DataType::SSHORT,
    DataType::SLONG,     DataType::SRATIONAL, DataType::FLOAT,  DataType::DOUBLE,
    DataType::BYTE,      DataType::BYTE,   DataType::BYTE,      DataType::LONG8,
    DataType::SLONG8,    DataType::IFD8,
};
inline constexpr std::uint32_t kValidCodes = 0x38fff;
inline constexpr std::array<std::uint64_t, 15> kElementSize = {1, 1, 2, 4, 8, 1, 1, 2,
                                                               4, 8, 4, 8, 8, 8, 8};
}  // namespace detail

// Maps a TIFF type code to its DataType; nothing for 0, 13, 14, 15 and above 18.
// (Inline: every directory entry asks.)
inline std::optional<DataType> data_type_from_code(std::uint64_t code) {
  if (code == 0 || code > detail::kCodeTable.size()) return std::nullopt;
  const auto index = code - 1;
  if (((detail::kValidCodes >> index) & 1U) == 0) return std::nullopt;
  return detail::kCodeTable[index];
}
// Size in bytes of one value of the type in a file.
inline std::uint64_t element_size(DataType dt) {
  return detail::kElementSize[static_cast<std::size_t>(dt)];
}
// "byte", "ascii", ..., "long-8(u64)", "singned-long-8(i64)", "ifd offset 8bit".
std::string_view display_text(DataType dt);
// The variant name: "BYTE", "ASCII", ..., "IFD8".
std::string_view debug_text(DataType dt);

// One variant per single value and per array of each type; ASCII holds text
// whose characters are the stored bytes (one byte, one character).
namespace data {
template <class T, int Tag>
struct Scalar {
  T value;
  friend bool operator==(const Scalar&, const Scalar&) = default;
};
template <class T, int Tag>
struct Array {
  std::vector<T> values;
  friend bool operator==(const Array&, const Array&) = default;
};
struct Ascii {
  std::string text;  // raw bytes, each one character U+0000..U+00FF
  friend bool operator==(const Ascii&, const Ascii&) = default;
};
using U32Pair = std::pair<std::uint32_t, std::uint32_t>;
using I32Pair = std::pair<std::int32_t, std::int32_t>;
}  // namespace data

using BYTE = data::Scalar<std::uint8_t, 1>;
using BYTE_ARRAY = data::Array<std::uint8_t, 1>;
using ASCII = data::Ascii;
using SHORT = data::Scalar<std::uint16_t, 3>;
using SHORT_ARRAY = data::Array<std::uint16_t, 3>;
using LONG = data::Scalar<std::uint32_t, 4>;
using LONG_ARRAY = data::Array<std::uint32_t, 4>;
using RATIONAL = data::Scalar<data::U32Pair, 5>;
using RATIONAL_ARRAY = data::Array<data::U32Pair, 5>;
using SBYTE = data::Scalar<std::int8_t, 6>;
using SBYTE_ARRAY = data::Array<std::int8_t, 6>;
using UNDEFINED = data::Scalar<std::uint8_t, 7>;
using UNDEFINED_ARRAY = data::Array<std::uint8_t, 7>;
using SSHORT = data::Scalar<std::int16_t, 8>;
using SSHORT_ARRAY = data::Array<std::int16_t, 8>;
using SLONG = data::Scalar<std::int32_t, 9>;
using SLONG_ARRAY = data::Array<std::int32_t, 9>;
using SRATIONAL = data::Scalar<data::I32Pair, 10>;
using SRATIONAL_ARRAY = data::Array<data::I32Pair, 10>;
using FLOAT = data::Scalar<float, 11>;
using FLOAT_ARRAY = data::Array<float, 11>;
using DOUBLE = data::Scalar<double, 12>;
using DOUBLE_ARRAY = data::Array<double, 12>;
using LONG8 = data::Scalar<std::uint64_t, 16>;
using LONG8_ARRAY = data::Array<std::uint64_t, 16>;
using SLONG8 = data::Scalar<std::int64_t, 17>;
using SLONG8_ARRAY = data::Array<std::int64_t, 17>;
using IFD8 = data::Scalar<std::uint64_t, 18>;
using IFD8_ARRAY = data::Array<std::uint64_t, 18>;

// The decoded value of one directory entry.
class Data {
 public:
  using Variant =
      std::variant<BYTE, BYTE_ARRAY, ASCII, SHORT, SHORT_ARRAY, LONG, LONG_ARRAY, RATIONAL,
                   RATIONAL_ARRAY, SBYTE, SBYTE_ARRAY, UNDEFINED, UNDEFINED_ARRAY, SSHORT,
                   SSHORT_ARRAY, SLONG, SLONG_ARRAY, SRATIONAL, SRATIONAL_ARRAY, FLOAT,
                   FLOAT_ARRAY, DOUBLE, DOUBLE_ARRAY, LONG8, LONG8_ARRAY, SLONG8, SLONG8_ARRAY,
                   IFD8, IFD8_ARRAY>;

  template <class V>
    requires std::is_constructible_v<Variant, V>
  Data(V v) : v_(std::move(v)) {}  // NOLINT: implicit from any variant

  const Variant& variant() const { return v_; }
  template <class V>
  const V* get_if() const {
    return std::get_if<V>(&v_);
  }

  // The values of an unsigned integer entry (BYTE, UNDEFINED, SHORT, LONG,
  // LONG8, single or array) where they are held, each read widened to u64.
  struct UnsignedValues {
    const void* at = nullptr;
    std::size_t size = 0;
    std::uint8_t width = 8;  // bytes a value
    std::uint64_t operator[](std::size_t i) const {
      switch (width) {
        case 1: return static_cast<const std::uint8_t*>(at)[i];
        case 2: return static_cast<const std::uint16_t*>(at)[i];
        case 4: return static_cast<const std::uint32_t*>(at)[i];
        default: return static_cast<const std::uint64_t*>(at)[i];
      }
    }
  };
  // Nothing for every other variant; valid while the Data lives unchanged.
  std::optional<UnsignedValues> unsigned_values() const;
  // The same, copied.
  std::optional<std::vector<std::uint64_t>> to_u64vec() const;
  // The bytes of a BYTE_ARRAY or UNDEFINED_ARRAY; nothing otherwise (single
  // values included).
  std::optional<std::vector<std::uint8_t>> expect_u8vec() const;
  // Borrowing form of expect_u8vec, for callers that copy once themselves.
  const std::vector<std::uint8_t>* u8vec() const;
  // A single BYTE, UNDEFINED, SHORT, LONG or LONG8 widened to u64; nothing for
  // arrays and every other variant.
  std::optional<std::uint64_t> unsigned_scalar() const;
  // The text of an ASCII value.
  const std::string* ascii() const;

  friend bool operator==(const Data&, const Data&) = default;

 private:
  // The variant's tail padding is left for what follows a Data (Entry's tag).
  [[no_unique_address]] Variant v_;
};

// One directory entry as collected while a directory is read. The tag sits in
// the value's tail padding: 48 bytes an entry, so that a directory of twenty
// entries stays a small allocation.
struct Entry {
  [[no_unique_address]] Data data;
  std::uint16_t tag;
  std::uint64_t count;

  friend bool operator==(const Entry&, const Entry&) = default;
};
static_assert(sizeof(void*) != 8 || sizeof(Entry) == 48);

// A value the directory reader left in the file (a large tile or strip table,
// when it was asked to): where it lies and what it holds.
struct ValueInFile {
  std::uint64_t offset = 0;
  std::uint64_t byte_len = 0;
  std::uint64_t count = 0;
  std::uint16_t tag = 0;
  DataType data_type = DataType::BYTE;
  friend bool operator==(const ValueInFile&, const ValueInFile&) = default;
};

// One image file directory: tag -> value, its entries kept in tag order; a
// later entry with the same tag replaces an earlier one.
class Ifd {
 public:
  Ifd() = default;
  explicit Ifd(std::vector<Entry> entries);
  // With values left in the file (no tag of which is among the entries).
  Ifd(std::vector<Entry> entries, std::vector<ValueInFile> in_file);

  // The value of `tag`: an entry's, or a value left in the file once it was
  // filled in; null when there is neither.
  const Data* get(std::uint16_t tag) const;
  // The values the reader left in the file, in the order the directory lists them.
  const std::vector<ValueInFile>& in_file() const { return in_file_; }
  // The value of `tag` left in the file and not filled in yet; null otherwise.
  const ValueInFile* unread(std::uint16_t tag) const;
  // Fills in the value of in_file()[i] (get() finds it from then on). Only
  // the opening calls it, before the directories are shared with anything
  // that reads them: const because they are handed around as const from the
  // start. Values filled in earlier stay where they are.
  void fill_in(std::size_t i, Data value) const;
  // The value of `tag` when it is a single unsigned integer (Data::unsigned_scalar).
  std::optional<std::uint64_t> scalar(std::uint16_t tag) const;
  std::size_t size() const { return entries_.size(); }
  // The entries, in ascending tag order, one per tag (an inserted value's
  // count is 0: only a directory read from a file has counts).
  const std::vector<Entry>& entries() const { return entries_; }
  void insert(std::uint16_t tag, Data data);

 private:
  std::vector<Entry> entries_;
  std::vector<ValueInFile> in_file_;
  // One per in_file_ value once any is filled in; never resized after that.
  mutable std::vector<std::optional<Data>> filled_;
};

}  // namespace kolva::tiff_tools
