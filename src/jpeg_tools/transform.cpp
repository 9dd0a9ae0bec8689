#include "jpeg_tools/transform.hpp"

#include <turbojpeg.h>

#include <climits>
#include <memory>

namespace kolva::jpeg_tools {
namespace {

struct HandleCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// One transformer per thread, made on first use: a handle holds a decoder and
// an encoder and must not be shared between threads.
tjhandle thread_handle() {
  thread_local Handle handle(tjInitTransform());
  return handle.get();
}

struct OutputBuffers {
  std::vector<unsigned char*> data;
  std::vector<unsigned long> sizes;
  explicit OutputBuffers(std::size_t n) : data(n, nullptr), sizes(n, 0) {}
  ~OutputBuffers() {
    for (unsigned char* p : data) tjFree(p);
  }
  OutputBuffers(const OutputBuffers&) = delete;
  OutputBuffers& operator=(const OutputBuffers&) = delete;
};

}  // namespace

Result<std::vector<Bytes>, std::string> lossless_crops(ByteSpan jpeg,
                                                        std::span<const CropRect> crops,
                                                        bool tolerate_warnings) {
  std::vector<Bytes> out;
  if (crops.empty()) return out;
  if (jpeg.size() > ULONG_MAX || crops.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::string("JPEG stream too large to crop");
  }
  for (const CropRect& c : crops) {
    if (c.width == 0 || c.height == 0 || c.x > INT_MAX || c.y > INT_MAX || c.width > INT_MAX ||
        c.height > INT_MAX) {
      return std::string("empty or oversized crop");
    }
  }
  tjhandle handle = thread_handle();
  if (handle == nullptr) return std::string("cannot set up the JPEG transformer");
  std::vector<tjtransform> transforms(crops.size());
  for (std::size_t i = 0; i < crops.size(); ++i) {
    tjtransform& t = transforms[i];
    t = tjtransform{};
    t.r.x = static_cast<int>(crops[i].x);
    t.r.y = static_cast<int>(crops[i].y);
    t.r.w = static_cast<int>(crops[i].width);
    t.r.h = static_cast<int>(crops[i].height);
    t.op = TJXOP_NONE;
    // The source's APP0/COM segments are not the tile's: the encoder writes
    // its own JFIF header.
    t.options = TJXOPT_CROP | TJXOPT_COPYNONE;
  }
  OutputBuffers buffers(crops.size());
  // libjpeg-turbo takes a non-const source pointer but does not write to it.
  auto* src = const_cast<unsigned char*>(jpeg.data());
  if (tjTransform(handle, src, static_cast<unsigned long>(jpeg.size()),
                  static_cast<int>(crops.size()), buffers.data.data(), buffers.sizes.data(),
                  transforms.data(), 0) != 0) {
    // A warning still leaves every output complete.
    const bool warning = tjGetErrorCode(handle) == TJERR_WARNING;
    if (!warning || !tolerate_warnings) return std::string(tjGetErrorStr2(handle));
  }
  for (std::size_t i = 0; i < crops.size(); ++i) {
    if (buffers.data[i] == nullptr) return std::string("the transform gave no output");
  }
  out.reserve(crops.size());
  for (std::size_t i = 0; i < crops.size(); ++i) {
    out.emplace_back(buffers.data[i], buffers.data[i] + buffers.sizes[i]);
  }
  return out;
}

}  // namespace kolva::jpeg_tools
