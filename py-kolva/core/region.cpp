// kolva._core.RegionReader: decoded regions of one Slide object, made by
// Slide.region_reader(cache_bytes). Pixels go into a buffer the caller owns
// (a NumPy array), with the interpreter lock released while tiles are read
// and decoded. The reader keeps its Slide object alive and raises what that
// object would (its fetch functions' exceptions), and nothing once it is
// closed.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "region/region.hpp"
#include "slide_object.hpp"

namespace kolva::core_module {
namespace {

using binding::guarded;
using region::PaintOptions;
using region::RegionReader;

struct ReaderObject {
  PyObject_HEAD
  PyObject* slide_object;                        // the kolva._core.Slide it reads
  std::shared_ptr<const RegionReader>* reader;
};

ReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

PyObject* g_reader_type = nullptr;

// A writable C-contiguous buffer, released with this object.
struct WritableBuffer {
  Py_buffer view{};
  bool held = false;
  bool get(PyObject* object) {
    held = PyObject_GetBuffer(object, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) == 0;
    return held;
  }
  std::span<std::uint8_t> span() const {
    return {static_cast<std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)};
  }
  ~WritableBuffer() {
    if (held) PyBuffer_Release(&view);
  }
};

// The reader, or nullptr with "the slide is closed" raised.
std::shared_ptr<const RegionReader> reader_of(PyObject* self) {
  if (!acquire(as_reader(self)->slide_object)) return nullptr;
  return *as_reader(self)->reader;
}

// read(level, x, y, width, height, scale_denom, out, alpha, level_coords) -> bool
// x, y: level-0 pixels, or the (scaled) level's when level_coords. True when
// stored tiles cover the whole region.
PyObject* reader_read(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long level = 0;
    long long x = 0, y = 0;
    unsigned int width = 0, height = 0, denom = 1;
    PyObject* out = nullptr;
    int alpha = 0, level_coords = 0;
    if (!PyArg_ParseTuple(args, "KLLIIIOpp:read", &level, &x, &y, &width, &height, &denom, &out,
                          &alpha, &level_coords)) {
      return nullptr;
    }
    auto reader = reader_of(self);
    if (!reader) return nullptr;
    WritableBuffer buffer;
    if (!buffer.get(out)) return nullptr;
    PaintOptions options;
    options.alpha = alpha != 0;
    std::optional<slide::SlideResult<bool>> result;
    Py_BEGIN_ALLOW_THREADS
    if (level_coords) {
      result = reader->read(region::LevelRegion{level, x, y, width, height, denom},
                            buffer.span(), options);
    } else {
      result = reader->read_region(level, x, y, width, height, buffer.span(), options);
    }
    Py_END_ALLOW_THREADS
    if (!result->ok()) return raise_for(as_reader(self)->slide_object, result->error());
    return PyBool_FromLong(result->value() ? 1 : 0);
  });
}

// read_many(level, origins, width, height, out, alpha, threads): origins is a
// buffer of native int64 (x, y) pairs in level-0 pixels.
PyObject* reader_read_many(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long level = 0;
    PyObject* origins_object = nullptr;
    PyObject* out = nullptr;
    unsigned int width = 0, height = 0, threads = 1;
    int alpha = 0;
    if (!PyArg_ParseTuple(args, "KOIIOpI:read_many", &level, &origins_object, &width, &height,
                          &out, &alpha, &threads)) {
      return nullptr;
    }
    auto reader = reader_of(self);
    if (!reader) return nullptr;
    Py_buffer origins_view;
    if (PyObject_GetBuffer(origins_object, &origins_view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    std::vector<std::pair<std::int64_t, std::int64_t>> origins(
        static_cast<std::size_t>(origins_view.len) / (2 * sizeof(std::int64_t)));
    const auto* values = static_cast<const std::int64_t*>(origins_view.buf);
    for (std::size_t i = 0; i < origins.size(); ++i) origins[i] = {values[2 * i], values[2 * i + 1]};
    PyBuffer_Release(&origins_view);
    WritableBuffer buffer;
    if (!buffer.get(out)) return nullptr;
    PaintOptions options;
    options.alpha = alpha != 0;
    std::optional<slide::SlideResult<Unit>> result;
    Py_BEGIN_ALLOW_THREADS
    result = reader->read_regions(level, origins, width, height, buffer.span(), options,
                                  threads == 0 ? 1 : threads);
    Py_END_ALLOW_THREADS
    if (!result->ok()) return raise_for(as_reader(self)->slide_object, result->error());
    Py_RETURN_NONE;
  });
}

// tiles_under(level, x, y, width, height) -> [(col, row, x, y, width, height,
// px, py, pwidth, pheight)]: the stored tiles whose rectangles meet the area
// (level pixels), in painting order, each with the part of its rectangle it
// paints (all of it, or one piece), for the tiles the caller decodes with its
// own codecs.
PyObject* reader_tiles_under(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long level = 0, width = 0, height = 0;
    long long x = 0, y = 0;
    if (!PyArg_ParseTuple(args, "KLLKK:tiles_under", &level, &x, &y, &width, &height)) return nullptr;
    const auto placed = (*as_reader(self)->reader)->tiles_under(level, region::TileRect{x, y, width, height});
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(placed.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < placed.size(); ++i) {
      const auto& t = placed[i];
      const auto& shown = t.shown();
      PyObject* item = Py_BuildValue("(KKLLKKLLKK)", static_cast<unsigned long long>(t.col),
                                     static_cast<unsigned long long>(t.row), static_cast<long long>(t.rect.x),
                                     static_cast<long long>(t.rect.y),
                                     static_cast<unsigned long long>(t.rect.width),
                                     static_cast<unsigned long long>(t.rect.height),
                                     static_cast<long long>(shown.x), static_cast<long long>(shown.y),
                                     static_cast<unsigned long long>(shown.width),
                                     static_cast<unsigned long long>(shown.height));
      if (item == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
        Py_DECREF(list);
        return nullptr;
      }
    }
    return list;
  });
}

PyObject* reader_decodes(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const unsigned long long level = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    return PyBool_FromLong((*as_reader(self)->reader)->decodes(level) ? 1 : 0);
  });
}

// Whether the JPEG 2000 tiles of `level` hold YCbCr without the codestream's
// colour transform (Aperio 33003): the caller converts them to RGB.
PyObject* reader_ycbcr(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const unsigned long long level = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    const auto& levels = (*as_reader(self)->reader)->slide().levels();
    return PyBool_FromLong(level < levels.size() &&
                           levels[level].info.encoding == TileEncoding::Jpeg2000YCbCr);
  });
}

PyObject* reader_cache_stats(PyObject* self, void*) {
  const auto stats = (*as_reader(self)->reader)->cache_stats();
  return Py_BuildValue("{sKsKsKsK}", "hits", stats.hits, "misses", stats.misses, "bytes",
                       stats.bytes, "capacity", stats.capacity);
}

void reader_dealloc(PyObject* self) {
  ReaderObject* obj = as_reader(self);
  PyTypeObject* type = Py_TYPE(self);
  delete obj->reader;
  Py_XDECREF(obj->slide_object);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyMethodDef kReaderMethods[] = {
    {"read", reader_read, METH_VARARGS,
     "read(level, x, y, width, height, scale_denom, out, alpha, level_coords) -> bool"},
    {"read_many", reader_read_many, METH_VARARGS,
     "read_many(level, origins, width, height, out, alpha, threads) -> None"},
    {"decodes", reader_decodes, METH_O, "decodes(level) -> bool"},
    {"tiles_under", reader_tiles_under, METH_VARARGS,
     "tiles_under(level, x, y, width, height) -> [(col, row, x, y, width, height, px, py, "
     "pwidth, pheight)]"},
    {"ycbcr", reader_ycbcr, METH_O, "ycbcr(level) -> bool"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kReaderGetSet[] = {
    {"cache_stats", reader_cache_stats, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_doc, const_cast<char*>("Decoded regions of a slide (made by Slide.region_reader).")},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {"kolva._core.RegionReader", sizeof(ReaderObject), 0,
                           Py_TPFLAGS_DEFAULT, kReaderSlots};

}  // namespace

// Slide.region_reader(cache_bytes) -> RegionReader
PyObject* slide_region_reader(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const unsigned long long cache_bytes = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    auto s = acquire(self);
    if (!s) return nullptr;
    if (g_reader_type == nullptr) {
      g_reader_type = PyType_FromSpec(&kReaderSpec);
      if (g_reader_type == nullptr) return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_reader_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    ReaderObject* reader = as_reader(obj);
    Py_INCREF(self);
    reader->slide_object = self;
    reader->reader = new std::shared_ptr<const RegionReader>(
        std::make_shared<const RegionReader>(std::move(s), cache_bytes));
    return obj;
  });
}

}  // namespace kolva::core_module
