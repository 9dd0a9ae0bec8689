// kolva._core, the native side of the `kolva` package: its module functions
// (opening local and remote slides, writing shards) and its initialisation.
// The Slide type is in slide_object.cpp, remote reads in fetch.cpp.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform.hpp"
#include "drivers/dicom/parser.hpp"
#include "drivers/dicom/series.hpp"
#include "codecs.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "export/shard.hpp"
#include "fetch.hpp"
#include "slide_object.hpp"
#include "std_io/cache.hpp"
#include "std_io/sink.hpp"
#include "std_io/source.hpp"

namespace kolva::core_module {
namespace {

using binding::guarded;
using binding::to_u64;
using slide::ErrorKind;
using slide::SlideError;

SlideObject* as_slide(PyObject* self) { return reinterpret_cast<SlideObject*>(self); }

// ------------------------------------------------------------------ module functions

// The `planes` argument of open and open_fetch: a sequence of four choices
// (series, channel, focal plane, timepoint), each None, an int or a str.
bool planes_of(PyObject* arg, slide::PlaneSelection& out) {
  if (arg == nullptr || arg == Py_None) return true;
  if (!PySequence_Check(arg) || PySequence_Size(arg) != static_cast<Py_ssize_t>(slide::kPlaneAxisCount)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "planes must hold four choices");
    return false;
  }
  for (std::size_t i = 0; i < slide::kPlaneAxisCount; ++i) {
    PyObject* item = PySequence_GetItem(arg, static_cast<Py_ssize_t>(i));
    if (item == nullptr) return false;
    const std::string name(slide::plane_axis_name(static_cast<slide::PlaneAxis>(i)));
    bool ok = true;
    if (PyUnicode_Check(item)) {
      Py_ssize_t length = 0;
      const char* text = PyUnicode_AsUTF8AndSize(item, &length);
      ok = text != nullptr;
      if (ok) out.axes[i].name = std::string(text, static_cast<std::size_t>(length));
    } else if (item != Py_None) {
      std::uint64_t index = 0;
      ok = to_u64(item, name.c_str(), &index);
      if (ok) out.axes[i].index = index;
    }
    Py_DECREF(item);
    if (!ok) return false;
  }
  return true;
}

// The DICOM options of open_dicom and open_dicom_fetch.
bool dicom_options(int named, int folder, const char* series, unsigned long long focal_plane,
                   const char* optical_path, slide::OpenOptions& options) {
  options.named = named != 0;
  options.folder = folder != 0;
  options.series = series;
  options.focal_plane = focal_plane;
  options.optical_path = optical_path;
  return true;
}

// The exception raised, taken aside (and given back by `restore`) while it
// may yet not matter.
struct PendingError {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  void take() { PyErr_Fetch(&type, &value, &traceback); }
  PyObject* restore() {
    PyErr_Restore(std::exchange(type, nullptr), std::exchange(value, nullptr),
                  std::exchange(traceback, nullptr));
    return nullptr;
  }
#pragma GCC diagnostic pop
  ~PendingError() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
};

// open(path, tile_size=0, planes=None, dicom=None) -> Slide
// `dicom`: (series, focal_plane, optical_path), what is chosen when the file
// turns out to be a DICOM instance: it then opens as open_dicom([path], ...)
// would, its tile size and planes left aside (unread: a bad one fails only
// the opening of another file). Without it a DICOM instance opens with the
// defaults.
PyObject* open_slide(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "tile_size", "planes", "dicom", nullptr};
    PyObject* path_arg = nullptr;
    PyObject* tile_size_arg = nullptr;
    PyObject* planes_arg = nullptr;
    PyObject* dicom_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|OOO:open", const_cast<char**>(kwlist),
                                     &path_arg, &tile_size_arg, &planes_arg, &dicom_arg)) {
      return nullptr;
    }
    std::optional<slide::OpenOptions> if_dicom;
    if (dicom_arg != nullptr && dicom_arg != Py_None) {
      const char* series = "";
      unsigned long long focal_plane = 0;
      const char* optical_path = "";
      if (!PyArg_ParseTuple(dicom_arg, "sKs:dicom", &series, &focal_plane, &optical_path)) {
        return nullptr;
      }
      if_dicom.emplace();
      dicom_options(0, 0, series, focal_plane, optical_path, *if_dicom);
    }
    slide::OpenOptions options;
    PendingError bad_option;
    if ((tile_size_arg != nullptr && !to_u64(tile_size_arg, "tile_size", &options.tile_size)) ||
        !planes_of(planes_arg, options.planes)) {
      if (!if_dicom) return nullptr;
      bad_option.take();
    }
    const bool parsed = bad_option.type == nullptr;
    PyObject* encoded = PyUnicode_EncodeFSDefault(path_arg);
    if (encoded == nullptr) return nullptr;
    std::string path(PyBytes_AsString(encoded), static_cast<std::size_t>(PyBytes_Size(encoded)));
    Py_DECREF(encoded);
    if (path.find('\0') != std::string::npos) {
      PyErr_SetString(binding::slide_errors().slide_error, "cannot open a path that contains a NUL character");
      return nullptr;
    }
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    std::optional<OsError> os_error;
    Py_BEGIN_ALLOW_THREADS
    auto file = std_io::SharedFileSource::open(path);
    if (file.ok()) {
      bool dicom_file = false;
      if (if_dicom) {
        std::uint8_t head[132];
        const auto got = (*file)->read_at(0, head);
        dicom_file = got.ok() && dicom::has_dicom_magic(ByteSpan(head, static_cast<std::size_t>(*got)));
        if (dicom_file) options = std::move(*if_dicom);
      }
      if (parsed || dicom_file) {
        opened = slide::Slide::open(
            slide::SourceSet(std::move(file).value(), slide::LocalSiblings::of_file(path)), options);
      }
    } else {
      os_error = file.error();
    }
    Py_END_ALLOW_THREADS
    if (!opened && !os_error) return bad_option.restore();  // no DICOM instance: it matters
    if (os_error && !parsed) return bad_option.restore();
    if (os_error) return binding::raise_slide_error(slide::errors::cannot_open(path, *os_error));
    if (!opened->ok()) return binding::raise_slide_error(opened->error());
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

// write_shard(path, shard_name, pieces, sync, start=0) -> (samples, tile bytes, size, manifest)
// pieces: (slide, level, tiles as native uint64 bytes, key prefix, extension,
// json fields, manifest fields) tuples. The shard is written to `path`,
// created or truncated; the caller renames it into place. `start` > 0 continues
// the shard in `path` at that byte (the size of its last part less the two zero
// blocks that close it): size and offsets count from the start of the file.
PyObject* write_shard(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* path_arg = nullptr;
    PyObject* pieces_arg = nullptr;
    const char* shard_name = nullptr;
    int sync = 0;
    unsigned long long start = 0;
    if (!PyArg_ParseTuple(args, "UsOp|K:write_shard", &path_arg, &shard_name, &pieces_arg, &sync,
                          &start)) {
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
    std::vector<std::shared_ptr<FetchErrors>> fetch_errors;  // of the pieces' slides
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
        if (!PyObject_TypeCheck(slide_obj, reinterpret_cast<PyTypeObject*>(slide_type()))) {
          PyErr_SetString(PyExc_TypeError, "a shard piece starts with a kolva._core.Slide");
          ok = false;
        } else {
          piece.slide = acquire(slide_obj);
          if (auto* e = as_slide(slide_obj)->fetch_errors; e && *e) fetch_errors.push_back(*e);
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
    auto sink = std_io::FileSink::create(path, sync != 0, start);
    if (sink.ok()) {
      written = shard::write_shard(pieces, name, **sink, start);
    } else {
      os_error = sink.error();
    }
    pieces.clear();  // the last reference to a slide may close its file
    Py_END_ALLOW_THREADS
    if (os_error) {
      errno = os_error->code;
      return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    }
    if (!written->ok()) {
      for (const auto& e : fetch_errors) {
        if (written->error().kind == ErrorKind::Io && e->restore()) return nullptr;
      }
      return binding::raise_slide_error(written->error());
    }
    const auto& summary = written->value();
    return Py_BuildValue("(KKKy#)", static_cast<unsigned long long>(summary.samples),
                         static_cast<unsigned long long>(summary.tile_bytes),
                         static_cast<unsigned long long>(summary.size), summary.manifest.data(),
                         static_cast<Py_ssize_t>(summary.manifest.size()));
  });
}

// The slide of a remote opening, or its error (the fetch's own exception when
// it raised one). Tiles are read exactly as planned from then on: the range
// caches stop reading ahead.
PyObject* wrap_remote(slide::SlideResult<std::shared_ptr<const slide::Slide>> opened,
                      std::shared_ptr<FetchErrors> errors) {
  if (!opened.ok()) {
    if (opened.error().kind == ErrorKind::Io && errors->restore()) return nullptr;
    return binding::raise_slide_error(opened.error());
  }
  const slide::SourceSet& set = opened.value()->sources();
  for (slide::SourceIndex i = 0; i < set.size(); ++i) {
    if (auto* cache = dynamic_cast<std_io::CachedSource*>(&set.at(i))) cache->set_read_ahead(false);
  }
  return wrap(std::move(opened).value(), std::move(errors));
}

// open_fetch(fetch, size, name, seeds, tile_size=0, cache_size=..., siblings=None,
// planes=None) -> Slide:
// a slide read through `fetch` (see python_fetch), `size` bytes long, named
// `name` in messages, with a range cache of `cache_size` bytes (0: none)
// holding `seeds`, [(offset, bytes), ...], fetched beforehand. `siblings`
// finds and opens the files beside it (see python_siblings).
PyObject* open_fetch(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"fetch", "size", "name", "seeds", "tile_size", "cache_size",
                                   "siblings", "planes", nullptr};
    PyObject* fetch = nullptr;
    PyObject* size_arg = nullptr;
    PyObject* name_arg = nullptr;
    PyObject* seeds = nullptr;
    PyObject* tile_size_arg = nullptr;
    PyObject* cache_size_arg = nullptr;
    PyObject* siblings_arg = nullptr;
    PyObject* planes_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOUO|OOOO:open_fetch",
                                     const_cast<char**>(kwlist), &fetch, &size_arg, &name_arg,
                                     &seeds, &tile_size_arg, &cache_size_arg, &siblings_arg,
                                     &planes_arg)) {
      return nullptr;
    }
    if (!PyCallable_Check(fetch)) return binding::raise_cast_error(fetch, "callable", "fetch");
    std::uint64_t size = 0;
    std::uint64_t cache_size = std_io::CacheOptions{}.capacity;
    slide::OpenOptions options;
    if (!to_u64(size_arg, "size", &size) ||
        (tile_size_arg != nullptr && !to_u64(tile_size_arg, "tile_size", &options.tile_size)) ||
        (cache_size_arg != nullptr && !to_u64(cache_size_arg, "cache_size", &cache_size)) ||
        !planes_of(planes_arg, options.planes)) {
      return nullptr;
    }
    Py_ssize_t name_length = 0;
    const char* name_text = PyUnicode_AsUTF8AndSize(name_arg, &name_length);
    if (name_text == nullptr) return nullptr;
    auto errors = std::make_shared<FetchErrors>();
    auto source = remote_source(fetch, size,
                                std::string(name_text, static_cast<std::size_t>(name_length)),
                                seeds, cache_size, errors);
    if (source == nullptr) return nullptr;
    std::shared_ptr<slide::Siblings> siblings;
    if (siblings_arg != nullptr && siblings_arg != Py_None) {
      siblings = python_siblings(siblings_arg, cache_size, errors);
    }
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    opened = slide::Slide::open(slide::SourceSet(std::move(source), std::move(siblings)), options);
    Py_END_ALLOW_THREADS
    return wrap_remote(std::move(*opened), std::move(errors));
  });
}

// open_dicom(paths, named=False, folder=False, series="", focal_plane=0,
// optical_path="") -> Slide: the DICOM whole-slide series of the instance
// files `paths`: paths[0] and the files beside it (one path, not `named`), or
// exactly the files named.
PyObject* open_dicom(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"paths",       "named",        "folder", "series",
                                   "focal_plane", "optical_path", nullptr};
    PyObject* paths_arg = nullptr;
    int named = 0;
    int folder = 0;
    const char* series = "";
    unsigned long long focal_plane = 0;
    const char* optical_path = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ppsKs:open_dicom", const_cast<char**>(kwlist),
                                     &paths_arg, &named, &folder, &series, &focal_plane,
                                     &optical_path)) {
      return nullptr;
    }
    slide::OpenOptions options;
    dicom_options(named, folder, series, focal_plane, optical_path, options);
    std::vector<std::string> paths;
    PyObject* it = PyObject_GetIter(paths_arg);
    if (it == nullptr) return nullptr;
    PyObject* item;
    while ((item = PyIter_Next(it)) != nullptr) {
      PyObject* encoded = PyUnicode_Check(item) ? PyUnicode_EncodeFSDefault(item) : nullptr;
      Py_DECREF(item);
      if (encoded == nullptr) {
        Py_DECREF(it);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "paths must be str");
        return nullptr;
      }
      paths.emplace_back(PyBytes_AsString(encoded), static_cast<std::size_t>(PyBytes_Size(encoded)));
      Py_DECREF(encoded);
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    if (paths.empty()) {
      PyErr_SetString(PyExc_ValueError, "open_dicom needs at least one path");
      return nullptr;
    }
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::shared_ptr<std_io::RangeSource>> files;
    for (const std::string& path : paths) {
      auto file = std_io::SharedFileSource::open(path);
      if (!file.ok()) {
        opened = slide::errors::cannot_open(path, file.error());
        break;
      }
      files.push_back(std::move(file).value());
    }
    if (!opened) {
      std::shared_ptr<slide::Siblings> siblings;
      if (files.size() == 1 && !options.named) {
        siblings = slide::LocalSiblings::of_file(paths[0]);
      } else {
        siblings = std::make_shared<dicom::NamedSiblings>(
            std::vector<std::shared_ptr<std_io::RangeSource>>(files.begin() + 1, files.end()));
      }
      opened = slide::Slide::open(slide::SourceSet(std::move(files[0]), std::move(siblings)),
                                  options);
    }
    Py_END_ALLOW_THREADS
    if (!opened->ok()) return binding::raise_slide_error(opened->error());
    return wrap(std::move(*opened).value());
  });
}

// open_dicom_fetch(instances, named=False, folder=False, series="",
// focal_plane=0, optical_path="", cache_size=..., frames=None, series_name="") -> Slide:
// open_dicom over remote instances, each (fetch, size, name, seeds) as for
// open_fetch; the first is source 0, the others its siblings. With `frames`
// (DICOMweb), each instance is (data_set, name): its data set in memory, its
// frames fetched by number through `frames([(instance, frame), ...])`, the
// instance being its index in `instances`, and `series_name` what messages
// call the series.
PyObject* open_dicom_fetch(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"instances",   "named",        "folder",     "series",
                                   "focal_plane", "optical_path", "cache_size", "frames",
                                   "series_name", nullptr};
    PyObject* instances_arg = nullptr;
    int named = 0;
    int folder = 0;
    const char* series = "";
    unsigned long long focal_plane = 0;
    const char* optical_path = "";
    unsigned long long cache_size = std_io::CacheOptions{}.capacity;
    PyObject* frames_arg = Py_None;
    const char* series_name = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ppsKsKOs:open_dicom_fetch",
                                     const_cast<char**>(kwlist), &instances_arg, &named, &folder,
                                     &series, &focal_plane, &optical_path, &cache_size,
                                     &frames_arg, &series_name)) {
      return nullptr;
    }
    slide::OpenOptions options;
    dicom_options(named, folder, series, focal_plane, optical_path, options);
    auto errors = std::make_shared<FetchErrors>();
    std::shared_ptr<slide::FrameFetcher> fetcher;
    if (frames_arg != Py_None) {
      if (!PyCallable_Check(frames_arg)) {
        return binding::raise_cast_error(frames_arg, "callable", "frames");
      }
      fetcher = slide::cached_frames(python_frame_fetcher(frames_arg, series_name, errors),
                                     cache_size);
    }
    std::vector<std::shared_ptr<std_io::RangeSource>> files;
    PyObject* it = PyObject_GetIter(instances_arg);
    if (it == nullptr) return nullptr;
    PyObject* item;
    while ((item = PyIter_Next(it)) != nullptr) {
      PyObject* fetch = nullptr;
      unsigned long long size = 0;
      const char* name = nullptr;
      PyObject* seeds = nullptr;
      std::shared_ptr<std_io::RangeSource> source;
      const char* data = nullptr;
      Py_ssize_t data_length = 0;
      if (fetcher) {
        if (PyArg_ParseTuple(item, "y#s:instance", &data, &data_length, &name)) {
          const auto* p = reinterpret_cast<const std::uint8_t*>(data);
          source = std::make_shared<slide::FrameSource>(Bytes(p, p + data_length), name, fetcher,
                                                        files.size());
        }
      } else if (PyArg_ParseTuple(item, "OKsO:instance", &fetch, &size, &name, &seeds)) {
        source = remote_source(fetch, size, name, seeds,
                               std::max<unsigned long long>(cache_size, 1 << 20), errors);
      }
      Py_DECREF(item);
      if (source == nullptr) {
        Py_DECREF(it);
        return nullptr;
      }
      files.push_back(std::move(source));
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    if (files.empty()) {
      PyErr_SetString(PyExc_ValueError, "open_dicom_fetch needs at least one instance");
      return nullptr;
    }
    std::optional<slide::SlideResult<std::shared_ptr<const slide::Slide>>> opened;
    Py_BEGIN_ALLOW_THREADS
    auto siblings = std::make_shared<dicom::NamedSiblings>(
        std::vector<std::shared_ptr<std_io::RangeSource>>(files.begin() + 1, files.end()));
    opened = slide::Slide::open(slide::SourceSet(files[0], std::move(siblings)), options);
    Py_END_ALLOW_THREADS
    return wrap_remote(std::move(*opened), std::move(errors));
  });
}

PyMethodDef kModuleMethods[] = {
    {"open_fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_fetch)),
     METH_VARARGS | METH_KEYWORDS,
     "open_fetch(fetch, size, name, seeds, tile_size=0, cache_size=..., siblings=None, "
     "planes=None) -> Slide"},
    {"open_dicom", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_dicom)),
     METH_VARARGS | METH_KEYWORDS,
     "open_dicom(paths, named=False, folder=False, series='', focal_plane=0, optical_path='')"
     " -> Slide"},
    {"open_dicom_fetch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_dicom_fetch)),
     METH_VARARGS | METH_KEYWORDS,
     "open_dicom_fetch(instances, named=False, folder=False, series='', focal_plane=0, "
     "optical_path='', cache_size=..., frames=None, series_name='') -> Slide"},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_slide)),
     METH_VARARGS | METH_KEYWORDS, "open(path, tile_size=0, planes=None, dicom=None) -> Slide"},
    {"media_types", media_types, METH_NOARGS,
     "media_types() -> ((media type, extension, displayable, codec, transfer syntax), ...)"},
    {"media_extension",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(media_extension)),
     METH_VARARGS | METH_KEYWORDS, "media_extension(media_type, head=b'') -> str"},
    {"extend_jpeg", extend_jpeg, METH_VARARGS, "extend_jpeg(data, width, height) -> bytes"},
    {"write_shard", write_shard, METH_VARARGS,
     "write_shard(path, shard_name, pieces, sync, start=0) -> (samples, tile_bytes, size, "
     "manifest)"},
    {nullptr, nullptr, 0, nullptr},
};

// glibc hands freed heap back to the system as soon as 128 KiB lie free at its
// top, so every batch of tiles would fault its output pages in afresh (a page
// fault per tile, more than the read itself costs). Loading the package keeps
// up to 256 MiB of freed heap for reuse and serves allocations up to 32 MiB
// (large NDPI tiles) from the heap, unless the process set glibc's own
// MALLOC_TRIM_THRESHOLD_ or KOLVA_MALLOC_TUNING=0.
void tune_malloc() {
  const char* opt_out = std::getenv("KOLVA_MALLOC_TUNING");
  if (std::getenv("MALLOC_TRIM_THRESHOLD_") != nullptr ||
      (opt_out != nullptr && std::strcmp(opt_out, "0") == 0)) {
    return;
  }
  platform::keep_freed_heap(256 << 20, 32 << 20);
}

int exec_module(PyObject* module) {
  static const bool tuned = (tune_malloc(), true);
  (void)tuned;
  if (!binding::make_slide_errors() || slide_type() == nullptr) return -1;
  const auto& errors = binding::slide_errors();
  const std::pair<const char*, PyObject*> names[] = {
      {"SlideError", errors.slide_error},       {"UnsupportedFormat", errors.unsupported},
      {"TileNotFound", errors.tile_not_found},   {"CoreError", errors.core_error},
      {"ImageNotFound", errors.image_not_found}, {"MissingFile", errors.missing_file},
      {"Slide", slide_type()},
      {"LevelInfo", level_info_type()},          {"ImageInfo", image_info_type()},
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
