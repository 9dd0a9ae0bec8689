#pragma once

// kolva._core's functions about encoded images that need no slide: the media
// type table and the lossless extension of a JPEG to a full frame.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kolva::core_module {

// media_types() -> ((type, extension, displayable, codec, transfer_syntax), ...)
PyObject* media_types(PyObject* module, PyObject* args);
// media_extension(media_type, head=b"") -> str
PyObject* media_extension(PyObject* module, PyObject* args, PyObject* kwargs);
// extend_jpeg(data, width, height) -> bytes; ValueError when it cannot
PyObject* extend_jpeg(PyObject* module, PyObject* args);

}  // namespace kolva::core_module
