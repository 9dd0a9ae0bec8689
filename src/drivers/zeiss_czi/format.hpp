#pragma once

// The ZISRAW container of Zeiss CZI files, read from bytes: 32-byte segment
// headers (ASCII id, allocated and used size), the file header, the sub-block
// directory (one `DV` entry per sub-block: pixel type, compression, pyramid
// type and its dimensions), the sub-block and attachment segments' fixed
// parts and the attachment directory (`A1` entries). Every count and size is
// checked against the bytes given and the file's size; nothing here reads.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"

namespace kolva::czi {

constexpr std::uint64_t kSegmentHeader = 32;
constexpr std::uint64_t kFileHeaderBytes = 112;     // header segment + file header fields
constexpr std::uint64_t kDirectoryHead = 160;        // header + entry count + reserved
constexpr std::uint64_t kSubBlockHead = 48;          // header + metadata, attachment, data sizes
constexpr std::uint64_t kAttachmentDirectoryHead = 288;
constexpr std::uint64_t kAttachmentEntry = 128;
constexpr std::uint64_t kAttachmentDataAt = 288;     // from the attachment segment's start
constexpr std::uint64_t kMetadataXmlAt = 288;        // from the metadata segment's start
constexpr std::uint32_t kMaxDimensions = 32;
constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 22;

struct FileHeader {
  std::int32_t major = 0, minor = 0;
  std::uint64_t directory = 0;    // 0: none
  std::uint64_t metadata = 0;
  std::uint64_t attachments = 0;
};

// One dimension of a sub-block: name ("X", "C", ...), start, size on level 0,
// stored size.
struct Dimension {
  char name = 0;
  std::int32_t start = 0;
  std::int32_t size = 0;
  std::int32_t stored = 0;
};

struct Entry {
  std::int32_t pixel_type = 0;
  std::int32_t compression = 0;
  std::uint8_t pyramid_type = 0;
  std::uint64_t position = 0;  // of the sub-block segment
  std::span<const Dimension> dimensions;  // in its Directory's table
  const Dimension* find(char name) const {
    for (const Dimension& d : dimensions) {
      if (d.name == name) return &d;
    }
    return nullptr;
  }
  // The start of a dimension the entry does not list is 0.
  std::int32_t start(char name) const {
    const Dimension* d = find(name);
    return d ? d->start : 0;
  }
};

struct Attachment {
  std::uint64_t position = 0;  // of the attachment segment
  std::string content_type;    // "JPG", "CZI", ...
  std::string name;            // "Label", "SlidePreview", "Thumbnail", ...
};

// The used size of the segment whose 32-byte header is `head` if its id is
// `id`, checked to lie within `file_size` from `position`; an error in words.
Result<std::uint64_t, std::string> segment(ByteSpan head, std::string_view id, std::uint64_t position,
                                           std::uint64_t file_size);

// The file header from the first kFileHeaderBytes bytes of the file.
Result<FileHeader, std::string> parse_file_header(ByteSpan head);

// The number of entries of a sub-block directory from its first
// kDirectoryHead bytes, and the bytes that follow them (its entries).
Result<std::pair<std::uint64_t, std::uint64_t>, std::string> directory_extent(
    ByteSpan head, std::uint64_t position, std::uint64_t file_size);

// A sub-block directory: its entries, whose dimensions lie in one table (moved,
// never copied, so that the entries' views of it hold).
struct Directory {
  std::vector<Entry> entries;
  std::vector<Dimension> dimensions;
  Directory() = default;
  Directory(Directory&&) = default;
  Directory& operator=(Directory&&) = default;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
};

// The `DV` entries in `bytes` (the directory's segment after kDirectoryHead).
Result<Directory, std::string> parse_entries(ByteSpan bytes, std::uint64_t count);

// Where a sub-block's pixel data lies, from its kSubBlockHead bytes and its
// directory entry, checked against the file.
struct DataRange {
  std::uint64_t offset = 0, length = 0;
};
Result<DataRange, std::string> sub_block_data(ByteSpan head, const Entry& entry, std::uint64_t file_size);
// The same from the entry's position and its number of dimensions.
Result<DataRange, std::string> sub_block_data(ByteSpan head, std::uint64_t position, std::uint64_t dimensions,
                                              std::uint64_t file_size);

// The attachment directory's entries count from its first bytes.
Result<std::pair<std::uint64_t, std::uint64_t>, std::string> attachment_extent(
    ByteSpan head, std::uint64_t position, std::uint64_t file_size);
std::vector<Attachment> parse_attachments(ByteSpan bytes, std::uint64_t count);

// An attachment's data, from the segment's first kAttachmentDataAt bytes.
Result<DataRange, std::string> attachment_data(ByteSpan head, std::uint64_t position,
                                               std::uint64_t file_size);

// The metadata segment's XML, from its first kMetadataXmlAt bytes.
Result<DataRange, std::string> metadata_xml(ByteSpan head, std::uint64_t position, std::uint64_t file_size);

// Samples per pixel and bytes per sample of a pixel type; nothing for types
// kolva does not hand out (complex, 32-bit integer, float colour...).
struct PixelFormat {
  std::uint16_t samples = 1;
  std::uint16_t sample_bytes = 1;
  bool is_float = false;
  bool is_signed = false;
  bool bgr = false;  // colour samples stored blue first (an alpha sample last)
};
std::optional<PixelFormat> pixel_format(std::int32_t pixel_type);

}  // namespace kolva::czi
