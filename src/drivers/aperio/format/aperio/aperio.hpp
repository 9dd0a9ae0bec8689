#pragma once

// Aperio SVS: a TIFF whose pyramid levels are tiled directories, JPEG with
// shared tables (compression 7) or JPEG 2000 under the private codes 33003
// (YCbCr) and 33005 (RGB). Stripped thumbnail, label and macro images are not
// levels. RGB JPEG levels get an Adobe APP14 segment with colour transform 0 in
// their tables, so that decoders take the components as stored.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/base.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::format::aperio {

// The Adobe APP14 repair: clears the colour-transform byte of an existing APP14
// segment, or inserts one before the last DHT marker. The walk looks at every
// byte pair, not at segment boundaries. An APP14 marker whose transform byte
// lies beyond the end of the tables leaves them unchanged.
void repair_app14(Bytes& tables);

struct AperioLevel {
  std::vector<std::uint64_t> tile_offsets;
  std::vector<std::uint64_t> tile_byte_counts;
  std::optional<Bytes> jpeg_tables;  // JPEG levels only
  std::uint64_t tiles_across;
  LevelInfo info;
};

// The tile-read consumer: one ReadAndReceive of the stored tile; a JPEG tile is
// spliced with the level's (borrowed) tables, a JPEG 2000 tile is returned as
// stored.
class ReadTile {
 public:
  using Input = ReadTile;
  using Output = Bytes;

  ReadTile(std::optional<ByteSpan> jpeg_tables, std::uint64_t offset, std::uint64_t length)
      : jpeg_tables_(jpeg_tables), offset_(offset), length_(length) {}

  static std::pair<ReadTile, ReadInstruction> dispatch(ReadTile request);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Bytes> receive(ByteSpan bytes) &&;

  std::uint64_t offset() const { return offset_; }
  std::uint64_t length() const { return length_; }
  std::optional<ByteSpan> jpeg_tables() const { return jpeg_tables_; }

 private:
  std::optional<ByteSpan> jpeg_tables_;
  std::uint64_t offset_;
  std::uint64_t length_;
};

class AperioDecoder {
 public:
  static KolvaResult<AperioDecoder> with_ifds(const std::vector<tiff_tools::Ifd>& ifds);

  KolvaResult<ReadTile> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  std::optional<LevelInfo> get_level(std::uint64_t level) const;
  std::uint64_t level_count() const { return levels_.size(); }
  const std::vector<AperioLevel>& levels() const { return levels_; }

 private:
  std::vector<AperioLevel> levels_;
};

}  // namespace kolva::format::aperio
