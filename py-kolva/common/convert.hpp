#pragma once

// Argument conversions that both extension modules need, written once.

#include <Python.h>

#include <cstdint>

namespace kolva::binding {

// Converts `value` through __index__ to an unsigned 64-bit integer. A TypeError
// is re-raised naming the argument ("argument 'lv': ..."); an out-of-range value
// raises OverflowError. Returns false with the Python error set on failure.
bool to_u64(PyObject* value, const char* name, std::uint64_t* out);

// Raises the type-cast TypeError "'bytes' object cannot be converted to 'str'",
// prefixed with "argument '<argument>': " when an argument is named. Returns nullptr.
PyObject* raise_cast_error(PyObject* value, const char* target, const char* argument = nullptr);

}  // namespace kolva::binding
