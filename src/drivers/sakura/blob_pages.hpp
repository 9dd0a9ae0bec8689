#pragma once

// A table's blobs read straight from the database file's pages, without
// SQLite: the row's cell found by descending the table's b-tree from its
// root page, the record header read for where the blob column lies, then its
// bytes taken from the leaf (the cell's local payload) and the overflow
// chain. SQLite writes a blob's overflow pages back to back, so a chain is
// read as if it were (one scattered read: each page's 4-byte link to a slot
// of its own, its data where the caller wants them), every link is checked,
// and where one names another page the chain is read on from there.
// Several blobs' chains that lie close are read together.
//
// Every read goes through the read executor. Anything not as expected (a WAL
// file, page sizes out of range, a record whose column is not a blob, a chain
// that ends early or leaves the file) makes a call fail, and the caller reads
// through SQLite instead; every walk is bounded by the file's page count.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/bytes.hpp"
#include "slide/source_set.hpp"

struct sqlite3;

namespace kolva::drivers::sakura {

// Where one rowid table's blob column lies in the file.
struct BlobTable {
  std::uint32_t page_size = 0;
  std::uint32_t usable = 0;  // page_size less the reserved bytes
  std::uint32_t pages = 0;   // of the database
  std::uint32_t root = 0;    // the table b-tree's root page
  std::uint32_t column = 0;  // the blob column's index in the table's records

  // From the database header (its first 100 bytes), the file's size and the
  // table's root page and column; nothing for a database read other than
  // through rollback-journal pages of sizes SQLite allows.
  static std::optional<BlobTable> from_header(ByteSpan header, std::uint64_t file_size, std::int64_t root,
                                              std::int64_t column);
  // The same for `table`'s `column`, asked of `db` (its root page and the
  // column's place) and read from `source` (the header).
  static std::optional<BlobTable> of(sqlite3* db, const std::string& table, const std::string& column,
                                     std::shared_ptr<std_io::RangeSource> source);
};

// A blob as its row's cell holds it.
struct BlobCell {
  std::uint64_t size = 0;      // of the blob
  std::uint64_t at = 0;        // where it starts in the row's payload
  std::uint64_t local = 0;     // of the payload, the bytes in the leaf page
  const std::uint8_t* local_bytes = nullptr;  // those bytes (in the leaf page, see BlobPages::locate)
  std::uint32_t overflow = 0;  // the chain's first page (0: none)
  // The blob's first `n` bytes where they are already in memory (in the
  // leaf), or nothing.
  std::optional<ByteSpan> head(std::uint64_t n) const {
    if (n > size || at + n > local) return std::nullopt;
    return ByteSpan(local_bytes + at, static_cast<std::size_t>(n));
  }
};

// The blob reads of one connection (one thread at a time): the table's
// interior pages and the leaves read last kept (up to bounds, as SQLite's own
// page cache would), the buffers.
class BlobPages {
 public:
  BlobPages(const BlobTable& table, std::shared_ptr<std_io::RangeSource> source);

  // Row `rowid`'s blob, or nothing (no such row, or not as expected). Its
  // local bytes stay valid while fewer than kLeaves other leaves are located.
  std::optional<BlobCell> locate(std::int64_t rowid);
  static constexpr std::size_t kLeaves = 8;  // at least

  // Bytes of a located blob, from `from` on, to fill `to`.
  struct Request {
    const BlobCell* cell;
    std::uint64_t from;
    std::span<std::uint8_t> to;
  };
  // All requests read (their chains together where they lie close); false
  // when a read fails or a chain is not as expected (`to` then holds
  // anything).
  bool read(std::span<const Request> requests);

 private:
  // Pages [first, first + count) of chain `chain`, its pages from `index` on.
  struct Run {
    std::size_t chain;
    std::uint64_t index;
    std::uint32_t first;
    std::uint64_t count;
  };
  struct Chain {
    const Request* request;
    std::uint64_t begin, end;  // of the payload, the bytes wanted
    std::uint64_t last;        // the index of the last page needed
    std::vector<std::array<std::uint8_t, 4>> links;
    std::vector<std::uint32_t> pages;  // the page read for each
    bool followed = false;             // a link named another page than the next
  };
  const std::uint8_t* load(std::uint32_t page);
  bool read_group(std::span<const Run> runs);
  void keep(std::uint8_t* data, std::uint64_t n);
  void skip(std::uint64_t n);
  bool skipped(const std::span<std::uint8_t>& piece) const { return piece.data() == scratch_.data(); }

  BlobTable table_;
  slide::SourceSet sources_;
  std::unordered_map<std::uint32_t, Bytes> interior_;
  std::uint64_t interior_bytes_ = 0;
  std::vector<std::pair<std::uint32_t, Bytes>> leaves_;  // slots, reused in turn once all are taken
  std::unordered_map<std::uint32_t, std::size_t> leaf_slots_;
  std::size_t most_leaves_ = kLeaves;
  std::size_t next_leaf_ = 0;
  Bytes page_;     // the page just read
  Bytes scratch_;  // where bytes read but not wanted go
  std::vector<Chain> chains_;
  std::vector<Run> runs_, next_runs_;
  std::vector<std::uint32_t> seen_;
  std::vector<std::span<std::uint8_t>> pieces_;
};

}  // namespace kolva::drivers::sakura
