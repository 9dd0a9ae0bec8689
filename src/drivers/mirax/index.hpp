#pragma once

// MIRAX's index file (Index.dat): "01.02", the slide id, then two pointers
// (hierarchical and non-hierarchical record tables). A record points to a list
// head (int32 0, int32 first page); a page is int32 item count, int32 next
// page (0: the last), then the items. Hierarchical items (16 bytes: image
// index, offset, length, data file) list a level's stored images;
// non-hierarchical ones (20 bytes: two words, offset, length, data file)
// locate a blob (an associated image, the camera positions). All int32,
// little-endian, unaligned. Pure: the whole file is in memory.
//
// Hostile indexes end in an error, never a loop or a read past the end:
// every pointer and page is checked against the file's size and a page seen
// twice is a cycle.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base.hpp"

namespace kolva::drivers::mirax {

struct ImageItem {
  std::uint32_t image = 0;  // y * images across + x, in level-0 image coordinates
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t file = 0;
};

struct BlobItem {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t file = 0;
};

struct Index {
  std::vector<std::vector<ImageItem>> levels;      // one list per level, in order
  std::vector<std::optional<BlobItem>> records;  // the first item of each non-hierarchical record
};

// `levels` hierarchical records (the first of the table), `records`
// non-hierarchical ones, for the slide `slide_id`.
Result<Index, std::string> parse_index(ByteSpan data, std::string_view slide_id,
                                       std::uint64_t levels, std::uint64_t records);

}  // namespace kolva::drivers::mirax
