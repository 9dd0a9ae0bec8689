#include "common/errors.hpp"

#include <string>

namespace kolva::binding {
namespace {

using slide::ErrorKind;

SlideErrors g_errors;

PyObject* new_error(const char* name, PyObject* bases, const char* doc) {
  return PyErr_NewExceptionWithDoc(name, doc, bases, nullptr);
}

// A class deriving from SlideError and `builtin`.
PyObject* new_error_with(const char* name, PyObject* builtin, const char* doc) {
  PyObject* bases = Py_BuildValue("(OO)", g_errors.slide_error, builtin);
  if (bases == nullptr) return nullptr;
  PyObject* made = new_error(name, bases, doc);
  Py_DECREF(bases);
  return made;
}

PyObject* error_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Unsupported: return g_errors.unsupported;
    case ErrorKind::LevelNotFound:
    case ErrorKind::TileNotFound: return g_errors.tile_not_found;
    case ErrorKind::NotFound: return g_errors.image_not_found;
    case ErrorKind::MissingFile: return g_errors.missing_file;
    default: return g_errors.slide_error;
  }
}

}  // namespace

bool make_slide_errors() {
  if (g_errors.core_error != nullptr) return true;
  g_errors.slide_error =
      new_error("kolva.SlideError", PyExc_Exception, "A slide could not be opened or read.");
  if (g_errors.slide_error == nullptr) return false;
  g_errors.unsupported = new_error("kolva.UnsupportedFormat", g_errors.slide_error,
                                   "The file is not a slide kolva can read.");
  g_errors.tile_not_found = new_error_with("kolva.TileNotFound", PyExc_IndexError,
                                           "A level or tile that does not exist.");
  g_errors.image_not_found = new_error_with("kolva.ImageNotFound", PyExc_KeyError,
                                            "An associated image that the slide does not have.");
  g_errors.missing_file = new_error_with(
      "kolva.MissingFile", PyExc_FileNotFoundError,
      "A file the slide keeps its pixels in (an Olympus .vsi's companion) is not there.");
  if (g_errors.unsupported == nullptr || g_errors.tile_not_found == nullptr ||
      g_errors.image_not_found == nullptr || g_errors.missing_file == nullptr) {
    return false;
  }
  g_errors.core_error = new_error("kolva.CoreError", PyExc_Exception,
                                  "The core library's own error, kept as the cause.");
  return g_errors.core_error != nullptr;
}

const SlideErrors& slide_errors() { return g_errors; }

PyObject* raise_slide_error(const slide::SlideError& error) {
  PyObject* type = error_class(error.kind);
  PyObject* exc = PyObject_CallFunction(type, "s#", error.message.data(),
                                        static_cast<Py_ssize_t>(error.message.size()));
  if (exc == nullptr) return nullptr;
  if (error.cause) {
    const std::string debug = error.cause->debug();
    PyObject* cause = PyObject_CallFunction(g_errors.core_error, "s#", debug.data(),
                                            static_cast<Py_ssize_t>(debug.size()));
    if (cause == nullptr) {
      Py_DECREF(exc);
      return nullptr;
    }
    PyException_SetCause(exc, cause);  // steals `cause`
  }
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
  return nullptr;
}

}  // namespace kolva::binding
