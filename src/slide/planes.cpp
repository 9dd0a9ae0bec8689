#include "slide/planes.hpp"

#include <charconv>

namespace kolva::slide {
namespace {

// Each entry of `list` as a user would name it: its name, or its index.
std::vector<std::string> offered(const PlaneList& list) {
  std::vector<std::string> out;
  const std::uint64_t shown = std::min<std::uint64_t>(list.count, 64);
  for (std::uint64_t i = 0; i < shown; ++i) {
    out.push_back(list.names.size() == list.count ? "'" + list.names[i] + "'" : std::to_string(i));
  }
  if (shown < list.count) out.push_back("...");
  return out;
}

}  // namespace

std::string_view plane_axis_name(PlaneAxis axis) {
  switch (axis) {
    case PlaneAxis::Series: return "series";
    case PlaneAxis::Channel: return "channel";
    case PlaneAxis::FocalPlane: return "focal_plane";
    case PlaneAxis::Timepoint: return "timepoint";
  }
  return "plane";
}

SlideResult<std::uint64_t> choose_plane(PlaneAxis axis, const PlaneChoice& choice,
                                        const PlaneList& list) {
  const bool named = list.names.size() == list.count;
  if (choice.name) {
    if (named) {
      for (std::uint64_t i = 0; i < list.count; ++i) {
        if (list.names[i] == *choice.name) return i;
      }
    }
    std::uint64_t index = 0;
    const char* first = choice.name->data();
    const char* last = first + choice.name->size();
    const auto [end, ec] = std::from_chars(first, last, index);
    if (ec == std::errc() && end == last && !choice.name->empty() && index < list.count) {
      return index;
    }
    return errors::plane_not_found(plane_axis_name(axis), "'" + *choice.name + "'", offered(list));
  }
  if (choice.index) {
    if (*choice.index < list.count) return *choice.index;
    return errors::plane_not_found(plane_axis_name(axis), std::to_string(*choice.index),
                                   offered(list));
  }
  return std::uint64_t{0};
}

SlideResult<Unit> check_planes(const PlaneSelection& selection, const Planes& planes) {
  for (std::size_t a = 0; a < kPlaneAxisCount; ++a) {
    const auto axis = static_cast<PlaneAxis>(a);
    const PlaneChoice& choice = selection[axis];
    if (!choice.given()) continue;
    auto chosen = choose_plane(axis, choice, planes[axis]);
    if (!chosen.ok()) return std::move(chosen).error();
    if (*chosen != planes[axis].selected) {
      // The driver serves another entry than the one asked for: it does not
      // choose along this axis.
      return errors::plane_not_found(plane_axis_name(axis),
                                     choice.name ? "'" + *choice.name + "'"
                                                 : std::to_string(*choice.index),
                                     offered(planes[axis]));
    }
  }
  return Unit{};
}

}  // namespace kolva::slide
