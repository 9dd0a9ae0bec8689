// The _kolva_rs extension module: __version__, sum_as_string and the
// KolvaPyDecoder class, on the CPython limited API with multi-phase init.

#include <Python.h>

#include <cstdint>

#include "decoder/decoder.hpp"

namespace {

using kolva::decoder::guarded;
using kolva::decoder::to_u64;

PyObject* sum_as_string(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"a", "b", nullptr};
    PyObject* a_arg = nullptr;
    PyObject* b_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:sum_as_string", const_cast<char**>(kwlist),
                                     &a_arg, &b_arg)) {
      return nullptr;
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (!to_u64(a_arg, "a", &a) || !to_u64(b_arg, "b", &b)) return nullptr;
    return PyUnicode_FromFormat("%llu", static_cast<unsigned long long>(a + b));  // mod 2^64
  });
}

PyMethodDef kSumAsString = {
    "sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sum_as_string)),
    METH_VARARGS | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// Appends `name` to the module's __all__ (creating the list when the module has
// none yet), then sets the attribute. Borrows `value`.
int add_name(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    kolva::decoder::raise_cast_error(all, "list");
    Py_DECREF(all);
    return -1;
  }
  PyObject* key = PyUnicode_FromString(name);
  const int appended = key == nullptr ? -1 : PyList_Append(all, key);
  Py_XDECREF(key);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int exec_steps(PyObject* module) {
  if (!PyModule_Check(module)) {
    kolva::decoder::raise_cast_error(module, "module");
    return -1;
  }

  PyObject* version = PyUnicode_FromString("0.1.0-alpha.2");
  if (version == nullptr) return -1;
  int rc = add_name(module, "__version__", version);
  Py_DECREF(version);
  if (rc < 0) return -1;

  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* function = PyCFunction_NewEx(&kSumAsString, module, module_name);
  Py_DECREF(module_name);
  if (function == nullptr) return -1;
  rc = add_name(module, "sum_as_string", function);
  Py_DECREF(function);
  if (rc < 0) return -1;

  PyObject* type = kolva::decoder::decoder_type();
  if (type == nullptr || add_name(module, "KolvaPyDecoder", type) < 0) return -1;

  // Reachable as an attribute for `except _kolva_rs.PanicException`, not exported.
  PyObject* panic = kolva::decoder::panic_exception();
  if (panic == nullptr) return -1;
  return PyObject_SetAttrString(module, "PanicException", panic);
}

int exec_module(PyObject* module) {
  PyObject* result = guarded([&]() -> PyObject* {
    if (exec_steps(module) < 0) return nullptr;
    Py_RETURN_NONE;
  });
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_kolva_rs", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kolva_rs(void) { return PyModuleDef_Init(&kModule); }
