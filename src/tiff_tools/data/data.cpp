#include "tiff_tools/data/data.hpp"

#include <algorithm>
#include <array>

namespace kolva::tiff_tools {
namespace {

constexpr std::array<std::string_view, 15> kDisplay = {
    "byte",   "ascii",        "short",           "long",   "rational",
    "signed byte", "undefined", "signed short", "signed long", "signed rational",
    "float",  "double",       "long-8(u64)",     "singned-long-8(i64)", "ifd offset 8bit",
};

constexpr std::array<std::string_view, 15> kDebug = {
    "BYTE",   "ASCII",  "SHORT",     "LONG",   "RATIONAL", "SBYTE", "UNDEFINED", "SSHORT",
    "SLONG",  "SRATIONAL", "FLOAT",  "DOUBLE", "LONG8",    "SLONG8", "IFD8",
};

template <class>
inline constexpr bool kIsUnsignedScalar = false;
template <>
inline constexpr bool kIsUnsignedScalar<BYTE> = true;
template <>
inline constexpr bool kIsUnsignedScalar<UNDEFINED> = true;
template <>
inline constexpr bool kIsUnsignedScalar<SHORT> = true;
template <>
inline constexpr bool kIsUnsignedScalar<LONG> = true;
template <>
inline constexpr bool kIsUnsignedScalar<LONG8> = true;

template <class>
inline constexpr bool kIsUnsignedArray = false;
template <>
inline constexpr bool kIsUnsignedArray<BYTE_ARRAY> = true;
template <>
inline constexpr bool kIsUnsignedArray<UNDEFINED_ARRAY> = true;
template <>
inline constexpr bool kIsUnsignedArray<SHORT_ARRAY> = true;
template <>
inline constexpr bool kIsUnsignedArray<LONG_ARRAY> = true;
template <>
inline constexpr bool kIsUnsignedArray<LONG8_ARRAY> = true;

}  // namespace

std::string_view display_text(DataType dt) { return kDisplay[static_cast<std::size_t>(dt)]; }
std::string_view debug_text(DataType dt) { return kDebug[static_cast<std::size_t>(dt)]; }

std::optional<Data::UnsignedValues> Data::unsigned_values() const {
  return std::visit(
      [](const auto& v) -> std::optional<UnsignedValues> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (kIsUnsignedScalar<V>) {
          return UnsignedValues{&v.value, 1, sizeof(v.value)};
        } else if constexpr (kIsUnsignedArray<V>) {
          return UnsignedValues{v.values.data(), v.values.size(), sizeof(v.values[0])};
        } else {
          return std::nullopt;
        }
      },
      v_);
}

std::optional<std::vector<std::uint64_t>> Data::to_u64vec() const {
  const auto values = unsigned_values();
  if (!values) return std::nullopt;
  std::vector<std::uint64_t> out(values->size);
  for (std::size_t i = 0; i < values->size; ++i) out[i] = (*values)[i];
  return out;
}

const std::vector<std::uint8_t>* Data::u8vec() const {
  if (const auto* b = std::get_if<BYTE_ARRAY>(&v_)) return &b->values;
  if (const auto* u = std::get_if<UNDEFINED_ARRAY>(&v_)) return &u->values;
  return nullptr;
}

std::optional<std::vector<std::uint8_t>> Data::expect_u8vec() const {
  if (const auto* bytes = u8vec()) return *bytes;
  return std::nullopt;
}

std::optional<std::uint64_t> Data::unsigned_scalar() const {
  return std::visit(
      [](const auto& v) -> std::optional<std::uint64_t> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (kIsUnsignedScalar<V>) {
          return static_cast<std::uint64_t>(v.value);
        } else {
          return std::nullopt;
        }
      },
      v_);
}

const std::string* Data::ascii() const {
  if (const auto* a = std::get_if<ASCII>(&v_)) return &a->text;
  return nullptr;
}

Ifd::Ifd(std::vector<Entry> entries) : entries_(std::move(entries)) {
  // A directory's tags are written in ascending order, and most are read so.
  const auto first = entries_.begin();
  const auto last = entries_.end();
  if (std::adjacent_find(first, last, [](const Entry& a, const Entry& b) {
        return a.tag >= b.tag;
      }) == last) {
    return;
  }
  // Stable: of entries with one tag, the one read last stays last, and wins.
  std::stable_sort(first, last, [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  auto out = first;
  for (auto it = first; it != last; ++it) {
    if (it + 1 != last && (it + 1)->tag == it->tag) continue;
    if (out != it) *out = std::move(*it);
    ++out;
  }
  entries_.erase(out, last);
}

void Ifd::insert(std::uint16_t tag, Data data) {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), tag,
                                   [](const Entry& e, std::uint16_t t) { return e.tag < t; });
  if (it != entries_.end() && it->tag == tag) {
    it->data = std::move(data);
    return;
  }
  entries_.insert(it, Entry{std::move(data), tag, 0});
}

Ifd::Ifd(std::vector<Entry> entries, std::vector<ValueInFile> in_file)
    : Ifd(std::move(entries)) {
  in_file_ = std::move(in_file);
}

const Data* Ifd::get(std::uint16_t tag) const {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), tag,
                                   [](const Entry& e, std::uint16_t t) { return e.tag < t; });
  if (it != entries_.end() && it->tag == tag) return &it->data;
  for (std::size_t i = 0; i < filled_.size(); ++i) {
    if (in_file_[i].tag == tag && filled_[i]) return &*filled_[i];
  }
  return nullptr;
}

const ValueInFile* Ifd::unread(std::uint16_t tag) const {
  for (std::size_t i = 0; i < in_file_.size(); ++i) {
    if (in_file_[i].tag == tag && (i >= filled_.size() || !filled_[i])) return &in_file_[i];
  }
  return nullptr;
}

void Ifd::fill_in(std::size_t i, Data value) const {
  if (i >= in_file_.size()) return;
  if (filled_.empty()) filled_.resize(in_file_.size());
  if (!filled_[i]) filled_[i].emplace(std::move(value));
}

std::optional<std::uint64_t> Ifd::scalar(std::uint16_t tag) const {
  const Data* data = get(tag);
  return data ? data->unsigned_scalar() : std::nullopt;
}

}  // namespace kolva::tiff_tools
