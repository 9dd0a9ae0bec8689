#include "drivers/dicom/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kolva::dicom {
namespace {

constexpr std::uint32_t tag_of(std::uint16_t group, std::uint16_t element) {
  return (std::uint32_t{group} << 16) | element;
}

constexpr std::uint32_t kItem = tag_of(0xFFFE, 0xE000);
constexpr std::uint32_t kItemEnd = tag_of(0xFFFE, 0xE00D);
constexpr std::uint32_t kSequenceEnd = tag_of(0xFFFE, 0xE0DD);
constexpr std::uint32_t kPixelData = tag_of(0x7FE0, 0x0010);
constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

constexpr std::uint32_t kTransferSyntax = tag_of(0x0002, 0x0010);
constexpr std::uint32_t kSharedGroups = tag_of(0x5200, 0x9229);
constexpr std::uint32_t kPerFrameGroups = tag_of(0x5200, 0x9230);
constexpr std::uint32_t kPixelMeasures = tag_of(0x0028, 0x9110);
constexpr std::uint32_t kPlanePositionSlide = tag_of(0x0048, 0x021A);
constexpr std::uint32_t kOpticalPathSequence = tag_of(0x0048, 0x0105);
constexpr std::uint32_t kOpticalPathIdentification = tag_of(0x0048, 0x0207);
constexpr std::uint32_t kOpticalPathIdentifier = tag_of(0x0048, 0x0106);
constexpr std::uint32_t kOpticalPathDescription = tag_of(0x0048, 0x0107);
constexpr std::uint32_t kObjectiveLensPower = tag_of(0x0048, 0x0112);
constexpr std::uint32_t kIccProfile = tag_of(0x0028, 0x2000);
constexpr std::uint32_t kPixelSpacing = tag_of(0x0028, 0x0030);
constexpr std::uint32_t kColumnPosition = tag_of(0x0048, 0x021E);
constexpr std::uint32_t kRowPosition = tag_of(0x0048, 0x021F);
constexpr std::uint32_t kZOffset = tag_of(0x0040, 0x074A);
constexpr std::uint32_t kExtendedOffsets = tag_of(0x7FE0, 0x0001);
constexpr std::uint32_t kExtendedLengths = tag_of(0x7FE0, 0x0002);

// Sequences that must be recognised in implicit VR, where a defined-length
// sequence looks like any other value.
constexpr std::uint32_t kSequences[] = {kSharedGroups,       kPerFrameGroups,
                                        kPixelMeasures,      kPlanePositionSlide,
                                        kOpticalPathSequence, kOpticalPathIdentification,
                                        tag_of(0x0020, 0x9111), tag_of(0x0048, 0x0108)};

// How a kept top-level value is stored.
enum class Kind : std::uint8_t { Text, U16, U32, Binary };

struct Attribute {
  std::uint32_t tag;
  const char* keyword;  // nullptr: kept for the header only, not listed
  Kind kind;
};

// The top-level attributes kept: the ones the slide is built from, and the
// descriptive and identifying ones listed as properties under their keywords.
constexpr Attribute kAttributes[] = {
    {kTransferSyntax, "TransferSyntaxUID", Kind::Text},
    {tag_of(0x0008, 0x0008), "ImageType", Kind::Text},
    {tag_of(0x0008, 0x0016), "SOPClassUID", Kind::Text},
    {tag_of(0x0008, 0x0018), "SOPInstanceUID", Kind::Text},
    {tag_of(0x0008, 0x0020), "StudyDate", Kind::Text},
    {tag_of(0x0008, 0x0021), "SeriesDate", Kind::Text},
    {tag_of(0x0008, 0x0023), "ContentDate", Kind::Text},
    {tag_of(0x0008, 0x002A), "AcquisitionDateTime", Kind::Text},
    {tag_of(0x0008, 0x0030), "StudyTime", Kind::Text},
    {tag_of(0x0008, 0x0031), "SeriesTime", Kind::Text},
    {tag_of(0x0008, 0x0033), "ContentTime", Kind::Text},
    {tag_of(0x0008, 0x0050), "AccessionNumber", Kind::Text},
    {tag_of(0x0008, 0x0060), "Modality", Kind::Text},
    {tag_of(0x0008, 0x0070), "Manufacturer", Kind::Text},
    {tag_of(0x0008, 0x0080), "InstitutionName", Kind::Text},
    {tag_of(0x0008, 0x1030), "StudyDescription", Kind::Text},
    {tag_of(0x0008, 0x103E), "SeriesDescription", Kind::Text},
    {tag_of(0x0008, 0x1090), "ManufacturerModelName", Kind::Text},
    {tag_of(0x0008, 0x9206), "VolumetricProperties", Kind::Text},
    {tag_of(0x0010, 0x0010), "PatientName", Kind::Text},
    {tag_of(0x0010, 0x0020), "PatientID", Kind::Text},
    {tag_of(0x0018, 0x1000), "DeviceSerialNumber", Kind::Text},
    {tag_of(0x0018, 0x1020), "SoftwareVersions", Kind::Text},
    {tag_of(0x0020, 0x000D), "StudyInstanceUID", Kind::Text},
    {tag_of(0x0020, 0x000E), "SeriesInstanceUID", Kind::Text},
    {tag_of(0x0020, 0x0010), "StudyID", Kind::Text},
    {tag_of(0x0020, 0x0011), "SeriesNumber", Kind::Text},
    {tag_of(0x0020, 0x0013), "InstanceNumber", Kind::Text},
    {tag_of(0x0020, 0x0052), "FrameOfReferenceUID", Kind::Text},
    {tag_of(0x0020, 0x4000), "ImageComments", Kind::Text},
    {tag_of(0x0020, 0x9161), "ConcatenationUID", Kind::Text},
    {tag_of(0x0020, 0x9162), "InConcatenationNumber", Kind::U16},
    {tag_of(0x0020, 0x9228), "ConcatenationFrameOffsetNumber", Kind::U32},
    {tag_of(0x0020, 0x9311), "DimensionOrganizationType", Kind::Text},
    {tag_of(0x0028, 0x0002), "SamplesPerPixel", Kind::U16},
    {tag_of(0x0028, 0x0004), "PhotometricInterpretation", Kind::Text},
    {tag_of(0x0028, 0x0006), "PlanarConfiguration", Kind::U16},
    {tag_of(0x0028, 0x0008), "NumberOfFrames", Kind::Text},
    {tag_of(0x0028, 0x0010), "Rows", Kind::U16},
    {tag_of(0x0028, 0x0011), "Columns", Kind::U16},
    {tag_of(0x0028, 0x0100), "BitsAllocated", Kind::U16},
    {tag_of(0x0028, 0x0101), "BitsStored", Kind::U16},
    {tag_of(0x0028, 0x0103), "PixelRepresentation", Kind::U16},
    {tag_of(0x0028, 0x0301), "BurnedInAnnotation", Kind::Text},
    {tag_of(0x0028, 0x2110), "LossyImageCompression", Kind::Text},
    {tag_of(0x0040, 0x0512), "ContainerIdentifier", Kind::Text},
    {tag_of(0x0048, 0x0006), "TotalPixelMatrixColumns", Kind::U32},
    {tag_of(0x0048, 0x0007), "TotalPixelMatrixRows", Kind::U32},
    {tag_of(0x0048, 0x0010), "SpecimenLabelInImage", Kind::Text},
    {tag_of(0x0048, 0x0011), "FocusMethod", Kind::Text},
    {tag_of(0x0048, 0x0012), "ExtendedDepthOfField", Kind::Text},
    {tag_of(0x0048, 0x0302), "NumberOfOpticalPaths", Kind::U32},
    {tag_of(0x0048, 0x0303), "TotalPixelMatrixFocalPlanes", Kind::U32},
    {kIccProfile, nullptr, Kind::Binary},
    {kExtendedOffsets, nullptr, Kind::Binary},
    {kExtendedLengths, nullptr, Kind::Binary},
};

const Attribute* top_level(std::uint32_t tag) {
  for (const Attribute& a : kAttributes) {
    if (a.tag == tag) return &a;
  }
  return nullptr;
}

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint64_t le64(const std::uint8_t* p) {
  return std::uint64_t{le32(p)} | (std::uint64_t{le32(p + 4)} << 32);
}

// Explicit VRs whose length takes 4 bytes after 2 reserved ones.
// Whether two bytes name a VR: where an implicit VR element has the low bytes
// of its length, an explicit one has these.
bool known_vr(std::uint8_t a, std::uint8_t b) {
  static constexpr const char* kVrs[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL",
                                         "IS", "LO", "LT", "OB", "OD", "OF", "OL", "OV", "OW",
                                         "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM", "UC",
                                         "UI", "UL", "UN", "UR", "US", "UT", "UV"};
  for (const char* vr : kVrs) {
    if (vr[0] == a && vr[1] == b) return true;
  }
  return false;
}

bool long_vr(std::uint8_t a, std::uint8_t b) {
  static constexpr const char* kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                          "UC", "UR", "UT", "UN", "SV", "UV"};
  for (const char* vr : kLong) {
    if (vr[0] == a && vr[1] == b) return true;
  }
  return false;
}

bool known_sequence(std::uint32_t tag) {
  return std::find(std::begin(kSequences), std::end(kSequences), tag) != std::end(kSequences);
}

std::string tag_text(std::uint32_t tag) {
  char text[16];
  std::snprintf(text, sizeof text, "(%04X,%04X)", tag >> 16, tag & 0xFFFF);
  return text;
}

KolvaError corrupt(std::string text) { return KolvaError::Decoding{std::move(text)}; }

// A text value without its padding (trailing spaces and NULs, leading spaces).
std::string text_of(ByteSpan value) {
  std::string text(value.begin(), value.end());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  const auto first = text.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const auto end = text.find('\\', start);
    std::string part = text.substr(start, end == std::string::npos ? end : end - start);
    while (!part.empty() && part.back() == ' ') part.pop_back();
    while (!part.empty() && part.front() == ' ') part.erase(part.begin());
    parts.push_back(std::move(part));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::optional<double> decimal(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> integer(const std::string& text) {
  std::uint64_t value = 0;
  const char* begin = text.data();
  if (!text.empty() && text[0] == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, text.data() + text.size(), value);
  if (ec != std::errc() || ptr == begin) return std::nullopt;
  return value;
}

std::int64_t signed32(ByteSpan value) {
  return value.size() >= 4 ? static_cast<std::int32_t>(le32(value.data())) : 0;
}

// The first bytes of a frame's codestream in one of the encapsulated codecs
// (JPEG family, JPEG 2000 codestream or JP2 box, JPEG XL).
bool opens_codestream(ByteSpan v) {
  if (v.size() >= 3 && v[0] == 0xFF && v[1] == 0xD8 && v[2] == 0xFF) return true;
  if (v.size() >= 4 && v[0] == 0xFF && v[1] == 0x4F && v[2] == 0xFF && v[3] == 0x51) return true;
  if (v.size() >= 4 && v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0x0C) return true;
  return v.size() >= 2 && v[0] == 0xFF && v[1] == 0x0A;
}

}  // namespace

bool has_dicom_magic(ByteSpan head) {
  return head.size() >= 132 && std::memcmp(head.data() + 128, "DICM", 4) == 0;
}

std::pair<InstanceReader, ReadInstruction> InstanceReader::dispatch(std::uint64_t file_size) {
  InstanceReader reader(file_size);
  const ReadInstruction first = reader.window(0, kWindow);
  return {std::move(reader), first};
}

ReadInstruction InstanceReader::window(std::uint64_t offset, std::uint64_t length) const {
  const std::uint64_t left = offset < size_ ? size_ - offset : 0;
  return ReadAndStep{offset, std::min(length, left)};
}

KolvaResult<ReadInstruction> InstanceReader::step(ByteSpan bytes) {
  return std::visit(
      [&](auto& phase) -> KolvaResult<ReadInstruction> {
        using P = std::decay_t<decltype(phase)>;
        if constexpr (std::is_same_v<P, ReadPreamble>) return read_preamble(bytes);
        if constexpr (std::is_same_v<P, ReadElements>) return read_elements(phase, bytes);
        if constexpr (std::is_same_v<P, ReadOffsetItem>) return read_offset_item(bytes);
        if constexpr (std::is_same_v<P, ReadOffsetTable>) return read_offset_table(phase, bytes);
        if constexpr (std::is_same_v<P, ScanFragments>) return scan_fragments(phase, bytes);
        return KolvaError::Panic{"InstanceReader stepped after it finished"};
      },
      phase_);
}

KolvaResult<Instance> InstanceReader::receive(ByteSpan) && {
  if (!std::holds_alternative<Finished>(phase_)) {
    return KolvaError::Panic{"InstanceReader received before it finished"};
  }
  return Instance{std::move(header_), std::move(frames_)};
}

// The 128-byte preamble and "DICM"; the data set follows in the same window.
KolvaResult<ReadInstruction> InstanceReader::read_preamble(ByteSpan bytes) {
  if (!has_dicom_magic(bytes)) {
    return KolvaError::UnknownFormat{"not a DICOM file: no DICM marker after the 128-byte preamble"};
  }
  pos_ = 132;
  auto& elements = phase_.emplace<ReadElements>();
  return read_elements(elements, bytes.subspan(132));
}

// Elements of the data set, from `pos_` on; `bytes` start there. Elements of
// no interest are skipped without their values being read.
KolvaResult<ReadInstruction> InstanceReader::read_elements(ReadElements& phase, ByteSpan bytes) {
  auto& open = phase.open;
  std::uint64_t off = 0;  // into bytes
  // Asks for the window that holds `need` bytes from `at` on.
  auto more = [&](std::uint64_t at, std::uint64_t need) -> KolvaResult<ReadInstruction> {
    if (at > size_ || need > size_ - at) {
      return corrupt("the data set ends at byte " + std::to_string(size_) +
                     " before its Pixel Data element");
    }
    pos_ = at;
    return window(at, std::max(need, kWindow));
  };
  while (true) {
    const std::uint64_t at = pos_ + off;
    while (!open.empty() && open.back().end && *open.back().end <= at) {
      if (*open.back().end < at) {
        return corrupt("an element overruns the end of the " +
                       std::string(open.back().item ? "item" : "sequence") + " " +
                       tag_text(open.back().tag) + " that holds it");
      }
      open.pop_back();
    }
    const std::uint64_t avail = off <= bytes.size() ? bytes.size() - off : 0;
    if (avail < 8) return more(at, 8);
    const std::uint8_t* p = bytes.data() + off;
    const std::uint32_t tag = tag_of(le16(p), le16(p + 2));
    const std::uint16_t group = static_cast<std::uint16_t>(tag >> 16);

    if (group == 0xFFFE) {
      const std::uint32_t length = le32(p + 4);
      if (tag == kItem) {
        if (open.empty() || open.back().item) {
          return corrupt("an item at byte " + std::to_string(at) + " sits outside any sequence");
        }
        if (open.size() >= kMaxDepth) {
          return corrupt("sequences nest more than " + std::to_string(kMaxDepth) + " deep");
        }
        std::optional<std::uint64_t> end;
        if (length != kUndefined) {
          end = at + 8 + length;
          if (*end > size_) {
            return corrupt("an item at byte " + std::to_string(at) + " claims " +
                           std::to_string(length) + " bytes, past the end of the file");
          }
        }
        Container& sequence = open.back();
        open.push_back(Container{sequence.tag, true, end, sequence.items++, 0});
      } else if (tag == kItemEnd) {
        if (open.empty() || !open.back().item || open.back().end) {
          return corrupt("an item delimiter at byte " + std::to_string(at) +
                         " closes no item of undefined length");
        }
        open.pop_back();
      } else if (tag == kSequenceEnd) {
        if (open.empty() || open.back().item || open.back().end) {
          return corrupt("a sequence delimiter at byte " + std::to_string(at) +
                         " closes no sequence of undefined length");
        }
        open.pop_back();
      } else {
        return corrupt("unknown item tag " + tag_text(tag) + " at byte " + std::to_string(at));
      }
      off += 8;
      continue;
    }

    if (!open.empty() && !open.back().item) {
      return corrupt("element " + tag_text(tag) + " at byte " + std::to_string(at) +
                     " sits in a sequence outside any item");
    }
    // The file meta group is always explicit VR little endian. A data set that
    // says implicit VR but whose first element names a VR is read as explicit,
    // as other readers do: converters write such files, and the data sets made
    // from DICOMweb metadata (which names every VR) are written so.
    if (group != 0x0002 && !vr_checked_) {
      vr_checked_ = true;
      if (!explicit_vr_ && known_vr(p[4], p[5])) explicit_vr_ = true;
    }
    const bool explicit_vr = explicit_vr_ || group == 0x0002;
    std::uint64_t header = 8;
    std::uint32_t length = 0;
    bool sequence = false;
    if (explicit_vr) {
      if (long_vr(p[4], p[5])) {
        if (avail < 12) return more(at, 12);
        header = 12;
        length = le32(p + 8);
      } else {
        length = le16(p + 6);
      }
      sequence = (p[4] == 'S' && p[5] == 'Q') ||
                 (p[4] == 'U' && p[5] == 'N' && length == kUndefined);
    } else {
      length = le32(p + 4);
      sequence = length == kUndefined || known_sequence(tag);
    }
    if (tag == kPixelData && open.empty()) return start_pixel_data(at + header, length);
    if (sequence) {
      if (open.size() >= kMaxDepth) {
        return corrupt("sequences nest more than " + std::to_string(kMaxDepth) + " deep");
      }
      std::optional<std::uint64_t> end;
      if (length != kUndefined) {
        end = at + header + length;
        if (*end > size_) {
          return corrupt("sequence " + tag_text(tag) + " at byte " + std::to_string(at) +
                         " claims " + std::to_string(length) + " bytes, past the end of the file");
        }
      }
      open.push_back(Container{tag, false, end, 0, 0});
      off += header;
      continue;
    }
    if (length == kUndefined) {
      return corrupt("element " + tag_text(tag) + " at byte " + std::to_string(at) +
                     " has an undefined length");
    }
    const std::uint64_t end = at + header + length;
    if (end > size_) {
      return corrupt("element " + tag_text(tag) + " at byte " + std::to_string(at) + " claims " +
                     std::to_string(length) + " bytes, past the end of the file");
    }
    bool wanted = false;
    if (open.empty()) {
      wanted = top_level(tag) != nullptr;
    } else {
      wanted = tag == kPixelSpacing || tag == kColumnPosition || tag == kRowPosition ||
               tag == kZOffset || tag == kOpticalPathIdentifier || tag == kObjectiveLensPower ||
               tag == kOpticalPathDescription || tag == kIccProfile;
    }
    if (wanted) {
      if (length > kMaxValue) {
        return corrupt("element " + tag_text(tag) + " holds " + std::to_string(length) +
                       " bytes, more than kolva keeps");
      }
      if (avail < header + length) return more(at, header + length);
      keep(open, tag, bytes.subspan(off + header, length));
      if (tag == kTransferSyntax) {
        const std::string& syntax = header_.transfer_syntax;
        if (syntax == "1.2.840.10008.1.2.1.99") {
          return KolvaError::UnknownFormat{
              "its data set is deflated (transfer syntax 1.2.840.10008.1.2.1.99), which kolva "
              "does not read"};
        }
        if (syntax == "1.2.840.10008.1.2.2") {
          return KolvaError::UnknownFormat{
              "its data set is big endian (transfer syntax 1.2.840.10008.1.2.2), which kolva "
              "does not read"};
        }
        explicit_vr_ = syntax != "1.2.840.10008.1.2";
      }
    }
    off += header + length;
    if (off > bytes.size()) {
      pos_ = end;
      return window(pos_, kWindow);
    }
  }
}

void InstanceReader::keep(const std::vector<Container>& open, std::uint32_t tag, ByteSpan value) {
  // The sequences the element sits in, outermost first.
  std::uint32_t path[2] = {0, 0};
  std::size_t depth = 0;
  std::uint64_t outer_item = 0;
  for (const Container& c : open) {
    if (c.item) continue;
    if (depth < 2) path[depth] = c.tag;
    ++depth;
  }
  for (const Container& c : open) {
    if (c.item) {
      outer_item = c.index;
      break;
    }
  }
  Header& h = header_;
  if (depth == 0) {
    const Attribute* a = top_level(tag);
    if (a == nullptr) return;
    std::string text;
    if (a->kind == Kind::Text) {
      text = text_of(value);
    } else if (a->kind == Kind::U16) {
      text = value.size() >= 2 ? std::to_string(le16(value.data())) : "";
    } else if (a->kind == Kind::U32) {
      text = value.size() >= 4 ? std::to_string(le32(value.data())) : "";
    }
    const std::uint64_t number = integer(text).value_or(0);
    switch (tag) {
      case kTransferSyntax: h.transfer_syntax = text; break;
      case tag_of(0x0008, 0x0008): h.image_type = split(text); break;
      case tag_of(0x0008, 0x0016): h.sop_class = text; break;
      case tag_of(0x0008, 0x0018): h.sop_instance = text; break;
      case tag_of(0x0020, 0x000D): h.study_uid = text; break;
      case tag_of(0x0020, 0x000E): h.series_uid = text; break;
      case tag_of(0x0020, 0x9161): h.concatenation_uid = text; break;
      case tag_of(0x0020, 0x9162): h.in_concatenation_number = number; break;
      case tag_of(0x0020, 0x9228): h.concatenation_frame_offset = number; break;
      case tag_of(0x0020, 0x9311): h.dimension_organization = text; break;
      case tag_of(0x0028, 0x0002): h.samples_per_pixel = number; break;
      case tag_of(0x0028, 0x0004): h.photometric = text; break;
      case tag_of(0x0028, 0x0006): h.planar_configuration = number; break;
      case tag_of(0x0028, 0x0008): h.number_of_frames = integer(text).value_or(UINT64_MAX); break;
      case tag_of(0x0028, 0x0010): h.rows = number; break;
      case tag_of(0x0028, 0x0011): h.columns = number; break;
      case tag_of(0x0028, 0x0100): h.bits_allocated = number; break;
      case tag_of(0x0028, 0x0101): h.bits_stored = number; break;
      case tag_of(0x0028, 0x0103): h.pixel_representation = number; break;
      case tag_of(0x0048, 0x0006): h.total_columns = number; break;
      case tag_of(0x0048, 0x0007): h.total_rows = number; break;
      case tag_of(0x0048, 0x0302): h.optical_path_count = number; break;
      case tag_of(0x0048, 0x0303): h.focal_planes = number; break;
      case kIccProfile: h.icc_profile.assign(value.begin(), value.end()); break;
      case kExtendedOffsets:
      case kExtendedLengths: {
        auto& table = tag == kExtendedOffsets ? h.extended_offsets : h.extended_lengths;
        table.clear();
        table.reserve(value.size() / 8);
        for (std::size_t i = 0; i + 8 <= value.size(); i += 8) table.push_back(le64(&value[i]));
        break;
      }
      default: break;
    }
    // Empty ones too: OpenSlide lists them (dicom.PatientID = "").
    if (a->keyword != nullptr) h.attributes.emplace_back(a->keyword, text);
    return;
  }
  if (path[0] == kSharedGroups && depth == 2) {
    if (path[1] == kPixelMeasures && tag == kPixelSpacing) {
      const auto parts = split(text_of(value));
      if (parts.size() >= 2) {
        const auto row = decimal(parts[0]);
        const auto column = decimal(parts[1]);
        if (row && column) h.pixel_spacing = std::make_pair(*row, *column);
      }
    } else if (path[1] == kOpticalPathIdentification && tag == kOpticalPathIdentifier) {
      h.shared_optical_path = text_of(value);
    }
    return;
  }
  if (path[0] == kPerFrameGroups && depth == 2) {
    if (outer_item >= kMaxFrames) return;
    if (h.positions.size() <= outer_item) h.positions.resize(outer_item + 1);
    FramePosition& at = h.positions[outer_item];
    if (path[1] == kPlanePositionSlide) {
      if (tag == kColumnPosition) at.column = signed32(value);
      if (tag == kRowPosition) at.row = signed32(value);
      if (tag == kZOffset) at.z = decimal(text_of(value));
    } else if (path[1] == kOpticalPathIdentification && tag == kOpticalPathIdentifier) {
      at.optical_path = text_of(value);
    }
    return;
  }
  if (path[0] == kOpticalPathSequence && depth == 1) {
    if (outer_item >= 1024) return;
    if (h.optical_paths.size() <= outer_item) h.optical_paths.resize(outer_item + 1);
    OpticalPath& path_item = h.optical_paths[outer_item];
    if (tag == kOpticalPathIdentifier) path_item.identifier = text_of(value);
    if (tag == kOpticalPathDescription) path_item.description = text_of(value);
    if (tag == kObjectiveLensPower) path_item.objective_power = decimal(text_of(value));
    if (tag == kIccProfile) path_item.icc_profile.assign(value.begin(), value.end());
  }
}

KolvaResult<ReadInstruction> InstanceReader::start_pixel_data(std::uint64_t value_at,
                                                              std::uint32_t length) {
  Header& h = header_;
  if (h.transfer_syntax.empty()) return corrupt("the file meta group names no transfer syntax");
  if (h.number_of_frames == 0 || h.number_of_frames > kMaxFrames) {
    return corrupt("NumberOfFrames is " +
                   (h.number_of_frames == UINT64_MAX ? std::string("not a number")
                                                     : std::to_string(h.number_of_frames)) +
                   " (kolva reads 1 to " + std::to_string(kMaxFrames) + " frames an instance)");
  }
  if (h.rows == 0 || h.columns == 0) return corrupt("the frames have no Rows or Columns");
  h.pixel_data_offset = value_at;
  h.encapsulated = length == kUndefined;
  if (!h.encapsulated) {
    const bool native = h.transfer_syntax == "1.2.840.10008.1.2" ||
                        h.transfer_syntax == "1.2.840.10008.1.2.1";
    if (!native) {
      return corrupt("Pixel Data has a defined length in encapsulated transfer syntax " +
                     h.transfer_syntax);
    }
    if (h.sop_class != kWsiSopClass && !h.sop_class.empty()) {
      // No slide (a segmentation's 1-bit frames, say): the series passes it over
      // or refuses it by its class; its frames are never read.
      offset_source_ = OffsetSource::Native;
      phase_ = Finished{};
      return ReadInstruction{Finish{}};
    }
    if (h.bits_allocated != 8 && h.bits_allocated != 16 && h.bits_allocated != 32) {
      return KolvaError::UnknownFormat{"its pixels take a number of bits other than 8, 16 or 32"};
    }
    if (h.samples_per_pixel == 0 || h.samples_per_pixel > 4) {
      return corrupt("SamplesPerPixel is " + std::to_string(h.samples_per_pixel));
    }
    // rows and columns are 16-bit, samples at most 4, bits at most 32: no overflow.
    const std::uint64_t frame_bytes = h.rows * h.columns * h.samples_per_pixel * (h.bits_allocated / 8);
    if (value_at + length > size_) {
      return corrupt("Pixel Data claims " + std::to_string(length) +
                     " bytes, past the end of the file");
    }
    if (h.number_of_frames > length / frame_bytes) {
      return corrupt("Pixel Data holds " + std::to_string(length) + " bytes, fewer than " +
                     std::to_string(h.number_of_frames) + " frames of " +
                     std::to_string(frame_bytes) + " bytes");
    }
    h.pixel_data_length = length;
    frames_.reserve(h.number_of_frames);
    for (std::uint64_t i = 0; i < h.number_of_frames; ++i) {
      frames_.push_back(Frame{value_at + i * frame_bytes, frame_bytes, Frame::Kind::Value});
    }
    offset_source_ = OffsetSource::Native;
    phase_ = Finished{};
    return ReadInstruction{Finish{}};
  }
  pos_ = value_at;
  phase_ = ReadOffsetItem{};
  if (pos_ + 8 > size_) return corrupt("the file ends inside the Pixel Data element");
  return ReadInstruction{ReadAndStep{pos_, 8}};
}

// The Basic Offset Table's item header: its length says whether a table follows.
KolvaResult<ReadInstruction> InstanceReader::read_offset_item(ByteSpan bytes) {
  if (bytes.size() < 8) return corrupt("the file ends inside the Pixel Data element");
  if (tag_of(le16(bytes.data()), le16(bytes.data() + 2)) != kItem) {
    return corrupt("encapsulated Pixel Data does not start with an item");
  }
  const std::uint32_t length = le32(bytes.data() + 4);
  if (length % 4 != 0 || length / 4 > kMaxFrames || pos_ + 8 + length > size_) {
    return corrupt("the Basic Offset Table's length " + std::to_string(length) +
                   " is no whole number of offsets inside the file");
  }
  pos_ += 8;
  first_fragment_ = pos_ + length;
  if (length > 0) {
    phase_ = ReadOffsetTable{length};
    return ReadInstruction{ReadAndStep{pos_, length}};
  }
  return finish_frames();
}

KolvaResult<ReadInstruction> InstanceReader::read_offset_table(const ReadOffsetTable& phase,
                                                               ByteSpan bytes) {
  if (bytes.size() != phase.length) return corrupt("the Basic Offset Table was cut short");
  basic_offsets_.reserve(bytes.size() / 4);
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) basic_offsets_.push_back(le32(&bytes[i]));
  return finish_frames();
}

KolvaResult<ReadInstruction> InstanceReader::finish_frames() {
  const Header& h = header_;
  const std::uint64_t n = h.number_of_frames;
  const std::uint64_t data_size = size_ - first_fragment_;
  if (!h.extended_offsets.empty() || !h.extended_lengths.empty()) {
    if (h.extended_offsets.size() != n || h.extended_lengths.size() != n) {
      return corrupt("the Extended Offset Table has " + std::to_string(h.extended_offsets.size()) +
                     " offsets and " + std::to_string(h.extended_lengths.size()) +
                     " lengths for " + std::to_string(n) + " frames");
    }
    frames_.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t offset = h.extended_offsets[i];
      const std::uint64_t length = h.extended_lengths[i];
      if (offset > data_size || data_size - offset < 8 || length > data_size - offset - 8) {
        return corrupt("the Extended Offset Table puts frame " + std::to_string(i) +
                       " outside the pixel data");
      }
      if (length == 0) return corrupt("frame " + std::to_string(i) + " is empty");
      frames_.push_back(Frame{first_fragment_ + offset + 8, length, Frame::Kind::Value});
    }
    offset_source_ = OffsetSource::Extended;
    phase_ = Finished{};
    return ReadInstruction{Finish{}};
  }
  if (!basic_offsets_.empty()) {
    if (basic_offsets_.size() != n) {
      return corrupt("the Basic Offset Table has " + std::to_string(basic_offsets_.size()) +
                     " offsets for " + std::to_string(n) + " frames");
    }
    frames_.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t offset = basic_offsets_[i];
      const std::uint64_t end = i + 1 < n ? basic_offsets_[i + 1] : data_size;
      if (end > data_size || offset >= end || end - offset <= 8) {
        return corrupt(offset >= data_size || end > data_size
                           ? "the Basic Offset Table puts frame " + std::to_string(i) +
                                 " outside the pixel data"
                           : "frame " + std::to_string(i) + " is empty");
      }
      frames_.push_back(Frame{first_fragment_ + offset, end - offset, Frame::Kind::Items});
    }
    offset_source_ = OffsetSource::Basic;
    phase_ = Finished{};
    return ReadInstruction{Finish{}};
  }
  offset_source_ = OffsetSource::Scan;
  pos_ = first_fragment_;
  phase_ = ScanFragments{};
  return window(pos_, 8);
}

// One fragment item header a step (and, when peeking, its first 4 bytes): a
// fragment is skipped without its bytes being read.
KolvaResult<ReadInstruction> InstanceReader::scan_fragments(ScanFragments& phase, ByteSpan bytes) {
  if (bytes.empty() && pos_ == size_) return frames_from_fragments(phase);  // no delimiter
  if (bytes.size() < 8) return corrupt("the file ends inside a fragment item header");
  const std::uint32_t tag = tag_of(le16(bytes.data()), le16(bytes.data() + 2));
  if (tag == kSequenceEnd) return frames_from_fragments(phase);
  if (tag != kItem) {
    return corrupt("byte " + std::to_string(pos_) + " of the pixel data holds " + tag_text(tag) +
                   " where a fragment item belongs");
  }
  const std::uint64_t length = le32(bytes.data() + 4);
  if (pos_ + 8 + length > size_) {
    return corrupt("a fragment at byte " + std::to_string(pos_) + " claims " +
                   std::to_string(length) + " bytes, past the end of the file");
  }
  if (phase.fragments.size() >= kMaxFragments) {
    return corrupt("the pixel data holds more than " + std::to_string(kMaxFragments) +
                   " fragments");
  }
  phase.fragments.emplace_back(pos_, length);
  if (phase.peek) phase.starts.push_back(opens_codestream(bytes.subspan(8)));
  pos_ += 8 + length;
  return window(pos_, phase.peek ? 12 : 8);
}

KolvaResult<ReadInstruction> InstanceReader::frames_from_fragments(ScanFragments& phase) {
  const std::uint64_t n = header_.number_of_frames;
  const auto& fragments = phase.fragments;
  const std::uint64_t count = fragments.size();
  auto done = [&]() -> KolvaResult<ReadInstruction> {
    for (std::size_t i = 0; i < frames_.size(); ++i) {
      if (frames_[i].length == 0) return corrupt("frame " + std::to_string(i) + " is empty");
    }
    phase_ = Finished{};
    return ReadInstruction{Finish{}};
  };
  if (count < n) {
    return corrupt(std::to_string(count) + " fragments cannot hold " + std::to_string(n) +
                   " frames");
  }
  frames_.reserve(n);
  if (count == n) {
    for (const auto& [at, length] : fragments) {
      frames_.push_back(Frame{at + 8, length, Frame::Kind::Value});
    }
    return done();
  }
  auto items = [&](std::size_t first, std::size_t last) {
    const std::uint64_t begin = fragments[first].first;
    const std::uint64_t end = fragments[last].first + 8 + fragments[last].second;
    std::uint64_t data = 0;
    for (std::size_t i = first; i <= last; ++i) data += fragments[i].second;
    frames_.push_back(Frame{begin, data == 0 ? 0 : end - begin, Frame::Kind::Items});
  };
  if (n == 1) {
    items(0, count - 1);
    return done();
  }
  if (!phase.peek) {
    // More fragments than frames: scan again, looking at where codestreams start.
    pos_ = first_fragment_;
    phase_ = ScanFragments{{}, {}, true};
    return window(pos_, 12);
  }
  std::vector<std::size_t> firsts;
  for (std::size_t i = 0; i < count; ++i) {
    if (phase.starts[i]) firsts.push_back(i);
  }
  if (firsts.size() != n || firsts[0] != 0) {
    return corrupt("cannot tell which of the " + std::to_string(count) +
                   " fragments begin each of the " + std::to_string(n) + " frames");
  }
  for (std::size_t f = 0; f < n; ++f) items(firsts[f], f + 1 < n ? firsts[f + 1] - 1 : count - 1);
  return done();
}

}  // namespace kolva::dicom
