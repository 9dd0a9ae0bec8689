#pragma once

// kolva._core.Slide: a Python object holding one opened slide (shared, never
// changed) and what its fetch functions raised. Every access to `slide`
// happens with the interpreter lock held; a read copies the pointer before it
// lets the lock go, so close() cannot pull the slide from under it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fetch.hpp"
#include "slide/slide.hpp"

namespace kolva::core_module {

// What a closed slide still says of itself: its levels and its associated
// images' names, media types, sizes and profiles.
struct KeptGeometry {
  struct Image {
    std::string name;
    std::string media_type;
    std::pair<std::uint64_t, std::uint64_t> dimensions;
    Bytes icc_profile;
  };
  std::shared_ptr<const std::vector<slide::Level>> levels;
  std::vector<Image> images;
};

struct SlideObject {
  PyObject_HEAD
  std::shared_ptr<const slide::Slide>* slide;  // empty once closed
  std::shared_ptr<FetchErrors>* fetch_errors;  // what its fetch functions raised
  // Its properties, which stay readable once it is closed.
  std::shared_ptr<const slide::SlideProperties>* properties;
  KeptGeometry* kept;  // set by close()
};

// The type, made by the first call (nullptr with an exception set on failure),
// with the struct sequences its levels and associated images are given as.
PyObject* slide_type();
PyObject* level_info_type();
PyObject* image_info_type();

// A new Slide object owning `s`.
PyObject* wrap(std::shared_ptr<const slide::Slide> s,
               std::shared_ptr<FetchErrors> fetch_errors = nullptr);

// The object's slide, or nullptr with "the slide is closed" raised.
std::shared_ptr<const slide::Slide> acquire(PyObject* self);

// The exception a read of `self` failed with: what its fetch function raised
// when there is one, the SlideError's class otherwise. Returns nullptr.
PyObject* raise_for(PyObject* self, const slide::SlideError& error);

// The (x, y) pairs of `coords`, any iterable of 2-item sequences.
bool parse_coords(PyObject* coords, std::vector<std::pair<std::uint64_t, std::uint64_t>>& out);

// Slide methods of into.cpp: batches of tiles sized, and read into a buffer the
// caller owns.
PyObject* slide_tile_nbytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* slide_read_tiles_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// Slide.region_reader of region.cpp: decoded regions.
PyObject* slide_region_reader(PyObject* self, PyObject* cache_bytes);

}  // namespace kolva::core_module
