#include "drivers/hamamatsu/ndpi_tiles.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace kolva::drivers {

using namespace slide;

namespace {

constexpr std::uint64_t kMaxFrameSize = 65535;  // SOF sizes are 16 bits
// A band is entropy-decoded whole into coefficients (6 bytes per pixel for
// three full-size components): bands of several tiles stop growing at this
// many pixels, which keeps a worker's memory near 25 MB.
constexpr std::uint64_t kBandPixels = std::uint64_t{4} << 20;

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

SlideError invalid(std::string message) {
  return SlideError{ErrorKind::Invalid, std::move(message), std::nullopt};
}

}  // namespace

SlideResult<std::shared_ptr<const NdpiTiling>> NdpiTiling::make(
    const format::ndpi::NdpiDecoder& decoder, std::uint64_t tile_size, std::string name) {
  if (tile_size == 0 || tile_size > kMaxFrameSize) {
    return invalid("tile size " + std::to_string(tile_size) +
                   " is out of range: an NDPI tile is 1 to 65535 pixels wide (a multiple of the "
                   "JPEG MCU size)");
  }
  std::shared_ptr<NdpiTiling> tiling(new NdpiTiling());
  for (std::size_t i = 0; i < decoder.levels().size(); ++i) {
    const format::ndpi::Level& level = decoder.levels()[i];
    if (tile_size % level.mcu_width != 0 || tile_size % level.mcu_height != 0) {
      return invalid("tile size " + std::to_string(tile_size) +
                     " is not a multiple of the JPEG MCU size of level " + std::to_string(i) + " (" +
                     std::to_string(level.mcu_width) + " x " + std::to_string(level.mcu_height) +
                     " pixels): NDPI tiles are cut on MCU boundaries, try " +
                     std::to_string(std::max<std::uint64_t>(
                         std::max(level.mcu_width, level.mcu_height),
                         tile_size / std::max(level.mcu_width, level.mcu_height) *
                             std::max(level.mcu_width, level.mcu_height))));
    }
    if (level.restart_interval == 0 || level.mcu_width == 0 || level.mcu_height == 0) {
      return SlideError{ErrorKind::Corrupt,
                        name + " is damaged: level " + std::to_string(i) +
                            " has no restart intervals to cut tiles from",
                        std::nullopt};
    }
  }
  for (const auto& level : decoder.levels()) {
    std::optional<std::size_t> dri;
    for (const auto& segment : jpeg_tools::JpegParser::parse(level.header)) {
      if (std::holds_alternative<jpeg_tools::SegmentKind::Dri>(segment.kind.v)) dri = segment.offset;
    }
    if (dri && (*dri > level.header.size() || level.header.size() - *dri < 6)) dri.reset();
    tiling->dri_offsets_.push_back(dri);
  }
  tiling->levels_ = decoder.levels();
  tiling->tile_size_ = tile_size;
  tiling->name_ = std::move(name);
  return std::shared_ptr<const NdpiTiling>(std::move(tiling));
}

LevelInfo NdpiTiling::level_info(std::uint64_t level) const {
  const auto& l = levels_[level];
  return {{l.width, l.height},
          {tile_size_, tile_size_},
          {ceil_div(l.width, tile_size_), ceil_div(l.height, tile_size_)},
          TileEncoding::Jpeg};
}

SlideResult<std::vector<NdpiBand>> NdpiTiling::bands(std::uint64_t lv, std::uint64_t y,
                                                     std::span<const std::uint64_t> xs) const {
  const auto& l = levels_[lv];
  const std::uint64_t s = tile_size_;
  const std::uint64_t interval_w = l.mcu_width * l.restart_interval;
  const std::uint64_t top = y * s;
  const std::uint64_t bottom = std::min(top + s, l.height);
  const std::uint64_t first_row = top / l.mcu_height;
  const std::uint64_t rows = ceil_div(bottom, l.mcu_height) - first_row;
  // Every stripe of the band must be in the restart-offset table.
  const std::size_t table = std::min(l.restart_offsets.size(), l.interval_sizes.size());
  if (l.intervals_per_row == 0 || (first_row + rows) > table / l.intervals_per_row) {
    return SlideError{ErrorKind::Corrupt,
                      name_ + " is damaged: level " + std::to_string(lv) +
                          " has fewer restart intervals than its size needs",
                      std::nullopt};
  }
  const std::uint64_t height = bottom - top;
  const std::uint64_t widest = std::max<std::uint64_t>(kBandPixels / std::max<std::uint64_t>(height, 1),
                                                       interval_w);

  std::vector<NdpiBand> out;
  for (const std::uint64_t x : xs) {
    const std::uint64_t left = x * s;
    const std::uint64_t right = std::min(left + s, l.width);
    const std::uint64_t a = left / interval_w;
    const std::uint64_t b = ceil_div(right, interval_w);
    if ((b - a) * interval_w > kMaxFrameSize) {
      return SlideError{ErrorKind::Unsupported,
                        "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                            std::to_string(lv) + " cannot be cut: the level's restart intervals "
                            "span " + std::to_string((b - a) * interval_w) +
                            " pixels across it, more than one JPEG frame may be wide (65535)",
                        std::nullopt};
    }
    // Tiles share a band only where they share restart intervals: elsewhere a
    // band of their own costs no more decoding, and one that is exactly its
    // intervals needs no transform at all.
    NdpiBand* band = out.empty() ? nullptr : &out.back();
    const bool joins = band != nullptr && a < band->first_interval + band->interval_count &&
                       (b - band->first_interval) * interval_w <= std::min(widest, kMaxFrameSize);
    if (!joins) {
      out.push_back(
          NdpiBand{lv, first_row, rows, a, 0, 0, static_cast<std::uint32_t>(height), {}, {}});
      band = &out.back();
    }
    band->interval_count = b - band->first_interval;
    band->width = static_cast<std::uint32_t>(
        std::min(l.width, (band->first_interval + band->interval_count) * interval_w) -
        band->first_interval * interval_w);
    band->crops.push_back(jpeg_tools::CropRect{
        static_cast<std::uint32_t>(left - band->first_interval * interval_w), 0,
        static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(height)});
    band->columns.push_back(x);
  }
  return out;
}

RangeList NdpiTiling::ranges(const NdpiBand& band) const {
  const auto& l = levels_[band.level];
  std::vector<Range> merged;
  for (std::uint64_t r = band.first_mcu_row; r < band.first_mcu_row + band.mcu_rows; ++r) {
    const std::size_t first = r * l.intervals_per_row + band.first_interval;
    std::uint64_t length = 0;
    for (std::size_t i = first; i < first + band.interval_count; ++i) length += l.interval_sizes[i];
    const std::uint64_t offset = l.strip_offset + l.restart_offsets[first];
    if (!merged.empty() && merged.back().offset + merged.back().length == offset) {
      merged.back().length += length;
    } else {
      merged.push_back(Range{offset, length});
    }
  }
  RangeList out;
  out.reserve(merged.size());
  for (const Range& r : merged) out.push_back(r);
  return out;
}

SlideResult<std::vector<Bytes>> NdpiTiling::cut(const NdpiBand& band,
                                                std::span<const ByteSpan> pieces) const {
  const auto& l = levels_[band.level];
  auto damaged = [&](const std::string& why) {
    return SlideError{ErrorKind::Corrupt,
                      name_ + " is damaged: the stripes of level " + std::to_string(band.level) +
                          " from MCU row " + std::to_string(band.first_mcu_row) +
                          " cannot be cut into tiles (" + why + ")",
                      std::nullopt};
  };
  std::uint64_t data = 0;
  for (ByteSpan piece : pieces) data += piece.size();
  Bytes jpeg;
  jpeg.reserve(l.header.size() + data);
  jpeg.assign(l.header.begin(), l.header.end());
  // With one interval per row, the frame ends at the last MCU column a crop
  // needs, and so does each restart interval; what lies past it in a row is
  // skipped by the decoder when it looks for the next restart marker.
  std::uint32_t width = band.width;
  bool skips = false;
  std::uint32_t needed = 0;
  for (const auto& crop : band.crops) needed = std::max(needed, crop.x + crop.width);
  const auto& dri = dri_offsets_[band.level];
  if (band.interval_count == 1 && dri && needed < band.width) {
    const std::uint64_t mcus = ceil_div(needed, l.mcu_width);
    width = static_cast<std::uint32_t>(mcus * l.mcu_width);
    skips = true;
    jpeg[*dri + 4] = static_cast<std::uint8_t>(mcus >> 8);
    jpeg[*dri + 5] = static_cast<std::uint8_t>(mcus);
  }
  format::ndpi::update_img_shape(jpeg, l.sof_offset, true, static_cast<std::uint16_t>(width),
                                 true, static_cast<std::uint16_t>(band.height));
  const std::size_t start = jpeg.size();
  for (ByteSpan piece : pieces) jpeg.insert(jpeg.end(), piece.begin(), piece.end());

  // Each interval ends with the marker that followed it in the level's
  // stream: the band numbers its own, and its last one becomes the EOI.
  jpeg_tools::RestartMarkers markers;
  std::size_t at = start;
  for (std::uint64_t r = band.first_mcu_row; r < band.first_mcu_row + band.mcu_rows; ++r) {
    const std::span<const std::uint64_t> sizes(
        l.interval_sizes.data() + r * l.intervals_per_row + band.first_interval,
        band.interval_count);
    std::size_t end = at;
    for (const std::uint64_t size : sizes) {
      if (size < 2 || size > jpeg.size() - end) return damaged("a stripe is shorter than its table says");
      end += size;
    }
    at += markers.renumber(std::span(jpeg).subspan(at), sizes);
  }
  if (at != jpeg.size() || markers.count() == 0) {
    return damaged("the stripes' sizes disagree with the table");
  }
  jpeg.back() = 0xD9;

  // A tile that is the whole band needs no transform.
  if (band.crops.size() == 1 && band.crops[0] == jpeg_tools::CropRect{0, 0, width, band.height} &&
      width == band.width) {
    std::vector<Bytes> out;
    out.push_back(std::move(jpeg));
    return out;
  }
  auto tiles = jpeg_tools::lossless_crops(jpeg, band.crops, skips);
  if (!tiles.ok()) return damaged(tiles.error());
  return std::move(tiles).value();
}

namespace {

// Tiles of the caller's size: one band per tile for a single tile, and a
// batch cut a band of tiles at a time.
class NdpiTiler final : public Tiler {
 public:
  explicit NdpiTiler(std::shared_ptr<const NdpiTiling> tiling) : tiling_(std::move(tiling)) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                             std::uint64_t y) const override {
    if (level >= tiling_->level_count()) {
      return errors::level_not_found(level, tiling_->level_count());
    }
    const std::uint64_t xs[] = {x};
    auto bands = tiling_->bands(level, y, xs);
    if (!bands.ok()) return std::move(bands).error();
    NdpiBand band = std::move(bands->front());
    RangeList ranges = tiling_->ranges(band);
    return TilePlan{std::move(ranges),
                    Custom{[tiling = tiling_, band = std::move(band)](
                               std::span<const ByteSpan> pieces) -> SlideResult<Bytes> {
                      auto tiles = tiling->cut(band, pieces);
                      if (!tiles.ok()) return std::move(tiles).error();
                      return std::move(tiles->front());
                    }}};
  }

  // A batch is read band by band in read_batch; its plans only say that no
  // tile's size is known before it is cut.
  SlideResult<std::vector<TilePlan>> plan_batch(std::uint64_t level,
                                                std::span<const Coord> coords) const override {
    if (level >= tiling_->level_count()) {
      return errors::level_not_found(level, tiling_->level_count());
    }
    std::vector<TilePlan> plans(coords.size(), TilePlan{{}, Custom{}});
    return plans;
  }

  SlideResult<Unit> read_batch(const Slide& slide, const Batch& batch,
                               std::span<const std::span<std::uint8_t>> /*dst*/,
                               std::vector<Bytes>& assembled, unsigned threads) const override {
    const std::uint64_t level = batch.level;
    std::map<std::uint64_t, std::vector<std::uint64_t>> rows;
    for (const auto& [x, y] : batch.coords) rows[y].push_back(x);
    struct Job {
      NdpiBand band;
      std::uint64_t y;
    };
    std::vector<Job> jobs;
    for (auto& [y, xs] : rows) {
      std::sort(xs.begin(), xs.end());
      xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
      auto bands = tiling_->bands(level, y, xs);
      if (!bands.ok()) return std::move(bands).error();
      for (NdpiBand& band : *bands) jobs.push_back(Job{std::move(band), y});
    }

    // Every band's stripes through the read executor at once, then the bands
    // cut on the pool.
    std::vector<TilePlan> reads;
    reads.reserve(jobs.size());
    for (const Job& job : jobs) reads.push_back(TilePlan{tiling_->ranges(job.band), Splice{}});
    std::vector<Bytes> data;
    if (auto r = read_plans(slide, reads, {}, data, threads); !r.ok()) return r;

    std::vector<std::vector<Bytes>> cut(jobs.size());
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::optional<std::pair<std::size_t, SlideError>> first_error;
    // Cutting a band is an entropy decode: worth a thread per band.
    std::atomic<std::size_t> next{0};
    auto work = [&] {
      while (!failed.load(std::memory_order_relaxed)) {
        const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= jobs.size()) return;
        const ByteSpan piece(data[i]);
        auto tiles = tiling_->cut(jobs[i].band, std::span<const ByteSpan>(&piece, 1));
        if (tiles.ok()) {
          cut[i] = std::move(tiles).value();
          continue;
        }
        std::lock_guard lock(error_mutex);
        if (!first_error || first_error->first > i) first_error.emplace(i, std::move(tiles).error());
        failed.store(true, std::memory_order_relaxed);
      }
    };
    const unsigned count =
        static_cast<unsigned>(std::min<std::size_t>(std::max(threads, 1U), jobs.size()));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < count; ++t) pool.emplace_back(work);
    work();
    for (auto& thread : pool) thread.join();
    if (first_error) return std::move(first_error->second);

    // Hand each tile to the positions that asked for it: the last one takes
    // it, earlier duplicates get copies.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<Bytes*, std::size_t>> where;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      for (std::size_t k = 0; k < jobs[j].band.columns.size() && k < cut[j].size(); ++k) {
        where[{jobs[j].y, jobs[j].band.columns[k]}] = {&cut[j][k], 0};
      }
    }
    for (const auto& [x, y] : batch.coords) ++where[{y, x}].second;
    assembled.assign(batch.coords.size(), Bytes{});
    for (std::size_t i = 0; i < batch.coords.size(); ++i) {
      auto& [tile, uses] = where[{batch.coords[i].second, batch.coords[i].first}];
      if (tile == nullptr) {
        return SlideError{ErrorKind::Corrupt, "a tile of the batch was not cut", std::nullopt};
      }
      assembled[i] = --uses == 0 ? std::move(*tile) : *tile;
    }
    return Unit{};
  }

 private:
  std::shared_ptr<const NdpiTiling> tiling_;
};

}  // namespace

SlideResult<std::shared_ptr<const Tiler>> ndpi_tiler(const format::ndpi::NdpiDecoder& decoder,
                                                     std::uint64_t tile_size,
                                                     const std::string& name,
                                                     std::vector<Level>& levels) {
  auto made = NdpiTiling::make(decoder, tile_size, name);
  if (!made.ok()) return std::move(made).error();
  std::shared_ptr<const NdpiTiling> tiling = std::move(made).value();
  for (std::uint64_t i = 0; i < levels.size() && i < tiling->level_count(); ++i) {
    levels[i].info = tiling->level_info(i);
  }
  return std::shared_ptr<const Tiler>(std::make_shared<NdpiTiler>(std::move(tiling)));
}

}  // namespace kolva::drivers
