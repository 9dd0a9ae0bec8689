// KolvaPyDecoder: one opened slide, its cached level geometry, an exclusive-use
// flag and the thread that created it. All format work is the core's.

#include "decoder/decoder.hpp"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dynamic_decoder/dynamic_decoder.hpp"
#include "std_io/std_io.hpp"

namespace kolva::decoder {
namespace {

constexpr const char* kClassPath = "kolva::decoder::KolvaPyDecoder";
constexpr const char* kResultUnwrap = "called `Result::unwrap()` on an `Err` value: ";
constexpr const char* kOptionUnwrap = "called `Option::unwrap()` on a `None` value";

using Slide = std_io::DynamicDecoder<std_io::FileSource>;
using Size = std::pair<std::uint64_t, std::uint64_t>;

// Everything built at construction; never changes afterwards.
struct SlideState {
  std::vector<Size> level_dimensions;
  std::vector<Size> level_tile_sizes;
  std::uint64_t level_count;
  Size dimensions;
  Slide decoder;  // declared last so that it (and the file) goes first
};

struct DecoderObject {
  PyObject_HEAD
  SlideState* state;    // owned; deliberately leaked when dropped on a foreign thread
  Py_ssize_t borrow;    // 0 free, n > 0 shared by n property reads, -1 held by a tile read
  unsigned long owner;  // PyThread_get_thread_ident() of the creating thread
};

DecoderObject* as_decoder(PyObject* self) { return reinterpret_cast<DecoderObject*>(self); }

// Opens the slide and walks its levels (construction steps 1 to 7).
Result<std::unique_ptr<SlideState>, Failure> open_state(const std::string& path) {
  // The operating system would read a path with a NUL as a shorter, other path.
  if (path.find('\0') != std::string::npos) return Failure{OsError{EINVAL}};
  auto file = std_io::FileSource::open(path);
  if (!file.ok()) return Failure{file.error()};
  auto slide = std_io::open_slide(std::move(file).value());  // closes the file on failure
  if (!slide.ok()) return Failure{std::move(slide).error()};

  const auto level0 = slide->get_level(0);
  if (!level0) return Failure{MissingValue{}};
  const std::uint64_t count = slide->level_count();
  std::vector<Size> dimensions;
  std::vector<Size> tile_sizes;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto level = slide->get_level(i);
    if (!level) return Failure{MissingValue{}};
    dimensions.push_back(level->dimensions);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto level = slide->get_level(i);
    if (!level) return Failure{MissingValue{}};
    tile_sizes.push_back(level->tile_size);
  }
  return std::unique_ptr<SlideState>(new SlideState{std::move(dimensions), std::move(tile_sizes),
                                                    count, level0->dimensions,
                                                    std::move(slide).value()});
}

// Raises PanicException unless called on the creating thread.
bool check_thread(const DecoderObject* obj) {
  const unsigned long current = PyThread_get_thread_ident();
  if (current == obj->owner) return true;
  raise_failure(PanicMessage{std::string("assertion `left == right` failed: ") + kClassPath +
                             " is unsendable, but sent to another thread\n  left: ThreadId(" +
                             std::to_string(current) + ")\n right: ThreadId(" +
                             std::to_string(obj->owner) + ")"});
  return false;
}

// Shared use for the length of a property read.
class SharedUse {
 public:
  explicit SharedUse(DecoderObject* obj) : obj_(obj) { ++obj_->borrow; }
  ~SharedUse() { --obj_->borrow; }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;

 private:
  DecoderObject* obj_;
};

// Exclusive use for a tile read; released early with release().
class ExclusiveUse {
 public:
  explicit ExclusiveUse(DecoderObject* obj) : obj_(obj) { obj_->borrow = -1; }
  ~ExclusiveUse() { release(); }
  void release() {
    if (obj_ != nullptr) obj_->borrow = 0;
    obj_ = nullptr;
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  DecoderObject* obj_;
};

PyObject* size_tuple(const Size& size) {
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(size.first),
                       static_cast<unsigned long long>(size.second));
}

PyObject* size_list(const std::vector<Size>& sizes) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(sizes.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    PyObject* item = size_tuple(sizes[i]);
    if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

// A property read: thread check, shared use, then `convert` on the cached state.
template <class Convert>
PyObject* read_property(PyObject* self, Convert convert) {
  return guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!check_thread(obj)) return nullptr;
    if (obj->borrow < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return nullptr;
    }
    SharedUse use(obj);
    return convert(*obj->state);
  });
}

PyObject* get_level_count(PyObject* self, void*) {
  return read_property(self, [](const SlideState& s) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(s.level_count));
  });
}

PyObject* get_dimensions(PyObject* self, void*) {
  return read_property(self, [](const SlideState& s) { return size_tuple(s.dimensions); });
}

PyObject* get_level_dimensions(PyObject* self, void*) {
  return read_property(self, [](const SlideState& s) { return size_list(s.level_dimensions); });
}

PyObject* get_level_tile_sizes(PyObject* self, void*) {
  return read_property(self, [](const SlideState& s) { return size_list(s.level_tile_sizes); });
}

// The parameter names of read_tile_as_bytes, interned once: keyword names written
// in Python source are interned too, so matching them is a pointer comparison.
constexpr const char* kTileParams[] = {"lv", "x", "y"};

PyObject* const* tile_param_names() {
  static PyObject* names[3] = {nullptr, nullptr, nullptr};
  if (names[2] == nullptr) {
    for (int i = 0; i < 3; ++i) {
      if (names[i] == nullptr) names[i] = PyUnicode_InternFromString(kTileParams[i]);
      if (names[i] == nullptr) return nullptr;
    }
  }
  return names;
}

// Owns the references a slow argument match keeps alive for the rest of the call.
struct OwnedArgs {
  PyObject* tuple = nullptr;
  PyObject* dict = nullptr;
  ~OwnedArgs() {
    Py_XDECREF(tuple);
    Py_XDECREF(dict);
  }
};

// The interpreter's own keyword parser over a rebuilt tuple and dict: what every
// call that the fast match below does not settle goes through, so that errors
// (wrong count, missing, unknown or duplicate keywords) read exactly as they
// always have. The matched values are borrowed from `owned`.
bool match_tile_args_slowly(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            Py_ssize_t nkw, OwnedArgs& owned, PyObject* out[3]) {
  owned.tuple = PyTuple_New(nargs);
  if (owned.tuple == nullptr) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SetItem(owned.tuple, i, args[i]);  // steals the new reference
  }
  if (nkw > 0) {
    owned.dict = PyDict_New();
    if (owned.dict == nullptr) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr || PyDict_SetItem(owned.dict, name, args[nargs + k]) < 0) return false;
    }
  }
  static const char* kwlist[] = {kTileParams[0], kTileParams[1], kTileParams[2], nullptr};
  return PyArg_ParseTupleAndKeywords(owned.tuple, owned.dict, "OOO:read_tile_as_bytes",
                                     const_cast<char**>(kwlist), &out[0], &out[1], &out[2]) != 0;
}

// Matches the vectorcall arguments to (lv, x, y). Three arguments whose keywords
// are exact str naming distinct parameters not given by position are matched
// here; everything else takes match_tile_args_slowly.
bool match_tile_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     OwnedArgs& owned, PyObject* out[3]) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkw < 0) return false;
  if (nargs == 3 && nkw == 0) {
    out[0] = args[0];
    out[1] = args[1];
    out[2] = args[2];
    return true;
  }
  if (nargs + nkw == 3 && nargs < 3) {
    PyObject* const* names = tile_param_names();
    if (names == nullptr) return false;
    out[0] = out[1] = out[2] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    bool matched = true;
    for (Py_ssize_t k = 0; k < nkw && matched; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      matched = false;
      if (name == nullptr || !PyUnicode_CheckExact(name)) break;
      for (Py_ssize_t j = nargs; j < 3; ++j) {
        if (name == names[j] || PyUnicode_CompareWithASCIIString(name, kTileParams[j]) == 0) {
          if (out[j] == nullptr) {
            out[j] = args[nargs + k];
            matched = true;
          }
          break;
        }
      }
    }
    if (matched) return true;
  }
  return match_tile_args_slowly(args, nargs, kwnames, nkw, owned, out);
}

// Owns the bytes object a tile is read into until it is handed to the caller.
struct TileBytes {
  PyObject* object = nullptr;
  bool allocation_failed = false;
  ~TileBytes() { Py_XDECREF(object); }
  PyObject* release() {
    PyObject* o = object;
    object = nullptr;
    return o;
  }
};

// read_tile_as_bytes(lv, x, y): the tile is read straight into the bytes object
// returned, with one read for a single-range tile (plus the copy of its shared
// JPEG tables) and no other buffer.
PyObject* read_tile_as_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    OwnedArgs owned;
    PyObject* arg[3];
    if (!match_tile_args(args, nargs, kwnames, owned, arg)) return nullptr;
    DecoderObject* obj = as_decoder(self);
    if (!check_thread(obj)) return nullptr;
    if (obj->borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return nullptr;
    }
    ExclusiveUse use(obj);
    std::uint64_t lv = 0;
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    if (!to_u64(arg[0], "lv", &lv) || !to_u64(arg[1], "x", &x) || !to_u64(arg[2], "y", &y)) {
      return nullptr;
    }
    TileBytes tile;
    // No Python code runs in here: a bytes object is not tracked by the garbage
    // collector, so allocating one cannot re-enter the interpreter.
    auto make = [&tile](std::uint64_t size) -> std::uint8_t* {
      Py_CLEAR(tile.object);  // called once per read; defensive
      if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
      tile.object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
      if (tile.object == nullptr) {
        tile.allocation_failed = true;  // MemoryError is set
        return nullptr;
      }
      return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(tile.object));
    };
    const auto status = obj->state->decoder.read_tile_into(lv, x, y, make);
    use.release();
    if (!status.ok()) {
      Py_CLEAR(tile.object);
      if (tile.allocation_failed) return nullptr;
      return raise_failure(status.error());
    }
    return tile.release();
  });
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:KolvaPyDecoder", const_cast<char**>(kwlist),
                                     &path_arg)) {
      return nullptr;
    }
    if (!PyUnicode_Check(path_arg)) return raise_cast_error(path_arg, "str", "path");
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path_arg, &length);
    if (utf8 == nullptr) return nullptr;

    auto state = open_state(std::string(utf8, static_cast<std::size_t>(length)));
    if (!state.ok()) return raise_failure(state.error());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // `state` goes out of scope: the file closes
    DecoderObject* obj = as_decoder(self);
    obj->state = state.value().release();
    obj->borrow = 0;
    obj->owner = PyThread_get_thread_ident();
    return self;
  });
}

void decoder_dealloc(PyObject* self) {
  DecoderObject* obj = as_decoder(self);
  PyTypeObject* type = Py_TYPE(self);
  if (PyThread_get_thread_ident() == obj->owner) {
    delete obj->state;
  } else {
    // The contents belong to the creating thread: leave them (and the file) alone.
    PyObject *saved_type, *saved_value, *saved_tb;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
    const std::string message =
        std::string(kClassPath) + " is unsendable, but is being dropped on another thread";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(saved_type, saved_value, saved_tb);
#pragma GCC diagnostic pop
  }
  obj->state = nullptr;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyGetSetDef kGetSet[] = {
    {"level_count", get_level_count, nullptr, nullptr, nullptr},
    {"dimensions", get_dimensions, nullptr, nullptr, nullptr},
    {"level_dimensions", get_level_dimensions, nullptr, nullptr, nullptr},
    {"level_tile_sizes", get_level_tile_sizes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"read_tile_as_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_tile_as_bytes)),
     METH_FASTCALL | METH_KEYWORDS, "read_tile_as_bytes($self, lv, x, y)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_doc, const_cast<char*>("KolvaPyDecoder(path)\n--\n\n")},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// The bare name keeps the class name unprefixed in repr() and error messages.
// Not immutable: __module__ is set after creation (see create_type).
PyType_Spec kSpec = {
    "KolvaPyDecoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

// The failure's message as the user sees it.
std::string failure_message(const Failure& failure) {
  struct Visitor {
    std::string operator()(const KolvaError& e) const {
      if (const auto* panic = e.get_if<KolvaError::Panic>()) return panic->message;
      return kResultUnwrap + e.debug();
    }
    std::string operator()(const OsError& e) const { return kResultUnwrap + e.debug(); }
    std::string operator()(const MissingValue&) const { return kOptionUnwrap; }
    std::string operator()(const PanicMessage& p) const { return p.message; }
  };
  return std::visit(Visitor{}, failure);
}

// PyType_FromSpec warns (DeprecationWarning) about a name without a module part;
// the bare name is deliberate, so the warning is silenced for the creation and
// the type then gets __module__ "builtins", under which repr() shows the bare name.
PyObject* create_type() {
  PyObject* warnings = PyImport_ImportModule("warnings");
  if (warnings == nullptr) return nullptr;
  PyObject* scope = PyObject_CallMethod(warnings, "catch_warnings", nullptr);
  PyObject* entered = scope == nullptr ? nullptr : PyObject_CallMethod(scope, "__enter__", nullptr);
  PyObject* filtered = entered == nullptr ? nullptr
                                          : PyObject_CallMethod(warnings, "simplefilter", "sO",
                                                                "ignore", PyExc_DeprecationWarning);
  PyObject* type = filtered == nullptr ? nullptr : PyType_FromSpec(&kSpec);
  Py_XDECREF(filtered);
  if (entered != nullptr) {
    PyObject *err_type, *err_value, *err_tb;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyErr_Fetch(&err_type, &err_value, &err_tb);
    PyObject* exited = PyObject_CallMethod(scope, "__exit__", "OOO", Py_None, Py_None, Py_None);
    if (exited == nullptr) {
      Py_XDECREF(err_type);
      Py_XDECREF(err_value);
      Py_XDECREF(err_tb);
      Py_CLEAR(type);
    } else {
      Py_DECREF(exited);
      PyErr_Restore(err_type, err_value, err_tb);
    }
#pragma GCC diagnostic pop
    Py_DECREF(entered);
  }
  Py_XDECREF(scope);
  Py_DECREF(warnings);
  if (type == nullptr) return nullptr;
  PyObject* module = PyUnicode_FromString("builtins");
  if (module == nullptr || PyObject_SetAttrString(type, "__module__", module) < 0) Py_CLEAR(type);
  Py_XDECREF(module);
  return type;
}

}  // namespace

PyObject* panic_exception() {
  static PyObject* panic = nullptr;
  if (panic == nullptr) {
    panic = PyErr_NewExceptionWithDoc(
        "_kolva_rs.PanicException",
        "An internal failure of kolva. Derives from BaseException, so that `except "
        "Exception` does not catch it; its one argument is the message.",
        PyExc_BaseException, nullptr);
  }
  return panic;
}

PyObject* raise_failure(const Failure& failure) noexcept {
  try {
    const std::string message = failure_message(failure);
    PyObject* panic = panic_exception();
    if (panic == nullptr) return nullptr;
    // Messages carry file-derived text; never let a stray byte stop the report.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text == nullptr) return nullptr;
    PySys_FormatStderr("kolva: internal failure: %U\n", text);
    PyErr_SetObject(panic, text);
    Py_DECREF(text);
    return nullptr;
  } catch (...) {
    return PyErr_NoMemory();
  }
}



PyObject* decoder_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = create_type();
  return type;
}

}  // namespace kolva::decoder
