#include "slide/slide.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/overloaded.hpp"
#include "drivers/registry.hpp"
#include "slide/executor.hpp"

namespace kolva::slide {

bool TilePlan::sized(std::uint64_t& size) const {
  if (const auto* custom = std::get_if<Custom>(&assembly)) {
    size = custom->size.value_or(0);
    return custom->size.has_value();
  }
  const auto* splice = std::get_if<Splice>(&assembly);
  std::uint64_t total = splice->head().size();
  std::uint64_t data = 0;
  for (const Range& r : ranges) {
    if (!checked_add(data, r.length, data)) return false;
  }
  if (data < splice->skip) return false;
  if (!checked_add(total, data - splice->skip + splice->suffix_size, total)) return false;
  size = total;
  return true;
}

void Splice::write_head(std::uint8_t* out) const {
  const ByteSpan bytes = head();
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  if (patch_size != 0 && patch_at + std::size_t{patch_size} <= bytes.size()) {
    std::memcpy(out + patch_at, patch.data(), patch_size);
  }
}

TilePlan HashInput::plan() const {
  TilePlan plan{{}, Splice{}};
  plan.ranges.reserve(ranges.size());
  for (const Range& r : ranges) {
    if (r.length != 0) plan.ranges.push_back(r);
  }
  return plan;
}

SlideResult<const std::optional<HashInput>*> Slide::hash_input() const {
  if (!hash_ready_.load(std::memory_order_acquire)) {
    const std::lock_guard lock(hash_mutex_);
    if (!hash_ready_.load(std::memory_order_relaxed)) {
      auto made = hash_later_(sources_);
      if (!made.ok()) return std::move(made).error();
      hash_input_ = std::move(made).value();
      hash_later_ = nullptr;
      hash_ready_.store(true, std::memory_order_release);
    }
  }
  return &hash_input_;
}

SlideResult<std::shared_ptr<const Slide>> Slide::open(std::shared_ptr<std_io::RangeSource> source,
                                                      const OpenOptions& options) {
  return open(SourceSet(std::move(source)), options);
}

SlideResult<std::shared_ptr<const Slide>> Slide::open(SourceSet sources,
                                                      const OpenOptions& options) {
  // The readers' diagnostic lines ("Max DRI 496", ...) are not for the
  // callers of this layer.
  ScopedThreadDiagnostics quiet(nullptr);
  std_io::OpeningReads small_reads_share_windows;
  auto opened = drivers::open(sources, options);
  if (!opened.ok()) return std::move(opened).error();
  for (std::size_t i = 0; i < opened->parts.levels.size(); ++i) {
    const Level& level = opened->parts.levels[i];
    const auto [across, down] = level.info.tile_grid;
    if (level.positioned() && level.tile_rects.size() != across * down) {
      return errors::bad_tile_rects(sources.name(0), i, level.tile_rects.size(), across * down);
    }
  }
  if (auto checked = check_planes(options.planes, opened->parts.planes); !checked.ok()) {
    return std::move(checked).error();
  }
  return std::shared_ptr<const Slide>(std::make_shared<const Slide>(
      std::move(sources), *opened->family, std::move(opened->parts)));
}

bool Slide::remote() const {
  for (SourceIndex i = 0; i < sources_.size(); ++i) {
    if (sources_.remote(i)) return true;
  }
  return false;
}

SlideError Slide::read_error(const KolvaError& cause, SourceIndex source) const {
  return errors::read_failed(sources_.name(source < sources_.size() ? source : 0), cause);
}

SlideResult<TilePlan> Slide::plan_tile(std::uint64_t level, std::uint64_t x,
                                       std::uint64_t y) const {
  // The grid is checked here: the stored tables alone would let a column past
  // the right edge wrap into the next row.
  if (level >= levels_->size()) return errors::level_not_found(level, levels_->size());
  const auto grid = (*levels_)[level].info.tile_grid;
  if (x >= grid.first || y >= grid.second) return errors::tile_outside(level, x, y, grid);
  return tiler_->plan(level, x, y);
}

SlideResult<Batch> Slide::plan_batch(std::uint64_t level, std::span<const Coord> coords) const {
  if (level >= levels_->size()) return errors::level_not_found(level, levels_->size());
  const auto grid = (*levels_)[level].info.tile_grid;
  for (const auto& [x, y] : coords) {
    if (x >= grid.first || y >= grid.second) return errors::tile_outside(level, x, y, grid);
  }
  auto plans = tiler_->plan_batch(level, coords);
  if (!plans.ok()) return std::move(plans).error();
  return Batch{level, std::vector<Coord>(coords.begin(), coords.end()), std::move(plans).value()};
}

SlideResult<Unit> Slide::read_batch(const Batch& batch,
                                    std::span<const std::span<std::uint8_t>> dst,
                                    std::vector<Bytes>& assembled, unsigned threads) const {
  return tiler_->read_batch(*this, batch, dst, assembled, threads);
}

SlideResult<std::vector<TilePlan>> Tiler::plan_batch(std::uint64_t level,
                                                     std::span<const Coord> coords) const {
  std::vector<TilePlan> plans;
  plans.reserve(coords.size());
  for (const auto& [x, y] : coords) {
    auto plan = this->plan(level, x, y);
    if (!plan.ok()) return std::move(plan).error();
    plans.push_back(std::move(plan).value());
  }
  return plans;
}

SlideResult<Unit> Tiler::read_batch(const Slide& slide, const Batch& batch,
                                    std::span<const std::span<std::uint8_t>> dst,
                                    std::vector<Bytes>& assembled, unsigned threads) const {
  return read_plans(slide, batch.plans, dst, assembled, threads);
}

SlideResult<Bytes> Slide::assemble(const TilePlan& plan, std::span<const ByteSpan> ranges) const {
  if (ranges.size() != plan.ranges.size()) {
    return SlideError{ErrorKind::Corrupt, "a tile was assembled from the wrong number of ranges",
                      std::nullopt};
  }
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const SourceIndex source = plan.ranges[i].source;
    const bool frame = source < sources_.size() && sources_.frames(source) != nullptr;
    if (!frame && ranges[i].size() != plan.ranges[i].length) {
      return SlideError{ErrorKind::Io,
                        "cannot read " + name() + ": a range of " +
                            std::to_string(plan.ranges[i].length) + " bytes at offset " +
                            std::to_string(plan.ranges[i].offset) + " came back with " +
                            std::to_string(ranges[i].size()) + " bytes",
                        std::nullopt};
    }
  }
  return std::visit(
      Overloaded{
          [&](const Splice& s) -> SlideResult<Bytes> {
            Bytes out(s.head().size());
            s.write_head(out.data());
            std::uint64_t skip = s.skip;
            for (ByteSpan r : ranges) {
              const std::uint64_t cut = std::min<std::uint64_t>(skip, r.size());
              out.insert(out.end(), r.begin() + static_cast<std::ptrdiff_t>(cut), r.end());
              skip -= cut;
            }
            if (s.fix != nullptr) s.fix(std::span<std::uint8_t>(out).subspan(s.head().size()));
            out.insert(out.end(), s.suffix.begin(), s.suffix.begin() + s.suffix_size);
            return out;
          },
          [&](const Custom& c) -> SlideResult<Bytes> { return c.join(ranges); },
      },
      plan.assembly);
}

namespace {

// What follows a spliced tile's ranges once they are in `dst`: the data's
// fix-up, then the suffix.
void complete_splice(const Splice& splice, std::span<std::uint8_t> dst) {
  const std::size_t head = splice.head().size();
  const std::size_t end = dst.size() - splice.suffix_size;
  if (splice.fix != nullptr) splice.fix(dst.subspan(head, end - head));
  if (splice.suffix_size != 0) std::memcpy(dst.data() + end, splice.suffix.data(), splice.suffix_size);
}

}  // namespace

SlideResult<Unit> Slide::read_into(const TilePlan& plan, std::span<std::uint8_t> dst) const {
  // The common tile, one range of a local file, first: begin_direct checks
  // the size itself.
  if (auto direct = begin_direct(plan, dst)) {
    auto got = read_range(sources_, plan.ranges[0],
                          {direct->at, static_cast<std::size_t>(plan.ranges[0].length)});
    finish_direct(plan, dst, *direct, got.ok());
    return got;
  }
  const auto* splice = std::get_if<Splice>(&plan.assembly);
  const auto size = plan.output_size();
  if (!size || *size != dst.size()) return errors::wrong_tile_size();
  if (splice == nullptr) {  // a sized join: joined, then copied
    auto tile = read(plan);
    if (!tile.ok()) return std::move(tile).error();
    if (tile->size() != dst.size()) return errors::wrong_tile_size();
    if (!tile->empty()) std::memcpy(dst.data(), tile->data(), tile->size());
    return Unit{};
  }
  const ByteSpan head = splice->head();
  splice->write_head(dst.data());
  // Each range lands right after what precedes it; the first `skip` bytes of
  // the data overlap the end of the prefix and are put back afterwards.
  std::uint64_t skip = splice->skip;
  if (skip > head.size() || skip > 64) {
    auto bytes = read(plan);
    if (!bytes.ok()) return std::move(bytes).error();
    if (!bytes->empty()) std::memcpy(dst.data(), bytes->data(), bytes->size());
    return Unit{};
  }
  std::uint8_t saved[64];
  std::uint8_t* at = dst.data() + head.size() - skip;
  std::memcpy(saved, at, skip);
  std::vector<std::span<std::uint8_t>> spans;
  spans.reserve(plan.ranges.size());
  for (const Range& r : plan.ranges) {
    spans.emplace_back(at, static_cast<std::size_t>(r.length));
    at += r.length;
  }
  auto got = read_ranges(sources_, {plan.ranges.begin(), plan.ranges.size()}, spans, 1);
  std::memcpy(dst.data() + head.size() - skip, saved, skip);
  if (!got.ok()) return got;
  complete_splice(*splice, dst);
  return got;
}

std::optional<Slide::DirectRead> Slide::begin_direct(const TilePlan& plan,
                                                     std::span<std::uint8_t> dst) const {
  const auto* splice = std::get_if<Splice>(&plan.assembly);
  if (splice == nullptr || plan.ranges.size() != 1) return std::nullopt;
  const Range& range = plan.ranges[0];
  const ByteSpan head = splice->head();
  if (range.source >= sources_.size() || sources_.remote(range.source) ||
      splice->skip > head.size() || splice->skip > 64 || plan.output_size() != dst.size()) {
    return std::nullopt;
  }
  DirectRead read;
  read.skip = static_cast<std::size_t>(splice->skip);
  read.at = dst.data() + head.size() - read.skip;
  splice->write_head(dst.data());
  std::memcpy(read.saved.data(), read.at, read.skip);
  return read;
}

void Slide::finish_direct(const TilePlan& plan, std::span<std::uint8_t> dst,
                          const DirectRead& read, bool read_ok) const {
  std::memcpy(read.at, read.saved.data(), read.skip);
  if (read_ok) complete_splice(std::get<Splice>(plan.assembly), dst);
}

SlideResult<Bytes> Slide::read(const TilePlan& plan) const {
  for (const Range& r : plan.ranges) {
    if (r.source < sources_.size() && sources_.frames(r.source) != nullptr) {
      // A frame: fetched whole through the executor's frame path.
      std::vector<Bytes> assembled;
      if (auto got = read_plans(*this, {&plan, 1}, {}, assembled, 1); !got.ok()) {
        return std::move(got).error();
      }
      return std::move(assembled[0]);
    }
  }
  std::vector<std_io::Buffer> buffers;
  std::vector<std::span<std::uint8_t>> spans;
  std::uint64_t total = 0;
  for (const Range& r : plan.ranges) {
    const std::uint64_t known =
        r.source < sources_.size() ? sources_.at(r.source).known_size() : 0;
    if (!checked_add(total, r.length, total) || total > std_io::read_budget(known)) {
      return read_error(KolvaError::UnableToAllocateLargeSize{}, r.source);
    }
    auto buffer = std_io::Buffer::allocate(r.length > std_io::kLargestRange ? 0 : r.length);
    if (!buffer.ok()) return read_error(buffer.error(), r.source);
    spans.emplace_back(buffer->data(), static_cast<std::size_t>(r.length));
    buffers.push_back(std::move(buffer).value());
  }
  if (auto got = read_ranges(sources_, {plan.ranges.begin(), plan.ranges.size()}, spans, 1);
      !got.ok()) {
    return std::move(got).error();
  }
  std::vector<ByteSpan> read(spans.begin(), spans.end());
  return assemble(plan, read);
}

SlideResult<Bytes> Slide::read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const {
  auto plan = plan_tile(level, x, y);
  if (!plan.ok()) return std::move(plan).error();
  return read(*plan);
}

SlideResult<const TilePlan*> Slide::associated_plan(const std::string& image) const {
  for (const AssociatedImage& a : associated_) {
    if (a.name == image) return &a.plan;
  }
  std::vector<std::string> names;
  for (const AssociatedImage& a : associated_) names.push_back(a.name);
  return errors::associated_not_found(image, names);
}

SlideResult<Bytes> Slide::read_associated(const std::string& image) const {
  auto plan = associated_plan(image);
  if (!plan.ok()) return std::move(plan).error();
  return read(**plan);
}

}  // namespace kolva::slide
