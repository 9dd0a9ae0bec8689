#pragma once

// What the binding files of kolva._core share: the slide behind a Slide
// object, the one error mapping, the coordinate parser and the plans that
// plan_tiles hands out. Defined in core.cpp.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "slide/slide.hpp"

namespace kolva::core_module {

using Coords = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The slide of a kolva._core.Slide, or nullptr with "the slide is closed" raised.
std::shared_ptr<const slide::Slide> acquire_slide(PyObject* self);
// Raises the class of `error.kind` with its message. Returns nullptr.
PyObject* raise_error(const slide::SlideError& error);
// The (x, y) pairs of `coords`, any iterable of 2-item sequences.
bool parse_coord_pairs(PyObject* coords, Coords& out);
// kolva.SlideError, for failures that are no SlideError of the core.
PyObject* slide_error_type();

// Tiles planned by plan_tiles, kept for assemble_tiles.
struct PlannedTiles {
  std::shared_ptr<const slide::Slide> slide;
  std::vector<slide::TilePlan> plans;
  std::size_t range_count = 0;
};
inline constexpr const char* kPlannedTiles = "kolva._core.PlannedTiles";

// Runs `body`, turning a C++ exception into the matching Python one.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(slide_error_type(), e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(slide_error_type(), "unknown C++ exception");
    return nullptr;
  }
}

// Slide methods of into.cpp.
PyObject* slide_tile_nbytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* slide_read_tiles_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// Module function of into.cpp.
PyObject* plan_sizes(PyObject* module, PyObject* plans);

}  // namespace kolva::core_module
