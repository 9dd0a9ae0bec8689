// The shared tiler plans the single-range tiles of Aperio, Philips and plain
// tiled TIFF from per-level tables: every tile must come out as the decoder's
// own tile read makes it, damaged tables and byte counts included.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "drivers/common/decoder_tiler.hpp"
#include "dynamic_decoder/dynamic_decoder.hpp"
#include "test_support.hpp"

namespace kolva::test {
namespace {

namespace tt = tiff_tools;
namespace dd = dynamic_decoder;
using Tags = std::map<std::uint16_t, tt::Data>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const Bytes kTables = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 0x00, 0x01, 0xFF, 0xC4,
                       0x00, 0x03, 0x00, 0xFF, 0xD9};

// A 3 x 2 tile level; tile i stored at 1000 + 100 * i with counts[i] bytes.
tt::Ifd level_ifd(std::uint16_t compression, std::optional<Bytes> tables,
                  std::vector<std::uint32_t> counts, std::uint16_t photometric = 6) {
  std::vector<std::uint32_t> offsets;
  for (std::uint32_t i = 0; i < counts.size(); ++i) offsets.push_back(1000 + 100 * i);
  Tags tags{{256, tt::LONG{600}},          {257, tt::LONG{400}},
            {322, tt::SHORT{256}},         {323, tt::SHORT{256}},
            {324, tt::LONG_ARRAY{offsets}}, {325, tt::LONG_ARRAY{std::move(counts)}},
            {259, tt::SHORT{compression}}, {262, tt::SHORT{photometric}}};
  if (tables) tags.insert_or_assign(347, tt::UNDEFINED_ARRAY{*tables});
  tt::Ifd ifd;
  for (const auto& [tag, data] : tags) ifd.insert(tag, data);
  return ifd;
}

// The stored bytes of a tile of `length` bytes: an SOI, then filler.
Bytes stored(std::uint64_t length) {
  Bytes out(length, 0x5A);
  if (length > 0) out[0] = 0xFF;
  if (length > 1) out[1] = 0xD8;
  return out;
}

std::string hex(ByteSpan b) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t c : b) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// "level", "absent", "bad" or the tile's bytes in hex, as the decoder's tile
// read makes them.
std::string by_decoder(const dd::DynamicDecoder& d, std::uint64_t level, std::uint64_t x,
                       std::uint64_t y) {
  auto request = d.read_tile(level, x, y);
  if (!request.ok()) return request.error().is<KolvaError::TileNotFound>() ? "absent" : "level";
  auto [consumer, first] = dd::DynamicReadTile::dispatch(*request);
  const auto& read = std::get<ReadAndReceive>(first);
  if (read.length == 0) return "absent";
  auto out = std::move(consumer).receive(stored(read.length));
  return out.ok() ? hex(*out) : "bad";
}

// The same through the tiler's plan.
std::string by_tiler(const drivers::DecoderTiler& t, std::uint64_t level, std::uint64_t x,
                     std::uint64_t y) {
  auto plan = t.plan(level, x, y);
  if (!plan.ok()) {
    const auto kind = plan.error().kind;
    return kind == slide::ErrorKind::TileNotFound    ? "absent"
           : kind == slide::ErrorKind::LevelNotFound ? "level"
                                                     : "bad";
  }
  EXPECT_EQ(plan->ranges.size(), 1u);
  const Bytes data = stored(plan->ranges[0].length);
  if (const auto* join = std::get_if<slide::Custom>(&plan->assembly)) {
    const ByteSpan pieces[1] = {data};
    auto out = join->join(pieces);
    return out.ok() ? hex(*out) : "bad";
  }
  const auto& splice = std::get<slide::Splice>(plan->assembly);
  Bytes out(splice.head().begin(), splice.head().end());
  out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(splice.skip), data.end());
  return hex(out);
}

struct Case {
  const char* name;
  std::vector<tt::Ifd> ifds;
};

TEST(DecoderTiler, PlansEveryTileAsTheDecoderReadsIt) {
  const std::vector<std::uint32_t> counts = {12, 0, 1, 2, 3, 40};
  const std::vector<Case> cases = {
      {"JPEG", {level_ifd(7, kTables, counts)}},
      {"RGB JPEG", {level_ifd(7, kTables, counts, 2)}},
      {"one-byte tables", {level_ifd(7, Bytes{0xFF}, counts)}},
      {"empty tables", {level_ifd(7, Bytes{}, counts)}},
      {"short lists", {level_ifd(7, kTables, {12, 13, 14, 15})}},
      {"JPEG 2000", {level_ifd(33005, std::nullopt, counts)}},
  };
  const std::pair<std::uint64_t, std::uint64_t> coords[] = {
      {0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}, {3, 0}, {0, 2}, {kMax, 0}, {0, kMax}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<dd::DynamicDecoder> decoders;
    if (auto d = format::aperio::AperioDecoder::with_ifds(c.ifds); d.ok()) decoders.emplace_back(*d);
    if (auto d = format::philips::PhilipsDecoder::with_ifds(c.ifds); d.ok()) decoders.emplace_back(*d);
    if (auto d = format::generic_tiff::GenericTiffDecoder::with_ifds(c.ifds); d.ok()) {
      decoders.emplace_back(*d);
    }
    for (const dd::DynamicDecoder& d : decoders) {
      SCOPED_TRACE(d.format_name());
      const drivers::DecoderTiler tiler(d, "slide");
      for (std::uint64_t level = 0; level <= d.level_count(); ++level) {
        for (const auto& [x, y] : coords) {
          EXPECT_EQ(by_tiler(tiler, level, x, y), by_decoder(d, level, x, y))
              << "level " << level << " (" << x << ", " << y << ")";
        }
      }
    }
  }
}

}  // namespace
}  // namespace kolva::test
