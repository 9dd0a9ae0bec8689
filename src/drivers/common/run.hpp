#pragma once

// Running the format consumers over a slide's source while it opens, telling
// a failing source (the opening ends: "cannot read ...") from a file a
// consumer does not take (the driver declines or refuses).

#include <optional>

#include "base/base.hpp"
#include "slide/errors.hpp"
#include "std_io/source.hpp"
#include "std_io/std_io.hpp"

namespace kolva::drivers {

// A ByteSource over a RangeSource that remembers the first failure of the
// source itself.
class TrackingSource {
 public:
  explicit TrackingSource(std_io::RangeSource& inner) : inner_(inner) {}
  std::uint64_t known_size() const { return inner_.known_size(); }
  KolvaResult<std::uint64_t> size() { return note(inner_.size()); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) {
    return note(inner_.read_at(offset, dst));
  }
  const std::optional<KolvaError>& failure() const { return failure_; }

 private:
  KolvaResult<std::uint64_t> note(KolvaResult<std::uint64_t> result) {
    if (!result.ok() && !failure_) failure_ = result.error();
    return result;
  }
  std_io::RangeSource& inner_;
  std::optional<KolvaError> failure_;
};

// Runs consumer C from the start of `source`: the outer error is a failure of
// the source (it ends the opening), the inner one the consumer's refusal.
template <ReadConsumer C>
slide::SlideResult<KolvaResult<typename C::Output>> run_consumer(std_io::RangeSource& source,
                                                                 typename C::Input input) {
  TrackingSource tracking(source);
  auto [consumer, first] = C::dispatch(std::move(input));
  auto result = std_io::run(tracking, std::move(consumer), first);
  if (const auto& failure = tracking.failure()) {
    return slide::errors::cannot_read(source.name(), *failure);
  }
  return result;
}

}  // namespace kolva::drivers
