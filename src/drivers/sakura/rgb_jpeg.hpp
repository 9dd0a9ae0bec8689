#pragma once

// Three greyscale baseline JPEGs of one size (the red, green and blue planes
// of a tile) joined into one RGB JPEG without decoding: a three-component
// frame whose components are scanned one after another (a sequential JPEG
// with one scan per component), each scan preceded by the channel's own
// Huffman tables and restart interval, its quantisation table renumbered, and
// the channel's entropy-coded data copied unchanged. An Adobe marker says the
// components are RGB. It decodes to exactly the three stored planes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"

namespace kolva::drivers::sakura {

// A plane's JPEG header, as the join uses it.
struct Plane {
  std::array<std::uint8_t, 5> frame{};  // precision, height (2), width (2)
  std::uint8_t sampling = 0x11;
  std::uint8_t quant_id = 0;
  std::optional<ByteSpan> quant;  // Pq/Tq byte then the table
  std::vector<ByteSpan> huffman;  // whole DHT segments
  std::uint16_t restart = 0;
  std::uint8_t tables = 0;  // the scan's Td/Ta byte
  ByteSpan data;            // entropy-coded, up to the EOI
  std::size_t data_at = 0;  // where they start in the plane
};

// Fails, in words, when a plane is not a single-component baseline JPEG or the
// planes differ in size, precision or sampling.
Result<Bytes, std::string> join_planes(std::span<const ByteSpan, 3> planes);
// The joined JPEG's size; its bytes are written to `out` when that is its size.
Result<std::size_t, std::string> join_planes_into(std::span<const ByteSpan, 3> planes, std::span<std::uint8_t> out);

// The same join with each plane's entropy-coded data read by the caller
// straight to its place in `out`: the planes, in order, are placed from their
// first bytes (through the scan header), then the headers are written around
// the data read. Any plane that does not join so (a longer header than the
// bytes given, other quantisation table sizes, data not ending with the EOI,
// a joined size other than out's) is not placed or not finished, and the
// whole planes' join tells what it makes of them.
class InPlace {
 public:
  explicit InPlace(std::span<std::uint8_t> out) : out_(out) {}
  struct Place {
    std::size_t from;   // where in the plane its bytes to read start: its data
    std::size_t to;     // where they go in out
    std::size_t bytes;  // the data and the EOI that ends the plane
  };
  // Plane `c` (0, 1, 2 in turn) from its first bytes `head`, which are kept
  // until finish(), of a plane of `plane_size` bytes.
  std::optional<Place> place(std::size_t c, ByteSpan head, std::size_t plane_size);
  // Once the three planes' bytes are read to their places: writes the rest,
  // or false when out does not hold the joined planes.
  bool finish();

 private:
  std::span<std::uint8_t> out_;
  std::array<Plane, 3> planes_;
  std::array<std::size_t, 3> sizes_{};
  std::size_t placed_ = 0;
  std::size_t at_ = 0;
};

}  // namespace kolva::drivers::sakura
