#include "drivers/zeiss_czi/format.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kolva::czi {
namespace {

std::uint32_t le32(ByteSpan b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}
std::int32_t sle32(ByteSpan b, std::size_t at) { return static_cast<std::int32_t>(le32(b, at)); }
std::uint64_t le64(ByteSpan b, std::size_t at) {
  return std::uint64_t{le32(b, at)} | std::uint64_t{le32(b, at + 4)} << 32;
}

// A NUL-padded ASCII field, up to its first NUL.
std::string ascii(ByteSpan b, std::size_t at, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n && b[at + i] != 0; ++i) {
    const char c = static_cast<char>(b[at + i]);
    s.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  }
  return s;
}

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

Result<std::uint64_t, std::string> segment(ByteSpan head, std::string_view id, std::uint64_t position,
                                           std::uint64_t file_size) {
  if (head.size() < kSegmentHeader) return "a segment at " + hex(position) + " lies past the end of the file";
  // The id, then a NUL unless it takes all 16 bytes.
  if (!std::equal(id.begin(), id.end(), head.begin()) || (id.size() < 16 && head[id.size()] != 0)) {
    return "the segment at " + hex(position) + " is not a " + std::string(id) + " segment";
  }
  const std::uint64_t allocated = le64(head, 16);
  std::uint64_t used = le64(head, 24);
  // Some writers leave the used size 0: the allocated size holds.
  if (used == 0) used = allocated;
  if (position > file_size || file_size - position < kSegmentHeader ||
      used > file_size - position - kSegmentHeader) {
    return "the " + std::string(id) + " segment at " + hex(position) + " ends past the end of the file";
  }
  return used;
}

Result<FileHeader, std::string> parse_file_header(ByteSpan head) {
  if (head.size() < kFileHeaderBytes || ascii(head, 0, 16) != "ZISRAWFILE") {
    return std::string("its file header is cut short");
  }
  FileHeader h;
  h.major = sle32(head, 32);
  h.minor = sle32(head, 36);
  h.directory = le64(head, 84);
  h.metadata = le64(head, 92);
  h.attachments = le64(head, 104);
  return h;
}

Result<std::pair<std::uint64_t, std::uint64_t>, std::string> directory_extent(
    ByteSpan head, std::uint64_t position, std::uint64_t file_size) {
  auto used = segment(head, "ZISRAWDIRECTORY", position, file_size);
  if (!used.ok()) return std::move(used).error();
  if (head.size() < kDirectoryHead || *used < kDirectoryHead - kSegmentHeader) {
    return std::string("its sub-block directory is cut short");
  }
  const std::uint64_t count = le32(head, 32);
  const std::uint64_t bytes = *used - (kDirectoryHead - kSegmentHeader);
  // Every entry takes at least 32 bytes.
  if (count > kMaxEntries || count > bytes / 32) {
    return "its sub-block directory claims " + std::to_string(count) + " entries in " +
           std::to_string(bytes) + " bytes";
  }
  return std::pair{count, bytes};
}

Result<Directory, std::string> parse_entries(ByteSpan bytes, std::uint64_t count) {
  // Checked and counted first, so that the dimensions' table is allocated once.
  std::size_t at = 0;
  std::size_t total = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 32 || bytes[at] != 'D' || bytes[at + 1] != 'V') {
      return "sub-block directory entry " + std::to_string(i) + " is not a DV entry";
    }
    const std::uint32_t n = le32(bytes, at + 28);
    if (n > kMaxDimensions || (bytes.size() - at - 32) / 20 < n) {
      return "sub-block directory entry " + std::to_string(i) + " has " + std::to_string(n) +
             " dimensions past its directory";
    }
    at += 32 + std::size_t{n} * 20;
    total += n;
  }
  Directory dir;
  dir.entries.resize(static_cast<std::size_t>(count));
  dir.dimensions.resize(total);
  at = 0;
  Dimension* next = dir.dimensions.data();
  for (Entry& e : dir.entries) {
    e.pixel_type = sle32(bytes, at + 2);
    e.position = le64(bytes, at + 6);
    e.compression = sle32(bytes, at + 18);
    e.pyramid_type = bytes[at + 22];
    const std::uint32_t n = le32(bytes, at + 28);
    for (std::uint32_t d = 0; d < n; ++d) {
      const std::size_t p = at + 32 + d * 20;
      next[d] = Dimension{static_cast<char>(bytes[p]), sle32(bytes, p + 4), sle32(bytes, p + 8),
                          sle32(bytes, p + 16)};
    }
    e.dimensions = std::span<const Dimension>(next, n);
    next += n;
    at += 32 + std::size_t{n} * 20;
  }
  return dir;
}

Result<DataRange, std::string> sub_block_data(ByteSpan head, const Entry& entry, std::uint64_t file_size) {
  return sub_block_data(head, entry.position, entry.dimensions.size(), file_size);
}

Result<DataRange, std::string> sub_block_data(ByteSpan head, std::uint64_t position, std::uint64_t dimensions,
                                              std::uint64_t file_size) {
  auto used = segment(head, "ZISRAWSUBBLOCK", position, file_size);
  if (!used.ok()) return std::move(used).error();
  if (head.size() < kSubBlockHead) return std::string("a sub-block header is cut short");
  const std::uint64_t metadata = le32(head, 32);
  const std::uint64_t attachment = le32(head, 36);
  const std::uint64_t data = le64(head, 40);
  // The fixed part: 256 bytes, or the entry's copy when that is longer.
  const std::uint64_t fixed = std::max<std::uint64_t>(256, 16 + 32 + 20 * dimensions);
  const std::uint64_t begin = position + kSegmentHeader;  // no overflow: checked by segment()
  const std::uint64_t room = file_size - begin;
  if (fixed > room || metadata > room - fixed || data > room - fixed - metadata ||
      attachment > room - fixed - metadata - data) {
    return "the sub-block at " + hex(position) + " ends past the end of the file";
  }
  return DataRange{begin + fixed + metadata, data};
}

Result<std::pair<std::uint64_t, std::uint64_t>, std::string> attachment_extent(
    ByteSpan head, std::uint64_t position, std::uint64_t file_size) {
  auto used = segment(head, "ZISRAWATTDIR", position, file_size);
  if (!used.ok()) return std::move(used).error();
  if (head.size() < kAttachmentDirectoryHead || *used < kAttachmentDirectoryHead - kSegmentHeader) {
    return std::string("its attachment directory is cut short");
  }
  const std::uint64_t count = le32(head, 32);
  const std::uint64_t bytes = *used - (kAttachmentDirectoryHead - kSegmentHeader);
  if (count > bytes / kAttachmentEntry) {
    return "its attachment directory claims " + std::to_string(count) + " entries in " +
           std::to_string(bytes) + " bytes";
  }
  return std::pair{count, count * kAttachmentEntry};
}

std::vector<Attachment> parse_attachments(ByteSpan bytes, std::uint64_t count) {
  std::vector<Attachment> out;
  for (std::uint64_t i = 0; i < count && (i + 1) * kAttachmentEntry <= bytes.size(); ++i) {
    const std::size_t at = static_cast<std::size_t>(i * kAttachmentEntry);
    if (bytes[at] != 'A' || bytes[at + 1] != '1') continue;
    out.push_back(Attachment{le64(bytes, at + 12), ascii(bytes, at + 40, 8), ascii(bytes, at + 48, 80)});
  }
  return out;
}

Result<DataRange, std::string> attachment_data(ByteSpan head, std::uint64_t position,
                                               std::uint64_t file_size) {
  auto used = segment(head, "ZISRAWATTACH", position, file_size);
  if (!used.ok()) return std::move(used).error();
  if (head.size() < kAttachmentDataAt) return std::string("an attachment header is cut short");
  const std::uint64_t data = le64(head, 32);
  const std::uint64_t room = file_size - position;
  if (room < kAttachmentDataAt || data > room - kAttachmentDataAt) {
    return "the attachment at " + hex(position) + " ends past the end of the file";
  }
  return DataRange{position + kAttachmentDataAt, data};
}

Result<DataRange, std::string> metadata_xml(ByteSpan head, std::uint64_t position, std::uint64_t file_size) {
  auto used = segment(head, "ZISRAWMETADATA", position, file_size);
  if (!used.ok()) return std::move(used).error();
  if (head.size() < kMetadataXmlAt) return std::string("its metadata segment is cut short");
  const std::uint64_t xml = le32(head, 32);
  const std::uint64_t room = file_size - position;
  if (room < kMetadataXmlAt || xml > room - kMetadataXmlAt) {
    return std::string("its metadata XML ends past the end of the file");
  }
  return DataRange{position + kMetadataXmlAt, xml};
}

std::optional<PixelFormat> pixel_format(std::int32_t pixel_type) {
  switch (pixel_type) {
    case 0: return PixelFormat{1, 1, false, false, false};  // Gray8
    case 1: return PixelFormat{1, 2, false, false, false};  // Gray16
    case 2: return PixelFormat{1, 4, true, false, false};   // Gray32Float
    case 3: return PixelFormat{3, 1, false, false, true};   // Bgr24
    case 4: return PixelFormat{3, 2, false, false, true};   // Bgr48
    case 8: return PixelFormat{3, 4, true, false, true};    // Bgr96Float
    case 9: return PixelFormat{4, 1, false, false, true};   // Bgra32
    case 12: return PixelFormat{1, 4, false, true, false};  // Gray32
    default: return std::nullopt;
  }
}

}  // namespace kolva::czi
