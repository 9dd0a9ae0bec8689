#pragma once

// Remote reads for kolva._core: a fetch function for the core's
// CallbackSource that calls back into Python, taking the interpreter lock only
// for the call, and the Python side of a remote slide's siblings. What such a
// call raised is kept in the slide's FetchErrors, whichever thread the read
// ran on (a worker of the read executor or the caller), so that the method
// that started the read raises it instead of a bare I/O error.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <mutex>

#include "slide/source_set.hpp"
#include "std_io/callback.hpp"

namespace kolva::core_module {

// The exception a fetch of one slide raised last. Thread-safe.
class FetchErrors {
 public:
  FetchErrors() = default;
  FetchErrors(const FetchErrors&) = delete;
  FetchErrors& operator=(const FetchErrors&) = delete;
  ~FetchErrors();
  // Takes the exception being raised (the interpreter lock held).
  void keep();
  // Raises the kept exception and forgets it; false when there is none.
  bool restore();

 private:
  std::mutex mutex_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// A FetchFunction calling `callable([(offset, length), ...])`, which returns a
// sequence with one bytes object of exactly that length per range. Holds a
// reference to `callable` for as long as the function lives; failures are
// kept in `errors`.
std_io::FetchFunction python_fetch(PyObject* callable, std::shared_ptr<FetchErrors> errors);

// A remote source: `fetch` for `size` bytes named `name`, behind a range cache
// of `cache_size` bytes (0: none) seeded with `seeds` [(offset, bytes), ...].
// nullptr with a Python exception raised on bad arguments.
std::shared_ptr<std_io::RangeSource> remote_source(PyObject* fetch, std::uint64_t size,
                                                   std::string name, PyObject* seeds,
                                                   std::uint64_t cache_size,
                                                   const std::shared_ptr<FetchErrors>& errors);

// A frame fetcher calling `callable([(instance, frame), ...])`, which returns a
// sequence with one bytes object (the whole frame) per pair. Failures are kept
// in `errors`; `name` names the series (its URL) in messages.
std::shared_ptr<slide::FrameFetcher> python_frame_fetcher(PyObject* callable, std::string name,
                                                          std::shared_ptr<FetchErrors> errors);

// Siblings of a remote slide found by a Python object with `list(folder) ->
// list[str]` and `open(relative) -> (fetch, size, name, seeds)`; a
// FileNotFoundError there is a missing file.
std::shared_ptr<slide::Siblings> python_siblings(PyObject* object, std::uint64_t cache_size,
                                                 std::shared_ptr<FetchErrors> errors);

}  // namespace kolva::core_module
