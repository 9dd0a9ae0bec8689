#pragma once

// Dataset shards: WebDataset tar files of stored tiles. A shard holds, for each
// tile, a `<key>.<ext>` member with the tile's bytes exactly as read_tile hands
// them out and a `<key>.json` member describing where they came from. The
// writer reads the tiles through their slide and gives the records to a sink;
// it opens no file itself.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "slide/slide.hpp"
#include "std_io/sink.hpp"

namespace kolva::shard {

// Marks in tile_sizes: a tile the file does not store, and one that cannot be
// read (its bytes lie past the end of the source, or its plan failed).
inline constexpr std::int64_t kTileAbsent = -1;
inline constexpr std::int64_t kTileUnreadable = -2;

// The bytes that close a tar archive: two zero blocks.
inline constexpr std::uint64_t kArchiveEnd = 1024;

// The stored size of every tile of `level`, row-major over its tile grid, found
// without reading a tile: the output size when the plan knows it, the planned
// bytes otherwise. A tile of no stored bytes counts as absent (sparse files).
// LevelNotFound for a level past the last one.
slide::SlideResult<std::vector<std::int64_t>> tile_sizes(const slide::Slide& slide,
                                                         std::uint64_t level);

// Consecutive samples of one slide level in a shard.
struct ShardPiece {
  std::shared_ptr<const slide::Slide> slide;
  std::uint64_t level = 0;
  std::vector<std::uint64_t> tiles;  // row-major indices into the level's tile grid
  // A sample's key is key_prefix + "x<X>-y<Y>"; it must hold no '.' and no
  // character that needs escaping in JSON.
  std::string key_prefix;
  std::string extension;  // of the tile member: "jpg", "j2k", ...
  // The piece's own fields, written into every sample's JSON and every
  // manifest line after the writer's fields: `"name": value, ...`, no braces.
  std::string json_fields;
  std::string manifest_fields;
};

struct ShardSummary {
  std::uint64_t samples = 0;
  std::uint64_t tile_bytes = 0;  // the tiles' own bytes
  std::uint64_t size = 0;        // the shard file's
  // One JSON line per sample: {"key", "shard", "offset" (of the tile's bytes
  // in the shard), "bytes", the piece's manifest fields, "x", "y"}.
  std::string manifest;
};

// Writes the pieces' samples, in order, as one tar archive into `sink`, and
// finishes the sink. `shard_name` goes into the manifest lines as is.
// `start`: where in the shard the sink's first byte lands. A shard is written
// in parts this way, each part in its own call with only its own slides open:
// a part continues the shard at the end of the last part's samples (the size
// that call returned less the two zero blocks that close an archive, which the
// new part replaces with its samples and closing blocks of its own). Offsets in
// the manifest and `size` count from the start of the shard.
slide::SlideResult<ShardSummary> write_shard(std::span<const ShardPiece> pieces,
                                             std::string_view shard_name,
                                             std_io::ByteSink& sink, std::uint64_t start = 0);

}  // namespace kolva::shard
