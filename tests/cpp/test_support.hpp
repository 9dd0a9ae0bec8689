#pragma once

// Shared helpers of the C++ tests: a byte source that logs every range it is
// asked for, a builder of small TIFF/BigTIFF files, a consumer runner and a
// capture of the diagnostic lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "std_io/std_io.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::tiff_tools {
// Readable gtest failures for Data: the variant index and its unsigned values or text.
inline void PrintTo(const Data& d, std::ostream* os) {
  *os << "Data#" << d.variant().index();
  if (auto v = d.to_u64vec()) {
    for (auto x : *v) *os << " " << x;
  } else if (const auto* t = d.ascii()) {
    *os << " \"" << *t << "\"";
  }
}
}  // namespace kolva::tiff_tools

namespace kolva::test {

using Read = std::pair<std::uint64_t, std::uint64_t>;  // (offset, length)
using Reads = std::vector<Read>;

// MemorySource semantics; logs every read_at (offset, requested length) and
// counts how often the fresh size was asked for.
class RecordingSource {
 public:
  explicit RecordingSource(Bytes bytes) : memory_(std::move(bytes)) {}

  std::uint64_t known_size() const { return memory_.known_size(); }
  KolvaResult<std::uint64_t> size() {
    ++size_calls_;
    return memory_.size();
  }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) {
    reads_.emplace_back(offset, dst.size());
    return memory_.read_at(offset, dst);
  }

  const Reads& reads() const { return reads_; }
  int size_calls() const { return size_calls_; }
  void clear() {
    reads_.clear();
    size_calls_ = 0;
  }

 private:
  std_io::MemorySource memory_;
  Reads reads_;
  int size_calls_ = 0;
};
static_assert(std_io::ByteSource<RecordingSource>);

// Starts C with dispatch and runs it through the driver.
template <ReadConsumer C, std_io::ByteSource S>
KolvaResult<typename C::Output> run_consumer(S& source, typename C::Input input = {}) {
  auto [consumer, first] = C::dispatch(std::move(input));
  return std_io::run(source, std::move(consumer), first);
}

// Names a parametrised case after its `name` field.
struct ByName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& p) const {
    return p.param.name;
  }
};

// Collects the diagnostic lines written while it lives (one at a time).
class CaptureDiagnostics {
 public:
  CaptureDiagnostics() {
    store().clear();
    set_diagnostic_sink(&append);
  }
  ~CaptureDiagnostics() { set_diagnostic_sink(nullptr); }
  CaptureDiagnostics(const CaptureDiagnostics&) = delete;
  CaptureDiagnostics& operator=(const CaptureDiagnostics&) = delete;

  const std::vector<std::string>& lines() const { return store(); }

 private:
  static std::vector<std::string>& store() {
    static std::vector<std::string> lines;
    return lines;
  }
  static void append(std::string_view line) { store().emplace_back(line); }
};

// ---------------------------------------------------------------------------
// TIFF / BigTIFF images

inline void put(Bytes& out, std::uint64_t value, int width, ByteOrder order) {
  for (int i = 0; i < width; ++i) {
    const int shift = order == ByteOrder::Little ? 8 * i : 8 * (width - 1 - i);
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

inline void patch(Bytes& out, std::size_t pos, std::uint64_t value, int width, ByteOrder order) {
  Bytes tmp;
  put(tmp, value, width, order);
  std::copy(tmp.begin(), tmp.end(), out.begin() + static_cast<std::ptrdiff_t>(pos));
}

// Encodes values of one width in one byte order.
struct Enc {
  ByteOrder order;
  Bytes u16(std::initializer_list<std::uint64_t> values) const { return ints(values, 2); }
  Bytes u32(std::initializer_list<std::uint64_t> values) const { return ints(values, 4); }
  Bytes u64(std::initializer_list<std::uint64_t> values) const { return ints(values, 8); }
  Bytes ints(std::initializer_list<std::uint64_t> values, int width) const {
    Bytes out;
    for (auto v : values) put(out, v, width, order);
    return out;
  }
};

inline Bytes ascii_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct TiffFlavour {
  ByteOrder order;
  bool big;
  std::uint64_t header_size() const { return big ? 16 : 8; }
  std::uint64_t count_size() const { return big ? 8 : 2; }
  std::uint64_t entry_size() const { return big ? 20 : 12; }
  std::uint64_t offset_size() const { return big ? 8 : 4; }
  std::uint64_t value_size() const { return big ? 8 : 4; }
  Enc enc() const { return Enc{order}; }
  std::string name() const {
    return std::string(order == ByteOrder::Little ? "LE" : "BE") + (big ? "_BigTiff" : "_Classic");
  }
};

// One directory entry as written: `value` is the raw value in file order. It
// goes inline (zero-padded) when it fits in the value field, otherwise into a
// block behind the directory.
struct TiffEntry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint64_t count;
  Bytes value;
};

struct TiffDir {
  std::vector<TiffEntry> entries;
  // Overrides the next-directory offset (default: the next directory, 0 for the last).
  std::optional<std::uint64_t> next = std::nullopt;
};

struct TiffImage {
  Bytes bytes;
  std::vector<std::uint64_t> dirs;                      // directory offsets
  std::vector<std::vector<std::optional<std::uint64_t>>> blocks;  // per entry: its value block
};

// Header, then each directory followed by its value blocks in entry order.
inline TiffImage build_tiff(TiffFlavour f, const std::vector<TiffDir>& dirs) {
  TiffImage img;
  Bytes& b = img.bytes;
  b.push_back(f.order == ByteOrder::Little ? 'I' : 'M');
  b.push_back(b[0]);
  put(b, f.big ? 43 : 42, 2, f.order);
  if (f.big) {
    put(b, 8, 2, f.order);
    put(b, 0, 2, f.order);
    put(b, 0, 8, f.order);  // patched below
  } else {
    put(b, 0, 4, f.order);
  }
  const std::size_t first_field = f.big ? 8 : 4;
  std::size_t prev_next_field = first_field;
  for (std::size_t d = 0; d < dirs.size(); ++d) {
    const std::uint64_t at = b.size();
    img.dirs.push_back(at);
    patch(b, prev_next_field, at, static_cast<int>(f.offset_size()), f.order);
    const auto& entries = dirs[d].entries;
    put(b, entries.size(), static_cast<int>(f.count_size()), f.order);
    std::vector<std::size_t> value_fields;
    for (const auto& e : entries) {
      put(b, e.tag, 2, f.order);
      put(b, e.type, 2, f.order);
      put(b, e.count, f.big ? 8 : 4, f.order);
      value_fields.push_back(b.size());
      Bytes field = e.value;
      field.resize(f.value_size(), 0);
      if (e.value.size() > f.value_size()) field.assign(f.value_size(), 0);
      b.insert(b.end(), field.begin(), field.end());
    }
    prev_next_field = b.size();
    put(b, 0, static_cast<int>(f.offset_size()), f.order);
    img.blocks.emplace_back();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].value.size() <= f.value_size()) {
        img.blocks.back().push_back(std::nullopt);
        continue;
      }
      img.blocks.back().push_back(b.size());
      patch(b, value_fields[i], b.size(), static_cast<int>(f.offset_size()), f.order);
      b.insert(b.end(), entries[i].value.begin(), entries[i].value.end());
    }
  }
  for (std::size_t d = 0; d < dirs.size(); ++d) {
    if (!dirs[d].next) continue;
    const auto pos = img.dirs[d] + f.count_size() + dirs[d].entries.size() * f.entry_size();
    patch(b, pos, *dirs[d].next, static_cast<int>(f.offset_size()), f.order);
  }
  return img;
}

// A byte source made of a few byte runs at arbitrary offsets, zeros between
// them (a file of many GiB held in a few KB); logs every range it is asked for.
class SparseSource {
 public:
  void place(std::uint64_t at, Bytes bytes) {
    end_ = std::max(end_, at + bytes.size());
    runs_[at] = std::move(bytes);
  }
  std::uint64_t known_size() const { return end_; }
  KolvaResult<std::uint64_t> size() { return end_; }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) {
    reads_.emplace_back(offset, dst.size());
    const std::uint64_t n = offset >= end_ ? 0 : std::min<std::uint64_t>(dst.size(), end_ - offset);
    std::fill(dst.begin(), dst.begin() + static_cast<std::ptrdiff_t>(n), 0);
    for (const auto& [at, run] : runs_) {
      const std::uint64_t lo = std::max(at, offset);
      const std::uint64_t hi = std::min(at + run.size(), offset + n);
      for (std::uint64_t p = lo; p < hi; ++p) dst[p - offset] = run[p - at];
    }
    return n;
  }
  const Reads& reads() const { return reads_; }

 private:
  std::map<std::uint64_t, Bytes> runs_;
  std::uint64_t end_ = 0;
  Reads reads_;
};
static_assert(std_io::ByteSource<SparseSource>);

}  // namespace kolva::test
