#include "tiff_tools/decode/decode.hpp"

#include <algorithm>
#include <bit>
#include <compare>
#include <iterator>
#include <cstring>
#include <string>

namespace kolva::tiff_tools {
namespace {

using ByteOrderedRead = std::uint64_t (*)(ByteSpan, std::size_t);

TiffError size_error(DataType dt, std::uint64_t count) {
  return TiffError::DecodeDataError{dt, count, ""};
}

TiffError overflow() { return TiffError::InvalidDecodingProcess{"Buffer length overflow"}; }
TiffError short_buffer() { return TiffError::InvalidDecodingProcess{"Buf size not enough"}; }

// The entry types of SubIFD offsets (Adobe's TIFF technical note 1; BigTIFF).
constexpr std::uint16_t kIfdType = 13;
constexpr std::uint16_t kIfd8Type = 18;

// A bit of its own for each tile and strip table tag (StripOffsets,
// StripByteCounts, TileOffsets, TileByteCounts); 0 for every other tag.
unsigned table_tag_bit(std::uint16_t tag) {
  switch (tag) {
    case 273: return 1;
    case 279: return 2;
    case 324: return 4;
    case 325: return 8;
    default: return 0;
  }
}

// Most bytes a directory's values read together may span when tables left in
// the file lie between them. A read from the page cache costs about what
// copying 4 KiB more does: past that, the values are read apart (most of
// them from the window the directory was read with).
constexpr std::uint64_t kTablesReadOver = 4 << 10;

// Bytes of one high word, and of a next-directory offset widened to 64 bits.
constexpr std::uint64_t kHighWordSize = 4;
constexpr std::uint64_t kWideOffsetSize = 8;

// The byte order values are held in memory.
constexpr ByteOrder kHostOrder =
    std::endian::native == std::endian::little ? ByteOrder::Little : ByteOrder::Big;

// Values of type T stored in the host's byte order at unaligned bytes, as a
// random-access range a vector is built from in one pass.
template <class T>
struct HostValues {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = const T*;
  using reference = T;
  const std::uint8_t* at;
  T operator*() const {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
  }
  T operator[](difference_type i) const { return *(*this + i); }
  HostValues& operator++() { at += sizeof(T); return *this; }
  HostValues operator++(int) { HostValues old = *this; at += sizeof(T); return old; }
  HostValues& operator--() { at -= sizeof(T); return *this; }
  HostValues operator--(int) { HostValues old = *this; at -= sizeof(T); return old; }
  HostValues& operator+=(difference_type d) { at += d * static_cast<difference_type>(sizeof(T)); return *this; }
  HostValues& operator-=(difference_type d) { at -= d * static_cast<difference_type>(sizeof(T)); return *this; }
  friend HostValues operator+(HostValues a, difference_type d) { return a += d; }
  friend HostValues operator+(difference_type d, HostValues a) { return a += d; }
  friend HostValues operator-(HostValues a, difference_type d) { return a -= d; }
  friend difference_type operator-(HostValues a, HostValues b) {
    return (a.at - b.at) / static_cast<difference_type>(sizeof(T));
  }
  friend bool operator==(HostValues a, HostValues b) { return a.at == b.at; }
  friend auto operator<=>(HostValues a, HostValues b) { return a.at <=> b.at; }
};

// Decodes fixed-width values: one at the front for count 1, otherwise as many
// as the bytes hold (the length must then be a whole multiple of the width).
// Values stored in the host's byte order are copied as they are (tile tables
// of thousands of entries are most of what an opening decodes).
template <class Single, class Array, class Element, std::size_t Width, class Convert>
TiffResult<Data> parse_fixed(ByteSpan bytes, std::uint64_t count, DataType dt, ByteOrder order,
                             Convert convert) {
  static_assert(sizeof(Element) == Width);
  if (count == 1) {
    if (bytes.size() < Width) return size_error(dt, 1);
    return Data(Single{convert(bytes, 0)});
  }
  if (bytes.size() % Width != 0) return size_error(dt, count);
  // Built from the bytes in one pass: no zero-filled array written over.
  const std::size_t n = bytes.size() / Width;
  Array array;
  if (order == kHostOrder) {
    array.values.assign(HostValues<Element>{bytes.data()},
                        HostValues<Element>{bytes.data() + n * Width});
    return Data(std::move(array));
  }
  array.values.reserve(n);
  for (std::size_t pos = 0; pos < bytes.size(); pos += Width) {
    array.values.push_back(convert(bytes, pos));
  }
  return Data(std::move(array));
}

template <class T>
T bit_cast_from(std::uint64_t bits) {
  T value;
  if constexpr (sizeof(T) == 4) {
    const auto narrow = static_cast<std::uint32_t>(bits);
    std::memcpy(&value, &narrow, 4);
  } else {
    std::memcpy(&value, &bits, 8);
  }
  return value;
}

}  // namespace

TiffResult<Data> parse_data(ByteSpan bytes, std::uint64_t count, DataType dt, ByteOrder order) {
  auto u16 = [order](ByteSpan b, std::size_t p) { return read_uint<std::uint16_t>(b, p, order); };
  auto u32 = [order](ByteSpan b, std::size_t p) { return read_uint<std::uint32_t>(b, p, order); };
  auto u64 = [order](ByteSpan b, std::size_t p) { return read_uint<std::uint64_t>(b, p, order); };
  switch (dt) {
    case DataType::BYTE:
    case DataType::UNDEFINED:
    case DataType::SBYTE: {
      if (count == 1) {
        if (bytes.empty()) return size_error(dt, 1);
        const std::uint8_t b = bytes[0];
        if (dt == DataType::BYTE) return Data(BYTE{b});
        if (dt == DataType::UNDEFINED) return Data(UNDEFINED{b});
        return Data(SBYTE{static_cast<std::int8_t>(b)});
      }
      if (dt == DataType::BYTE) return Data(BYTE_ARRAY{{bytes.begin(), bytes.end()}});
      if (dt == DataType::UNDEFINED) return Data(UNDEFINED_ARRAY{{bytes.begin(), bytes.end()}});
      return Data(SBYTE_ARRAY{{bytes.begin(), bytes.end()}});
    }
    case DataType::ASCII:
      // Copied as chars in one go (from unsigned bytes, the string would
      // be built a character at a time).
      return Data(ASCII{std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())});
    case DataType::SHORT:
      return parse_fixed<SHORT, SHORT_ARRAY, std::uint16_t, 2>(bytes, count, dt, order, u16);
    case DataType::LONG:
      return parse_fixed<LONG, LONG_ARRAY, std::uint32_t, 4>(bytes, count, dt, order, u32);
    case DataType::SLONG:
      return parse_fixed<SLONG, SLONG_ARRAY, std::int32_t, 4>(
          bytes, count, dt, order, [&](ByteSpan b, std::size_t p) {
            return static_cast<std::int32_t>(u32(b, p));
          });
    case DataType::FLOAT:
      return parse_fixed<FLOAT, FLOAT_ARRAY, float, 4>(
          bytes, count, dt, order,
          [&](ByteSpan b, std::size_t p) { return bit_cast_from<float>(u32(b, p)); });
    case DataType::DOUBLE:
      return parse_fixed<DOUBLE, DOUBLE_ARRAY, double, 8>(
          bytes, count, dt, order,
          [&](ByteSpan b, std::size_t p) { return bit_cast_from<double>(u64(b, p)); });
    case DataType::LONG8:
      return parse_fixed<LONG8, LONG8_ARRAY, std::uint64_t, 8>(bytes, count, dt, order, u64);
    case DataType::RATIONAL: {
      if (bytes.size() < 8) return size_error(dt, count == 1 ? 1 : count);
      auto pair_at = [&](std::size_t p) { return data::U32Pair{u32(bytes, p), u32(bytes, p + 4)}; };
      if (count == 1) return Data(RATIONAL{pair_at(0)});
      RATIONAL_ARRAY array;
      array.values.reserve(bytes.size() / 8);
      for (std::size_t p = 0; p + 8 <= bytes.size(); p += 8) array.values.push_back(pair_at(p));
      return Data(std::move(array));
    }
    case DataType::SSHORT:
    case DataType::SRATIONAL:
    case DataType::SLONG8:
    case DataType::IFD8:
      return TiffError(TiffError::UnsupportedDataType{dt, ""});
  }
  return TiffError(TiffError::UnsupportedDataType{dt, ""});
}

TiffError report_entry_error(TiffError error) {
  diagnostic_line("Err " + error.debug());
  return error;
}

void DirectoryEntries::clear() {
  entries_.clear();
  deferred_.clear();
  in_file_.clear();
  unread_ = 0;
}

void DirectoryEntries::defer(DeferredValue value) {
  // Its place is held by a stand-in until the value is read.
  value.slot = entries_.size();
  entries_.push_back({Data(BYTE{0}), value.tag, value.count});
  deferred_.push_back(value);
  unread_ = deferred_.size();
}

std::optional<ReadAndStep> DirectoryEntries::next_value() {
  if (unread_ == 0) return std::nullopt;
  pending_ = deferred_[--unread_];
  return ReadAndStep{pending_.offset, pending_.byte_len};
}

TiffResult<Unit> DirectoryEntries::take_value(ByteSpan bytes, ByteOrder order) {
  KOLVA_TRY(auto data, parse_data(bytes, pending_.count, pending_.data_type, order));
  entries_[pending_.slot].data = std::move(data);
  return Unit{};
}

std::optional<ReadAndStep> DirectoryEntries::values_together(std::uint64_t slack,
                                                             std::uint64_t most) const {
  if (unread_ < 2) return std::nullopt;
  std::uint64_t lo = UINT64_MAX, hi = 0, sum = 0;
  for (std::size_t i = 0; i < unread_; ++i) {
    const DeferredValue& v = deferred_[i];
    std::uint64_t end;
    if (!checked_add(v.offset, v.byte_len, end) || !checked_add(sum, v.byte_len, sum)) {
      return std::nullopt;
    }
    lo = std::min(lo, v.offset);
    hi = std::max(hi, end);
  }
  // Small tables left in the file between them are no gap: reading over a few
  // kB costs less than a read more (they came with the rest when read whole).
  const std::uint64_t span = hi - lo;
  if (span <= kTablesReadOver) {
    for (const ValueInFile& v : in_file_) {
      if (v.offset >= lo && v.offset <= hi && v.byte_len <= hi - v.offset) sum += v.byte_len;
    }
  }
  // The gaps read with them are at most as many bytes as the values: a run
  // reads no more than twice what it would read value by value.
  if (span > most || span - std::min(span, sum) > std::min(slack, sum)) return std::nullopt;
  return ReadAndStep{lo, span};
}

TiffResult<Unit> DirectoryEntries::take_values(ByteSpan block, std::uint64_t block_offset,
                                               ByteOrder order) {
  while (unread_ > 0) {
    pending_ = deferred_[--unread_];
    // Inside the block by values_together(); cut where the block ends should
    // it be handed over shorter.
    const std::uint64_t at = pending_.offset - block_offset;
    const ByteSpan bytes =
        at >= block.size()
            ? ByteSpan()
            : block.subspan(at, std::min<std::uint64_t>(pending_.byte_len, block.size() - at));
    KOLVA_TRY(Unit taken, take_value(bytes, order));
    (void)taken;
  }
  return Unit{};
}

std::vector<Entry> DirectoryEntries::finish() {
  std::vector<Entry> out = std::move(entries_);
  const bool ascending = std::adjacent_find(out.begin(), out.end(), [](const Entry& a,
                                                                       const Entry& b) {
                           return a.tag >= b.tag;
                         }) == out.end();
  if (!ascending && !deferred_.empty()) {
    // Tags out of order or repeated: the order completed decides which of
    // one tag's entries the directory keeps.
    std::vector<bool> deferred(out.size());
    for (const DeferredValue& value : deferred_) deferred[value.slot] = true;
    std::vector<Entry> completed;
    completed.reserve(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (!deferred[i]) completed.push_back(std::move(out[i]));
    }
    for (auto it = deferred_.rbegin(); it != deferred_.rend(); ++it) {
      completed.push_back(std::move(out[it->slot]));
    }
    out = std::move(completed);
  }
  clear();
  return out;
}

std::uint64_t Decoder::read_offset(ByteSpan bytes, std::size_t pos, std::uint64_t width) const {
  return width == 8 ? read_uint<std::uint64_t>(bytes, pos, order_)
                    : read_uint<std::uint32_t>(bytes, pos, order_);
}

TiffError Decoder::entry_error(TiffError error) const {
  return diagnostics_ ? report_entry_error(std::move(error)) : error;
}

Decoder Decoder::at(ByteOrder order, bool big, std::uint64_t offset,
                    std::size_t max_directories) {
  Decoder d;
  d.order_ = order;
  d.big_ = big;
  d.layout_ = big ? Layout{16, 8, 20, 8, 8} : Layout{8, 2, 12, 4, 4};
  d.ifd_offset_ = offset;
  d.max_directories_ = max_directories;
  d.phase_ = ReadCount{};
  return d;
}

Decoder Decoder::with_high_words(std::uint64_t offset) {
  Decoder d = at(ByteOrder::Little, false, offset, 0);
  d.layout_.offset_size = kWideOffsetSize;
  d.high_words_ = true;
  d.diagnostics_ = false;
  return d;
}

ReadInstruction Decoder::first_read() const {
  return ReadAndStep{ifd_offset_, layout_.count_size};
}

TiffResult<ReadInstruction> Decoder::step(ByteSpan bytes) {
  struct Visitor {
    Decoder& d;
    ByteSpan bytes;
    TiffResult<ReadInstruction> operator()(ReadMagic) { return d.read_magic(bytes); }
    TiffResult<ReadInstruction> operator()(ReadHeader) { return d.read_header(bytes); }
    TiffResult<ReadInstruction> operator()(ReadCount) { return d.read_count(bytes); }
    TiffResult<ReadInstruction> operator()(ReadEntries) { return d.read_entries(bytes); }
    TiffResult<ReadInstruction> operator()(ReadValue) { return d.read_value(bytes); }
    TiffResult<ReadInstruction> operator()(ReadValues) { return d.read_values(bytes); }
    TiffResult<ReadInstruction> operator()(ReadNextOffset) { return d.read_next_offset(bytes); }
    TiffResult<ReadInstruction> operator()(Finished) {
      return TiffError(TiffError::InvalidDecodingProcess{"Invalid"});
    }
  };
  return std::visit(Visitor{*this, bytes}, phase_);
}

TiffResult<std::vector<Ifd>> Decoder::receive() && {
  if (std::holds_alternative<Finished>(phase_)) return std::move(ifds_);
  if (std::holds_alternative<ReadMagic>(phase_)) {
    return TiffError(TiffError::InvalidDecodingProcess{"Invalid Header"});
  }
  return TiffError(TiffError::InvalidDecodingProcess{"Invalid"});
}

TiffResult<ReadInstruction> Decoder::read_magic(ByteSpan bytes) {
  if (bytes.size() < 4) return short_buffer();
  const bool little = bytes[0] == 'I' && bytes[1] == 'I';
  const bool big_endian = bytes[0] == 'M' && bytes[1] == 'M';
  if (little && bytes[2] == 42 && bytes[3] == 0) {
    order_ = ByteOrder::Little, big_ = false;
  } else if (little && bytes[2] == 43 && bytes[3] == 0) {
    order_ = ByteOrder::Little, big_ = true;
  } else if (big_endian && bytes[2] == 0 && bytes[3] == 42) {
    order_ = ByteOrder::Big, big_ = false;
  } else if (big_endian && bytes[2] == 0 && bytes[3] == 43) {
    order_ = ByteOrder::Big, big_ = true;
  } else {
    return TiffError(TiffError::InvalidDecodingProcess{"Invalid Header"});
  }
  layout_ = big_ ? Layout{16, 8, 20, 8, 8} : Layout{8, 2, 12, 4, 4};
  ifds_.clear();
  chain_size_ = 0;
  chain_heap_.clear();
  directory_.clear();
  phase_ = ReadHeader{};
  return ReadInstruction{ReadAndStep{0, layout_.header_size}};
}

TiffResult<ReadInstruction> Decoder::read_header(ByteSpan bytes) {
  if (bytes.size() < layout_.header_size) return TiffError(TiffError::ParseHeaderError{""});
  std::uint64_t first;
  if (big_) {
    if (read_uint<std::uint16_t>(bytes, 4, order_) != 8 || bytes[6] != 0 || bytes[7] != 0) {
      return TiffError(TiffError::ParseHeaderError{""});
    }
    first = read_uint<std::uint64_t>(bytes, 8, order_);
  } else {
    first = read_uint<std::uint32_t>(bytes, 4, order_);
  }
  if (first == 0) return TiffError(TiffError::ParseHeaderError{""});
  ifd_offset_ = first;
  phase_ = ReadCount{};
  return ReadInstruction{ReadAndStep{ifd_offset_, layout_.count_size}};
}

TiffResult<ReadInstruction> Decoder::read_count(ByteSpan bytes) {
  const TiffError count_error = TiffError::DecodeCountError{"Failed to parse IFD count"};
  if (bytes.size() < layout_.count_size) return count_error;
  std::uint64_t count;
  if (big_) {
    count = read_uint<std::uint64_t>(bytes, 0, order_);
  } else {
    count = read_uint<std::uint16_t>(bytes, 0, order_);
    if (count == 0) return count_error;
  }
  std::uint64_t length;
  std::uint64_t start;
  // High words come in the same read as the entries, behind the next offset
  // (a classic count is 16 bits: no overflow).
  const std::uint64_t tail = high_words_ ? layout_.offset_size + kHighWordSize * count : 0;
  // Offsets near 2^64 must not wrap round to the start of the file.
  if (!checked_mul(count, layout_.entry_size, length) || !checked_add(length, tail, length) ||
      !checked_add(ifd_offset_, layout_.count_size, start)) {
    return overflow();
  }
  entry_count_ = count;
  phase_ = ReadEntries{};
  return ReadInstruction{ReadAndStep{start, length}};
}

TiffResult<ReadInstruction> Decoder::read_entries(ByteSpan bytes) {
  directory_.clear();
  const std::size_t size = layout_.entry_size;
  ByteSpan entries = bytes;
  ByteSpan high_words;
  if (high_words_) {
    const std::size_t n = entry_count_;
    if (bytes.size() < (size + kHighWordSize) * n + layout_.offset_size) return short_buffer();
    entries = bytes.first(size * n);
    high_words = bytes.subspan(size * n + layout_.offset_size, kHighWordSize * n);
  }
  const std::size_t pieces = entries.size() / size;
  directory_.reserve(pieces);
  // Tables are left in the file only where the directory lists each table tag
  // once: of a repeated tag, the entry read last wins, which only reading them
  // all in order decides.
  bool leave_tables = tables_in_file_ != 0;
  if (leave_tables) {
    unsigned seen = 0;
    for (std::size_t i = 0; i < pieces && leave_tables; ++i) {
      const unsigned bit = table_tag_bit(read_uint<std::uint16_t>(entries, i * size, order_));
      leave_tables = (seen & bit) == 0;
      seen |= bit;
    }
  }
  for (std::size_t i = 0; i < pieces; ++i) {
    const ByteSpan entry = entries.subspan(i * size, size);
    const auto tag = read_uint<std::uint16_t>(entry, 0, order_);
    const auto code = read_uint<std::uint16_t>(entry, 2, order_);
    // SubIFD offsets typed IFD (13) or IFD8 (18) read as the LONG and LONG8 they are.
    const auto dt = ifd_offsets_ && code == kIfdType    ? std::optional(DataType::LONG)
                    : ifd_offsets_ && code == kIfd8Type ? std::optional(DataType::LONG8)
                                                        : data_type_from_code(code);
    if (!dt) {
      diagnostic_line("Unknown data type " + std::to_string(code));
      return entry_error(TiffError::DecodeEntryError{"Cannot parse entry data-type"});
    }
    const std::uint64_t count = big_ ? read_uint<std::uint64_t>(entry, 4, order_)
                                     : read_uint<std::uint32_t>(entry, 4, order_);
    std::uint64_t byte_len;
    if (!checked_mul(count, element_size(*dt), byte_len)) return entry_error(overflow());
    const std::size_t value_pos = big_ ? 12 : 8;
    const std::uint64_t high =
        high_words_ ? read_uint<std::uint32_t>(high_words, kHighWordSize * i, order_) : 0;
    if (byte_len > layout_.value_size) {
      const std::uint64_t offset = read_offset(entry, value_pos, layout_.value_size) | high << 32;
      if (leave_tables && byte_len >= tables_in_file_ && table_tag_bit(tag) != 0) {
        directory_.leave_in_file({offset, byte_len, count, tag, *dt});
        continue;
      }
      directory_.defer({offset, byte_len, count, tag, *dt, 0});
      continue;
    }
    ByteSpan value = entry.subspan(value_pos, layout_.value_size);
    DataType type = *dt;
    // A LONG with a high word is a 64-bit value split in two halves.
    std::uint8_t wide[8] = {};
    if (high != 0 && type == DataType::LONG) {
      std::memcpy(wide, value.data(), kHighWordSize);
      std::memcpy(wide + kHighWordSize, high_words.data() + kHighWordSize * i, kHighWordSize);
      value = ByteSpan(wide, 8);
      type = DataType::LONG8;
    }
    // Most entries held in place are one SHORT or LONG: made here, without
    // the general parse's result wrapped round it.
    if (count == 1 && type == DataType::SHORT) {
      directory_.add({Data(SHORT{read_uint<std::uint16_t>(value, 0, order_)}), tag, count});
      continue;
    }
    if (count == 1 && type == DataType::LONG) {
      directory_.add({Data(LONG{read_uint<std::uint32_t>(value, 0, order_)}), tag, count});
      continue;
    }
    auto data = parse_data(value, count, type, order_);
    if (!data.ok()) return entry_error(std::move(data).error());
    directory_.add({std::move(data).value(), tag, count});
  }
  if (diagnostics_ && !directory_.has_deferred()) diagnostic_line("Empty!!!");
  return next_value_or_finish();
}

TiffResult<ReadInstruction> Decoder::read_value(ByteSpan bytes) {
  KOLVA_TRY(Unit taken, directory_.take_value(bytes, order_));
  (void)taken;
  return next_value_or_finish();
}

TiffResult<ReadInstruction> Decoder::read_values(ByteSpan bytes) {
  KOLVA_TRY(Unit taken, directory_.take_values(bytes, values_at_, order_));
  (void)taken;
  return finish_directory();
}

TiffResult<ReadInstruction> Decoder::next_value_or_finish() {
  // Tile tables and the small arrays beside them are mostly written next to
  // each other: one read for all, when the gaps are small.
  constexpr std::uint64_t kSlack = 4096;
  constexpr std::uint64_t kMost = 1 << 20;
  if (together_) {
    if (const auto all = directory_.values_together(kSlack, kMost)) {
      values_at_ = all->offset;
      phase_ = ReadValues{};
      return ReadInstruction{*all};
    }
  }
  const auto next = directory_.next_value();
  if (!next) return finish_directory();
  phase_ = ReadValue{};
  return ReadInstruction{*next};
}

TiffResult<ReadInstruction> Decoder::finish_directory() {
  std::vector<ValueInFile> in_file = directory_.take_in_file();
  if (in_file.empty()) {
    ifds_.emplace_back(directory_.finish());
  } else {
    ifds_.emplace_back(directory_.finish(), std::move(in_file));
  }
  std::uint64_t next = 0;
  // entry_count_ * entry_size was checked when the count was read.
  if (!checked_add(ifd_offset_, layout_.count_size + entry_count_ * layout_.entry_size, next)) {
    return overflow();
  }
  phase_ = ReadNextOffset{};
  return ReadInstruction{ReadAndStep{next, layout_.offset_size}};
}

bool Decoder::repeats_directory(std::uint64_t next) {
  if (chain_size_ == kChainInPlace && chain_heap_.empty()) {
    chain_heap_.assign(chain_in_place_.begin(), chain_in_place_.end());
  }
  const bool heap = !chain_heap_.empty();
  const std::span<std::uint64_t> chain =
      heap ? std::span(chain_heap_) : std::span(chain_in_place_.data(), chain_size_);
  // Chains are mostly written front to back: an offset past every one read so
  // far goes at the end without a search.
  const auto at = chain.empty() || chain.back() < ifd_offset_
                      ? chain.end()
                      : std::lower_bound(chain.begin(), chain.end(), ifd_offset_);
  if (at == chain.end() || *at != ifd_offset_) {
    if (heap) {
      chain_heap_.insert(chain_heap_.begin() + (at - chain.begin()), ifd_offset_);
    } else {
      std::copy_backward(at, chain.end(), chain.end() + 1);
      *at = ifd_offset_;
      ++chain_size_;
    }
  }
  const std::span<const std::uint64_t> now =
      heap ? std::span<const std::uint64_t>(chain_heap_)
           : std::span<const std::uint64_t>(chain_in_place_.data(), chain_size_);
  return now.back() >= next && std::binary_search(now.begin(), now.end(), next);
}

TiffResult<ReadInstruction> Decoder::read_next_offset(ByteSpan bytes) {
  // A short read ends a TIFF chain; the widened layout's reads must be whole.
  if (high_words_ && bytes.size() < layout_.offset_size) return short_buffer();
  const std::uint64_t next =
      bytes.size() < layout_.offset_size ? 0 : read_offset(bytes, 0, layout_.offset_size);
  if (next == 0 || (max_directories_ != 0 && ifds_.size() >= max_directories_) ||
      (end_at_repeats_ && repeats_directory(next))) {
    phase_ = Finished{};
    return ReadInstruction{Finish{}};
  }
  ifd_offset_ = next;
  phase_ = ReadCount{};
  return ReadInstruction{ReadAndStep{ifd_offset_, layout_.count_size}};
}

}  // namespace kolva::tiff_tools
