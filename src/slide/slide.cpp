#include "slide/slide.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/overloaded.hpp"
#include "slide/describe.hpp"
#include "slide/metadata.hpp"
#include "slide/ndpi_tiles.hpp"
#include "slide/pool.hpp"
#include "slide/tiff_codecs.hpp"

namespace kolva::slide {
namespace {


// A ByteSource over the slide's source that remembers the first failure of the
// source itself, so that an unreachable file or server is reported as such and
// not as a file of no known format.
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

template <ReadConsumer C>
KolvaResult<typename C::Output> run_from_start(TrackingSource& source, typename C::Input input) {
  auto [consumer, first] = C::dispatch(std::move(input));
  return std_io::run(source, std::move(consumer), first);
}


struct Opened {
  Format format;
  dynamic_decoder::DynamicDecoder decoder;
  std::vector<tiff_tools::Ifd> ifds;
};

// The NDPI level scan over directories already read.
KolvaResult<Opened> open_ndpi(TrackingSource& source, std::vector<tiff_tools::Ifd> ifds) {
  KOLVA_TRY(auto decoder, run_from_start<format::ndpi::IfdToNdpiDecoder>(source, ifds));
  return Opened{Format::Ndpi, dynamic_decoder::DynamicDecoder(std::move(decoder)), std::move(ifds)};
}

// The TIFF-structured formats, classified as the specified module does: a
// Hamamatsu Make goes to the NDPI scan, then Aperio, Philips, plain tiled TIFF;
// a TIFF none of them takes may still be an NDPI file.
KolvaResult<Opened> open_tiff(TrackingSource& source, std::vector<tiff_tools::Ifd> ifds) {
  if (dynamic_decoder::any_ascii_contains(ifds, 271, "hamamatsu")) return open_ndpi(source, std::move(ifds));
  if (dynamic_decoder::any_ascii_contains(ifds, 270, "aperio")) {
    if (auto d = format::aperio::AperioDecoder::with_ifds(ifds); d.ok()) {
      return Opened{Format::Aperio, dynamic_decoder::DynamicDecoder(std::move(d).value()),
                    std::move(ifds)};
    }
  } else if (dynamic_decoder::any_ascii_contains(ifds, 305, "philips")) {
    if (auto d = format::philips::PhilipsDecoder::with_ifds(ifds); d.ok()) {
      return Opened{Format::Philips, dynamic_decoder::DynamicDecoder(std::move(d).value()),
                    std::move(ifds)};
    }
  } else if (auto d = format::generic_tiff::GenericTiffDecoder::with_ifds(ifds); d.ok()) {
    return Opened{Format::GenericTiff, dynamic_decoder::DynamicDecoder(std::move(d).value()),
                  std::move(ifds)};
  }
  return open_ndpi(source, std::move(ifds));
}

// A failure of the byte source in words: the system's message for an
// operating-system error ("Is a directory"), the core's display otherwise.
std::string source_failure(const KolvaError& cause) {
  if (const auto* io = cause.get_if<KolvaError::IoError>()) return std::strerror(io->error.code);
  return cause.display();
}

// The byte order a TIFF's header names ("II" little-endian, "MM" big).
ByteOrder tiff_byte_order(std_io::RangeSource& source) {
  std::uint8_t head[2] = {};
  auto got = source.read_at(0, {head, sizeof head});
  return got.ok() && *got == 2 && head[0] == 'M' && head[1] == 'M' ? ByteOrder::Big
                                                                   : ByteOrder::Little;
}

std::string hex_prefix(std_io::RangeSource& source) {
  std::uint8_t head[4] = {};
  auto got = source.read_at(0, {head, sizeof head});
  if (!got.ok() || *got == 0) return "the file is empty";
  // A TIFF header whose directories could not be read: say so rather than
  // listing bytes a user would have to look up.
  const bool tiff = *got == 4 && ((head[0] == 'I' && head[1] == 'I' && head[3] == 0 &&
                                   (head[2] == 42 || head[2] == 43)) ||
                                  (head[0] == 'M' && head[1] == 'M' && head[2] == 0 &&
                                   (head[3] == 42 || head[3] == 43)));
  if (tiff) return "a TIFF file whose directories cannot be read (cut short or damaged)";
  std::string text = "it starts with bytes";
  for (std::uint64_t i = 0; i < *got; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", head[i]);
    text += hex;
  }
  return text;
}

}  // namespace

const char* format_name(Format format) {
  switch (format) {
    case Format::Aperio: return "aperio";
    case Format::Philips: return "philips";
    case Format::Ndpi: return "ndpi";
    case Format::Ets: return "ets";
    case Format::GenericTiff: return "generic-tiff";
    case Format::Dicom: return "dicom";
  }
  return "";
}

std::optional<std::uint64_t> TilePlan::output_size() const {
  const auto* splice = std::get_if<Splice>(&assembly);
  if (splice == nullptr) return std::nullopt;
  std::uint64_t total = splice->head().size();
  std::uint64_t data = 0;
  for (const Range& r : ranges) {
    if (!checked_add(data, r.length, data)) return std::nullopt;
  }
  if (data < splice->skip) return std::nullopt;
  if (!checked_add(total, data - splice->skip, total)) return std::nullopt;
  return total;
}

SlideResult<std::shared_ptr<const Slide>> Slide::open(std::shared_ptr<std_io::RangeSource> source,
                                                      const OpenOptions& options) {
  // The readers' diagnostic lines ("Max DRI 496", ...) are not for the
  // callers of this layer.
  ScopedThreadDiagnostics quiet(nullptr);
  TrackingSource tracking(*source);
  std::optional<KolvaResult<Opened>> opened;
  std::optional<std::vector<tiff_tools::Ifd>> tiff_ifds;

  auto tiff = run_from_start<tiff_tools::TiffDecoder>(tracking, NoInput{});
  if (tiff.ok()) {
    tiff_ifds = tiff.value();
    opened = open_tiff(tracking, std::move(tiff).value());
  } else if (!tracking.failure()) {
    // Not classic TIFF or BigTIFF: NDPI files past 4 GiB widen their offsets.
    auto big = run_from_start<format::ndpi_big::NdpiBigIfdDecoder>(tracking, NoInput{});
    if (big.ok()) opened = open_ndpi(tracking, std::move(big).value());
  }
  if (!tracking.failure() && (!opened || !opened->ok())) {
    auto ets = run_from_start<format::olympus::EtsDecoderConstructor>(tracking, NoInput{});
    if (ets.ok()) {
      opened = Opened{Format::Ets, dynamic_decoder::DynamicDecoder(std::move(ets).value()), {}};
    } else if (!opened) {
      opened = std::move(ets).error();
    }
  }
  if (const auto& failure = tracking.failure()) {
    return SlideError{ErrorKind::Io,
                      "cannot read " + source->name() + ": " + source_failure(*failure), *failure};
  }
  if (!opened->ok()) {
    const std::string reason = tiff_ifds ? describe_refusal(*tiff_ifds) : hex_prefix(*source);
    return SlideError{ErrorKind::Unsupported,
                      source->name() + " is not a slide kolva can read: " + reason,
                      opened->error()};
  }
  Opened found = std::move(*opened).value();
  const ByteOrder order = tiff_ifds ? tiff_byte_order(*source) : ByteOrder::Little;
  // A tiled TIFF whose tiles the JPEG-tables reader does not take: this layer
  // plans its tiles in whatever common codec they are.
  std::optional<CodecPyramid> pyramid;
  if (found.format == Format::GenericTiff && found.decoder.level_count() == 0) {
    auto planned = plan_tiff_pyramid(found.ifds, order);
    if (!planned.ok()) {
      return SlideError{ErrorKind::Unsupported,
                        source->name() + " is not a slide kolva can read: " + planned.error(),
                        KolvaError::LevelNotFound{0, 0}};
    }
    pyramid = std::move(planned).value();
  }
  auto slide = pyramid ? std::make_shared<Slide>(std::move(source), found.format, std::nullopt)
                       : std::make_shared<Slide>(std::move(source), found.format,
                                                 std::move(found.decoder));
  slide->ifds_ = std::move(found.ifds);
  slide->tiff_order_ = order;
  if (pyramid) {
    slide->levels_ = std::move(pyramid->levels);
    slide->planner_ = std::move(pyramid->planner);
  }

  const std::uint64_t count = slide->decoder_ ? slide->decoder_->level_count() : 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto info = slide->decoder_->get_level(i);
    if (!info) {
      return SlideError{ErrorKind::Unsupported,
                        slide->name() + " is not a slide kolva can read: level " +
                            std::to_string(i) + " has tiles in an encoding kolva cannot hand out",
                        KolvaError::LevelNotFound{i, count}};
    }
    slide->levels_.push_back(Level{*info, std::string(media_type(info->encoding)), 1.0});
  }
  if (slide->levels_.empty()) {
    // A TIFF that only the NDPI scan took without finding a level is no NDPI
    // file at all unless it carries the NDPI marker tag: say what it is.
    constexpr std::uint16_t kNdpiMarker = 65420;
    const auto& ifds = slide->ifds_;
    const bool ndpi = !ifds.empty() && ifds[0].get(kNdpiMarker) != nullptr;
    const std::string reason =
        ifds.empty() || ndpi ? "it has no pyramid level" : describe_refusal(ifds);
    return SlideError{ErrorKind::Unsupported,
                      slide->name() + " is not a slide kolva can read: " + reason,
                      KolvaError::LevelNotFound{0, 0}};
  }
  const auto [w0, h0] = slide->levels_[0].info.dimensions;
  for (Level& level : slide->levels_) {
    const auto [w, h] = level.info.dimensions;
    if (w > 0 && h > 0) {
      level.downsample = (static_cast<double>(w0) / static_cast<double>(w) +
                          static_cast<double>(h0) / static_cast<double>(h)) / 2.0;
    }
  }
  if (slide->format_ == Format::Philips && !slide->ifds_.empty()) {
    if (const auto* xml = slide->ifds_[0].get(270); xml && xml->ascii()) {
      const auto downsamples = metadata::philips_downsamples(*xml->ascii());
      if (downsamples.size() >= slide->levels_.size()) {
        for (std::size_t i = 0; i < slide->levels_.size(); ++i) {
          slide->levels_[i].downsample = downsamples[i];
        }
      }
    }
  }
  if (options.tile_size != 0 && slide->format_ == Format::Ndpi) {
    if (auto retiled = retile_ndpi(*slide, options.tile_size); !retiled.ok()) {
      return std::move(retiled).error();
    }
  }
  describe_slide(*slide);
  return std::shared_ptr<const Slide>(std::move(slide));
}

SlideError Slide::read_error(const KolvaError& cause) const {
  if (cause.is<KolvaError::IoError>()) {
    return SlideError{ErrorKind::Io, "cannot read " + name() + ": " + source_failure(cause), cause};
  }
  return SlideError{ErrorKind::Corrupt,
                    name() + " is damaged: a tile's bytes lie beyond the end of the file or are "
                             "malformed (" + cause.debug() + ")",
                    cause};
}

SlideResult<TilePlan> Slide::plan_tile(std::uint64_t level, std::uint64_t x,
                                       std::uint64_t y) const {
  // The grid is checked here too: the stored tables alone would let a column
  // past the right edge wrap into the next row.
  if (level < levels_.size()) {
    const auto [across, down] = levels_[level].info.tile_grid;
    if (x >= across || y >= down) {
      return SlideError{ErrorKind::TileNotFound,
                        "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                            std::to_string(level) + " does not exist: the level has " +
                            std::to_string(across) + " x " + std::to_string(down) + " tiles",
                        KolvaError::TileNotFound{x, y, 0}};
    }
  }
  if (planner_) return planner_(level, x, y);
  if (!decoder_) {
    return SlideError{ErrorKind::LevelNotFound,
                      "level " + std::to_string(level) + " does not exist: the slide has no levels",
                      std::nullopt};
  }
  auto request = decoder_->read_tile(level, x, y);
  if (!request.ok()) {
    const KolvaError& cause = request.error();
    if (cause.is<KolvaError::LevelNotFound>()) {
      return SlideError{ErrorKind::LevelNotFound,
                        "level " + std::to_string(level) + " does not exist: the slide has " +
                            std::to_string(levels_.size()) +
                            (levels_.size() == 1 ? " level" : " levels"),
                        cause};
    }
    if (cause.is<KolvaError::TileNotFound>()) {
      const auto [across, down] = levels_[level].info.tile_grid;
      const bool inside = x < across && y < down;
      return SlideError{
          ErrorKind::TileNotFound,
          "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
              std::to_string(level) +
              (inside ? " is not stored in the file"
                      : " does not exist: the level has " + std::to_string(across) + " x " +
                            std::to_string(down) + " tiles"),
          cause};
    }
    return read_error(cause);
  }
  // A tile stored with byte count 0 (Philips leaves the tiles outside its
  // scanned regions so) is absent, not damaged.
  auto absent = [&] {
    return SlideError{ErrorKind::TileNotFound,
                      "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                          std::to_string(level) + " is not stored in the file",
                      KolvaError::TileNotFound{x, y, 0}};
  };
  if (const auto direct = dynamic_decoder::DynamicReadTile::direct(*request)) {
    if (direct->length == 0) return absent();
    if (direct->length >= direct->skip) {
      return TilePlan{{Range{direct->offset, direct->length}},
                      Splice{direct->prefix, {}, direct->skip}};
    }
  }
  TilePlan plan{{}, Replay{std::move(request).value()}};
  const auto& replay = std::get<Replay>(plan.assembly);
  if (const auto* ndpi = std::get_if<format::ndpi::TilePlan>(&replay.request)) {
    for (const auto& strip : ndpi->strips) plan.ranges.push_back(Range{strip.offset, strip.length});
  } else {
    // Every other request is one stored range; take it from the consumer.
    auto [consumer, first] = dynamic_decoder::DynamicReadTile::dispatch(replay.request);
    (void)consumer;
    if (const auto* read = std::get_if<ReadAndReceive>(&first)) {
      plan.ranges.push_back(Range{read->offset, read->length});
      if (read->length == 0) return absent();
    }
  }
  return plan;
}

SlideResult<Bytes> Slide::assemble(const TilePlan& plan, std::span<const ByteSpan> ranges) const {
  if (ranges.size() != plan.ranges.size()) {
    return SlideError{ErrorKind::Corrupt, "a tile was assembled from the wrong number of ranges",
                      std::nullopt};
  }
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].size() != plan.ranges[i].length) {
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
            Bytes out(s.head().begin(), s.head().end());
            std::uint64_t skip = s.skip;
            for (ByteSpan r : ranges) {
              const std::uint64_t cut = std::min<std::uint64_t>(skip, r.size());
              out.insert(out.end(), r.begin() + static_cast<std::ptrdiff_t>(cut), r.end());
              skip -= cut;
            }
            return out;
          },
          [&](const Replay& r) -> SlideResult<Bytes> {
            auto [consumer, instruction] = dynamic_decoder::DynamicReadTile::dispatch(r.request);
            std::size_t next = 0;
            while (true) {
              if (std::holds_alternative<Finish>(instruction)) {
                auto out = std::move(consumer).receive({});
                if (!out.ok()) return read_error(out.error());
                return std::move(out).value();
              }
              if (next >= ranges.size()) break;
              const ByteSpan bytes = ranges[next++];
              if (std::holds_alternative<ReadAndReceive>(instruction)) {
                auto out = std::move(consumer).receive(bytes);
                if (!out.ok()) return read_error(out.error());
                return std::move(out).value();
              }
              auto step = consumer.step(bytes);
              if (!step.ok()) return read_error(step.error());
              instruction = step.value();
            }
            return SlideError{ErrorKind::Corrupt, "a tile asked for more ranges than planned",
                              std::nullopt};
          },
          [&](const Custom& c) -> SlideResult<Bytes> { return c.join(ranges); },
      },
      plan.assembly);
}

namespace {

// Reads a range completely, with the driver's checks: no range past the end
// of the source and none larger than 2 GiB.
KolvaResult<Unit> read_range(std_io::RangeSource& source, const Range& range,
                             std::span<std::uint8_t> dst) {
  if (range.length > std_io::kLargestRange) return KolvaError::UnableToAllocateLargeSize{};
  auto reaches_past = [&](std::uint64_t size) {
    return range.offset > size || range.length > size - range.offset;
  };
  if (range.length > 0 && reaches_past(source.known_size())) {
    KOLVA_TRY(const std::uint64_t size, source.size());
    if (reaches_past(size)) return KolvaError::UnexpectedStep{};
  }
  KOLVA_TRY(const std::uint64_t got, source.read_at(range.offset, dst.first(range.length)));
  if (got < range.length) return KolvaError::UnexpectedStep{};
  return Unit{};
}

}  // namespace

SlideResult<Unit> Slide::read_into(const TilePlan& plan, std::span<std::uint8_t> dst) const {
  const auto* splice = std::get_if<Splice>(&plan.assembly);
  const auto size = plan.output_size();
  if (splice == nullptr || !size || *size != dst.size()) {
    return SlideError{ErrorKind::Corrupt, "a tile was read into a buffer of the wrong size",
                      std::nullopt};
  }
  const ByteSpan head = splice->head();
  if (!head.empty()) std::memcpy(dst.data(), head.data(), head.size());
  // Each range lands right after what precedes it; the first `skip` bytes of
  // the data overlap the end of the prefix and are put back afterwards.
  std::uint64_t skip = splice->skip;
  if (skip > head.size() || skip > 64) {
    auto bytes = read(plan);
    if (!bytes.ok()) return std::move(bytes).error();
    std::memcpy(dst.data(), bytes->data(), bytes->size());
    return Unit{};
  }
  std::uint8_t saved[64];
  std::uint8_t* at = dst.data() + head.size() - skip;
  std::memcpy(saved, at, skip);
  for (const Range& r : plan.ranges) {
    if (auto got = read_range(*source_, r, {at, static_cast<std::size_t>(r.length)}); !got.ok()) {
      return read_error(got.error());
    }
    at += r.length;
  }
  std::memcpy(dst.data() + head.size() - skip, saved, skip);
  return Unit{};
}

SlideResult<Bytes> Slide::read(const TilePlan& plan) const {
  std::vector<std_io::Buffer> buffers;
  std::vector<ByteSpan> spans;
  std::uint64_t total = 0;
  for (const Range& r : plan.ranges) {
    if (!checked_add(total, r.length, total) || total > std_io::read_budget(source_->known_size())) {
      return read_error(KolvaError::UnableToAllocateLargeSize{});
    }
    auto buffer = std_io::Buffer::allocate(r.length > std_io::kLargestRange ? 0 : r.length);
    if (!buffer.ok()) return read_error(buffer.error());
    if (auto got = read_range(*source_, r, {buffer->data(), static_cast<std::size_t>(r.length)});
        !got.ok()) {
      return read_error(got.error());
    }
    spans.push_back(buffer->span());
    buffers.push_back(std::move(buffer).value());
  }
  return assemble(plan, spans);
}

SlideResult<Bytes> Slide::read_tile(std::uint64_t level, std::uint64_t x, std::uint64_t y) const {
  auto plan = plan_tile(level, x, y);
  if (!plan.ok()) return std::move(plan).error();
  return read(*plan);
}

SlideResult<Bytes> Slide::read_associated(const std::string& image) const {
  for (const AssociatedImage& a : associated_) {
    if (a.name == image) return read(a.plan);
  }
  std::string names;
  for (const AssociatedImage& a : associated_) names += (names.empty() ? "" : ", ") + a.name;
  return SlideError{ErrorKind::NotFound,
                    "associated image '" + image + "' does not exist: the slide has " +
                        (names.empty() ? std::string("none") : names),
                    std::nullopt};
}

SlideResult<Unit> read_plans(const Slide& slide, std::span<const TilePlan> plans,
                             std::span<const std::span<std::uint8_t>> dst,
                             std::vector<Bytes>& assembled, unsigned threads) {
  assembled.resize(plans.size());
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::optional<std::pair<std::size_t, SlideError>> first_error;

  parallel_chunks(plans.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
      std::optional<SlideError> error;
      if (!dst[i].empty() || plans[i].output_size() == std::uint64_t{0}) {
        if (auto r = slide.read_into(plans[i], dst[i]); !r.ok()) error = std::move(r).error();
      } else if (auto r = slide.read(plans[i]); r.ok()) {
        assembled[i] = std::move(r).value();
      } else {
        error = std::move(r).error();
      }
      if (error) {
        std::lock_guard lock(error_mutex);
        if (!first_error || first_error->first > i) first_error.emplace(i, std::move(*error));
        failed.store(true, std::memory_order_relaxed);
      }
    }
  });
  if (first_error) return std::move(first_error->second);
  return Unit{};
}

}  // namespace kolva::slide
