#pragma once

// A byte source whose reads are answered by a fetch function that someone else
// provides: the Python binding hands one in that reads over HTTP, S3 or any
// fsspec file system, or from a Python file object. The function may fetch
// several ranges at once (one round trip for all of them).

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "std_io/source.hpp"

namespace kolva::std_io {

using FetchRange = ByteRange;

// Fills dst[i] with exactly ranges[i].length bytes for every i, or fails as a
// whole. Called from whichever thread reads, possibly from several at once.
using FetchFunction = std::function<KolvaResult<Unit>(std::span<const FetchRange> ranges,
                                                      std::span<const std::span<std::uint8_t>> dst)>;

// A fixed-size object (a remote object does not grow while it is read) read
// through a fetch function.
class CallbackSource final : public RangeSource {
 public:
  CallbackSource(FetchFunction fetch, std::uint64_t size, std::string name)
      : fetch_(std::move(fetch)), size_(size), name_(std::move(name)) {}

  std::uint64_t known_size() const override { return size_; }
  KolvaResult<std::uint64_t> size() override { return size_; }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override;
  const std::string& name() const override { return name_; }

  // Several ranges in one call of the fetch function; each must lie inside
  // the object (UnexpectedStep otherwise, before anything is fetched).
  KolvaResult<Unit> read_many(std::span<const FetchRange> ranges,
                              std::span<const std::span<std::uint8_t>> dst) override;
  bool remote() const override { return true; }

 private:
  FetchFunction fetch_;
  std::uint64_t size_;
  std::string name_;
};

}  // namespace kolva::std_io
