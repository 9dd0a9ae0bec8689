#pragma once

// DICOM instances (Part 10 files) read as whole-slide objects, without I/O.
//
// InstanceReader is a read consumer: it walks the file meta group and the data
// set in explicit or implicit VR little endian up to Pixel Data, a window of
// bytes at a time, keeping the attributes a slide needs; then it reads the
// frame offsets: the Extended Offset Table when the data set has one, else the
// Basic Offset Table, else a scan of the fragment item headers (8 bytes each,
// plus the first 4 bytes of a fragment only when there are more fragments than
// frames and the frame starts must be told apart). Frame bodies are never read.
//
// Limits: sequences nest at most kMaxDepth deep, a kept value is at most
// kMaxValue bytes, an instance has at most kMaxFrames frames and kMaxFragments
// fragments; arithmetic on lengths read from the file is checked.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/base.hpp"

namespace kolva::dicom {

inline constexpr std::size_t kMaxDepth = 32;
inline constexpr std::uint64_t kMaxValue = 64ULL << 20;
inline constexpr std::uint64_t kMaxFrames = 1ULL << 24;
inline constexpr std::uint64_t kMaxFragments = 1ULL << 25;
// The first window asked for (a typical header and offset table fit); later
// windows grow to fit the element at hand. Remote readers fetch more up front.
inline constexpr std::uint64_t kWindow = 16ULL << 10;

inline constexpr const char* kWsiSopClass = "1.2.840.10008.5.1.4.1.1.77.1.6";

// One optical path of the OpticalPathSequence.
struct OpticalPath {
  std::string identifier;
  std::string description;
  std::optional<double> objective_power;
  Bytes icc_profile;
};

// Where a frame sits, from its per-frame Plane Position (Slide) item.
struct FramePosition {
  std::int64_t column = 0;  // 1-based, in the total pixel matrix
  std::int64_t row = 0;
  std::optional<double> z;  // ZOffsetInSlideCoordinateSystem, micrometres
  std::string optical_path;  // per-frame OpticalPathIdentifier, if any
};

// A frame's stored bytes: `length` bytes at `offset`, either the frame itself
// (Value) or a run of fragment items whose values, joined, are the frame
// (Items: the item headers in it are to be cut out, and a sequence delimiter
// ends it early). Over a frame source (DICOMweb) a frame is Number: `offset`
// is its frame number, and it is fetched whole.
struct Frame {
  enum class Kind : std::uint8_t { Value, Items, Number };
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  Kind kind = Kind::Value;
  friend bool operator==(const Frame&, const Frame&) = default;
};

// The attributes of one instance that a slide is built from.
struct Header {
  std::string transfer_syntax;
  std::string sop_class;
  std::string sop_instance;
  std::string study_uid;
  std::string series_uid;
  std::string concatenation_uid;
  std::uint64_t in_concatenation_number = 0;
  std::uint64_t concatenation_frame_offset = 0;  // ConcatenationFrameOffsetNumber
  std::vector<std::string> image_type;           // "ORIGINAL", "PRIMARY", "VOLUME", ...
  std::uint64_t total_columns = 0;               // of the total pixel matrix
  std::uint64_t total_rows = 0;
  std::uint64_t columns = 0;  // of one frame
  std::uint64_t rows = 0;
  std::uint64_t number_of_frames = 1;
  std::uint64_t samples_per_pixel = 1;
  std::uint64_t bits_allocated = 8;
  std::uint64_t bits_stored = 8;
  std::uint64_t planar_configuration = 0;
  std::uint64_t pixel_representation = 0;
  std::string photometric;
  std::string dimension_organization;  // "TILED_FULL", "TILED_SPARSE", or empty
  std::uint64_t focal_planes = 1;      // TotalPixelMatrixFocalPlanes
  std::uint64_t optical_path_count = 1;  // NumberOfOpticalPaths
  std::optional<std::pair<double, double>> pixel_spacing;  // mm: row spacing, column spacing
  std::vector<OpticalPath> optical_paths;
  std::string shared_optical_path;  // OpticalPathIdentifier of the shared functional groups
  Bytes icc_profile;                // the data set's own ICCProfile
  std::vector<FramePosition> positions;  // per frame, when the file has them
  // Descriptive and identifying attributes of the top level, by keyword, as
  // stored (trailing padding removed).
  std::vector<std::pair<std::string, std::string>> attributes;

  bool encapsulated = false;
  std::uint64_t pixel_data_offset = 0;  // the Pixel Data element's value
  std::uint64_t pixel_data_length = 0;  // native pixel data only
  std::vector<std::uint64_t> extended_offsets;
  std::vector<std::uint64_t> extended_lengths;

  // What the third value of ImageType names: "VOLUME", "LABEL", "OVERVIEW",
  // "THUMBNAIL" (empty when ImageType has fewer values).
  std::string flavour() const { return image_type.size() >= 3 ? image_type[2] : std::string(); }
};

// A parsed instance: its header and where each of its frames is stored.
struct Instance {
  Header header;
  std::vector<Frame> frames;
};

// How the frame offsets were found (for tests and diagnostics).
enum class OffsetSource : std::uint8_t { Native, Extended, Basic, Scan };

class InstanceReader {
 public:
  using Input = std::uint64_t;  // the file's size
  using Output = Instance;

  static std::pair<InstanceReader, ReadInstruction> dispatch(std::uint64_t file_size);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Instance> receive(ByteSpan bytes) &&;

  OffsetSource offset_source() const { return offset_source_; }

 private:
  // One open sequence or item of the data set.
  struct Container {
    std::uint32_t tag;         // the sequence's tag (items: their sequence's)
    bool item;                 // an item (else a sequence)
    std::optional<std::uint64_t> end;  // defined length: where it ends
    std::uint64_t index = 0;   // items: their number in the sequence
    std::uint64_t items = 0;   // sequences: items seen so far
  };
  // Each phase keeps only what it needs; `pos_` is where the next read starts.
  struct ReadPreamble {};
  struct ReadElements {
    std::vector<Container> open;
  };
  struct ReadOffsetItem {};                // the Basic Offset Table's item header
  struct ReadOffsetTable {                 // its value
    std::uint64_t length;
  };
  struct ScanFragments {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> fragments;  // item offset, value length
    std::vector<bool> starts;  // does the fragment open a codestream (only when peeking)
    bool peek = false;
  };
  struct Finished {};
  using Phase =
      std::variant<ReadPreamble, ReadElements, ReadOffsetItem, ReadOffsetTable, ScanFragments, Finished>;

  InstanceReader(std::uint64_t size) : size_(size) {}

  KolvaResult<ReadInstruction> read_preamble(ByteSpan bytes);
  KolvaResult<ReadInstruction> read_elements(ReadElements& phase, ByteSpan bytes);
  KolvaResult<ReadInstruction> read_offset_item(ByteSpan bytes);
  KolvaResult<ReadInstruction> read_offset_table(const ReadOffsetTable& phase, ByteSpan bytes);
  KolvaResult<ReadInstruction> scan_fragments(ScanFragments& phase, ByteSpan bytes);

  // After the data set: native frames, or the offset table's item header.
  KolvaResult<ReadInstruction> start_pixel_data(std::uint64_t value_at, std::uint32_t length);
  KolvaResult<ReadInstruction> finish_frames();
  KolvaResult<ReadInstruction> frames_from_fragments(ScanFragments& phase);
  // A window of at most `length` bytes at `offset`, clipped to the file.
  ReadInstruction window(std::uint64_t offset, std::uint64_t length) const;
  void keep(const std::vector<Container>& open, std::uint32_t tag, ByteSpan value);

  std::uint64_t size_;
  std::uint64_t pos_ = 0;
  bool explicit_vr_ = true;
  bool vr_checked_ = false;  // the data set's first element has been looked at
  std::uint64_t first_fragment_ = 0;  // after the Basic Offset Table
  std::vector<std::uint64_t> basic_offsets_;
  Header header_;
  std::vector<Frame> frames_;
  OffsetSource offset_source_ = OffsetSource::Native;
  Phase phase_ = ReadPreamble{};
};

// Does this look like a DICOM Part 10 file ("DICM" after the 128-byte preamble)?
bool has_dicom_magic(ByteSpan head);

}  // namespace kolva::dicom
