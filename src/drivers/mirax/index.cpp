#include "drivers/mirax/index.hpp"

#include <cstring>
#include <unordered_set>

namespace kolva::drivers::mirax {
namespace {

class Reader {
 public:
  explicit Reader(ByteSpan data) : data_(data) {}

  // The int32 at `at`, which must be a non-negative offset or count.
  Result<std::uint32_t, std::string> word(std::uint64_t at) const {
    if (at > data_.size() || data_.size() - at < 4) {
      return "a pointer (" + std::to_string(at) + ") runs past the end of the index";
    }
    const std::uint8_t* p = data_.data() + at;
    const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                            std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    if (v > 0x7FFFFFFF) return std::string("the index holds a negative value");
    return v;
  }

  // The pages of the list whose head is at `head`, items of `size` bytes each,
  // handed to `take` (which returns false to stop).
  // With `first_only`, the first page alone.
  template <class Take>
  Result<Unit, std::string> pages(std::uint64_t head, std::uint64_t size, bool first_only,
                                  Take&& take) {
    auto first = word(head + 4);
    if (!first.ok()) return std::move(first).error();
    std::uint64_t page = *first;
    while (page != 0) {
      if (!seen_.insert(page).second) return std::string("its pages form a cycle");
      auto count = word(page);
      if (!count.ok()) return std::move(count).error();
      auto next = word(page + 4);
      if (!next.ok()) return std::move(next).error();
      const std::uint64_t start = page + 8;
      if (start > data_.size() || (data_.size() - start) / size < *count) {
        return "a page of " + std::to_string(*count) + " items runs past the end of the index";
      }
      // Pages that overlap would hand out the same bytes again and again, as
      // many items as pages times the file: every item has bytes of its own.
      if (!first_only) {
        items_ += *count;
        if (items_ > data_.size() / size) return std::string("its pages overlap");
      }
      for (std::uint64_t i = 0; i < *count; ++i) {
        if (!take(data_.data() + start + i * size)) return Unit{};
      }
      page = first_only ? 0 : *next;
    }
    return Unit{};
  }

 private:
  ByteSpan data_;
  std::unordered_set<std::uint64_t> seen_;
  std::uint64_t items_ = 0;  // of all lists read whole
};

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

Result<Index, std::string> parse_index(ByteSpan data, std::string_view slide_id,
                                       std::uint64_t levels, std::uint64_t records) {
  static constexpr std::string_view kVersion = "01.02";
  const std::uint64_t root = kVersion.size() + slide_id.size();
  if (data.size() < root + 8 || std::memcmp(data.data(), kVersion.data(), kVersion.size()) != 0) {
    return std::string("its index file is not a version 01.02 index");
  }
  if (std::memcmp(data.data() + kVersion.size(), slide_id.data(), slide_id.size()) != 0) {
    return std::string("its index file belongs to another slide (its SLIDE_ID differs)");
  }
  // A table cannot list more records than the file has words.
  if (levels > data.size() / 4 || records > data.size() / 4) {
    return std::string("its index file is shorter than its record tables");
  }
  Reader reader(data);
  Index index;
  auto hier = reader.word(root);
  if (!hier.ok()) return std::move(hier).error();
  auto nonhier = reader.word(root + 4);
  if (!nonhier.ok()) return std::move(nonhier).error();
  for (std::uint64_t level = 0; level < levels; ++level) {
    auto head = reader.word(*hier + 4 * level);
    if (!head.ok()) return std::move(head).error();
    std::vector<ImageItem> items;
    auto got = reader.pages(*head, 16, false, [&](const std::uint8_t* p) {
      items.push_back(ImageItem{le32(p), le32(p + 4), le32(p + 8), le32(p + 12)});
      return true;
    });
    if (!got.ok()) return std::move(got).error();
    index.levels.push_back(std::move(items));
  }
  for (std::uint64_t record = 0; record < records; ++record) {
    auto head = reader.word(*nonhier + 4 * record);
    if (!head.ok()) return std::move(head).error();
    std::optional<BlobItem> item;
    // Only the first item of the first page counts (its next pointer is not
    // always 0).
    auto got = reader.pages(*head, 20, true, [&](const std::uint8_t* p) {
      item = BlobItem{le32(p + 8), le32(p + 12), le32(p + 16)};
      return false;
    });
    if (!got.ok()) return std::move(got).error();
    index.records.push_back(item);
  }
  for (const auto& level : index.levels) {
    for (const ImageItem& item : level) {
      if ((item.image | item.offset | item.length | item.file) > 0x7FFFFFFF) {
        return std::string("the index holds a negative value");
      }
    }
  }
  return index;
}

}  // namespace kolva::drivers::mirax
