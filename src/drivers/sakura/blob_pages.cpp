#include "drivers/sakura/blob_pages.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include "slide/executor.hpp"

namespace kolva::drivers::sakura {
namespace {

constexpr std::uint32_t kInteriorPage = 0x05, kLeafPage = 0x0D;  // of a table b-tree
constexpr std::uint64_t kMaxDepth = 40;
constexpr std::uint64_t kInteriorBytes = 4 << 20;  // of interior pages kept
constexpr std::uint64_t kLeafBytes = 2 << 20;      // of leaf pages
// Pages between two chains that are read (and dropped) rather than reading
// the chains apart.
constexpr std::uint64_t kGap = 4;

std::uint32_t be16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// An SQLite varint at `at` (advanced past it), within [.., end).
bool varint(const std::uint8_t* p, std::uint64_t& at, std::uint64_t end, std::uint64_t& out) {
  out = 0;
  for (int i = 0; i < 9; ++i) {
    if (at >= end) return false;
    const std::uint8_t b = p[at++];
    if (i == 8) {
      out = out << 8 | b;
      return true;
    }
    out = out << 7 | (b & 0x7F);
    if ((b & 0x80) == 0) return true;
  }
  return true;
}

// The bytes a record column of serial type `type` takes.
std::optional<std::uint64_t> serial_size(std::uint64_t type) {
  static constexpr std::uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  if (type == 10 || type == 11) return std::nullopt;
  if (type < 12) return kFixed[type];
  return (type - 12) / 2;
}

}  // namespace

std::optional<BlobTable> BlobTable::from_header(ByteSpan h, std::uint64_t file_size, std::int64_t root,
                                                std::int64_t column) {
  static constexpr char kMagic[] = "SQLite format 3";
  if (h.size() < 100 || std::memcmp(h.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  if (h[18] != 1 || h[19] != 1) return std::nullopt;  // 2: WAL
  if (h[21] != 64 || h[22] != 32 || h[23] != 32) return std::nullopt;  // the payload fractions
  std::uint32_t page = be16(h.data() + 16);
  if (page == 1) page = 65536;
  if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return std::nullopt;
  const std::uint32_t usable = page - h[20];
  if (usable < 480) return std::nullopt;
  std::uint64_t pages = file_size / page;
  // The header's page count, where it is current, as SQLite takes it.
  if (const std::uint32_t counted = be32(h.data() + 28); counted != 0 && be32(h.data() + 24) == be32(h.data() + 92)) {
    pages = std::min<std::uint64_t>(pages, counted);
  }
  if (pages > UINT32_MAX || root < 1 || static_cast<std::uint64_t>(root) > pages || column < 0 || column > 32767) {
    return std::nullopt;
  }
  return BlobTable{page, usable, static_cast<std::uint32_t>(pages), static_cast<std::uint32_t>(root),
                   static_cast<std::uint32_t>(column)};
}

std::optional<BlobTable> BlobTable::of(sqlite3* db, const std::string& table, const std::string& column,
                                       std::shared_ptr<std_io::RangeSource> source) {
  std::int64_t root = 0, index = -1;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_schema WHERE type = 'table' AND name = ?1", -1, &stmt,
                         nullptr) == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(stmt) == SQLITE_ROW) root = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  stmt = nullptr;
  // The column's place in the records: every column is stored (none is
  // generated or hidden).
  if (sqlite3_prepare_v2(db, "SELECT cid, name, hidden FROM pragma_table_xinfo(?1)", -1, &stmt, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      if (sqlite3_column_int64(stmt, 2) != 0) {
        index = -1;
        break;
      }
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
      if (name != nullptr && sqlite3_stricmp(name, column.c_str()) == 0) index = sqlite3_column_int64(stmt, 0);
    }
  }
  sqlite3_finalize(stmt);
  if (root <= 0 || index < 0) return std::nullopt;
  auto size = source->size();
  if (!size.ok() || *size < 100) return std::nullopt;
  std::array<std::uint8_t, 100> header{};
  const slide::SourceSet sources(std::move(source));
  const slide::Range range{0, header.size(), 0};
  const std::span<std::uint8_t> dst(header);
  if (!slide::read_ranges(sources, {&range, 1}, {&dst, 1}, 1).ok()) return std::nullopt;
  return from_header(header, *size, root, index);
}

BlobPages::BlobPages(const BlobTable& table, std::shared_ptr<std_io::RangeSource> source)
    : table_(table), sources_(std::move(source)) {
  scratch_.resize(table_.page_size);
  most_leaves_ = std::max<std::size_t>(kLeaves, kLeafBytes / table_.page_size);
}

// Page `page`, from what is kept or read (into page_ when it is not kept).
const std::uint8_t* BlobPages::load(std::uint32_t page) {
  if (page < 1 || page > table_.pages) return nullptr;
  if (auto it = interior_.find(page); it != interior_.end()) return it->second.data();
  if (auto it = leaf_slots_.find(page); it != leaf_slots_.end()) return leaves_[it->second].second.data();
  page_.resize(table_.page_size);
  const slide::Range range{std::uint64_t{page - 1} * table_.page_size, table_.page_size, 0};
  const std::span<std::uint8_t> dst(page_);
  if (!slide::read_ranges(sources_, {&range, 1}, {&dst, 1}, 1).ok()) return nullptr;
  const std::uint8_t type = page_[page == 1 ? 100 : 0];
  if (type == kLeafPage) {
    if (leaves_.size() < most_leaves_) {
      next_leaf_ = leaves_.size();
      leaves_.emplace_back();
    } else {
      leaf_slots_.erase(leaves_[next_leaf_].first);
    }
    auto& slot = leaves_[next_leaf_];
    leaf_slots_[page] = next_leaf_;
    next_leaf_ = (next_leaf_ + 1) % most_leaves_;
    slot.first = page;
    std::swap(slot.second, page_);
    return slot.second.data();
  }
  if (type == kInteriorPage && interior_bytes_ + table_.page_size <= kInteriorBytes) {
    interior_bytes_ += table_.page_size;
    return interior_.emplace(page, std::move(page_)).first->second.data();
  }
  return page_.data();
}

std::optional<BlobCell> BlobPages::locate(std::int64_t rowid) {
  const std::uint64_t usable = table_.usable;
  std::uint32_t page = table_.root;
  for (std::uint64_t depth = 0; depth < kMaxDepth; ++depth) {
    const std::uint8_t* p = load(page);
    if (p == nullptr) return std::nullopt;
    const std::uint64_t at = page == 1 ? 100 : 0;
    const std::uint8_t type = p[at];
    const std::uint64_t header = type == kInteriorPage ? 12 : 8;
    const std::uint64_t cells = be16(p + at + 3);
    if ((type != kInteriorPage && type != kLeafPage) || at + header + 2 * cells > usable) return std::nullopt;
    // The first cell whose key is at least rowid (a leaf's keys, or the
    // largest key of each child's subtree).
    std::uint64_t lo = 0, hi = cells;
    while (lo < hi) {
      const std::uint64_t mid = (lo + hi) / 2;
      std::uint64_t off = be16(p + at + header + 2 * mid), n = 0, key = 0;
      if (type == kInteriorPage) off += 4;
      if (off >= usable) return std::nullopt;
      if (type == kLeafPage && !varint(p, off, usable, n)) return std::nullopt;
      if (!varint(p, off, usable, key)) return std::nullopt;
      if (static_cast<std::int64_t>(key) >= rowid) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    if (type == kInteriorPage) {
      if (lo == cells) {
        page = be32(p + at + 8);
      } else {
        const std::uint64_t off = be16(p + at + header + 2 * lo);
        if (off + 4 > usable) return std::nullopt;
        page = be32(p + off);
      }
      continue;
    }
    if (lo == cells) return std::nullopt;
    std::uint64_t off = be16(p + at + header + 2 * lo), payload = 0, key = 0;
    if (!varint(p, off, usable, payload) || !varint(p, off, usable, key) ||
        static_cast<std::int64_t>(key) != rowid || payload > (std::uint64_t{1} << 32)) {
      return std::nullopt;
    }
    // The payload's bytes in the leaf, as SQLite splits it.
    std::uint64_t local = payload;
    const std::uint64_t most = usable - 35;
    if (payload > most) {
      const std::uint64_t least = (usable - 12) * 32 / 255 - 23;
      const std::uint64_t k = least + (payload - least) % (usable - 4);
      local = k <= most ? k : least;
    }
    const bool spills = local < payload;
    if (off + local + (spills ? 4 : 0) > usable) return std::nullopt;
    BlobCell cell;
    cell.local = local;
    cell.local_bytes = p + off;
    cell.overflow = spills ? be32(p + off + local) : 0;
    if (spills && (cell.overflow < 2 || cell.overflow > table_.pages ||
                   payload - local > std::uint64_t{table_.pages} * (usable - 4))) {
      return std::nullopt;
    }
    // The record header, within the leaf: the column's serial type and place.
    const std::uint8_t* r = cell.local_bytes;
    std::uint64_t pos = 0, header_size = 0;
    if (!varint(r, pos, local, header_size) || header_size > local) return std::nullopt;
    std::uint64_t data_at = header_size;
    for (std::uint32_t c = 0;; ++c) {
      std::uint64_t type_of = 0;
      if (pos >= header_size || !varint(r, pos, header_size, type_of)) return std::nullopt;
      const auto bytes = serial_size(type_of);
      if (!bytes) return std::nullopt;
      if (c == table_.column) {
        if (type_of < 12 || type_of % 2 != 0) return std::nullopt;  // not a blob
        cell.at = data_at;
        cell.size = *bytes;
        break;
      }
      data_at += *bytes;
      if (data_at > payload) return std::nullopt;
    }
    if (cell.at + cell.size > payload) return std::nullopt;
    return cell;
  }
  return std::nullopt;
}

void BlobPages::keep(std::uint8_t* data, std::uint64_t n) {
  if (n == 0) return;
  pieces_.emplace_back(data, static_cast<std::size_t>(n));
}

void BlobPages::skip(std::uint64_t n) {
  while (n > 0) {
    if (!pieces_.empty() && skipped(pieces_.back()) && pieces_.back().size() < scratch_.size()) {
      const std::uint64_t more = std::min<std::uint64_t>(n, scratch_.size() - pieces_.back().size());
      pieces_.back() = {scratch_.data(), pieces_.back().size() + static_cast<std::size_t>(more)};
      n -= more;
      continue;
    }
    const std::uint64_t now = std::min<std::uint64_t>(n, scratch_.size());
    pieces_.emplace_back(scratch_.data(), static_cast<std::size_t>(now));
    n -= now;
  }
}

// One read of runs in page order, the pages between them dropped.
bool BlobPages::read_group(std::span<const Run> runs) {
  pieces_.clear();
  const std::uint64_t page_size = table_.page_size, data = table_.usable - 4;
  std::uint64_t page = runs.front().first;
  for (const Run& run : runs) {
    skip((run.first - page) * page_size);
    Chain& chain = chains_[run.chain];
    const std::uint64_t local = chain.request->cell->local;
    std::uint8_t* to = chain.request->to.data();
    for (std::uint64_t i = run.index; i < run.index + run.count; ++i) {
      chain.pages[i] = static_cast<std::uint32_t>(run.first + (i - run.index));
      keep(chain.links[i].data(), 4);
      const std::uint64_t c0 = local + i * data, c1 = c0 + data;
      const std::uint64_t b = std::clamp(chain.begin, c0, c1), e = std::clamp(chain.end, c0, c1);
      if (e > b) {
        skip(b - c0);
        keep(to + (b - chain.begin), e - b);
        skip(c1 - e);
      } else {
        skip(data);
      }
      skip(page_size - table_.usable);
    }
    page = run.first + run.count;
  }
  while (!pieces_.empty() && skipped(pieces_.back())) pieces_.pop_back();
  std::uint64_t length = 0;
  for (const auto& piece : pieces_) length += piece.size();
  const slide::Range range{(std::uint64_t{runs.front().first} - 1) * page_size, length, 0};
  return slide::read_scattered(sources_, range, pieces_).ok();
}

bool BlobPages::read(std::span<const Request> requests) {
  std::size_t chains = 0;  // of chains_, kept with their buffers between reads
  runs_.clear();
  const std::uint64_t data = table_.usable - 4;
  std::uint64_t bound = 1;
  for (const Request& request : requests) {
    const BlobCell& cell = *request.cell;
    if (request.from > cell.size || request.to.size() > cell.size - request.from) return false;
    const std::uint64_t begin = cell.at + request.from, end = begin + request.to.size();
    if (begin < cell.local) {
      const std::uint64_t n = std::min(end, cell.local) - begin;
      if (n > 0) std::memcpy(request.to.data(), cell.local_bytes + begin, static_cast<std::size_t>(n));
    }
    if (end <= cell.local) continue;
    if (cell.overflow == 0) return false;
    if (chains == chains_.size()) chains_.emplace_back();
    Chain& chain = chains_[chains++];
    chain.followed = false;
    chain.request = &request;
    chain.begin = begin;
    chain.end = end;
    chain.last = (end - 1 - cell.local) / data;
    if (chain.last >= table_.pages) return false;  // longer than the file
    chain.links.resize(static_cast<std::size_t>(chain.last + 1));
    chain.pages.resize(static_cast<std::size_t>(chain.last + 1));
    runs_.push_back(Run{chains - 1, 0, cell.overflow, chain.last + 1});
    bound += chain.last + 1;
  }
  // Each round reads every run, then follows the links that name other
  // pages than the next: a chain's runs start further on every round.
  for (std::uint64_t round = 0; !runs_.empty(); ++round) {
    if (round >= bound) return false;
    for (Run& run : runs_) {
      if (run.first < 2 || run.first > table_.pages) return false;
      run.count = std::min<std::uint64_t>(run.count, std::uint64_t{table_.pages} - run.first + 1);
    }
    std::sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.first < b.first; });
    for (std::size_t k = 0; k < runs_.size();) {
      std::size_t j = k + 1;
      std::uint64_t end = runs_[k].first + runs_[k].count;
      while (j < runs_.size() && runs_[j].first >= end && runs_[j].first - end <= kGap) {
        end = runs_[j].first + runs_[j].count;
        ++j;
      }
      if (!read_group(std::span<const Run>(runs_).subspan(k, j - k))) return false;
      k = j;
    }
    next_runs_.clear();
    for (const Run& run : runs_) {
      Chain& chain = chains_[run.chain];
      for (std::uint64_t k = 0; k < run.count; ++k) {
        const std::uint64_t i = run.index + k;
        if (i == chain.last) break;
        const std::uint32_t next = be32(chain.links[i].data());
        if (k + 1 < run.count && next == run.first + k + 1) continue;
        next_runs_.push_back(Run{run.chain, i + 1, next, chain.last - i});
        chain.followed = true;
        break;
      }
    }
    std::swap(runs_, next_runs_);
  }
  // A chain read back to back cannot loop; one that was followed elsewhere
  // must not come back to a page.
  for (const Chain& chain : std::span<const Chain>(chains_).first(chains)) {
    if (!chain.followed) continue;
    seen_.assign(chain.pages.begin(), chain.pages.end());
    std::sort(seen_.begin(), seen_.end());
    if (std::adjacent_find(seen_.begin(), seen_.end()) != seen_.end()) return false;
  }
  return true;
}

}  // namespace kolva::drivers::sakura
