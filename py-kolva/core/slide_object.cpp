// kolva._core.Slide: arguments in, a call into the core's Slide, the result or
// a SlideError out. The interpreter lock is released around every read.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/convert.hpp"
#include "common/errors.hpp"
#include "export/shard.hpp"
#include "slide_object.hpp"
#include "std_io/cache.hpp"

namespace kolva::core_module {
namespace {

using binding::guarded;
using binding::to_u64;
using slide::SlideError;

SlideObject* as_slide(PyObject* self) { return reinterpret_cast<SlideObject*>(self); }

PyObject* g_slide_type = nullptr;

}  // namespace


std::shared_ptr<const slide::Slide> acquire(PyObject* self) {
  std::shared_ptr<const slide::Slide> s = *as_slide(self)->slide;
  if (!s) PyErr_SetString(binding::slide_errors().slide_error, "the slide is closed");
  return s;
}

namespace {

PyObject* bytes_of(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* str_of(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

PyObject* raise_for(PyObject* self, const SlideError& error) {
  // A read through a Python fetch function failed: its own exception (with
  // the URL and the transport's cause) says more than the core's I/O error.
  auto* errors = as_slide(self)->fetch_errors;
  if (error.kind == slide::ErrorKind::Io && errors && *errors && (*errors)->restore()) {
    return nullptr;
  }
  return binding::raise_slide_error(error);
}

namespace {

// Reads one planned tile into a new bytes object (the interpreter lock is
// released for the read).
PyObject* read_plan(PyObject* self, const slide::Slide& s, const slide::TilePlan& plan) {
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
      return raise_for(self, result.error());
    }
    return out;
  }
  slide::SlideResult<Bytes> result = Bytes{};
  Py_BEGIN_ALLOW_THREADS
  result = s.read(plan);
  Py_END_ALLOW_THREADS
  if (!result.ok()) return raise_for(self, result.error());
  return bytes_of(*result);
}

// The slide's hash input, worked out (which may read) without the interpreter
// lock; null with the error raised when it cannot be.
const std::optional<slide::HashInput>* hash_input_of(PyObject* self, const slide::Slide& s) {
  slide::SlideResult<const std::optional<slide::HashInput>*> held =
      static_cast<const std::optional<slide::HashInput>*>(nullptr);
  Py_BEGIN_ALLOW_THREADS
  held = s.hash_input();
  Py_END_ALLOW_THREADS
  if (!held.ok()) {
    raise_for(self, held.error());
    return nullptr;
  }
  return *held;
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
    if (!plan.ok()) return raise_for(self, plan.error());
    return read_plan(self, *s, *plan);
  });
}

}  // namespace

namespace {

// The common batch, a list or tuple of (int, int) tuples, read in place:
// nothing in it can run Python code that changes it meanwhile. False, with
// `out` left empty, for anything else (the general reading then tells).
bool parse_int_pairs(PyObject* coords, std::vector<std::pair<std::uint64_t, std::uint64_t>>& out) {
  const bool list = PyList_CheckExact(coords);
  if (!list && !PyTuple_CheckExact(coords)) return false;
  const Py_ssize_t n = list ? PyList_Size(coords) : PyTuple_Size(coords);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = list ? PyList_GetItem(coords, i) : PyTuple_GetItem(coords, i);
    if (!PyTuple_CheckExact(item) || PyTuple_Size(item) != 2) break;
    PyObject* x = PyTuple_GetItem(item, 0);
    PyObject* y = PyTuple_GetItem(item, 1);
    if (!PyLong_CheckExact(x) || !PyLong_CheckExact(y)) break;
    constexpr auto kFailed = static_cast<unsigned long long>(-1);
    const unsigned long long xv = PyLong_AsUnsignedLongLong(x);
    if (xv == kFailed && PyErr_Occurred()) {  // negative or too large: the general
      PyErr_Clear();                          // reading tells it
      break;
    }
    const unsigned long long yv = PyLong_AsUnsignedLongLong(y);
    if (yv == kFailed && PyErr_Occurred()) {
      PyErr_Clear();
      break;
    }
    out.emplace_back(xv, yv);
  }
  if (out.size() == static_cast<std::size_t>(n)) return true;
  out.clear();
  return false;
}

}  // namespace

// The (x, y) pairs of `coords`, any iterable of 2-item sequences.
bool parse_coords(PyObject* coords, std::vector<std::pair<std::uint64_t, std::uint64_t>>& out) {
  if (parse_int_pairs(coords, out)) return true;
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

namespace {

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

    // Every tile is planned first (a few arithmetic steps each, no I/O): a bad
    // coordinate fails the call before any read. Other Python threads run
    // meanwhile: planning is a good part of a batch of small tiles.
    std::optional<slide::SlideResult<slide::Batch>> planned;
    Py_BEGIN_ALLOW_THREADS
    planned = s->plan_batch(level, coords);
    Py_END_ALLOW_THREADS
    auto& batch = *planned;
    if (!batch.ok()) return raise_for(self, batch.error());
    const auto& plans = batch->plans;

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
    result = s->read_batch(*batch, dst, assembled, workers);
    Py_END_ALLOW_THREADS
    if (!result.ok()) {
      Py_DECREF(list);
      return raise_for(self, result.error());
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
      if (!dst[i].empty()) continue;
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
    auto plan = s->associated_plan(std::string(text, static_cast<std::size_t>(length)));
    if (!plan.ok()) return raise_for(self, plan.error());
    return read_plan(self, *s, **plan);
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
    if (!sizes->ok()) return raise_for(self, sizes->error());
    const auto& v = sizes->value();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(std::int64_t)));
  });
}

// tile_rects(level) -> bytes | None: a positioned level's recorded tile
// rectangles as native float64 (x, y, width, height) per tile, row by row, NaN
// for tiles it does not store; None for a plain grid.
PyObject* slide_tile_rects(PyObject* self, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::uint64_t level = 0;
    if (!to_u64(arg, "level", &level)) return nullptr;
    auto s = acquire(self);
    if (!s) return nullptr;
    const auto& levels = s->levels();
    if (level >= levels.size()) {
      return raise_for(self, slide::errors::level_not_found(level, levels.size()));
    }
    const auto& rects = levels[level].tile_rects;
    if (rects.empty()) Py_RETURN_NONE;
    std::vector<double> flat;
    flat.reserve(rects.size() * 4);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const slide::TileRect& r : rects) {
      const bool stored = r.stored();
      flat.insert(flat.end(), {stored ? r.x : nan, stored ? r.y : nan, stored ? r.width : nan,
                               stored ? r.height : nan});
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(flat.data()),
                                     static_cast<Py_ssize_t>(flat.size() * sizeof(double)));
  });
}

// quickhash_input() -> ([(offset, length), ...], [bytes, ...]) | None: the
// slide's hash input (the smallest level's stored tiles, the identifying
// tags' raw text).
PyObject* slide_quickhash_input(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto s = acquire(self);
    if (!s) return nullptr;
    const auto* held = hash_input_of(self, *s);
    if (held == nullptr) return nullptr;
    const auto& input = *held;
    if (!input) Py_RETURN_NONE;
    PyObject* ranges = PyList_New(static_cast<Py_ssize_t>(input->ranges.size()));
    PyObject* texts = ranges ? PyList_New(static_cast<Py_ssize_t>(input->texts.size())) : nullptr;
    if (texts == nullptr) {
      Py_XDECREF(ranges);
      return nullptr;
    }
    for (std::size_t i = 0; i < input->ranges.size(); ++i) {
      PyObject* item =
          Py_BuildValue("(KK)", static_cast<unsigned long long>(input->ranges[i].offset),
                        static_cast<unsigned long long>(input->ranges[i].length));
      if (item == nullptr) {
        Py_DECREF(ranges);
        Py_DECREF(texts);
        return nullptr;
      }
      PyList_SetItem(ranges, static_cast<Py_ssize_t>(i), item);
    }
    for (std::size_t i = 0; i < input->texts.size(); ++i) {
      PyObject* item = PyBytes_FromStringAndSize(input->texts[i].data(),
                                                 static_cast<Py_ssize_t>(input->texts[i].size()));
      if (item == nullptr) {
        Py_DECREF(ranges);
        Py_DECREF(texts);
        return nullptr;
      }
      PyList_SetItem(texts, static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(NN)", ranges, texts);
  });
}

// read_quickhash_input() -> bytes: the bytes of the hash input's ranges, one
// after the other (b"" when the slide has none).
PyObject* slide_read_quickhash_input(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto s = acquire(self);
    if (!s) return nullptr;
    const auto* held = hash_input_of(self, *s);
    if (held == nullptr) return nullptr;
    const auto& input = *held;
    if (!input) return PyBytes_FromStringAndSize(nullptr, 0);
    return read_plan(self, *s, input->plan());
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
      if (!plan.ok()) return raise_for(self, plan.error());
      planned->range_count += plan->ranges.size();
      planned->plans.push_back(std::move(plan).value());
    }
    PyObject* ranges = PyList_New(static_cast<Py_ssize_t>(planned->range_count));
    if (ranges == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& plan : planned->plans) {
      for (const auto& r : plan.ranges) {
        if (r.source != 0 || s->sources().frames(r.source) != nullptr) {
          Py_DECREF(ranges);
          PyErr_SetString(PyExc_ValueError,
                          "plan_tiles takes slides read from one file; use read_tiles");
          return nullptr;
        }
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
      PyObject* item = tile.ok() ? bytes_of(*tile) : binding::raise_slide_error(tile.error());
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
  return guarded([&]() -> PyObject* {
    SlideObject* obj = as_slide(self);
    std::shared_ptr<const slide::Slide> dropped;
    if (*obj->slide && obj->kept == nullptr) {
      // Its geometry stays readable: the levels shared, the images' descriptions copied.
      auto kept = std::make_unique<KeptGeometry>();
      kept->levels = (*obj->slide)->shared_levels();
      for (const auto& a : (*obj->slide)->associated_images()) {
        kept->images.push_back({a.name, a.media_type, a.dimensions, a.icc_profile});
      }
      obj->kept = kept.release();
    }
    dropped.swap(*obj->slide);
    // The last reference may close a file: do that without the interpreter lock.
    Py_BEGIN_ALLOW_THREADS
    dropped.reset();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
  });
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
  return PyUnicode_FromStringAndSize(s->format().data(), static_cast<Py_ssize_t>(s->format().size()));
}

PyObject* get_name(PyObject* self, void*) {
  auto s = acquire(self);
  if (!s) return nullptr;
  return str_of(s->name());
}

// Levels and associated images as struct sequences: tuples whose items have
// names too (level.width, image.media_type).
PyStructSequence_Field kLevelFields[] = {
    {"width", nullptr},         {"height", nullptr},
    {"tile_width", nullptr},    {"tile_height", nullptr},
    {"tiles_across", nullptr},  {"tiles_down", nullptr},
    {"media_type", nullptr},    {"downsample", nullptr},
    {"photometric",
     "the colour of the stored samples in DICOM's words, or an empty string where only the "
     "stream tells"},
    {"icc_profile", "the level's ICC profile, or None"},
    {"positioned", "whether the level records where each stored tile lies (see tile_rects)"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kLevelDesc = {"kolva._core.LevelInfo", "One pyramid level.", kLevelFields,
                                    8};
PyStructSequence_Field kImageFields[] = {
    {"name", nullptr}, {"media_type", nullptr}, {"width", nullptr}, {"height", nullptr},
    {"icc_profile", "the image's ICC profile, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kImageDesc = {"kolva._core.ImageInfo", "One associated image.",
                                    kImageFields, 4};
PyObject* g_level_type = nullptr;
PyObject* g_image_type = nullptr;

// The bytes of a profile, or None when there is none.
PyObject* bytes_or_none(const Bytes& bytes) {
  if (bytes.empty()) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// A struct sequence of `type` holding the items of `tuple` (stolen).
PyObject* named(PyObject* type, PyObject* tuple) {
  if (tuple == nullptr) return nullptr;
  PyObject* out = PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type));
  const Py_ssize_t n = PyTuple_Size(tuple);
  for (Py_ssize_t i = 0; out != nullptr && i < n; ++i) {
    PyObject* item = PyTuple_GetItem(tuple, i);
    Py_INCREF(item);
    PyStructSequence_SetItem(out, i, item);  // steals `item`
  }
  Py_DECREF(tuple);
  return out;
}

// A LevelInfo (width, height, tile width, tile height, tiles across, tiles
// down, media type, downsample, ...) per level, also once the slide is closed.
PyObject* get_levels(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::shared_ptr<const std::vector<slide::Level>> shared;
    if (const KeptGeometry* kept = as_slide(self)->kept) {
      shared = kept->levels;
    } else {
      auto s = acquire(self);
      if (!s) return nullptr;
      shared = s->shared_levels();
    }
    const auto& levels = *shared;
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(levels.size()));
    if (out == nullptr) return nullptr;
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const auto& l = levels[i];
      PyObject* item = named(g_level_type, Py_BuildValue(
          "(KKKKKKs#ds#NO)", static_cast<unsigned long long>(l.info.dimensions.first),
          static_cast<unsigned long long>(l.info.dimensions.second),
          static_cast<unsigned long long>(l.info.tile_size.first),
          static_cast<unsigned long long>(l.info.tile_size.second),
          static_cast<unsigned long long>(l.info.tile_grid.first),
          static_cast<unsigned long long>(l.info.tile_grid.second), l.media_type.data(),
          static_cast<Py_ssize_t>(l.media_type.size()), l.downsample, l.photometric.data(),
          static_cast<Py_ssize_t>(l.photometric.size()), bytes_or_none(l.icc_profile),
          l.positioned() ? Py_True : Py_False));
      if (item == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
    }
    return out;
  });
}

// The properties, also once the slide is closed.
PyObject* get_properties(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const slide::SlideProperties& kept = **as_slide(self)->properties;
    if (!kept.ready()) {  // worked out now, without the interpreter lock
      Py_BEGIN_ALLOW_THREADS
      kept.get();
      Py_END_ALLOW_THREADS
    }
    const slide::Properties* properties = &kept.get();
    PyObject* out = PyDict_New();
    if (out == nullptr) return nullptr;
    for (const auto& [key, value] : *properties) {
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

// An ImageInfo (name, media type, width, height, ICC profile) per image of `images`.
template <class Images>
PyObject* image_infos(const Images& images) {
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(images.size()));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const auto& a = images[i];
    PyObject* item = named(g_image_type, Py_BuildValue(
        "(s#s#KKN)", a.name.data(), static_cast<Py_ssize_t>(a.name.size()), a.media_type.data(),
        static_cast<Py_ssize_t>(a.media_type.size()),
        static_cast<unsigned long long>(a.dimensions.first),
        static_cast<unsigned long long>(a.dimensions.second), bytes_or_none(a.icc_profile)));
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

// An ImageInfo per associated image, also once the slide is closed.
PyObject* get_associated(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (const KeptGeometry* kept = as_slide(self)->kept) return image_infos(kept->images);
    auto s = acquire(self);
    if (!s) return nullptr;
    return image_infos(s->associated_images());
  });
}

// {axis: (count, names or None, selected)} for the four plane axes.
PyObject* get_planes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto s = acquire(self);
    if (!s) return nullptr;
    PyObject* out = PyDict_New();
    if (out == nullptr) return nullptr;
    for (std::size_t a = 0; a < slide::kPlaneAxisCount; ++a) {
      const auto axis = static_cast<slide::PlaneAxis>(a);
      const slide::PlaneList& list = s->planes()[axis];
      PyObject* names = Py_None;
      Py_INCREF(names);
      if (!list.names.empty() && list.names.size() == list.count) {
        Py_DECREF(names);
        names = PyTuple_New(static_cast<Py_ssize_t>(list.names.size()));
        for (std::size_t i = 0; names != nullptr && i < list.names.size(); ++i) {
          PyObject* name = str_of(list.names[i]);
          if (name == nullptr) {
            Py_CLEAR(names);
            break;
          }
          PyTuple_SetItem(names, static_cast<Py_ssize_t>(i), name);
        }
      }
      PyObject* entry = names == nullptr ? nullptr
                                         : Py_BuildValue("(KNK)",
                                                         static_cast<unsigned long long>(list.count),
                                                         names,
                                                         static_cast<unsigned long long>(list.selected));
      const std::string_view key = slide::plane_axis_name(axis);
      const int failed = entry == nullptr ||
                         PyDict_SetItemString(out, std::string(key).c_str(), entry) < 0;
      Py_XDECREF(entry);
      if (failed) {
        Py_DECREF(out);
        return nullptr;
      }
    }
    return out;
  });
}

void slide_dealloc(PyObject* self) {
  SlideObject* obj = as_slide(self);
  PyTypeObject* type = Py_TYPE(self);
  delete obj->slide;
  delete obj->fetch_errors;
  delete obj->properties;
  delete obj->kept;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

#define KOLVA_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kSlideMethods[] = {
    {"read_tile", KOLVA_FASTCALL(slide_read_tile), METH_FASTCALL,
     "read_tile(level, x, y) -> bytes"},
    {"tile_nbytes", KOLVA_FASTCALL(slide_tile_nbytes), METH_FASTCALL,
     "tile_nbytes(level, coords, threads) -> bytes (int64 per tile)"},
    {"read_tiles_into", KOLVA_FASTCALL(slide_read_tiles_into), METH_FASTCALL,
     "read_tiles_into(level, coords, out, threads) -> bytearray (int64 offsets)"},
    {"read_tiles", KOLVA_FASTCALL(slide_read_tiles), METH_FASTCALL,
     "read_tiles(level, coords, threads) -> list[bytes]"},
    {"read_associated", slide_read_associated, METH_O, "read_associated(name) -> bytes"},
    {"tile_sizes", slide_tile_sizes, METH_O, "tile_sizes(level) -> bytes (int64 per tile)"},
    {"tile_rects", slide_tile_rects, METH_O,
     "tile_rects(level) -> bytes (float64 x, y, width, height per tile) | None"},
    {"plan_tiles", KOLVA_FASTCALL(slide_plan_tiles), METH_FASTCALL,
     "plan_tiles(level, coords) -> (plans, [(offset, length), ...])"},
    {"assemble_tiles", KOLVA_FASTCALL(slide_assemble_tiles), METH_FASTCALL,
     "assemble_tiles(plans, buffers) -> list[bytes]"},
    {"quickhash_input", slide_quickhash_input, METH_NOARGS,
     "quickhash_input() -> ([(offset, length), ...], [bytes, ...]) | None"},
    {"read_quickhash_input", slide_read_quickhash_input, METH_NOARGS,
     "read_quickhash_input() -> bytes"},
    {"region_reader", slide_region_reader, METH_O, "region_reader(cache_bytes) -> RegionReader"},
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
    {"planes", get_planes, nullptr, nullptr, nullptr},
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

}  // namespace

PyObject* slide_type() {
  if (g_level_type == nullptr) {
    g_level_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kLevelDesc));
    if (g_level_type == nullptr) return nullptr;
  }
  if (g_image_type == nullptr) {
    g_image_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kImageDesc));
    if (g_image_type == nullptr) return nullptr;
  }
  if (g_slide_type == nullptr) g_slide_type = PyType_FromSpec(&kSlideSpec);
  return g_slide_type;
}

PyObject* level_info_type() { return g_level_type; }
PyObject* image_info_type() { return g_image_type; }

PyObject* wrap(std::shared_ptr<const slide::Slide> s, std::shared_ptr<FetchErrors> fetch_errors) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_slide_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  SlideObject* obj = as_slide(self);
  obj->properties = new std::shared_ptr<const slide::SlideProperties>(s->shared_properties());
  obj->slide = new std::shared_ptr<const slide::Slide>(std::move(s));
  obj->fetch_errors = new std::shared_ptr<FetchErrors>(std::move(fetch_errors));
  obj->kept = nullptr;
  return self;
}


}  // namespace kolva::core_module
