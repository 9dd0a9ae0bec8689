#pragma once

// The KolvaPyDecoder class of _kolva_rs and what the module shares with it:
// PanicException, the one error-mapping function, the guard that keeps C++
// exceptions out of the interpreter, and the unsigned 64-bit argument conversion.
//
// Everything here runs with the interpreter lock held; nothing is thread-safe
// beyond that.

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <variant>

#include "common/convert.hpp"
#include "error/error.hpp"

namespace kolva::decoder {

// `Option::unwrap()` on an empty value: a level the decoder could not describe.
struct MissingValue {};
// An internal failure carrying exactly this message.
struct PanicMessage {
  std::string message;
};

// Everything the binding turns into PanicException.
using Failure = std::variant<KolvaError, OsError, MissingValue, PanicMessage>;

// The PanicException class (created once per process; borrowed reference), or
// nullptr with the Python error set.
PyObject* panic_exception();

// The one error mapping: writes the failure report to sys.stderr and raises
// PanicException with the failure's message. Always returns nullptr.
PyObject* raise_failure(const Failure& failure) noexcept;

// Runs `body` (returning a new reference or nullptr with an error set) so that
// no C++ exception reaches the interpreter: std::bad_alloc becomes MemoryError,
// anything else an internal failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_failure(PanicMessage{e.what()});
  } catch (...) {
    return raise_failure(PanicMessage{"unknown C++ exception"});
  }
}

using binding::raise_cast_error;
using binding::to_u64;

// The KolvaPyDecoder type (created once per process; borrowed reference), or
// nullptr with the Python error set.
PyObject* decoder_type();

}  // namespace kolva::decoder
