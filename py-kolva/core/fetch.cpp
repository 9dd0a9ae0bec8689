#include "fetch.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "std_io/cache.hpp"

namespace kolva::core_module {
namespace {

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

// Holds the interpreter lock while alive, from any thread.
class Gil {
 public:
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

// What a core object backed by Python holds: the Python object it calls, and
// where an exception that call raised is kept for the caller.
class PythonBacked {
 protected:
  PythonBacked(PyObject* object, std::shared_ptr<FetchErrors> errors)
      : object_(std::make_shared<Callable>(object)), errors_(std::move(errors)) {}
  std::shared_ptr<Callable> object_;
  std::shared_ptr<FetchErrors> errors_;
};

// The call itself, with the interpreter lock held. False with the exception
// kept on failure.
bool call(PyObject* callable, std::span<const std_io::FetchRange> ranges,
          std::span<const std::span<std::uint8_t>> dst, FetchErrors& errors) {
  auto keep_raised = [&] { errors.keep(); };
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

FetchErrors::~FetchErrors() {
  if (type_ == nullptr || !Py_IsInitialized()) return;
  const PyGILState_STATE gil = PyGILState_Ensure();
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
  PyGILState_Release(gil);
}

void FetchErrors::keep() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::lock_guard lock(mutex_);
  std::swap(type, type_);
  std::swap(value, value_);
  std::swap(traceback, traceback_);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

bool FetchErrors::restore() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  {
    std::lock_guard lock(mutex_);
    std::swap(type, type_);
    std::swap(value, value_);
    std::swap(traceback, traceback_);
  }
  if (type == nullptr) return false;
  PyErr_Restore(type, value, traceback);
  return true;
}

std_io::FetchFunction python_fetch(PyObject* callable, std::shared_ptr<FetchErrors> errors) {
  auto held = std::make_shared<Callable>(callable);
  return [held, errors](std::span<const std_io::FetchRange> ranges,
                        std::span<const std::span<std::uint8_t>> dst) -> KolvaResult<Unit> {
    const Gil gil;
    if (!call(held->object, ranges, dst, *errors)) return KolvaError::IoError{OsError{EIO}};
    return Unit{};
  };
}

namespace {

class PythonFrameFetcher final : public slide::FrameFetcher, PythonBacked {
 public:
  PythonFrameFetcher(PyObject* callable, std::string name, std::shared_ptr<FetchErrors> errors)
      : PythonBacked(callable, std::move(errors)), name_(std::move(name)) {}

  slide::SlideResult<std::vector<Bytes>> fetch(
      std::span<const std::pair<std::uint64_t, std::uint64_t>> wanted) override {
    const Gil gil;
    std::vector<Bytes> frames;
    bool ok = false;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(wanted.size()));
    for (std::size_t i = 0; list != nullptr && i < wanted.size(); ++i) {
      PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(wanted[i].first),
                                     static_cast<unsigned long long>(wanted[i].second));
      if (item == nullptr) {
        Py_CLEAR(list);
        break;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    PyObject* result = list ? PyObject_CallFunctionObjArgs(object_->object, list, nullptr) : nullptr;
    Py_XDECREF(list);
    if (result != nullptr) {
      ok = PySequence_Check(result) &&
           PySequence_Size(result) == static_cast<Py_ssize_t>(wanted.size());
      for (std::size_t i = 0; ok && i < wanted.size(); ++i) {
        PyObject* item = PySequence_GetItem(result, static_cast<Py_ssize_t>(i));
        ok = item != nullptr && PyBytes_Check(item);
        if (ok) {
          const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(item));
          frames.emplace_back(p, p + PyBytes_Size(item));
        }
        Py_XDECREF(item);
      }
      Py_DECREF(result);
      if (!ok && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError,
                        "the frame fetch function returned something other than one bytes "
                        "object per frame");
      }
    }
    if (ok) return frames;
    errors_->keep();
    return slide::errors::read_failed(name_, KolvaError::IoError{OsError{EIO}});
  }

 private:
  std::string name_;
};

}  // namespace

std::shared_ptr<slide::FrameFetcher> python_frame_fetcher(PyObject* callable, std::string name,
                                                          std::shared_ptr<FetchErrors> errors) {
  return std::make_shared<PythonFrameFetcher>(callable, std::move(name), std::move(errors));
}

std::shared_ptr<std_io::RangeSource> remote_source(PyObject* fetch, std::uint64_t size,
                                                   std::string name, PyObject* seeds,
                                                   std::uint64_t cache_size,
                                                   const std::shared_ptr<FetchErrors>& errors) {
  if (!PyCallable_Check(fetch)) {
    PyErr_SetString(PyExc_TypeError, "fetch must be callable");
    return nullptr;
  }
  auto remote =
      std::make_shared<std_io::CallbackSource>(python_fetch(fetch, errors), size, std::move(name));
  if (cache_size == 0) return remote;
  auto cache =
      std::make_shared<std_io::CachedSource>(remote, std_io::CacheOptions{cache_size, 64 << 10});
  PyObject* it = PyObject_GetIter(seeds);
  if (it == nullptr) return nullptr;
  PyObject* item;
  while ((item = PyIter_Next(it)) != nullptr) {
    unsigned long long offset = 0;
    PyObject* data = nullptr;
    const bool ok = PyArg_ParseTuple(item, "KS", &offset, &data);
    if (ok) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(data));
      cache->insert(offset, Bytes(p, p + PyBytes_Size(data)));
    }
    Py_DECREF(item);
    if (!ok) break;
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return nullptr;
  return cache;
}

namespace {

// The failure of a call into the siblings object, as a SlideError (the
// interpreter lock held, an exception raised).
slide::SlideError sibling_error(const std::string& what) {
  const bool missing = PyErr_ExceptionMatches(PyExc_FileNotFoundError) != 0;
  std::string text = "cannot open " + what;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (value != nullptr) {
    if (PyObject* str = PyObject_Str(value)) {
      Py_ssize_t n = 0;
      if (const char* t = PyUnicode_AsUTF8AndSize(str, &n); t != nullptr && n > 0) {
        text += ": " + std::string(t, static_cast<std::size_t>(n));
      }
      Py_DECREF(str);
    }
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return slide::SlideError{missing ? slide::ErrorKind::MissingFile : slide::ErrorKind::Io, text,
                           KolvaError::IoError{OsError{missing ? ENOENT : EIO}}};
}

class PythonSiblings final : public slide::Siblings, PythonBacked {
 public:
  PythonSiblings(PyObject* object, std::uint64_t cache_size, std::shared_ptr<FetchErrors> errors)
      : PythonBacked(object, std::move(errors)), cache_size_(cache_size) {}

  slide::SlideResult<std::vector<std::string>> list(const std::string& folder) override {
    std::vector<std::string> names;
    {
      const Gil gil;
      PyObject* got = PyObject_CallMethod(object_->object, "list", "s#", folder.data(),
                                          static_cast<Py_ssize_t>(folder.size()));
      const Py_ssize_t count = got ? PySequence_Size(got) : -1;
      for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_GetItem(got, i);
        Py_ssize_t n = 0;
        const char* t = item ? PyUnicode_AsUTF8AndSize(item, &n) : nullptr;
        if (t != nullptr) names.emplace_back(t, static_cast<std::size_t>(n));
        Py_XDECREF(item);
        if (t == nullptr) break;
      }
      std::optional<slide::SlideError> failed;
      if (PyErr_Occurred()) failed = sibling_error(folder);
      Py_XDECREF(got);
      if (failed) return std::move(*failed);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  slide::SlideResult<std::shared_ptr<std_io::RangeSource>> open(
      const std::string& relative) override {
    const Gil gil;
    return open_held(relative);
  }

  // The object's open_many(names) opens the files concurrently; it answers with
  // one item per name: what open gives, or the exception that opening raised.
  std::vector<slide::SlideResult<std::shared_ptr<std_io::RangeSource>>> open_many(
      std::span<const std::string> relative) override {
    std::vector<slide::SlideResult<std::shared_ptr<std_io::RangeSource>>> out;
    const Gil gil;
    if (relative.size() < 2 || PyObject_HasAttrString(object_->object, "open_many") == 0) {
      for (const std::string& name : relative) out.push_back(open_held(name));
      return out;
    }
    PyObject* names = PyList_New(static_cast<Py_ssize_t>(relative.size()));
    for (std::size_t i = 0; names != nullptr && i < relative.size(); ++i) {
      PyList_SetItem(names, static_cast<Py_ssize_t>(i),
                      PyUnicode_DecodeUTF8(relative[i].data(),
                                           static_cast<Py_ssize_t>(relative[i].size()),
                                           "surrogateescape"));
    }
    PyObject* got = names ? PyObject_CallMethod(object_->object, "open_many", "O", names) : nullptr;
    Py_XDECREF(names);
    const Py_ssize_t count = got ? PySequence_Size(got) : -1;
    if (count != static_cast<Py_ssize_t>(relative.size())) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "open_many answered the wrong count");
      const auto failed = sibling_error(relative.front());
      Py_XDECREF(got);
      out.assign(relative.size(), failed);
      return out;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::string& name = relative[static_cast<std::size_t>(i)];
      PyObject* item = PySequence_GetItem(got, i);
      if (item != nullptr && PyExceptionInstance_Check(item)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(item)), item);
        Py_CLEAR(item);
      }
      out.push_back(item != nullptr ? opened(item, name) : sibling_error(name));
      Py_XDECREF(item);
    }
    Py_DECREF(got);
    return out;
  }

 private:
  // open with the interpreter lock held.
  slide::SlideResult<std::shared_ptr<std_io::RangeSource>> open_held(const std::string& relative) {
    PyObject* got = PyObject_CallMethod(object_->object, "open", "s#", relative.data(),
                                        static_cast<Py_ssize_t>(relative.size()));
    auto source = got != nullptr ? opened(got, relative) : sibling_error(relative);
    Py_XDECREF(got);
    return source;
  }

  // The source of what open answered, a (fetch, size, name, seeds) tuple.
  slide::SlideResult<std::shared_ptr<std_io::RangeSource>> opened(PyObject* got,
                                                                   const std::string& relative) {
    PyObject *fetch = nullptr, *seeds = nullptr;
    unsigned long long size = 0;
    const char* name = nullptr;
    Py_ssize_t name_length = 0;
    std::shared_ptr<std_io::RangeSource> source;
    if (PyArg_ParseTuple(got, "OKs#O:open", &fetch, &size, &name, &name_length, &seeds)) {
      source = remote_source(fetch, size, std::string(name, static_cast<std::size_t>(name_length)),
                             seeds, cache_size_, errors_);
    }
    if (source == nullptr) return sibling_error(relative);
    return source;
  }

  std::uint64_t cache_size_;
};

}  // namespace

std::shared_ptr<slide::Siblings> python_siblings(PyObject* object, std::uint64_t cache_size,
                                                 std::shared_ptr<FetchErrors> errors) {
  return std::make_shared<PythonSiblings>(object, cache_size, std::move(errors));
}

}  // namespace kolva::core_module
