#pragma once

// Walks the directory chain of a classic or BigTIFF file in either byte order,
// or of classic directories whose offsets were widened to 64 bits.
// Never touches the file: each step names the next byte range it needs.

#include <array>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "tiff_tools/data/data.hpp"
#include "tiff_tools/error/error.hpp"

namespace kolva::tiff_tools {

template <class T>
using TiffResult = Result<T, TiffError>;

// Decodes the raw bytes of one entry's value: an inline value field or a whole
// value block. Count 1 gives a single value, any other count an array.
TiffResult<Data> parse_data(ByteSpan bytes, std::uint64_t count, DataType data_type,
                            ByteOrder order);

// An entry whose value lies elsewhere in the file.
struct DeferredValue {
  std::uint64_t offset;
  std::uint64_t byte_len;
  std::uint64_t count;
  std::uint16_t tag;
  DataType data_type;
  std::size_t slot = 0;  // its place among the directory's entries
};

// Writes "Err {:?}" for an entry failure and hands the error back.
TiffError report_entry_error(TiffError error);

// One directory's entries as they are read: values held in an entry come with
// it, values stored elsewhere are asked for one by one (the last deferred
// first) and parsed into the entry's place as they come back. Every TIFF-like
// directory reader (classic, BigTIFF, a driver's own 64-bit layout) fills one.
class DirectoryEntries {
 public:
  void clear();
  // Room for a directory of `n` entries.
  void reserve(std::size_t n) {
    entries_.reserve(n);
    deferred_.reserve(n);
  }
  void add(Entry entry) { entries_.push_back(std::move(entry)); }
  void defer(DeferredValue value);
  // Leaves a value in the file: the directory notes where it lies instead.
  void leave_in_file(ValueInFile value) { in_file_.push_back(value); }
  // The values left in the file, handed over (before finish(), which clears).
  std::vector<ValueInFile> take_in_file() { return std::move(in_file_); }
  bool has_deferred() const { return !deferred_.empty(); }
  // The next value to read (from then on the pending one), or nothing when
  // every value is in.
  std::optional<ReadAndStep> next_value();
  // Parses the pending value from its bytes into an entry.
  TiffResult<Unit> take_value(ByteSpan bytes, ByteOrder order);
  // One range holding every value still to read, when they lie close enough
  // together (gaps of at most `slack` bytes in all, and no more than the values
  // themselves; `most` bytes in all) that reading it beats asking for them one
  // by one.
  std::optional<ReadAndStep> values_together(std::uint64_t slack, std::uint64_t most) const;
  // Parses every value still to read, in the order next_value() would hand
  // them out, from `block`: the bytes of values_together()'s range.
  TiffResult<Unit> take_values(ByteSpan block, std::uint64_t block_offset, ByteOrder order);
  // The directory's entries in the order they were written when their tags
  // ascend, else in the order they were completed (those held in an entry,
  // then the others, the last deferred first); clears.
  std::vector<Entry> finish();

 private:
  std::vector<Entry> entries_;
  std::vector<DeferredValue> deferred_;  // in the order written
  std::vector<ValueInFile> in_file_;     // leave_in_file, in the order written
  std::size_t unread_ = 0;               // deferred_[0, unread_) are still to read
  DeferredValue pending_{};
};

class Decoder {
 public:
  Decoder() = default;
  // A decoder that starts at the directory at `offset` of a file whose header
  // was read elsewhere, and stops after `max_directories` of its chain (0: no
  // bound). Its first read is `first_read()`.
  static Decoder at(ByteOrder order, bool big, std::uint64_t offset,
                    std::size_t max_directories);
  // A decoder for little-endian classic directories whose offsets were widened
  // to 64 bits in place, starting at the directory at `offset`:
  //
  //   D             entry count n (u16)
  //   D + 2         n entries: tag, type, count (u32), value/offset (u32)
  //   D + 2 + 12n   next directory offset (u64), 0 ends the chain
  //   D + 10 + 12n  n high words (u32): the upper half of each entry's
  //                 value/offset field
  //
  // A LONG held in its entry whose high word is not zero is the LONG8 of the
  // two halves; other values held in an entry ignore their high word. Each
  // directory is read whole in one go, a short read fails, and it writes no
  // diagnostic line but an unknown data type's.
  static Decoder with_high_words(std::uint64_t offset);
  ReadInstruction first_read() const;
  // From now on, entries of the IFD types (13 and 18, as SubIFDs are written)
  // are read as the LONG and LONG8 offsets they hold instead of failing.
  void take_ifd_types_as_offsets() { ifd_offsets_ = true; }
  // From now on, a directory's values stored elsewhere that lie close together
  // are read in one request instead of one each (the same directories come
  // out: values are parsed in the same order).
  void read_values_together() { together_ = true; }
  // From now on, a next-directory offset naming a directory this chain already
  // read ends the chain, as the end of the file would, instead of reading the
  // loop again until the step budget runs out.
  void end_chain_at_repeats() { end_at_repeats_ = true; }
  // From now on, tile and strip tables (offsets and byte counts) stored
  // elsewhere whose values take `bytes` or more are left in the file
  // (Ifd::in_file) instead of read, unless the directory lists one of those
  // tags twice. 0: every value is read.
  void leave_tables_in_file(std::uint64_t bytes) { tables_in_file_ = bytes; }

  TiffResult<ReadInstruction> step(ByteSpan bytes);
  TiffResult<std::vector<Ifd>> receive() &&;

 private:
  struct ReadMagic {};
  struct ReadHeader {};
  struct ReadCount {};
  struct ReadEntries {};
  struct ReadValue {};
  struct ReadValues {};
  struct ReadNextOffset {};
  struct Finished {};
  using Phase = std::variant<ReadMagic, ReadHeader, ReadCount, ReadEntries, ReadValue,
                             ReadValues, ReadNextOffset, Finished>;

  struct Layout {
    std::uint64_t header_size;
    std::uint64_t count_size;
    std::uint64_t entry_size;
    std::uint64_t offset_size;
    std::uint64_t value_size;
  };

  TiffResult<ReadInstruction> read_magic(ByteSpan bytes);
  TiffResult<ReadInstruction> read_header(ByteSpan bytes);
  TiffResult<ReadInstruction> read_count(ByteSpan bytes);
  TiffResult<ReadInstruction> read_entries(ByteSpan bytes);
  TiffResult<ReadInstruction> read_value(ByteSpan bytes);
  TiffResult<ReadInstruction> read_values(ByteSpan bytes);
  TiffResult<ReadInstruction> read_next_offset(ByteSpan bytes);
  // Records the directory just read in chain_; whether `next` is one read before.
  bool repeats_directory(std::uint64_t next);
  // Requests the most recently deferred value, or finishes the directory.
  TiffResult<ReadInstruction> next_value_or_finish();
  TiffResult<ReadInstruction> finish_directory();
  // An entry failure, reported with a diagnostic line when they are written.
  TiffError entry_error(TiffError error) const;
  // The `width`-byte (4 or 8) offset at `pos`.
  std::uint64_t read_offset(ByteSpan bytes, std::size_t pos, std::uint64_t width) const;

  Phase phase_ = ReadMagic{};
  ByteOrder order_ = ByteOrder::Little;
  bool big_ = false;
  Layout layout_{};
  std::vector<Ifd> ifds_;
  DirectoryEntries directory_;
  std::uint64_t ifd_offset_ = 0;
  std::uint64_t entry_count_ = 0;
  std::size_t max_directories_ = 0;
  bool high_words_ = false;   // the widened layout of with_high_words
  bool diagnostics_ = true;   // "Err ..." for entry failures, "Empty!!!"
  bool ifd_offsets_ = false;  // take_ifd_types_as_offsets
  bool together_ = false;     // read_values_together
  bool end_at_repeats_ = false;  // end_chain_at_repeats
  std::uint64_t tables_in_file_ = 0;  // leave_tables_in_file
  // end_chain_at_repeats: where this chain's directories start, ascending; the
  // first kChainInPlace in place (most chains are that short), then all on the heap.
  static constexpr std::size_t kChainInPlace = 16;
  std::array<std::uint64_t, kChainInPlace> chain_in_place_{};
  std::size_t chain_size_ = 0;
  std::vector<std::uint64_t> chain_heap_;
  std::uint64_t values_at_ = 0;  // ReadValues: where the block read starts
};

}  // namespace kolva::tiff_tools
