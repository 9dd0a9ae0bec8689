// kolva._core: the native side of the `kolva` package. It only converts:
// arguments in, a call into the core's Slide, the result or a SlideError out.
// The interpreter lock is released around every read, and a Slide may be used
// from any thread: the opened slide never changes, and close() only drops this
// object's reference to it, so reads already running finish on their own copy.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/convert.hpp"
#include "drivers/dicom/series.hpp"
#include "export/shard.hpp"
#include "slide/slide.hpp"
#include "slide/vsi.hpp"
#include "std_io/sink.hpp"
#include "fetch.hpp"
#include "slide/slide.hpp"
#include "std_io/cache.hpp"
#include "std_io/callback.hpp"
#include "std_io/source.hpp"

namespace kolva::core_module {
namespace {

using binding::to_u64;
using slide::ErrorKind;
using slide::SlideError;

// The exception classes, created once per process.
struct Errors {
  PyObject* slide_error = nullptr;        // kolva.SlideError(Exception)
  PyObject* unsupported = nullptr;        // kolva.UnsupportedFormat(SlideError)
  PyObject* tile_not_found = nullptr;     // kolva.TileNotFound(SlideError, IndexError)
  PyObject* core_error = nullptr;         // kolva.CoreError(Exception): the core's own error
};
Errors g_errors;

PyObject* error_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Unsupported: return g_errors.unsupported;
    case ErrorKind::LevelNotFound:
    case ErrorKind::TileNotFound:
    case ErrorKind::NotFound: return g_errors.tile_not_found;
    default: return g_errors.slide_error;
  }
}

// The one error mapping: raises the class of `error.kind` with its message,
// the core's error (debug rendering) as its __cause__. Returns nullptr.
PyObject* raise_slide_error(const SlideError& error) {
  // A read through a Python fetch function failed: its own exception (with
  // the URL and the transport's cause) says more than the core's I/O error.
  if (error.kind == ErrorKind::Io && restore_fetch_error()) return nullptr;
  PyObject* type = error_class(error.kind);
  PyObject* exc = PyObject_CallFunction(type, "s#", error.message.data(),
                                        static_cast<Py_ssize_t>(error.message.size()));
  if (exc == nullptr) return nullptr;
  if (error.cause) {
    const std::string debug = error.cause->debug();
    PyObject* cause = PyObject_CallFunction(g_errors.core_error, "s#", debug.data(),
                                            static_cast<Py_ssize_t>(debug.size()));
    if (cause == nullptr) {
      Py_DECREF(exc);
      return nullptr;
    }
    PyException_SetCause(exc, cause);  // steals `cause`
  }
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
  return nullptr;
}

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_errors.slide_error, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(g_errors.slide_error, "unknown C++ exception");
    return nullptr;
  }
}

// Every access to `slide` happens with the interpreter lock held; a read
// copies the pointer before it lets the lock go, so close() cannot pull the
// slide from under it.
struct SlideObject {
  PyObject_HEAD
  std::shared_ptr<const slide::Slide>* slide;  // empty once closed
};

SlideObject* as_slide(PyObject* self) { return reinterpret_cast<SlideObject*>(self); }

PyObject* g_slide_type = nullptr;

// This object's slide, or nullptr with "the slide is closed" raised.
std::shared_ptr<const slide::Slide> acquire(PyObject* self) {
  clear_fetch_error();
  std::shared_ptr<const slide::Slide> s = *as_slide(self)->slide;
  if (!s) PyErr_SetString(g_errors.slide_error, "the slide is closed");
  return s;
}

PyObject* bytes_of(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* str_of(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Reads one planned tile into a new bytes object (the interpreter lock is
// released for the read).
PyObject* read_plan(const slide::Slide& s, const slide::TilePlan& plan) {
  if (const auto size = plan.output_size()) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
    if (out == nullptr) return nullptr;
    auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out));
    slide::SlideResult<Unit> result = Unit{};
    Py_BEGIN_ALLOW_THREADS
    result = s.read_into(plan, {dst, static_cast<std::size_t>(*size)});
    Py_END_ALLOW_THREADS
    if (!result.ok()) {
      Py_DECREF(out);
      return raise_slide_error(result.error());
    }
    return out;
  }
  slide::SlideResult<Bytes> result = Bytes{};
  Py_BEGIN_ALLOW_THREADS
  result = s.read(plan);
  Py_END_ALLOW_THREADS
  if (!result.ok()) return raise_slide_error(result.error());
  return bytes_of(*result);
}

// ------------------------------------------------------------------ Slide methods

PyObject* slide_read_tile(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "read_tile(level, x, y) takes 3 arguments");
      return nullptr;
    }
    std::uint64_t level = 0, x = 0, y = 0;
    if (!to_u64(args[0], "level", &level) || !to_u64(args[1], "x", &x) ||
        !to_u64(args[2], "y", &y)) {
      return nullptr;
    }
    auto s = acquire(self);
    if (!s) return nullptr;
    auto plan = s->plan_tile(level, x, y);
    if (!plan.ok()) return raise_slide_error(plan.error());
    return read_plan(*s, *plan);
  });
}

// The (x, y) pairs of `coords`, any iterable of 2-item sequences.
bool parse_coords(PyObject* coords, std::vector<std::pair<std::uint64_t, std::uint64_t>>& out) {
  PyObject* it = PyObject_GetIter(coords);
  if (it == nullptr) return false;
  PyObject* item;
  while ((item = PyIter_Next(it)) != nullptr) {
    std::uint64_t xy[2] = {0, 0};
    if (PyTuple_Check(item) && PyTuple_Size(item) == 2) {  // the common case, borrowed items
      const bool ok = to_u64(PyTuple_GetItem(item, 0), "x", &xy[0]) &&
                      to_u64(PyTuple_GetItem(item, 1), "y", &xy[1]);
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(it);
        return false;
      }
      out.emplace_back(xy[0], xy[1]);
      continue;
    }
    bool ok = PySequence_Check(item) && PySequence_Size(item) == 2;
    if (!ok && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_TypeError, "coords must hold (x, y) pairs");
    }
    for (Py_ssize_t i = 0; ok && i < 2; ++i) {
      PyObject* v = PySequence_GetItem(item, i);
      ok = v != nullptr && to_u64(v, i == 0 ? "x" : "y", &xy[i]);
      Py_XDECREF(v);
    }
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
    out.emplace_back(xy[0], xy[1]);
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

PyObject* slide_read_tiles(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "read_tiles(level, coords, threads) takes 3 arguments");
      return nullptr;
    }
    std::uint64_t level = 0, threads = 0;
    if (!to_u64(args[0], "level", &level) || !to_u64(args[2], "threads", &threads)) return nullptr;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> coords;
    if (!parse_coords(args[1], coords)) return nullptr;
    auto s = acquire(self);
    if (!s) return nullptr;
    if (threads == 0) threads = std::max(1U, std::thread::hardware_concurrency());
    const unsigned workers = static_cast<unsigned>(std::min<std::uint64_t>(threads, 256));

    // Slides that cut tiles together (NDPI at a chosen tile size) read the
    // whole batch themselves.
    if (s->batch_reader_) {
      std::optional<slide::SlideResult<std::vector<Bytes>>> tiles;
      Py_BEGIN_ALLOW_THREADS
      tiles = s->batch_reader_(*s, level, coords, workers);
      Py_END_ALLOW_THREADS
      if (!tiles->ok()) return raise_slide_error(tiles->error());
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(coords.size()));
      if (list == nullptr) return nullptr;
      for (std::size_t i = 0; i < coords.size(); ++i) {
        PyObject* out = bytes_of((**tiles)[i]);
        if (out == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), out);
      }
      return list;
    }

    // Plan every tile first (a few arithmetic steps each, no I/O): a bad
    // coordinate fails the call before any read.
    std::vector<slide::TilePlan> plans;
    plans.reserve(coords.size());
    for (const auto& [x, y] : coords) {
      auto plan = s->plan_tile(level, x, y);
      if (!plan.ok()) return raise_slide_error(plan.error());
      plans.push_back(std::move(plan).value());
    }

    // Tiles of known size are read straight into their bytes objects.
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(plans.size()));
    if (list == nullptr) return nullptr;
    std::vector<std::span<std::uint8_t>> dst(plans.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
      const auto size = plans[i].output_size();
      if (!size) continue;
      PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
      if (out == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      dst[i] = {reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out)),
                static_cast<std::size_t>(*size)};
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), out);  // steals `out`
    }
    std::vector<Bytes> assembled;
    slide::SlideResult<Unit> result = Unit{};
    Py_BEGIN_ALLOW_THREADS
    result = slide::read_plans(*s, plans, dst, assembled, workers);
    Py_END_ALLOW_THREADS
    if (!result.ok()) {
      Py_DECREF(list);
      return raise_slide_error(result.error());
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
      if (plans[i].output_size()) continue;
      PyObject* out = bytes_of(assembled[i]);
      if (out == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), out);
    }
    return list;
  });
}

PyObject* slide_read_associated(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    if (!PyUnicode_Check(arg)) return binding::raise_cast_error(arg, "str", "name");
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &length);
    if (text == nullptr) return nullptr;
    auto s = acquire(self);
    if (!s) return nullptr;
    const std::string name(text, static_cast<std::size_t>(length));
    for (const auto& image : s->associated_images()) {
      if (image.name == name) return read_plan(*s, image.plan);
    }
    auto missing = s->read_associated(name);  // the NotFound error, in words
    if (!missing.ok()) return raise_slide_error(missing.error());
    return bytes_of(*missing);
  });
}

// tile_sizes(level) -> bytes: one native int64 per tile of the level, row-major
// (the stored size; -1 for a tile not stored, -2 for one that cannot be read).
PyObject* slide_tile_sizes(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::uint64_t level = 0;
    if (!to_u64(arg, "level", &level)) return nullptr;
    auto s = acquire(self);
    if (!s) return nullptr;
    std::optional<slide::SlideResult<std::vector<std::int64_t>>> sizes;
    Py_BEGIN_ALLOW_THREADS
    sizes = shard::tile_sizes(*s, level);
    Py_END_ALLOW_THREADS
    if (!sizes->ok()) return raise_slide_error(sizes->error());
    const auto& v = sizes->value();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(std::int64_t)));
  });
}

// Tiles planned by plan_tiles, kept for assemble_tiles.
struct PlannedTiles {
  std::shared_ptr<const slide::Slide> slide;
  std::vector<slide::TilePlan> plans;
  std::size_t range_count = 0;
};
constexpr const char* kPlannedTiles = "kolva._core.PlannedTiles";

void free_planned(PyObject* capsule) {
  delete static_cast<PlannedTiles*>(PyCapsule_GetPointer(capsule, kPlannedTiles));
}

// plan_tiles(level, coords) -> (plans, [(offset, length), ...]): every range
// the tiles need, tile after tile, for the caller to fetch (concurrently,
// over the network) and hand to assemble_tiles in the same order.
PyObject* slide_plan_tiles(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "plan_tiles(level, coords) takes 2 arguments");
      return nullptr;
    }
    std::uint64_t level = 0;
    if (!to_u64(args[0], "level", &level)) return nullptr;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> coords;
    if (!parse_coords(args[1], coords)) return nullptr;
    auto s = acquire(self);
    if (!s) return nullptr;
    auto planned = std::make_unique<PlannedTiles>();
    planned->slide = s;
    planned->plans.reserve(coords.size());
    for (const auto& [x, y] : coords) {
      auto plan = s->plan_tile(level, x, y);
      if (!plan.ok()) return raise_slide_error(plan.error());
      planned->range_count += plan->ranges.size();
      planned->plans.push_back(std::move(plan).value());
    }
    PyObject* ranges = PyList_New(static_cast<Py_ssize_t>(planned->range_count));
    if (ranges == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& plan : planned->plans) {
      for (const auto& r : plan.ranges) {
        PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(r.offset),
                                       static_cast<unsigned long long>(r.length));
        if (item == nullptr) {
          Py_DECREF(ranges);
          return nullptr;
        }
        PyList_SetItem(ranges, i++, item);
      }
    }
    PyObject* capsule = PyCapsule_New(planned.get(), kPlannedTiles, free_planned);
    if (capsule == nullptr) {
      Py_DECREF(ranges);
      return nullptr;
    }
    planned.release();
    return Py_BuildValue("(NN)", capsule, ranges);
  });
}

// assemble_tiles(plans, [bytes, ...]) -> list[bytes]: the tiles of plan_tiles
// from the bytes of their ranges, in plan order.
PyObject* slide_assemble_tiles(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "assemble_tiles(plans, buffers) takes 2 arguments");
      return nullptr;
    }
    auto* planned = static_cast<PlannedTiles*>(PyCapsule_GetPointer(args[0], kPlannedTiles));
    if (planned == nullptr) return nullptr;
    PyObject* buffers = PySequence_Fast(args[1], "buffers must be a sequence of bytes");
    if (buffers == nullptr) return nullptr;
    const Py_ssize_t count = PySequence_Size(buffers);
    if (count != static_cast<Py_ssize_t>(planned->range_count)) {
      Py_DECREF(buffers);
      PyErr_SetString(PyExc_ValueError, "assemble_tiles needs one buffer per planned range");
      return nullptr;
    }
    std::vector<ByteSpan> spans;
    spans.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PySequence_GetItem(buffers, i);  // new reference; the list keeps it alive
      if (item == nullptr) {
        Py_DECREF(buffers);
        return nullptr;
      }
      const bool is_bytes = PyBytes_Check(item);
      Py_DECREF(item);
      if (!is_bytes) {
        Py_DECREF(buffers);
        return binding::raise_cast_error(item, "bytes", "buffer");
      }
      spans.emplace_back(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(item)),
                         static_cast<std::size_t>(PyBytes_Size(item)));
    }
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(planned->plans.size()));
    std::size_t at = 0;
    for (std::size_t i = 0; out != nullptr && i < planned->plans.size(); ++i) {
      const auto& plan = planned->plans[i];
      auto tile = planned->slide->assemble(
          plan, std::span<const ByteSpan>(spans).subspan(at, plan.ranges.size()));
      at += plan.ranges.size();
      PyObject* item = tile.ok() ? bytes_of(*tile) : raise_slide_error(tile.error());
      if (item == nullptr) {
        Py_CLEAR(out);
        break;
      }
      PyList_SetItem(out, static_cast<Py_ssize_t>(i), item);
    }
    Py_DECREF(buffers);
    return out;
  });
}

PyObject* slide_close(PyObject* self, PyObject*) {
  std::shared_ptr<const slide::Slide> dropped;
  dropped.swap(*as_slide(self)->slide);
  // The last reference may close a file: do that without the interpreter lock.
  Py_BEGIN_ALLOW_THREADS
  dropped.reset();
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

// ------------------------------------------------------------------ Slide properties

PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(*as_slide(self)->slide ? 0 : 1);
}

// (hits, misses, bytes fetched, bytes held) of the range cache of a slide read
// through a fetch function; None for local files.
PyObject* get_cache_stats(PyObject* self, void*) {
  auto s = acquire(self);
  if (!s) return nullptr;
  auto* cache = dynamic_cast<std_io::CachedSource*>(&s->source());
  if (cache == nullptr) Py_RETURN_NONE;
  const auto st = cache->stats();
  return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(st.hits),
                       static_cast<unsigned long long>(st.misses),
                       static_cast<unsigned long long>(st.fetched),
                       static_cast<unsigned long long>(st.held));
}

PyObject* get_format(PyObject* self, void*) {
  auto s = acquire(self);
  if (!s) return nullptr;
  return PyUnicode_FromString(slide::format_name(s->format()));
}

PyObject* get_name(PyObject* self, void*) {
  auto s = acquire(self);
  if (!s) return nullptr;
  return str_of(s->name());
}

// A tuple of (width, height, tile width, tile height, tiles across, tiles down,
// media type, downsample) per level.
PyObject* get_levels(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto s = acquire(self);
    if (!s) return nullptr;
    const auto& levels = s->levels();
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(levels.size()));
    if (out == nullptr) return nullptr;
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const auto& l = levels[i];
      PyObject* item = Py_BuildValue(
          "(KKKKKKs#d)", static_cast<unsigned long long>(l.info.dimensions.first),
          static_cast<unsigned long long>(l.info.dimensions.second),
          static_cast<unsigned long long>(l.info.tile_size.first),
          static_cast<unsigned long long>(l.info.tile_size.second),
          static_cast<unsigned long long>(l.info.tile_grid.first),
          static_cast<unsigned long long>(l.info.tile_grid.second), l.media_type.data(),
          static_cast<Py_ssize_t>(l.media_type.size()), l.downsample);
      if (item == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
    }
    return out;
  });
}

PyObject* get_properties(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto s = acquire(self);
    if (!s) return nullptr;
    PyObject* out = PyDict_New();
    if (out == nullptr) return nullptr;
    for (const auto& [key, value] : s->properties()) {
      PyObject* k = str_of(key);
      PyObject* v = str_of(value);
      const int failed = k == nullptr || v == nullptr || PyDict_SetItem(out, k, v) < 0;
      Py_XDECREF(k);
      Py_XDECREF(v);
      if (failed) {
        Py_DECREF(out);
        return nullptr;
      }
    }
    return out;
  });
}

// A tuple of (name, media type, width, height) per associated image.
PyObject* get_associated(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto s = acquire(self);
    if (!s) return nullptr;
    const auto& images = s->associated_images();
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(images.size()));
    if (out == nullptr) return nullptr;
    for (std::size_t i = 0; i < images.size(); ++i) {
      const auto& a = images[i];
      PyObject* item = Py_BuildValue(
          "(s#s#KK)", a.name.data(), static_cast<Py_ssize_t>(a.name.size()), a.media_type.data(),
          static_cast<Py_ssize_t>(a.media_type.size()),
          static_cast<unsigned long long>(a.dimensions.first),
          static_cast<unsigned long long>(a.dimensions.second));
      if (item == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
    }
    return out;
  });
}

void slide_dealloc(PyObject* self) {
  SlideObject* obj = as_slide(self);
  PyTypeObject* type = Py_TYPE(self);
  delete obj->slide;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

#define KOLVA_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kSlideMethods[] = {
    {"read_tile", KOLVA_FASTCALL(slide_read_tile), METH_FASTCALL,
     "read_tile(level, x, y) -> bytes"},
    {"read_tiles", KOLVA_FASTCALL(slide_read_tiles), METH_FASTCALL,
     "read_tiles(level, coords, threads) -> list[bytes]"},
    {"read_associated", slide_read_associated, METH_O, "read_associated(name) -> bytes"},
    {"tile_sizes", slide_tile_sizes, METH_O, "tile_sizes(level) -> bytes (int64 per tile)"},
    {"plan_tiles", KOLVA_FASTCALL(slide_plan_tiles), METH_FASTCALL,
     "plan_tiles(level, coords) -> (plans, [(offset, length), ...])"},
    {"assemble_tiles", KOLVA_FASTCALL(slide_assemble_tiles), METH_FASTCALL,
     "assemble_tiles(plans, buffers) -> list[bytes]"},
    {"close", slide_close, METH_NOARGS, "close()"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSlideGetSet[] = {
    {"closed", get_closed, nullptr, nullptr, nullptr},
    {"cache_stats", get_cache_stats, nullptr, nullptr, nullptr},
    {"format", get_format, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"levels", get_levels, nullptr, nullptr, nullptr},
    {"properties", get_properties, nullptr, nullptr, nullptr},
    {"associated", get_associated, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlideSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slide_dealloc)},
    {Py_tp_methods, kSlideMethods},
    {Py_tp_getset, kSlideGetSet},
    {Py_tp_doc, const_cast<char*>("An opened slide (made by kolva._core.open).")},
    {0, nullptr},
};

PyType_Spec kSlideSpec = {"kolva._core.Slide", sizeof(SlideObject), 0, Py_TPFLAGS_DEFAULT,
                          kSlideSlots};

PyObject* wrap(std::shared_ptr<const slide::Slide> s) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_slide_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  SlideObject* obj = as_slide(self);
  obj->slide = new std::shared_ptr<const slide::Slide>(std::move(s));
  return self;
}

// ------------------------------------------------------------------ module functions

// open(path, tile_size=0) -> Slide
PyObject* open_slide(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "tile_size", nullptr};
    PyObject* path_arg = nullptr;
    PyObject* tile_size_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O:open", const_cast<char**>(kwlist),
                                     &path_arg, &tile_size_arg)) {
      return nullptr;
    }
    slide::OpenOptions options;
    if (tile_size_arg != nullptr && !to_u64(tile_size_arg, "tile_size", &options.tile_size)) {
      return nullptr;
    }
    PyObject* encoded = PyUnicode_EncodeFSDefault(path_arg);
    if (encoded == nullptr) return nullptr;
    std::string path(PyBytes_AsString(encoded), static_cast<std::size_t>(PyBytes_Size(encoded)));
    Py_DECREF(encoded);
    if (path.find('\0') != std::string::npos) {
      PyErr_SetString(g_errors.slide_error, "cannot open a path that contains a NUL character");
      return nullptr;
    }
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    std::optional<OsError> os_error;
    Py_BEGIN_ALLOW_THREADS
    auto file = std_io::SharedFileSource::open(path);
    if (file.ok()) {
      opened = slide::Slide::open(std::move(file).value(), options);
    } else {
      os_error = file.error();
    }
    Py_END_ALLOW_THREADS
    if (os_error) {
      const KolvaError cause = KolvaError::IoError{*os_error};
      return raise_slide_error(SlideError{
          ErrorKind::Io, "cannot open " + path + ": " + std::strerror(os_error->code), cause});
    }
    if (!opened->ok()) return raise_slide_error(opened->error());
    return wrap(std::move(*opened).value());
  });
}

// open_vsi(path, companions, tile_size=0) -> Slide; companions: (folder, path)
// pairs of the ETS files beside the .vsi, in folder order.
PyObject* open_vsi_slide(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "companions", "tile_size", nullptr};
    PyObject* path_arg = nullptr;
    PyObject* companions_arg = nullptr;
    PyObject* tile_size_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO|O:open_vsi", const_cast<char**>(kwlist),
                                     &path_arg, &companions_arg, &tile_size_arg)) {
      return nullptr;
    }
    slide::OpenOptions options;
    if (tile_size_arg != nullptr && !to_u64(tile_size_arg, "tile_size", &options.tile_size)) {
      return nullptr;
    }
    auto fs_text = [](PyObject* text, std::string& out) {
      PyObject* encoded = PyUnicode_EncodeFSDefault(text);
      if (encoded == nullptr) return false;
      out.assign(PyBytes_AsString(encoded), static_cast<std::size_t>(PyBytes_Size(encoded)));
      Py_DECREF(encoded);
      if (out.find('\0') != std::string::npos) {
        PyErr_SetString(g_errors.slide_error, "cannot open a path that contains a NUL character");
        return false;
      }
      return true;
    };
    std::string path;
    if (!fs_text(path_arg, path)) return nullptr;
    std::vector<slide::VsiCompanion> companions;
    PyObject* it = PyObject_GetIter(companions_arg);
    if (it == nullptr) return nullptr;
    PyObject* item;
    while ((item = PyIter_Next(it)) != nullptr) {
      PyObject* folder = nullptr;
      PyObject* file = nullptr;
      slide::VsiCompanion companion;
      const bool ok = PyArg_ParseTuple(item, "UU:companion", &folder, &file) &&
                      fs_text(folder, companion.folder) && fs_text(file, companion.path);
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(it);
        return nullptr;
      }
      companions.push_back(std::move(companion));
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;

    const slide::SourceOpener opener =
        [](const std::string& file) -> slide::SlideResult<std::shared_ptr<std_io::RangeSource>> {
      auto opened = std_io::SharedFileSource::open(file);
      if (!opened.ok()) {
        return SlideError{ErrorKind::Io,
                          "cannot open " + file + ": " + std::strerror(opened.error().code),
                          KolvaError::IoError{opened.error()}};
      }
      return std::shared_ptr<std_io::RangeSource>(std::move(opened).value());
    };
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    auto vsi = opener(path);
    if (vsi.ok()) {
      opened = slide::open_vsi(std::move(vsi).value(), companions, opener, options);
    } else {
      opened = std::move(vsi).error();
    }
    Py_END_ALLOW_THREADS
    if (!opened->ok()) return raise_slide_error(opened->error());
    return wrap(std::move(*opened).value());
  });
}

// The text of a str argument as UTF-8, or false with TypeError raised.
bool utf8_of(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) {
    binding::raise_cast_error(value, "str", name);
    return false;
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &length);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(length));
  return true;
}

// open_dicom(paths, name, named, anchor=-1, series="", focal_plane=0,
// optical_path="") -> Slide: the DICOM whole-slide series among the instance
// files `paths` (a folder's files, the files beside a named one, or named ones).
PyObject* open_dicom(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"paths",       "name",         "named", "anchor", "series",
                                   "focal_plane", "optical_path", nullptr};
    PyObject* paths_arg = nullptr;
    const char* name = nullptr;
    int named = 0;
    long long anchor = -1;
    const char* series = "";
    unsigned long long focal_plane = 0;
    const char* optical_path = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Osp|LsKs:open_dicom", const_cast<char**>(kwlist),
                                     &paths_arg, &name, &named, &anchor, &series, &focal_plane,
                                     &optical_path)) {
      return nullptr;
    }
    std::vector<std::string> paths;
    PyObject* it = PyObject_GetIter(paths_arg);
    if (it == nullptr) return nullptr;
    PyObject* item;
    while ((item = PyIter_Next(it)) != nullptr) {
      std::string path;
      const bool ok = utf8_of(item, "paths", path);
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(it);
        return nullptr;
      }
      paths.push_back(std::move(path));
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    dicom::SeriesOptions options;
    options.named = named != 0;
    if (anchor >= 0) options.anchor = static_cast<std::size_t>(anchor);
    options.series = series;
    options.focal_plane = focal_plane;
    options.optical_path = optical_path;
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::shared_ptr<std_io::RangeSource>> sources;
    for (const std::string& path : paths) {
      auto file = std_io::SharedFileSource::open(path);
      if (!file.ok()) {
        opened = SlideError{ErrorKind::Io,
                            "cannot open " + path + ": " + std::strerror(file.error().code),
                            KolvaError::IoError{file.error()}};
        break;
      }
      sources.push_back(std::move(file).value());
    }
    if (!opened) opened = dicom::open_files(std::move(sources), options, name);
    Py_END_ALLOW_THREADS
    if (!opened->ok()) return raise_slide_error(opened->error());
    return wrap(std::move(*opened).value());
  });
}

// open_dicom_fetch(instances, name, named, anchor=-1, series="", focal_plane=0,
// optical_path="", cache_size=...) -> Slide: open_dicom over remote instances,
// each (fetch, size, name, head): read through `fetch` (see python_fetch) with
// a range cache holding `head`, the instance's first bytes fetched beforehand.
PyObject* open_dicom_fetch(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"instances",   "name",         "named",      "anchor", "series",
                                   "focal_plane", "optical_path", "cache_size", nullptr};
    PyObject* instances_arg = nullptr;
    const char* name = nullptr;
    int named = 0;
    long long anchor = -1;
    const char* series = "";
    unsigned long long focal_plane = 0;
    const char* optical_path = "";
    unsigned long long cache_size = std_io::CacheOptions{}.capacity;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Osp|LsKsK:open_dicom_fetch",
                                     const_cast<char**>(kwlist), &instances_arg, &name, &named,
                                     &anchor, &series, &focal_plane, &optical_path, &cache_size)) {
      return nullptr;
    }
    std::vector<std::shared_ptr<std_io::RangeSource>> sources;
    std::vector<std::shared_ptr<std_io::CachedSource>> caches;
    PyObject* it = PyObject_GetIter(instances_arg);
    if (it == nullptr) return nullptr;
    PyObject* item;
    while ((item = PyIter_Next(it)) != nullptr) {
      PyObject* fetch = nullptr;
      unsigned long long size = 0;
      const char* instance_name = nullptr;
      PyObject* head = nullptr;
      const bool ok = PyArg_ParseTuple(item, "OKsS:instance", &fetch, &size, &instance_name, &head);
      if (ok) {
        auto remote = std::make_shared<std_io::CallbackSource>(python_fetch(fetch), size,
                                                               std::string(instance_name));
        auto cache = std::make_shared<std_io::CachedSource>(
            remote, std_io::CacheOptions{std::max<std::uint64_t>(cache_size, 1 << 20), 64 << 10});
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(head));
        cache->insert(0, Bytes(p, p + PyBytes_Size(head)));
        caches.push_back(cache);
        sources.push_back(std::move(cache));
      }
      Py_DECREF(item);
      if (!ok) break;
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    dicom::SeriesOptions options;
    options.named = named != 0;
    if (anchor >= 0) options.anchor = static_cast<std::size_t>(anchor);
    options.series = series;
    options.focal_plane = focal_plane;
    options.optical_path = optical_path;
    clear_fetch_error();
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    opened = dicom::open_files(std::move(sources), options, name);
    Py_END_ALLOW_THREADS
    // Frames are read exactly as planned from now on.
    for (const auto& cache : caches) cache->set_read_ahead(false);
    if (!opened->ok()) {
      if (restore_fetch_error()) return nullptr;
      return raise_slide_error(opened->error());
    }
    return wrap(std::move(*opened).value());
  });
}

// write_shard(path, shard_name, pieces, sync) -> (samples, tile bytes, size, manifest)
// pieces: (slide, level, tiles as native uint64 bytes, key prefix, extension,
// json fields, manifest fields) tuples. The shard is written to `path`,
// created or truncated; the caller renames it into place.
PyObject* write_shard(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* path_arg = nullptr;
    PyObject* pieces_arg = nullptr;
    const char* shard_name = nullptr;
    int sync = 0;
    if (!PyArg_ParseTuple(args, "UsOp:write_shard", &path_arg, &shard_name, &pieces_arg, &sync)) {
      return nullptr;
    }
    PyObject* encoded = PyUnicode_EncodeFSDefault(path_arg);
    if (encoded == nullptr) return nullptr;
    const std::string path(PyBytes_AsString(encoded),
                           static_cast<std::size_t>(PyBytes_Size(encoded)));
    Py_DECREF(encoded);
    PyObject* seq = PySequence_Fast(pieces_arg, "pieces must be a sequence");
    if (seq == nullptr) return nullptr;
    std::vector<shard::ShardPiece> pieces;
    const Py_ssize_t count = PySequence_Size(seq);
    bool ok = count >= 0;
    for (Py_ssize_t i = 0; ok && i < count; ++i) {
      PyObject* item = PySequence_GetItem(seq, i);
      ok = item != nullptr && PyTuple_Check(item) && PyTuple_Size(item) == 7;
      if (!ok && item != nullptr) {
        PyErr_SetString(PyExc_TypeError, "a shard piece is a tuple of 7 items");
      }
      shard::ShardPiece piece;
      if (ok) {
        PyObject* slide_obj = PyTuple_GetItem(item, 0);
        if (!PyObject_TypeCheck(slide_obj, reinterpret_cast<PyTypeObject*>(g_slide_type))) {
          PyErr_SetString(PyExc_TypeError, "a shard piece starts with a kolva._core.Slide");
          ok = false;
        } else {
          piece.slide = acquire(slide_obj);
          ok = piece.slide != nullptr;
        }
      }
      ok = ok && to_u64(PyTuple_GetItem(item, 1), "level", &piece.level);
      if (ok) {
        PyObject* tiles = PyTuple_GetItem(item, 2);
        char* data = nullptr;
        Py_ssize_t size = 0;
        ok = PyBytes_AsStringAndSize(tiles, &data, &size) == 0;
        if (ok && size % 8 != 0) {
          PyErr_SetString(PyExc_ValueError, "tiles must hold whole uint64 values");
          ok = false;
        }
        if (ok) {
          piece.tiles.resize(static_cast<std::size_t>(size) / 8);
          if (size > 0) std::memcpy(piece.tiles.data(), data, static_cast<std::size_t>(size));
        }
      }
      ok = ok && utf8_of(PyTuple_GetItem(item, 3), "key_prefix", piece.key_prefix) &&
           utf8_of(PyTuple_GetItem(item, 4), "extension", piece.extension) &&
           utf8_of(PyTuple_GetItem(item, 5), "json_fields", piece.json_fields) &&
           utf8_of(PyTuple_GetItem(item, 6), "manifest_fields", piece.manifest_fields);
      Py_XDECREF(item);
      if (ok) pieces.push_back(std::move(piece));
    }
    Py_DECREF(seq);
    if (!ok) return nullptr;

    std::optional<slide::SlideResult<shard::ShardSummary>> written;
    std::optional<OsError> os_error;
    const std::string name(shard_name);
    Py_BEGIN_ALLOW_THREADS
    auto sink = std_io::FileSink::create(path, sync != 0);
    if (sink.ok()) {
      written = shard::write_shard(pieces, name, **sink);
    } else {
      os_error = sink.error();
    }
    pieces.clear();  // the last reference to a slide may close its file
    Py_END_ALLOW_THREADS
    if (os_error) {
      errno = os_error->code;
      return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    }
    if (!written->ok()) return raise_slide_error(written->error());
    const auto& summary = written->value();
    return Py_BuildValue("(KKKy#)", static_cast<unsigned long long>(summary.samples),
                         static_cast<unsigned long long>(summary.tile_bytes),
                         static_cast<unsigned long long>(summary.size), summary.manifest.data(),
                         static_cast<Py_ssize_t>(summary.manifest.size()));
  });
}

// open_fetch(fetch, size, name, seeds, tile_size=0, cache_size=...) -> Slide:
// a slide read through `fetch` (see python_fetch), `size` bytes long, named
// `name` in messages, with a range cache of `cache_size` bytes (0: none)
// holding `seeds`, [(offset, bytes), ...], fetched beforehand.
PyObject* open_fetch(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"fetch", "size", "name", "seeds", "tile_size", "cache_size",
                                   nullptr};
    PyObject* fetch = nullptr;
    PyObject* size_arg = nullptr;
    PyObject* name_arg = nullptr;
    PyObject* seeds = nullptr;
    PyObject* tile_size_arg = nullptr;
    PyObject* cache_size_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOUO|OO:open_fetch", const_cast<char**>(kwlist),
                                     &fetch, &size_arg, &name_arg, &seeds, &tile_size_arg,
                                     &cache_size_arg)) {
      return nullptr;
    }
    if (!PyCallable_Check(fetch)) return binding::raise_cast_error(fetch, "callable", "fetch");
    std::uint64_t size = 0;
    std::uint64_t cache_size = std_io::CacheOptions{}.capacity;
    slide::OpenOptions options;
    if (!to_u64(size_arg, "size", &size) ||
        (tile_size_arg != nullptr && !to_u64(tile_size_arg, "tile_size", &options.tile_size)) ||
        (cache_size_arg != nullptr && !to_u64(cache_size_arg, "cache_size", &cache_size))) {
      return nullptr;
    }
    Py_ssize_t name_length = 0;
    const char* name_text = PyUnicode_AsUTF8AndSize(name_arg, &name_length);
    if (name_text == nullptr) return nullptr;
    auto remote = std::make_shared<std_io::CallbackSource>(
        python_fetch(fetch), size, std::string(name_text, static_cast<std::size_t>(name_length)));
    std::shared_ptr<std_io::CachedSource> cache;
    if (cache_size > 0) {
      cache = std::make_shared<std_io::CachedSource>(remote,
                                                     std_io::CacheOptions{cache_size, 64 << 10});
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
    }
    std::shared_ptr<std_io::RangeSource> source =
        cache ? std::shared_ptr<std_io::RangeSource>(cache) : remote;
    clear_fetch_error();
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    opened = slide::Slide::open(std::move(source), options);
    Py_END_ALLOW_THREADS
    // Tiles are read exactly as planned from now on.
    if (cache) cache->set_read_ahead(false);
    if (!opened->ok()) return raise_slide_error(opened->error());
    return wrap(std::move(*opened).value());
  });
}

PyMethodDef kModuleMethods[] = {
    {"open_fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_fetch)),
     METH_VARARGS | METH_KEYWORDS,
     "open_fetch(fetch, size, name, seeds, tile_size=0, cache_size=...) -> Slide"},
    {"open_dicom", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_dicom)),
     METH_VARARGS | METH_KEYWORDS,
     "open_dicom(paths, name, named, anchor=-1, series='', focal_plane=0, optical_path='') -> Slide"},
    {"open_dicom_fetch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_dicom_fetch)),
     METH_VARARGS | METH_KEYWORDS,
     "open_dicom_fetch(instances, name, named, anchor=-1, series='', focal_plane=0, "
     "optical_path='', cache_size=...) -> Slide"},
    {"open_vsi", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_vsi_slide)),
     METH_VARARGS | METH_KEYWORDS, "open_vsi(path, companions, tile_size=0) -> Slide"},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_slide)),
     METH_VARARGS | METH_KEYWORDS, "open(path, tile_size=0) -> Slide"},
    {"write_shard", write_shard, METH_VARARGS,
     "write_shard(path, shard_name, pieces, sync) -> (samples, tile_bytes, size, manifest)"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* new_error(const char* name, PyObject* bases, const char* doc) {
  return PyErr_NewExceptionWithDoc(name, doc, bases, nullptr);
}

// glibc hands freed heap back to the system as soon as 128 KiB lie free at its
// top, so every batch of tiles would fault its output pages in afresh (a page
// fault per tile, more than the read itself costs). Loading the package keeps
// up to 256 MiB of freed heap for reuse and serves allocations up to 32 MiB
// (large NDPI tiles) from the heap, unless the process set glibc's own
// MALLOC_TRIM_THRESHOLD_ or KOLVA_MALLOC_TUNING=0.
void tune_malloc() {
#ifdef __GLIBC__
  const char* opt_out = std::getenv("KOLVA_MALLOC_TUNING");
  if (std::getenv("MALLOC_TRIM_THRESHOLD_") != nullptr ||
      (opt_out != nullptr && std::strcmp(opt_out, "0") == 0)) {
    return;
  }
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
}

int exec_module(PyObject* module) {
  static const bool tuned = (tune_malloc(), true);
  (void)tuned;
  if (g_errors.slide_error == nullptr) {
    g_errors.slide_error = new_error("kolva.SlideError", PyExc_Exception,
                                     "A slide could not be opened or read.");
    if (g_errors.slide_error == nullptr) return -1;
    g_errors.unsupported = new_error("kolva.UnsupportedFormat", g_errors.slide_error,
                                     "The file is not a slide kolva can read.");
    PyObject* bases = Py_BuildValue("(OO)", g_errors.slide_error, PyExc_IndexError);
    if (g_errors.unsupported == nullptr || bases == nullptr) return -1;
    g_errors.tile_not_found = new_error("kolva.TileNotFound", bases,
                                        "A level, tile or associated image that does not exist.");
    Py_DECREF(bases);
    g_errors.core_error = new_error("kolva.CoreError", PyExc_Exception,
                                    "The core library's own error, kept as the cause.");
    if (g_errors.tile_not_found == nullptr || g_errors.core_error == nullptr) return -1;
  }
  if (g_slide_type == nullptr) {
    g_slide_type = PyType_FromSpec(&kSlideSpec);
    if (g_slide_type == nullptr) return -1;
  }
  const std::pair<const char*, PyObject*> names[] = {
      {"SlideError", g_errors.slide_error},   {"UnsupportedFormat", g_errors.unsupported},
      {"TileNotFound", g_errors.tile_not_found}, {"CoreError", g_errors.core_error},
      {"Slide", g_slide_type},
  };
  for (const auto& [name, value] : names) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
      Py_DECREF(value);
      return -1;
    }
  }
  return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_core", "The native side of the kolva package.", 0,
                       kModuleMethods, kModuleSlots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kolva::core_module

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&kolva::core_module::kModule); }
