#pragma once

// The one mapping of the package's SlideError to Python exceptions, and the
// guard every entry point of kolva._core runs in: no C++ exception crosses into
// the interpreter (std::bad_alloc becomes MemoryError).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "slide/errors.hpp"

namespace kolva::binding {

// The exception classes of kolva._core, created once per process.
struct SlideErrors {
  PyObject* slide_error = nullptr;      // kolva.SlideError(Exception)
  PyObject* unsupported = nullptr;      // kolva.UnsupportedFormat(SlideError)
  PyObject* tile_not_found = nullptr;   // kolva.TileNotFound(SlideError, IndexError)
  PyObject* image_not_found = nullptr;  // kolva.ImageNotFound(SlideError, KeyError)
  PyObject* missing_file = nullptr;     // kolva.MissingFile(SlideError, FileNotFoundError)
  PyObject* core_error = nullptr;       // kolva.CoreError(Exception): the core's own error
};

// The classes; created by the first call (false with a Python error set when
// that fails).
bool make_slide_errors();
const SlideErrors& slide_errors();

// Raises the class of `error.kind` with its message, the core's error (debug
// rendering) as its __cause__. Returns nullptr.
PyObject* raise_slide_error(const slide::SlideError& error);

// Runs `body` (an entry point's work) with C++ exceptions turned into Python ones.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(slide_errors().slide_error, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(slide_errors().slide_error, "unknown C++ exception");
    return nullptr;
  }
}

}  // namespace kolva::binding
