#include "drivers/hamamatsu/vms.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include "jpeg_tools/jpeg_tools.hpp"
#include "slide/associated.hpp"
#include "slide/metadata.hpp"
#include "slide/tiff_wrap.hpp"
#include "text/ini.hpp"

namespace kolva::drivers {

using namespace slide;
using std_io::RangeSource;

namespace {

constexpr std::string_view kVmsGroup = "Virtual Microscope Specimen";
constexpr std::string_view kVmuGroup = "Uncompressed Virtual Microscope Specimen";
constexpr std::uint64_t kMaxIniBytes = 1 << 20;
constexpr std::uint64_t kMaxHeaderBytes = 1 << 20;  // a JPEG's segments before its scan
constexpr std::uint64_t kScanChunk = 4 << 20;
constexpr long long kMaxFiles = 4096;  // image files a side
constexpr std::uint64_t kNgrTileRows = 64;

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

SlideError damaged(const std::string& name, const std::string& why) {
  return SlideError{ErrorKind::Corrupt, name + " is damaged: " + why, std::nullopt};
}

SlideResult<std::uint64_t> source_size(RangeSource& source) {
  auto size = source.size();
  if (!size.ok()) return errors::cannot_read(source.name(), size.error());
  return *size;
}

// Up to `limit` bytes from the start of `source`.
SlideResult<Bytes> read_head(RangeSource& source, std::uint64_t limit) {
  auto size = source_size(source);
  if (!size.ok()) return std::move(size).error();
  Bytes bytes(static_cast<std::size_t>(std::min(*size, limit)));
  auto got = source.read_at(0, bytes);
  if (!got.ok()) return errors::cannot_read(source.name(), got.error());
  bytes.resize(static_cast<std::size_t>(*got));
  return bytes;
}

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// One baseline JPEG of the grid (or the map), with where its restart
// intervals lie.
struct JpegFile {
  SourceIndex source = 0;
  std::uint64_t size = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t mcu_w = 8;
  std::uint32_t mcu_h = 8;
  std::uint32_t interval = 0;  // MCUs; 0: the file is one tile
  std::uint64_t tile_w = 0;
  std::uint64_t tile_h = 0;
  std::uint64_t across = 1;  // tiles
  std::uint64_t down = 1;
  Bytes header;               // SOI, tables, frame, restart interval, scan header
  std::size_t sof_at = 0;     // the frame header's 0xFF within `header`
  std::uint64_t data = 0;     // its entropy-coded data's first byte
  std::shared_ptr<RangeSource> reader;
  // Where its restart intervals lie: the file scanned once, the first time
  // one of its tiles is planned (at open when it is remote, or when its last
  // bytes are no EOI marker).
  struct Intervals {
    std::vector<std::uint64_t> starts;  // each interval's first entropy-coded byte
    std::vector<std::uint64_t> ends;    // one past its last (where its marker starts)
  };
  struct Scan {
    std::mutex mutex;
    std::atomic<bool> done{false};
    Intervals intervals;
    std::optional<SlideError> error;
  };
  std::shared_ptr<Scan> scan = std::make_shared<Scan>();
};

SlideResult<JpegFile::Intervals> scan_intervals(const JpegFile& file);

// The file's intervals, scanned now if they were not yet.
SlideResult<const JpegFile::Intervals*> intervals_of(const JpegFile& file) {
  JpegFile::Scan& scan = *file.scan;
  if (!scan.done.load(std::memory_order_acquire)) {
    std::lock_guard lock(scan.mutex);
    if (!scan.done.load(std::memory_order_relaxed)) {
      auto scanned = scan_intervals(file);
      if (scanned.ok()) {
        scan.intervals = std::move(scanned).value();
      } else {
        scan.error = std::move(scanned).error();
      }
      scan.done.store(true, std::memory_order_release);
    }
  }
  if (scan.error) return *scan.error;
  return &scan.intervals;
}

// The segments a decoder needs, up to the scan header, and the frame's facts.
// Returns the offset of the entropy-coded data; 0 when the segments run past
// `head` (more is needed).
Result<std::uint64_t, std::string> parse_jpeg_header(ByteSpan head, JpegFile& file) {
  if (head.size() < 4 || head[0] != 0xFF || head[1] != 0xD8) return std::string("it is no JPEG");
  file.header = {0xFF, 0xD8};
  bool frame = false;
  jpeg_tools::Segments segments(head);
  jpeg_tools::Segment seg;
  while (true) {
    switch (segments.next(seg)) {
      case jpeg_tools::Segments::Step::Segment: break;
      case jpeg_tools::Segments::Step::Short: return std::uint64_t{0};
      case jpeg_tools::Segments::Step::Malformed: return std::string("its header is malformed");
    }
    const std::uint8_t marker = seg.marker;
    const ByteSpan body = seg.body;
    if (jpeg_tools::is_sequential_frame(marker)) {
      // Precision, height, width, the component count, three bytes a component.
      if (body.size() < 6) return std::string("its frame header is malformed");
      const std::size_t components = body[5];
      if (components == 0 || body.size() < 6 + 3 * components) {
        return std::string("its frame header is malformed");
      }
      file.height = be16(&body[1]);
      file.width = be16(&body[3]);
      const auto sampling = jpeg_tools::sof0_sampling(head, seg.at);
      if (sampling.h > 4 || sampling.v > 4) return std::string("its sampling factors are out of range");
      file.mcu_w = 8U * sampling.h;
      file.mcu_h = 8U * sampling.v;
      file.sof_at = file.header.size();
      frame = true;
    } else if (jpeg_tools::is_other_frame(marker)) {
      return std::string("it is not a baseline JPEG");
    } else if (marker == 0xDD) {
      if (body.size() < 2) return std::string("its restart interval is malformed");
      file.interval = be16(&body[0]);
    }
    const bool keep = jpeg_tools::is_sequential_frame(marker) || marker == 0xC4 || marker == 0xDB ||
                      marker == 0xDD || marker == 0xDA || marker == 0xE0 || marker == 0xEE;
    if (keep) file.header.insert(file.header.end(), head.begin() + seg.at, head.begin() + seg.end());
    if (marker == 0xDA) {
      if (!frame) return std::string("it has no frame header");
      if (file.width == 0 || file.height == 0) return std::string("its frame is empty");
      return std::uint64_t{seg.end()};
    }
  }
}

// Reads the JPEG `relative` beside the INI: its header, and, when it has
// restart markers, where every interval lies (the whole file is scanned once).
SlideResult<JpegFile> open_jpeg(SourceSet& sources, const std::string& relative) {
  auto index = sources.open(relative);
  if (!index.ok()) return std::move(index).error();
  RangeSource& source = sources.at(*index);
  JpegFile file;
  file.source = *index;
  auto size = source_size(source);
  if (!size.ok()) return std::move(size).error();
  file.size = *size;
  std::uint64_t data = 0;
  for (std::uint64_t limit = 64 << 10; data == 0; limit *= 4) {
    auto head = read_head(source, std::min(limit, kMaxHeaderBytes));
    if (!head.ok()) return std::move(head).error();
    auto parsed = parse_jpeg_header(*head, file);
    if (!parsed.ok()) return damaged(source.name(), parsed.error());
    data = *parsed;
    if (data == 0 && (head->size() >= file.size || limit >= kMaxHeaderBytes)) {
      return damaged(source.name(), "its JPEG header ends before the scan");
    }
  }
  if (file.interval == 0) {
    file.tile_w = file.width;
    file.tile_h = file.height;
    return file;
  }
  const std::uint64_t mcus_per_row = ceil_div(file.width, file.mcu_w);
  if (mcus_per_row % file.interval != 0) {
    return errors::unsupported(source.name(), "its JPEG restart interval (" +
                                                  std::to_string(file.interval) +
                                                  " MCUs) does not divide the MCUs of a row (" +
                                                  std::to_string(mcus_per_row) + ")");
  }
  file.tile_w = std::uint64_t{file.mcu_w} * file.interval;
  file.tile_h = file.mcu_h;
  file.across = mcus_per_row / file.interval;
  file.down = ceil_div(file.height, file.mcu_h);
  file.data = data;
  file.reader = sources.shared(*index);
  bool now = sources.remote(*index);
  if (!now) {
    // A cut file is refused now, as a full scan would.
    std::uint8_t tail[2] = {0, 0};
    std::uint64_t read = 0;
    if (file.size >= 2) {
      auto got = source.read_at(file.size - 2, tail);
      if (!got.ok()) return errors::cannot_read(source.name(), got.error());
      read = *got;
    }
    now = read != 2 || tail[0] != 0xFF || tail[1] != 0xD9;
  }
  if (now) {
    auto scanned = intervals_of(file);
    if (!scanned.ok()) return std::move(scanned).error();
  }
  return file;
}

SlideResult<JpegFile::Intervals> scan_intervals(const JpegFile& file) {
  RangeSource& source = *file.reader;
  const std::uint64_t data = file.data;
  const std::uint64_t expected = file.across * file.down;
  JpegFile::Intervals found;

  // The restart markers, in order: each ends an interval and starts the next.
  found.starts.reserve(expected);
  found.ends.reserve(expected);
  found.starts.push_back(data);
  Bytes chunk;
  bool marker = false;  // the previous byte was an 0xFF
  bool ended = false;
  std::uint64_t ff_at = 0;
  for (std::uint64_t pos = data; pos < file.size && !ended;) {
    chunk.resize(static_cast<std::size_t>(std::min(kScanChunk, file.size - pos)));
    auto got = source.read_at(pos, chunk);
    if (!got.ok()) return errors::cannot_read(source.name(), got.error());
    if (*got == 0) break;
    const std::uint8_t* p = chunk.data();
    const std::size_t n = static_cast<std::size_t>(*got);
    for (std::size_t j = 0; j < n; ++j) {
      if (!marker) {
        const void* ff = std::memchr(p + j, 0xFF, n - j);
        if (ff == nullptr) break;
        j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - p);
        marker = true;
        ff_at = pos + j;
        continue;
      }
      const std::uint8_t b = p[j];
      if (b == 0xFF) {
        ff_at = pos + j;
        continue;
      }
      marker = false;
      if (b == 0x00) continue;
      if (b >= 0xD0 && b <= 0xD7) {
        found.ends.push_back(ff_at);
        if (found.ends.size() >= expected) {
          return damaged(source.name(), "it has more restart intervals than its size needs");
        }
        found.starts.push_back(pos + j + 1);
      } else if (b == 0xD9) {
        found.ends.push_back(ff_at);
        ended = true;
        break;
      } else {
        return damaged(source.name(), "a marker interrupts its entropy-coded data");
      }
    }
    pos += n;
  }
  if (!ended) return damaged(source.name(), "its JPEG stream ends without an EOI marker");
  if (found.ends.size() != expected) {
    return damaged(source.name(), "it has " + std::to_string(found.ends.size()) +
                                      " restart intervals where its size needs " +
                                      std::to_string(expected));
  }
  return found;
}

// A level of JPEG files laid edge to edge: every column of files as wide as
// its first, every row as high; files before the last column or row hold
// whole tiles.
struct JpegGrid {
  std::vector<JpegFile> files;  // row-major
  std::uint64_t cols = 1;
  std::vector<std::uint64_t> col_tiles = {0};  // first tile column of each file column, then the total
  std::vector<std::uint64_t> row_tiles = {0};
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

// A VMU image: 16-bit RGB columns of `column` pixels, each top to bottom.
struct Ngr {
  SourceIndex source = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t column = 0;
  std::uint64_t offset = 0;
  Bytes full_head;  // the TIFF header of a tile of 64 rows
  Bytes last_head;  // of the last tile row, when shorter
};

using LevelData = std::variant<JpegGrid, Ngr>;

SlideResult<JpegGrid> make_grid(std::vector<JpegFile> files, std::uint64_t cols,
                                std::uint64_t rows, const std::string& name) {
  JpegGrid grid;
  grid.cols = cols;
  const JpegFile& first = files[0];
  for (std::uint64_t r = 0; r < rows; ++r) {
    for (std::uint64_t c = 0; c < cols; ++c) {
      const JpegFile& f = files[r * cols + c];
      const JpegFile& top = files[c];
      const JpegFile& left = files[r * cols];
      const bool same_tiles = f.tile_w == first.tile_w && f.tile_h == first.tile_h;
      const bool aligned = f.width == top.width && f.height == left.height;
      const bool whole = (c + 1 == cols || f.width % f.tile_w == 0) &&
                         (r + 1 == rows || f.height % f.tile_h == 0);
      if (!same_tiles || !aligned || !whole) {
        return errors::unsupported(
            name, "its image files do not make one grid of tiles (file (" + std::to_string(c) +
                      ", " + std::to_string(r) + ") has another size or tiling)");
      }
    }
  }
  for (std::uint64_t c = 0; c < cols; ++c) {
    grid.col_tiles.push_back(grid.col_tiles.back() + files[c].across);
    grid.width += files[c].width;
  }
  for (std::uint64_t r = 0; r < rows; ++r) {
    grid.row_tiles.push_back(grid.row_tiles.back() + files[r * cols].down);
    grid.height += files[r * cols].height;
  }
  grid.files = std::move(files);
  return grid;
}

SlideResult<Ngr> open_ngr(SourceSet& sources, const std::string& relative) {
  auto index = sources.open(relative);
  if (!index.ok()) return std::move(index).error();
  RangeSource& source = sources.at(*index);
  auto head = read_head(source, 28);
  if (!head.ok()) return std::move(head).error();
  auto size = source_size(source);
  if (!size.ok()) return std::move(size).error();
  const Bytes& h = *head;
  if (h.size() < 28 || h[0] != 'G' || h[1] != 'N') {
    return damaged(source.name(), "it is no NGR image (no GN header)");
  }
  Ngr ngr;
  ngr.source = *index;
  ngr.width = le32(&h[4]);
  ngr.height = le32(&h[8]);
  ngr.column = le32(&h[12]);
  ngr.offset = le32(&h[24]);
  if (ngr.width == 0 || ngr.height == 0 || ngr.column == 0 || ngr.width % ngr.column != 0 ||
      ngr.column > 0xFFFF || ngr.width > 0x7FFFFFFF || ngr.height > 0x7FFFFFFF) {
    return damaged(source.name(), "its image size is out of range");
  }
  const std::uint64_t pixels = ngr.width * ngr.height;  // below 2^62
  if (ngr.offset > *size || (*size - ngr.offset) / 6 < pixels) {
    return damaged(source.name(), "its pixels run past the end of the file");
  }
  auto header = [&](std::uint64_t rows) -> std::optional<Bytes> {
    TiffLayout layout;
    layout.width = static_cast<std::uint32_t>(ngr.column);
    layout.height = static_cast<std::uint32_t>(rows);
    layout.rows_per_strip = static_cast<std::uint32_t>(rows);
    layout.photometric = 2;
    layout.samples = 3;
    layout.bits = {16, 16, 16};
    const std::uint64_t length[] = {rows * ngr.column * 6};
    return tiff_header(layout, length);
  };
  auto full = header(std::min(kNgrTileRows, ngr.height));
  auto last = header(ngr.height % kNgrTileRows == 0 ? kNgrTileRows : ngr.height % kNgrTileRows);
  if (!full || !last) return damaged(source.name(), "its columns are too large to hand out");
  ngr.full_head = std::move(*full);
  ngr.last_head = std::move(*last);
  return ngr;
}

LevelInfo level_info(const LevelData& data) {
  if (const auto* g = std::get_if<JpegGrid>(&data)) {
    const JpegFile& f = g->files[0];
    return {{g->width, g->height},
            {f.tile_w, f.tile_h},
            {g->col_tiles.back(), g->row_tiles.back()},
            TileEncoding::Jpeg};
  }
  const Ngr& n = std::get<Ngr>(data);
  return {{n.width, n.height},
          {n.column, std::min(kNgrTileRows, n.height)},
          {n.width / n.column, ceil_div(n.height, kNgrTileRows)},
          TileEncoding::Tiff};
}

class VmsTiler final : public Tiler {
 public:
  explicit VmsTiler(std::vector<LevelData> levels)
      : levels_(std::make_shared<const std::vector<LevelData>>(std::move(levels))) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                             std::uint64_t y) const override {
    const LevelData& data = (*levels_)[level];
    if (const auto* g = std::get_if<JpegGrid>(&data)) return plan_jpeg(*g, x, y);
    const Ngr& n = std::get<Ngr>(data);
    const std::uint64_t rows = std::min(kNgrTileRows, n.height - y * kNgrTileRows);
    const std::uint64_t strip = n.column * 6;
    const Range range{n.offset + x * n.height * strip + y * kNgrTileRows * strip, rows * strip,
                      n.source};
    const Bytes& head = rows == std::min(kNgrTileRows, n.height) ? n.full_head : n.last_head;
    return TilePlan{{range}, Splice{head, {}, 0}};
  }

 private:
  SlideResult<TilePlan> plan_jpeg(const JpegGrid& g, std::uint64_t x, std::uint64_t y) const {
    const std::uint64_t c = static_cast<std::uint64_t>(
        std::upper_bound(g.col_tiles.begin(), g.col_tiles.end(), x) - g.col_tiles.begin() - 1);
    const std::uint64_t r = static_cast<std::uint64_t>(
        std::upper_bound(g.row_tiles.begin(), g.row_tiles.end(), y) - g.row_tiles.begin() - 1);
    const JpegFile& f = g.files[r * g.cols + c];
    if (f.interval == 0) return TilePlan{{Range{0, f.size, f.source}}, Splice{}};
    const std::uint64_t tx = x - g.col_tiles[c];
    const std::uint64_t ty = y - g.row_tiles[r];
    const std::size_t i = static_cast<std::size_t>(ty * f.across + tx);
    const auto width = static_cast<std::uint16_t>(std::min(f.tile_w, f.width - tx * f.tile_w));
    const auto height = static_cast<std::uint16_t>(std::min(f.tile_h, f.height - ty * f.tile_h));
    auto intervals = intervals_of(f);
    if (!intervals.ok()) return std::move(intervals).error();
    const JpegFile::Intervals& in = **intervals;
    const Range range{in.starts[i], in.ends[i] - in.starts[i], f.source};
    // The file's header with the frame sized to the tile, the interval, an EOI.
    Splice splice{f.header, {}, 0};
    splice.patch_at = static_cast<std::uint32_t>(f.sof_at + 5);
    splice.patch_size = 4;
    splice.patch = {static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
                    static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width)};
    splice.suffix_size = 2;
    splice.suffix = {0xFF, 0xD9};
    return TilePlan{{range}, std::move(splice)};
  }

  // Shared with the plans, which borrow the files' headers.
  std::shared_ptr<const std::vector<LevelData>> levels_;
};

// "ImageFile(x,y)" (or "ImageFile" for the first, or with focal plane 0 in front).
const std::string* image_file(const text::IniGroup& group, long long x, long long y) {
  const std::string xy = std::to_string(x) + "," + std::to_string(y);
  if (const auto* f = group.find("ImageFile(" + xy + ")")) return f;
  if (const auto* f = group.find("ImageFile(0," + xy + ")")) return f;
  if (x == 0 && y == 0) return group.find("ImageFile");
  return nullptr;
}

std::optional<double> number(const text::IniGroup& group, std::string_view key) {
  const std::string* v = group.find(key);
  if (v == nullptr) return std::nullopt;
  std::string_view t = *v;
  if (t.ends_with(';')) t.remove_suffix(1);  // PhysicalMacroHeight=...; as some scanners write it
  return metadata::parse_double(t);
}

}  // namespace

const Family& VmsDriver::family() const {
  static const Family family{"vms", "hamamatsu", "Hamamatsu VMS/VMU"};
  return family;
}

bool VmsDriver::detect(const Probe& probe) const {
  if (probe.tiff) return false;
  const std::string_view head(reinterpret_cast<const char*>(probe.head.data()), probe.head.size());
  return head.find("[Virtual Microscope Specimen]") != std::string_view::npos ||
         head.find("[Uncompressed Virtual Microscope Specimen]") != std::string_view::npos;
}

SlideResult<Opening> VmsDriver::open(SourceSet& sources, const Probe& /*probe*/,
                                     const OpenOptions& /*options*/) const {
  const std::string& name = sources.name();
  auto size = source_size(sources.at(0));
  if (!size.ok()) return std::move(size).error();
  if (*size > kMaxIniBytes) return Opening(Declined{});
  auto bytes = read_head(sources.at(0), kMaxIniBytes);
  if (!bytes.ok()) return std::move(bytes).error();
  const text::Ini ini = text::parse_ini(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  const text::IniGroup* group = ini.group(kVmsGroup);
  const bool vmu = group == nullptr;
  if (vmu) group = ini.group(kVmuGroup);
  if (group == nullptr) return Opening(Declined{});

  std::vector<LevelData> data;
  if (!vmu) {
    const auto cols = text::parse_integer(group->find("NoJpegColumns") ? *group->find("NoJpegColumns") : "");
    const auto rows = text::parse_integer(group->find("NoJpegRows") ? *group->find("NoJpegRows") : "");
    if (!cols || !rows || *cols < 1 || *rows < 1 || *cols > kMaxFiles || *rows > kMaxFiles) {
      return errors::unsupported(name, "its NoJpegColumns and NoJpegRows do not name a grid of image files");
    }
    std::vector<JpegFile> files;
    for (long long y = 0; y < *rows; ++y) {
      for (long long x = 0; x < *cols; ++x) {
        const std::string* file = image_file(*group, x, y);
        if (file == nullptr) {
          return damaged(name, "it names no image file (" + std::to_string(x) + ", " +
                                   std::to_string(y) + ")");
        }
        auto jpeg = open_jpeg(sources, *file);
        if (!jpeg.ok()) return std::move(jpeg).error();
        files.push_back(std::move(jpeg).value());
      }
    }
    auto grid = make_grid(std::move(files), static_cast<std::uint64_t>(*cols),
                          static_cast<std::uint64_t>(*rows), name);
    if (!grid.ok()) return std::move(grid).error();
    data.emplace_back(std::move(grid).value());
    if (const std::string* map = group->find("MapFile")) {
      auto jpeg = open_jpeg(sources, *map);
      if (!jpeg.ok()) return std::move(jpeg).error();
      std::vector<JpegFile> one;
      one.push_back(std::move(jpeg).value());
      auto grid_map = make_grid(std::move(one), 1, 1, name);
      if (!grid_map.ok()) return std::move(grid_map).error();
      data.emplace_back(std::move(grid_map).value());
    }
  } else {
    const std::string* file = group->find("ImageFile");
    if (file == nullptr) return damaged(name, "it names no image file");
    if (const std::string* bits = group->find("BitsPerPixel"); bits && *bits != "36") {
      return errors::unsupported(name, "its pixels are " + *bits + " bits, not 36 (3 x 12)");
    }
    if (const std::string* order = group->find("PixelOrder"); order && *order != "RGB") {
      return errors::unsupported(name, "its pixel order is " + *order + ", not RGB");
    }
    auto ngr = open_ngr(sources, *file);
    if (!ngr.ok()) return std::move(ngr).error();
    data.emplace_back(std::move(ngr).value());
    if (const std::string* map = group->find("MapFile")) {
      auto map_ngr = open_ngr(sources, *map);
      if (!map_ngr.ok()) return std::move(map_ngr).error();
      data.emplace_back(std::move(map_ngr).value());
    }
  }

  SlideParts parts;
  const LevelInfo base = level_info(data[0]);
  for (const LevelData& d : data) {
    const LevelInfo info = level_info(d);
    const double downsample =
        (static_cast<double>(base.dimensions.first) / static_cast<double>(info.dimensions.first) +
         static_cast<double>(base.dimensions.second) / static_cast<double>(info.dimensions.second)) /
        2.0;
    const bool jpeg = std::holds_alternative<JpegGrid>(d);
    parts.levels.push_back(Level{info, jpeg ? "image/jpeg" : "image/tiff", downsample,
                                 jpeg ? "" : "RGB"});
  }

  if (const std::string* macro = group->find("MacroImage")) {
    auto index = sources.open(*macro);
    if (index.ok()) {
      auto head = read_head(sources.at(*index), 64 << 10);
      auto total = source_size(sources.at(*index));
      if (head.ok() && total.ok()) {
        if (auto dims = jpeg_dimensions(*head)) {
          parts.associated.push_back(AssociatedImage{
              "macro", "image/jpeg", *dims, TilePlan{{Range{0, *total, *index}}, Splice{}}});
        }
      }
    }
  }

  metadata::PropertyMap map;
  for (const auto& [key, value] : group->entries) map["hamamatsu." + key] = value;
  const auto width = number(*group, "PhysicalWidth");
  const auto height = number(*group, "PhysicalHeight");
  if (metadata::usable_positive(width) && metadata::usable_positive(height)) {
    map["kolva.mpp-x"] = metadata::format_double(*width / (1000.0 * static_cast<double>(base.dimensions.first)));
    map["kolva.mpp-y"] = metadata::format_double(*height / (1000.0 * static_cast<double>(base.dimensions.second)));
  }
  if (const auto lens = number(*group, "SourceLens"); metadata::usable_positive(lens)) {
    map["kolva.objective-power"] = metadata::format_double(*lens);
  }
  parts.properties = metadata::finish_properties(std::move(map), parts.levels, "hamamatsu");
  parts.tiler = std::make_shared<VmsTiler>(std::move(data));
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
