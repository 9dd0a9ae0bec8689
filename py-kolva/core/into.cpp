// Batches of tiles read straight into a buffer the caller owns (a bytearray,
// a NumPy array, a pinned torch tensor): the stored bytes of the tiles back
// to back, with their offsets. Sizes come from the plans; tiles whose size is
// only known once they are joined (NDPI tiles cut to a chosen size, tiles
// rebuilt by the stored format's own consumer) are read first, so that the
// whole batch is sized before anything is written into the buffer.

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/convert.hpp"
#include "common/errors.hpp"
#include "slide_object.hpp"
#include "slide/slide.hpp"

namespace kolva::core_module {
namespace {

using binding::guarded;
using binding::to_u64;
using Coords = std::vector<slide::Coord>;
using slide::SlideResult;

// A batch sized before it is copied: the tiles of known size (read later,
// straight into place) and the tiles that had to be read to be sized.
struct SizedBatch {
  std::vector<std::uint64_t> sizes;          // per tile
  slide::Batch known;                        // tiles of known size
  std::vector<std::size_t> known_tile;       // tile index of known.plans[k]; empty: k
  std::vector<std::optional<Bytes>> early;   // tiles read while sizing; empty: none
  std::size_t tile_of(std::size_t k) const { return known_tile.empty() ? k : known_tile[k]; }
};

SlideResult<SizedBatch> size_batch(const slide::Slide& s, std::uint64_t level,
                                   const Coords& coords, unsigned workers) {
  // Every tile is planned before any read: a bad coordinate reads nothing.
  auto planned = s.plan_batch(level, coords);
  if (!planned.ok()) return std::move(planned).error();
  SizedBatch batch;
  batch.sizes.resize(coords.size());
  // Almost always every plan knows its size: the batch is then read as planned.
  bool all_sized = true;
  for (std::size_t i = 0; i < coords.size() && all_sized; ++i) {
    const auto size = planned->plans[i].output_size();
    all_sized = size.has_value();
    if (all_sized) batch.sizes[i] = *size;
  }
  if (all_sized) {
    batch.known = std::move(planned).value();
    return batch;
  }
  batch.early.resize(coords.size());
  batch.known.level = level;
  slide::Batch unsized{level, {}, {}};
  std::vector<std::size_t> unsized_tile;
  for (std::size_t i = 0; i < coords.size(); ++i) {
    slide::TilePlan& plan = planned->plans[i];
    if (const auto size = plan.output_size()) {
      batch.sizes[i] = *size;
      batch.known.coords.push_back(coords[i]);
      batch.known.plans.push_back(std::move(plan));
      batch.known_tile.push_back(i);
    } else {
      unsized.coords.push_back(coords[i]);
      unsized.plans.push_back(std::move(plan));
      unsized_tile.push_back(i);
    }
  }
  if (!unsized.plans.empty()) {
    const std::vector<std::span<std::uint8_t>> nowhere(unsized.plans.size());
    std::vector<Bytes> read;
    if (auto r = s.read_batch(unsized, nowhere, read, workers); !r.ok()) {
      return std::move(r).error();
    }
    for (std::size_t k = 0; k < unsized_tile.size(); ++k) {
      batch.sizes[unsized_tile[k]] = read[k].size();
      batch.early[unsized_tile[k]] = std::move(read[k]);
    }
  }
  return batch;
}

// A batch call's slide and arguments: (level, coords, ..., threads).
struct BatchCall {
  std::shared_ptr<const slide::Slide> slide;
  std::uint64_t level = 0;
  Coords coords;
  unsigned workers = 1;
};

// Parses a batch call and takes its slide; false with a Python error set.
bool begin_batch(PyObject* self, PyObject* const* args, PyObject* threads_arg, BatchCall& call) {
  std::uint64_t threads = 0;
  if (!to_u64(args[0], "level", &call.level) || !to_u64(threads_arg, "threads", &threads)) {
    return false;
  }
  if (!parse_coords(args[1], call.coords)) return false;
  if (threads == 0) threads = std::max(1U, std::thread::hardware_concurrency());
  call.workers = static_cast<unsigned>(std::min<std::uint64_t>(threads, 256));
  call.slide = acquire(self);
  return call.slide != nullptr;
}

// Sizes the call's batch with the interpreter lock released.
SlideResult<SizedBatch> size_unlocked(const BatchCall& call) {
  std::optional<SlideResult<SizedBatch>> sized;
  Py_BEGIN_ALLOW_THREADS
  sized = size_batch(*call.slide, call.level, call.coords, call.workers);
  Py_END_ALLOW_THREADS
  return std::move(*sized);
}

PyObject* int64_bytes(const std::vector<std::int64_t>& values, bool writable) {
  const auto* data = reinterpret_cast<const char*>(values.data());
  const auto size = static_cast<Py_ssize_t>(values.size() * sizeof(std::int64_t));
  return writable ? PyByteArray_FromStringAndSize(data, size)
                  : PyBytes_FromStringAndSize(data, size);
}

}  // namespace

// tile_nbytes(level, coords, threads) -> bytes: one native int64 per tile, the
// length of the stream read_tile returns. Known from the plan for almost every
// tile; tiles whose join the plan cannot size (NDPI tiles cut to a chosen size,
// DICOMweb frames) are read to be measured.
PyObject* slide_tile_nbytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "tile_nbytes(level, coords, threads) takes 3 arguments");
      return nullptr;
    }
    BatchCall call;
    if (!begin_batch(self, args, args[2], call)) return nullptr;
    const auto sized = size_unlocked(call);
    if (!sized.ok()) return raise_for(self, sized.error());
    const auto& sizes = sized->sizes;
    return int64_bytes(std::vector<std::int64_t>(sizes.begin(), sizes.end()), false);
  });
}

// read_tiles_into(level, coords, out, threads) -> bytearray: the tiles, back to
// back from the start of `out` (any writable C-contiguous buffer), and
// len(coords) + 1 native int64 offsets into it. A buffer too small for the
// batch raises ValueError and is left untouched.
PyObject* slide_read_tiles_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_SetString(PyExc_TypeError,
                      "read_tiles_into(level, coords, out, threads) takes 4 arguments");
      return nullptr;
    }
    BatchCall call;
    if (!begin_batch(self, args, args[3], call)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[2], &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
      return nullptr;
    }
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};

    auto sized = size_unlocked(call);
    if (!sized.ok()) return raise_for(self, sized.error());
    SizedBatch& batch = sized.value();
    const Coords& coords = call.coords;

    // Offsets saturate at INT64_MAX, which no buffer holds.
    constexpr auto kMax = static_cast<std::uint64_t>(INT64_MAX);
    std::vector<std::int64_t> offsets(coords.size() + 1, 0);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < coords.size(); ++i) {
      total = batch.sizes[i] > kMax - total ? kMax : total + batch.sizes[i];
      offsets[i + 1] = static_cast<std::int64_t>(total);
    }
    const auto capacity = static_cast<std::uint64_t>(view.len);
    if (total > capacity) {
      const std::string message =
          "out holds " + std::to_string(capacity) + " bytes; the " +
          std::to_string(coords.size()) + " tiles need " + std::to_string(total) +
          " (size the buffer with tile_nbytes)";
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return nullptr;
    }

    auto* base = static_cast<std::uint8_t*>(view.buf);
    std::vector<std::span<std::uint8_t>> dst(batch.known.plans.size());
    for (std::size_t k = 0; k < batch.known.plans.size(); ++k) {
      const std::size_t i = batch.tile_of(k);
      dst[k] = {base + offsets[i], static_cast<std::size_t>(batch.sizes[i])};
    }
    SlideResult<Unit> result = Unit{};
    Py_BEGIN_ALLOW_THREADS
    for (std::size_t i = 0; i < batch.early.size(); ++i) {
      if (batch.early[i] && !batch.early[i]->empty()) {
        std::memcpy(base + offsets[i], batch.early[i]->data(), batch.early[i]->size());
      }
    }
    std::vector<Bytes> unused;
    if (!batch.known.plans.empty()) {
      result = call.slide->read_batch(batch.known, dst, unused, call.workers);
    }
    Py_END_ALLOW_THREADS
    if (!result.ok()) return raise_for(self, result.error());
    return int64_bytes(offsets, true);
  });
}

}  // namespace kolva::core_module
