#include "common/convert.hpp"

namespace kolva::binding {

PyObject* raise_cast_error(PyObject* value, const char* target, const char* argument) {
  PyObject* name = PyType_GetName(Py_TYPE(value));
  if (name == nullptr) return nullptr;
  if (argument != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'",
                 argument, name, target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
  }
  Py_DECREF(name);
  return nullptr;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t* out) {
  if (PyLong_CheckExact(value)) {  // what __index__ would return as it is
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = static_cast<std::uint64_t>(v);
    return true;
  }
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    // Re-raise as "argument '<name>': <message>", chained to the original.
    PyObject *type, *original, *tb;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyErr_Fetch(&type, &original, &tb);
    PyErr_NormalizeException(&type, &original, &tb);
    if (tb != nullptr) PyException_SetTraceback(original, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* text = PyObject_Str(original);
    if (text == nullptr) {
      Py_DECREF(original);
      return false;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
    PyObject *new_type, *renamed, *new_tb;
    PyErr_Fetch(&new_type, &renamed, &new_tb);
    PyErr_NormalizeException(&new_type, &renamed, &new_tb);
    PyException_SetCause(renamed, original);  // steals `original`
    PyErr_Restore(new_type, renamed, new_tb);
#pragma GCC diagnostic pop
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = static_cast<std::uint64_t>(v);
  return true;
}

}  // namespace kolva::binding
