#pragma once

// Remote reads for kolva._core: a fetch function for the core's
// CallbackSource that calls back into Python, taking the interpreter lock only
// for the call, and keeps the exception such a call raised so that the method
// that started the read can raise it instead of a bare I/O error.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "std_io/callback.hpp"

namespace kolva::core_module {

// A FetchFunction calling `callable([(offset, length), ...])`, which returns a
// sequence with one bytes object of exactly that length per range. Holds a
// reference to `callable` for as long as the function lives.
std_io::FetchFunction python_fetch(PyObject* callable);

// Forgets what a fetch on this thread raised before.
void clear_fetch_error();
// Raises what a fetch on this thread raised since the last clear; false when
// nothing did.
bool restore_fetch_error();

}  // namespace kolva::core_module
