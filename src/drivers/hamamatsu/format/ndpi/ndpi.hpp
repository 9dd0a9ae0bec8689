#pragma once

// Hamamatsu NDPI. Each pyramid level is one baseline JPEG stream (a single
// strip) cut into restart intervals, plus a private table (tag 65426, with the
// high halves in tag 65432 when the file passes 4 GiB) that gives where each
// interval starts inside the stream. Opening reads only the JPEG header in
// front of each level's first interval; one square tile grid, whose edge is the
// longest restart interval of any level, is laid over every level's intervals.
// A tile read collects the tile's intervals row by row (MCU rows that lie back
// to back in the file in one read), renumbers their restart markers and wraps
// them in the level's header with the frame size set to the tile's size: a
// complete JPEG stream, nothing decoded.
//
// An MCU is 8H x 8V pixels, H x V being the largest sampling factors of the
// level's SOF0 component table (8 x 8 for 4:4:4, 16 x 16 for 4:2:0).

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "jpeg_tools/jpeg_tools.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::format::ndpi {

inline constexpr std::uint16_t kRestartOffsetsTag = 65426;
inline constexpr std::uint16_t kRestartOffsetsHighTag = 65432;

struct DecodedLevel;

// A level found in the directories, before its JPEG header has been read.
struct DecodingLevel {
  std::vector<std::uint64_t> restart_offsets;  // strictly increasing, stream-relative
  std::vector<std::uint64_t> interval_sizes;   // each includes its closing marker
  std::uint64_t strip_offset = 0;
  std::uint64_t strip_byte_count = 0;
  std::uint64_t header_len = 0;  // restart_offsets[0]
  std::uint64_t width = 0;
  std::uint64_t height = 0;

  // A level when the directory holds one JPEG strip with a usable restart-offset
  // table; nothing otherwise. Without tag 65432, low words that fall back are
  // taken as having wrapped past 2^32, as long as the stream is that long.
  static std::optional<DecodingLevel> from_ifd(const tiff_tools::Ifd& ifd);

  // The header scan: `bytes` are the header_len bytes at strip_offset.
  KolvaResult<DecodedLevel> to_level(ByteSpan bytes) const;
};

struct DecodedLevel : DecodingLevel {
  Bytes header;
  std::uint64_t restart_interval = 0;  // d, in MCUs, from the last DRI segment
  std::uint64_t sof_offset = 0;        // position of the last SOF0 segment's 0xFF
  jpeg_tools::Sampling sampling;       // largest SOF0 sampling factors
};

// One level of an opened NDPI file, with its tile grid.
struct Level {
  std::vector<std::uint64_t> restart_offsets;
  std::vector<std::uint64_t> interval_sizes;
  Bytes header;  // SOF0 set to tile_width x tile_height
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t tile_width = 0;   // mcu_width * tile_mcus
  std::uint64_t tile_height = 0;  // mcu_height * tile_mcus
  std::uint64_t tiles_across = 0;
  std::uint64_t tiles_down = 0;
  std::uint64_t strip_offset = 0;
  std::uint64_t strip_byte_count = 0;
  std::uint64_t sof_offset = 0;
  std::uint64_t restart_interval = 0;    // d
  std::uint64_t mcu_width = 8;           // 8H
  std::uint64_t mcu_height = 8;          // 8V
  std::uint64_t intervals_per_tile = 0;  // T / d
  std::uint64_t intervals_per_row = 0;   // W / (mcu_width * d)
  std::uint64_t mcu_rows = 0;            // H / mcu_height
  std::uint64_t tile_mcus = 0;           // T
  std::uint64_t partial_intervals = 0;   // A: intervals per row of a narrower last column
  std::uint64_t partial_mcu_rows = 0;    // B: MCU rows of a lower last row
  std::uint16_t last_tile_width = 0;     // A * mcu_width * d
  std::uint16_t last_tile_height = 0;    // B * mcu_height

  LevelInfo info() const;
};

// One contiguous piece of a level's stream: the intervals of one MCU row of a
// tile, or of several MCU rows that lie back to back in the file (always so
// when the tile is as wide as the level), read with one request.
struct ReadTileStrip {
  std::vector<std::uint64_t> interval_sizes;
  std::uint64_t offset = 0;  // absolute file offset
  std::uint64_t length = 0;  // sum of interval_sizes
  friend bool operator==(const ReadTileStrip&, const ReadTileStrip&) = default;
};

// What NdpiDecoder::read_tile hands to NdpiReadTile: the tile's header and its
// pieces, top MCU row first; `strips` are exactly the ranges the tile's reads
// ask for.
struct TilePlan {
  Bytes header;
  std::vector<ReadTileStrip> strips;
};

// Whether a piece's intervals all end inside it (each at least one byte, their
// sum at most its length): then its bytes, as read, can take renumbered markers.
bool strip_is_whole(const ReadTileStrip& strip);

// Gives the marker byte that ends each interval of `pieces` its place in the
// tile: RST0..RST7 counting on from `restart_count` across the pieces, which lie
// back to back in `body` as read. False, and nothing written from the first
// such piece on, when a piece is not whole or reaches past `body`.
bool renumber_restart_markers(const std::vector<ReadTileStrip>& pieces,
                              std::span<std::uint8_t> body, std::uint64_t restart_count = 0);

// Writes big-endian 16-bit sizes into the SOF0 segment whose 0xFF is at
// sof_offset: width at +7, height at +5. Positions outside the header are left
// alone.
void update_img_shape(Bytes& header, std::uint64_t sof_offset, bool set_width,
                      std::uint16_t width, bool set_height, std::uint16_t height);

class NdpiDecoder {
 public:
  // T = the longest restart interval; writes "Max DRI {T}". UnexpectedStep when
  // there is no level; the first level that fails to convert fails it all.
  static KolvaResult<NdpiDecoder> from_levels(std::vector<DecodedLevel> decoded);
  // Lays the grid of T-MCU tiles over one level.
  static KolvaResult<Level> to_level(const DecodedLevel& level, std::uint64_t tile_mcus);

  KolvaResult<TilePlan> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  std::optional<LevelInfo> get_level(std::uint64_t level) const;
  std::uint64_t level_count() const { return levels_.size(); }
  const std::vector<Level>& levels() const { return levels_; }

 private:
  std::vector<Level> levels_;
};

// The level scan: picks the levels out of the directory list, reads each
// level's JPEG header (one read per level, in file order) and builds the
// decoder. A level whose header cannot be used is dropped with the line
// "During IFDtoDecoder {error}".
class IfdToNdpiDecoder {
 public:
  using Input = std::vector<tiff_tools::Ifd>;
  using Output = NdpiDecoder;

  enum class Phase { Scanning, ScanningLast, Done };

  static std::pair<IfdToNdpiDecoder, ReadInstruction> dispatch(std::vector<tiff_tools::Ifd> ifds);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<NdpiDecoder> receive(ByteSpan bytes) &&;

  Phase phase() const { return static_cast<Phase>(state_.index()); }

 private:
  struct Scanning {
    DecodingLevel current;
    std::deque<DecodingLevel> pending;
    std::vector<DecodedLevel> decoded;
  };
  struct ScanningLast {
    DecodingLevel current;
    std::vector<DecodedLevel> decoded;
  };
  struct Done {
    std::vector<DecodedLevel> decoded;
  };
  using State = std::variant<Scanning, ScanningLast, Done>;

  explicit IfdToNdpiDecoder(State state) : state_(std::move(state)) {}
  static void scan(const DecodingLevel& level, ByteSpan bytes, std::vector<DecodedLevel>& decoded);

  State state_;
};

// The tile-read consumer: one read per piece (ReadAndStep, the last one
// ReadAndReceive), restart markers renumbered RST0..RST7 across the whole
// tile, EOI appended.
class NdpiReadTile {
 public:
  using Input = TilePlan;
  using Output = Bytes;

  static std::pair<NdpiReadTile, ReadInstruction> dispatch(TilePlan plan);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Bytes> receive(ByteSpan bytes) &&;

 private:
  NdpiReadTile() = default;
  // Requests the next piece, or Finish when none is left.
  ReadInstruction request_next();
  KolvaResult<Unit> process(ByteSpan bytes);

  Bytes output_;
  std::vector<ReadTileStrip> strips_;
  std::size_t next_ = 0;  // index of the next piece to request
  std::vector<std::uint64_t> current_sizes_;
  bool awaiting_ = false;  // a piece has been requested and not yet processed
  jpeg_tools::RestartMarkers markers_;
};

}  // namespace kolva::format::ndpi
