#pragma once

// Olympus cellSens .vsi: a small TIFF (its own IFDs hold a thumbnail) whose
// bytes from offset 8 on also hold a tree of tagged metadata. The pixels of the
// scans live in companion ETS files, one per "stack" folder. This parser reads
// the tree out of bytes already in memory and says which stack is the main
// image; it reads nothing itself.
//
// Tree layout (little-endian). A volume: u16 header size (24), u16 magic 21321,
// u32 version, i64 offset of its first field (from the volume's start), u32
// flags whose low 28 bits count the fields, u32 reserved. A field: i32 type
// word, i32 tag, u32 offset of the next field (from the volume's start, 0 at
// the end), u32 data size, then an i32 second tag when type bit 0x08000000 is
// set, then the data. Type bit 0x10000000: the data is a nested volume;
// 0x40000000: the value is the data-size word itself; the low 24 bits name the
// value type (integers, floats, fixed arrays, UTF-16LE text = 8192).
//
// Stacks: every field STACK_TYPE (2074) names one. Its properties (size, pixel
// size, name, objective) are looked up in the closest enclosing volume that
// also holds an IMAGE_BOUNDARY (2053).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"

namespace kolva::format::vsi {

inline constexpr std::int32_t kTagCreationTime = 2015;
inline constexpr std::int32_t kTagPixelSize = 2019;
inline constexpr std::int32_t kTagPixelUnit = 2020;
inline constexpr std::int32_t kTagStackName = 2030;
inline constexpr std::int32_t kTagImageBoundary = 2053;
inline constexpr std::int32_t kTagStackType = 2074;
inline constexpr std::int32_t kTagHasExternalFile = 20005;
inline constexpr std::int32_t kTagObjectiveMagnification = 120060;
inline constexpr std::int32_t kTagObjectiveAperture = 120061;
inline constexpr std::int32_t kTagObjectiveName = 120065;

inline constexpr std::uint16_t kVolumeMagic = 21321;
inline constexpr std::uint64_t kTreeOffset = 8;

using Value = std::variant<std::monostate, std::int64_t, double, std::string,
                           std::vector<std::int64_t>, std::vector<double>, Bytes>;

struct Field {
  std::int32_t tag = 0;
  std::uint32_t type = 0;  // low 24 bits of the type word
  std::optional<std::int32_t> second_tag;
  Value value;
  std::optional<std::size_t> volume;  // index of the nested volume
};

struct Volume {
  std::vector<Field> fields;
  std::optional<std::size_t> parent;
};

// volumes[0] is the root.
struct TagTree {
  std::vector<Volume> volumes;
};

// Parses the tree at `offset` of the .vsi bytes. Damaged nested parts end the
// walk of their volume; a root that is not a volume is an error.
Result<TagTree, std::string> parse_tag_tree(ByteSpan file, std::uint64_t offset = kTreeOffset);

struct Stack {
  std::int64_t type = -1;  // 0 image, 1 overview, 2 sample mask, 4 focus, 256 macro, ...
  std::string name;
  std::optional<std::array<std::int64_t, 4>> boundary;  // x, y, width, height
  bool external = false;  // its pixels are in a companion ETS file
  std::optional<std::pair<double, double>> pixel_size;
  std::string pixel_unit;
  std::optional<double> objective;
  std::optional<double> aperture;
  std::string objective_name;
};

// The stacks in the order the tree names them.
std::vector<Stack> stacks(const TagTree& tree);

// The main image: the image stack (type 0) with the largest boundary, the
// first one among equals; without boundaries, the first image stack.
std::optional<std::size_t> main_stack(const std::vector<Stack>& stacks);

// Micrometres per unit of a unit text such as "10^-6m^1" (metres to a power of
// ten); nothing for text of another shape.
std::optional<double> micrometres_per_unit(std::string_view unit);

// The text of a value: numbers in shortest form, arrays comma-separated.
std::string value_text(const Value& value);

}  // namespace kolva::format::vsi
