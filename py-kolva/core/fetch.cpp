#include "fetch.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace kolva::core_module {
namespace {

// The exception a fetch raised on this thread (type, value, traceback).
struct Pending {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  void clear() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    type = value = traceback = nullptr;
  }
};
thread_local Pending t_pending;

void keep_raised() {
  t_pending.clear();
  PyErr_Fetch(&t_pending.type, &t_pending.value, &t_pending.traceback);
}

// Owns a reference to the Python callable; drops it under the interpreter
// lock, from whichever thread drops the last copy of the fetch function.
struct Callable {
  PyObject* object;
  explicit Callable(PyObject* o) : object(o) { Py_INCREF(o); }
  Callable(const Callable&) = delete;
  Callable& operator=(const Callable&) = delete;
  ~Callable() {
    if (!Py_IsInitialized()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(object);
    PyGILState_Release(gil);
  }
};

// The call itself, with the interpreter lock held. False with the exception
// kept on failure.
bool call(PyObject* callable, std::span<const std_io::FetchRange> ranges,
          std::span<const std::span<std::uint8_t>> dst) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ranges.size()));
  if (list == nullptr) {
    keep_raised();
    return false;
  }
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].offset),
                                   static_cast<unsigned long long>(ranges[i].length));
    if (item == nullptr) {
      Py_DECREF(list);
      keep_raised();
      return false;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  PyObject* result = PyObject_CallFunctionObjArgs(callable, list, nullptr);
  Py_DECREF(list);
  if (result == nullptr) {
    keep_raised();
    return false;
  }
  bool ok = PySequence_Check(result) &&
            PySequence_Size(result) == static_cast<Py_ssize_t>(ranges.size());
  std::string problem = "the fetch function returned the wrong number of ranges";
  for (std::size_t i = 0; ok && i < ranges.size(); ++i) {
    PyObject* item = PySequence_GetItem(result, static_cast<Py_ssize_t>(i));
    ok = item != nullptr && PyBytes_Check(item) &&
         static_cast<std::uint64_t>(PyBytes_Size(item)) == ranges[i].length;
    if (ok) {
      std::memcpy(dst[i].data(), PyBytes_AsString(item), static_cast<std::size_t>(ranges[i].length));
    } else {
      problem = "the fetch function returned " +
                (item != nullptr && PyBytes_Check(item)
                     ? std::to_string(PyBytes_Size(item)) + " bytes"
                     : std::string("something other than bytes")) +
                " for a range of " + std::to_string(ranges[i].length) + " bytes at offset " +
                std::to_string(ranges[i].offset);
    }
    Py_XDECREF(item);
  }
  Py_DECREF(result);
  if (!ok) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, problem.c_str());
    keep_raised();
  }
  return ok;
}

}  // namespace

std_io::FetchFunction python_fetch(PyObject* callable) {
  auto held = std::make_shared<Callable>(callable);
  return [held](std::span<const std_io::FetchRange> ranges,
                std::span<const std::span<std::uint8_t>> dst) -> KolvaResult<Unit> {
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool ok = call(held->object, ranges, dst);
    PyGILState_Release(gil);
    if (!ok) return KolvaError::IoError{OsError{EIO}};
    return Unit{};
  };
}

void clear_fetch_error() { t_pending.clear(); }

bool restore_fetch_error() {
  if (t_pending.type == nullptr) return false;
  PyErr_Restore(t_pending.type, t_pending.value, t_pending.traceback);
  t_pending = Pending{};
  return true;
}

}  // namespace kolva::core_module
