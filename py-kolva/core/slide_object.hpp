#pragma once

// kolva._core.Slide: a Python object holding one opened slide (shared, never
// changed) and what its fetch functions raised. Every access to `slide`
// happens with the interpreter lock held; a read copies the pointer before it
// lets the lock go, so close() cannot pull the slide from under it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "fetch.hpp"
#include "slide/slide.hpp"

namespace kolva::core_module {

struct SlideObject {
  PyObject_HEAD
  std::shared_ptr<const slide::Slide>* slide;  // empty once closed
  std::shared_ptr<FetchErrors>* fetch_errors;  // what its fetch functions raised
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

}  // namespace kolva::core_module
