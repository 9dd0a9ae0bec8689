#pragma once

// Format detection and the one decoder over every supported format.
//
// Opening a file runs one composed read consumer that tries, each from the start
// of the file: the TIFF-based formats (Aperio, Philips, plain tiled TIFF; a
// Hamamatsu Make hands the file on), then NDPI (plain or 64-bit-offset
// directories, then the level scan), then Olympus ETS, whose error is reported
// when nothing matches.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "drivers/aperio/format/aperio/aperio.hpp"
#include "drivers/generic_tiff/format/generic_tiff/generic_tiff.hpp"
#include "drivers/hamamatsu/format/ndpi/ndpi.hpp"
#include "drivers/hamamatsu/format/ndpi_big/ndpi_big.hpp"
#include "drivers/olympus/format/olympus/olympus.hpp"
#include "drivers/philips/format/philips/philips.hpp"
#include "std_io/std_io.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::dynamic_decoder {

namespace generic_tiff = format::generic_tiff;
namespace aperio = format::aperio;
namespace philips = format::philips;
namespace ndpi = format::ndpi;
namespace ndpi_big = format::ndpi_big;
namespace olympus = format::olympus;

// A Philips tile read is the plain TIFF one, kept apart so that the request says
// which format made it.
struct PhilipsTile {
  generic_tiff::ReadTile inner;
};

// What DynamicDecoder::read_tile hands to DynamicReadTile.
using TileRequest = std::variant<generic_tiff::ReadTile, aperio::ReadTile, ndpi::TilePlan,
                                 PhilipsTile, olympus::EtsTile>;

// A level whose every tile is one stored range, handed out as stored or after
// the level's JPEG tables (Aperio, Philips, plain tiled TIFF): its tile table,
// borrowed from the decoder. Tile (x, y) is entry x + y * across of both lists;
// an index past either list is no tile.
struct StoredTiles {
  std::span<const std::uint64_t> offsets;
  std::span<const std::uint64_t> byte_counts;
  std::uint64_t across = 1;
  std::optional<ByteSpan> jpeg_tables;  // nothing: tiles as stored
};

class DynamicDecoder {
 public:
  using Variant = std::variant<aperio::AperioDecoder, ndpi::NdpiDecoder, philips::PhilipsDecoder,
                               generic_tiff::GenericTiffDecoder, olympus::EtsDecoder>;

  template <class D>
    requires std::is_constructible_v<Variant, D>
  explicit DynamicDecoder(D decoder) : v_(std::move(decoder)) {}

  KolvaResult<TileRequest> read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const;
  std::optional<LevelInfo> get_level(std::uint64_t level) const;
  std::uint64_t level_count() const;
  // The tile table of `level` when its tiles are single stored ranges (what
  // read_tile would hand out for each), else nothing.
  std::optional<StoredTiles> stored_tiles(std::uint64_t level) const;
  // "Aperio", "Hamamatsu NDPI", "Philips", "Generic TIFF" or "Olympus ETS".
  const char* format_name() const;
  const Variant& variant() const { return v_; }

 private:
  Variant v_;
};

// The tile consumer over every format's tile reader.
class DynamicReadTile {
 public:
  using Input = TileRequest;
  using Output = Bytes;

  static std::pair<DynamicReadTile, ReadInstruction> dispatch(TileRequest request);
  // The single stored range of a TIFF-based or ETS tile, for reading it
  // straight into its final buffer; nothing for tiles assembled from pieces.
  static std::optional<std_io::DirectRead> direct(const TileRequest& request);
  // The same for a tile of a StoredTiles level with these tables.
  static std::optional<std_io::DirectRead> direct(std::optional<ByteSpan> jpeg_tables,
                                                  std::uint64_t offset, std::uint64_t length);
  // An NDPI tile's header, pieces and EOI, for assembling it straight in its
  // final buffer; nothing for other tiles, and for pieces whose intervals do
  // not fit them (the consumer then reports them).
  static std::optional<std_io::AssembledRead> assembled(const TileRequest& request);
  // Renumbers the restart markers of an assembled NDPI tile's pieces in `body`.
  static KolvaResult<Unit> finish_assembled(const TileRequest& request,
                                            std::span<std::uint8_t> body);
  KolvaResult<ReadInstruction> step(ByteSpan bytes);
  KolvaResult<Bytes> receive(ByteSpan bytes) &&;

 private:
  using Variant = std::variant<generic_tiff::ReadTile, aperio::ReadTile, ndpi::NdpiReadTile,
                               PhilipsTile, olympus::EtsReadTile>;
  explicit DynamicReadTile(Variant v) : v_(std::move(v)) {}
  Variant v_;
};

// Whether the ASCII value of `tag` in some directory contains `needle` once
// lower-cased (`found`, when given, is set to that directory). The TIFF-based
// formats are told apart by their Make, ImageDescription or Software text.
bool any_ascii_contains(const std::vector<tiff_tools::Ifd>& ifds, std::uint16_t tag,
                        std::string_view needle, const tiff_tools::Ifd** found = nullptr);

// Which family a TIFF directory list belongs to, by its text tags in this
// order: a Hamamatsu Make, "aperio" in an ImageDescription, "philips" in a
// Software tag, else a plain tiled TIFF. Both openers (the opening composition
// here and the package's drivers) classify with this one function.
enum class TiffFamily : std::uint8_t { Hamamatsu, Aperio, Philips, Generic };
TiffFamily classify_tiff(const std::vector<tiff_tools::Ifd>& ifds);

// Classifies a TIFF directory list: Hamamatsu (refused with UnexpectedStep, so
// the NDPI branch runs), then Aperio, then Philips, else plain tiled TIFF.
struct FromTiffIfd {
  static KolvaResult<DynamicDecoder> map(std::vector<tiff_tools::Ifd> ifds);
};

struct FromNdpi {
  static KolvaResult<DynamicDecoder> map(ndpi::NdpiDecoder decoder);
};

struct FromOlympus {
  static KolvaResult<DynamicDecoder> map(olympus::EtsDecoder decoder);
};

// The opening composition: TIFF formats, else NDPI, else Olympus ETS.
using TiffBranch = MapOutput<tiff_tools::TiffDecoder, FromTiffIfd>;
using NdpiBranch = MapOutput<
    ConcatReadConsumer<OrElseReadConsumer<tiff_tools::TiffDecoder, ndpi_big::NdpiBigIfdDecoder>,
                       ndpi::IfdToNdpiDecoder>,
    FromNdpi>;
using OlympusBranch = MapOutput<olympus::EtsDecoderConstructor, FromOlympus>;
using OpeningConsumer = OrElseReadConsumer<OrElseReadConsumer<TiffBranch, NdpiBranch>, OlympusBranch>;

}  // namespace kolva::dynamic_decoder

namespace kolva::std_io {

// An opened slide of this library over the byte source R.
template <ByteSource R>
using DynamicDecoder =
    KolvaDecoder<R, dynamic_decoder::DynamicDecoder, dynamic_decoder::DynamicReadTile>;

// Opens a slide: runs the opening composition on `reader` and keeps both.
template <ByteSource R>
KolvaResult<DynamicDecoder<R>> open_slide(R reader) {
  return DynamicDecoder<R>::template open<dynamic_decoder::OpeningConsumer>(std::move(reader));
}

}  // namespace kolva::std_io
