#pragma once

// Three greyscale baseline JPEGs of one size (the red, green and blue planes
// of a tile) joined into one RGB JPEG without decoding: a three-component
// frame whose components are scanned one after another (a sequential JPEG
// with one scan per component), each scan preceded by the channel's own
// Huffman tables and restart interval, its quantisation table renumbered, and
// the channel's entropy-coded data copied unchanged. An Adobe marker says the
// components are RGB. It decodes to exactly the three stored planes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/base.hpp"
#include "base/bytes.hpp"

namespace kolva::drivers::sakura {

// Fails, in words, when a plane is not a single-component baseline JPEG or the
// planes differ in size, precision or sampling.
Result<Bytes, std::string> join_planes(std::span<const ByteSpan, 3> planes);
// The joined JPEG's size; its bytes are written to `out` when that is its size.
Result<std::size_t, std::string> join_planes_into(std::span<const ByteSpan, 3> planes, std::span<std::uint8_t> out);

}  // namespace kolva::drivers::sakura
