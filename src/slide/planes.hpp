#pragma once

// Several images and planes in one file: the series (images) a file holds and,
// within one, its channels, focal planes and timepoints. A slide serves one
// plane of one image; the opener chooses it by index or name, the driver says
// what there is to choose from and which one it serves.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "slide/errors.hpp"

namespace kolva::slide {

enum class PlaneAxis : std::uint8_t { Series = 0, Channel = 1, FocalPlane = 2, Timepoint = 3 };

inline constexpr std::size_t kPlaneAxisCount = 4;

// "series", "channel", "focal_plane", "timepoint": the keyword each axis goes by.
std::string_view plane_axis_name(PlaneAxis axis);

// A choice along one axis: an index, or a name. Neither: the first.
struct PlaneChoice {
  std::optional<std::uint64_t> index;
  std::optional<std::string> name;
  bool given() const { return index.has_value() || name.has_value(); }
};

struct PlaneSelection {
  std::array<PlaneChoice, kPlaneAxisCount> axes;
  const PlaneChoice& operator[](PlaneAxis axis) const {
    return axes[static_cast<std::size_t>(axis)];
  }
  PlaneChoice& operator[](PlaneAxis axis) { return axes[static_cast<std::size_t>(axis)]; }
};

// What a slide offers along one axis: `count` entries, named when `names`
// has one per entry, and the one it serves.
struct PlaneList {
  std::uint64_t count = 1;
  std::vector<std::string> names;
  std::uint64_t selected = 0;
};

struct Planes {
  std::vector<PlaneList> axes = std::vector<PlaneList>(kPlaneAxisCount);
  const PlaneList& operator[](PlaneAxis axis) const {
    return axes[static_cast<std::size_t>(axis)];
  }
  PlaneList& operator[](PlaneAxis axis) { return axes[static_cast<std::size_t>(axis)]; }
};

// The entry of `list` that `choice` names (an index below its count, or one of
// its names; a name that reads as a number is taken as an index when no entry
// has it as its name); an Invalid error in words otherwise. No choice: 0.
SlideResult<std::uint64_t> choose_plane(PlaneAxis axis, const PlaneChoice& choice,
                                        const PlaneList& list);

// Checks that every choice made in `selection` is what `planes` serves: a
// choice the slide's driver did not take (a channel of a slide that has one)
// fails in words.
SlideResult<Unit> check_planes(const PlaneSelection& selection, const Planes& planes);

}  // namespace kolva::slide
