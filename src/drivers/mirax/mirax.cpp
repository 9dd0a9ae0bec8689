#include "drivers/mirax/mirax.hpp"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "drivers/mirax/index.hpp"
#include "slide/associated.hpp"
#include "slide/executor.hpp"
#include "slide/metadata.hpp"
#include "text/ini.hpp"

namespace kolva::drivers {

using namespace slide;
using std_io::RangeSource;

namespace {

constexpr std::uint64_t kMaxIniBytes = 1 << 20;
constexpr std::uint64_t kMaxIndexBytes = std::uint64_t{1} << 30;
constexpr long long kMaxImagesASide = 1 << 20;
constexpr long long kMaxLevels = 32;
constexpr std::uint64_t kHeadBytes = 64 << 10;  // enough for an associated JPEG's header

SlideError damaged(const std::string& name, const std::string& why) {
  return SlideError{ErrorKind::Corrupt, name + " is damaged: " + why, std::nullopt};
}

// One level's placed images.
struct MiraxLevel {
  std::uint64_t step = 1;  // level-0 images a tile's image spans per side
  std::uint64_t across = 0;
  std::uint64_t down = 0;
  std::vector<std::uint64_t> tiles;  // sorted row * across + column
  std::vector<Range> ranges;         // the stored image of each
  std::vector<std::array<double, 4>> rects;  // x, y, width, height in the level's pixels (while opening)
};

class MiraxTiler final : public Tiler {
 public:
  explicit MiraxTiler(std::vector<MiraxLevel> levels) : levels_(std::move(levels)) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                             std::uint64_t y) const override {
    const MiraxLevel& l = levels_[level];
    const auto it = std::lower_bound(l.tiles.begin(), l.tiles.end(), y * l.across + x);
    if (it == l.tiles.end() || *it != y * l.across + x) return errors::tile_not_stored(level, x, y);
    return TilePlan{{l.ranges[static_cast<std::size_t>(it - l.tiles.begin())]}, Splice{}};
  }

  const std::vector<MiraxLevel>& levels() const { return levels_; }

 private:
  std::vector<MiraxLevel> levels_;
};

struct IniView {
  const text::Ini& ini;
  const std::string* get(std::string_view group, std::string_view key) const {
    const text::IniGroup* g = ini.group(group);
    return g == nullptr ? nullptr : g->find(key);
  }
  std::optional<long long> integer(std::string_view group, std::string_view key) const {
    const std::string* v = get(group, key);
    return v == nullptr ? std::nullopt : text::parse_integer(*v);
  }
  std::optional<double> number(std::string_view group, std::string_view key) const {
    const std::string* v = get(group, key);
    return v == nullptr ? std::nullopt : metadata::parse_double(*v);
  }
};

struct LevelSection {
  std::string format;
  std::uint64_t width = 0, height = 0;
  long long concat = 0;
  double overlap_x = 0, overlap_y = 0;
  std::optional<double> mpp_x, mpp_y;
};

SlideResult<Bytes> read_whole(RangeSource& source, std::uint64_t limit, const std::string& what) {
  auto size = source.size();
  if (!size.ok()) return errors::cannot_read(source.name(), size.error());
  if (*size > limit) return damaged(source.name(), what + " is larger than " + std::to_string(limit) + " bytes");
  Bytes bytes(static_cast<std::size_t>(*size));
  auto got = source.read_at(0, bytes);
  if (!got.ok()) return errors::cannot_read(source.name(), got.error());
  bytes.resize(static_cast<std::size_t>(*got));
  return bytes;
}

std::optional<Bytes> inflate_exactly(ByteSpan in, std::size_t size) {
  Bytes out(size);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const std::size_t produced = size - z.avail_out;
  inflateEnd(&z);
  if ((rc != Z_STREAM_END && rc != Z_OK && rc != Z_BUF_ERROR) || produced != size) return std::nullopt;
  return out;
}

}  // namespace

const Family& MiraxDriver::family() const {
  static const Family family{"mirax", "mirax", "3DHistech MIRAX"};
  return family;
}

bool MiraxDriver::detect(const Probe& probe) const {
  return !probe.tiff && probe.extension() == ".mrxs";
}

SlideResult<Opening> MiraxDriver::open(SourceSet& sources, const Probe& probe,
                                       const OpenOptions& /*options*/) const {
  const std::string& name = sources.name();
  const std::string folder = probe.file_name.substr(0, probe.file_name.size() - 5) + "/";

  auto ini_index = sources.open(folder + "Slidedat.ini");
  if (!ini_index.ok()) return std::move(ini_index).error();
  auto ini_bytes = read_whole(sources.at(*ini_index), kMaxIniBytes, "Slidedat.ini");
  if (!ini_bytes.ok()) return std::move(ini_bytes).error();
  const text::Ini ini = text::parse_ini(
      std::string_view(reinterpret_cast<const char*>(ini_bytes->data()), ini_bytes->size()));
  const IniView view{ini};
  auto refuse = [&](const std::string& why) { return errors::unsupported(name, why); };

  const std::string* slide_id = view.get("GENERAL", "SLIDE_ID");
  const auto images_x = view.integer("GENERAL", "IMAGENUMBER_X");
  const auto images_y = view.integer("GENERAL", "IMAGENUMBER_Y");
  const auto divisions = view.get("GENERAL", "CameraImageDivisionsPerSide")
                             ? view.integer("GENERAL", "CameraImageDivisionsPerSide")
                             : std::optional<long long>(1);
  if (slide_id == nullptr || !images_x || !images_y || !divisions || *images_x < 1 ||
      *images_y < 1 || *images_x > kMaxImagesASide || *images_y > kMaxImagesASide ||
      *divisions < 1 || *images_x % *divisions != 0 || *images_y % *divisions != 0) {
    return damaged(name, "its Slidedat.ini gives no usable SLIDE_ID, IMAGENUMBER_X/Y and camera divisions");
  }
  const std::uint64_t nx = static_cast<std::uint64_t>(*images_x);
  const std::uint64_t ny = static_cast<std::uint64_t>(*images_y);
  const std::uint64_t d = static_cast<std::uint64_t>(*divisions);

  // The zoom levels and the non-hierarchical records (flattened).
  if (const std::string* zoom = view.get("HIERARCHICAL", "HIER_0_NAME"); !zoom || *zoom != "Slide zoom level") {
    return refuse("its first hierarchy is not the slide zoom levels");
  }
  const auto level_count = view.integer("HIERARCHICAL", "HIER_0_COUNT");
  if (!level_count || *level_count < 1 || *level_count > kMaxLevels) {
    return damaged(name, "its HIER_0_COUNT is not a number of levels");
  }
  std::vector<LevelSection> sections;
  long long concat_sum = 0;
  for (long long j = 0; j < *level_count; ++j) {
    const std::string* section = view.get("HIERARCHICAL", "HIER_0_VAL_" + std::to_string(j) + "_SECTION");
    if (section == nullptr) return damaged(name, "level " + std::to_string(j) + " names no section");
    LevelSection s;
    const std::string* format = view.get(*section, "IMAGE_FORMAT");
    const auto w = view.integer(*section, "DIGITIZER_WIDTH");
    const auto h = view.integer(*section, "DIGITIZER_HEIGHT");
    const auto concat = view.integer(*section, "IMAGE_CONCAT_FACTOR");
    if (format == nullptr || !w || !h || !concat || *w < 1 || *h < 1 || *w > 65535 || *h > 65535 ||
        *concat < 0 || *concat > 30 || (j > 0 && *concat == 0)) {
      return damaged(name, "the section of level " + std::to_string(j) + " (" + *section + ") is incomplete or out of range");
    }
    if (*format != "JPEG" && *format != "PNG" && *format != "BMP24") {
      return refuse("level " + std::to_string(j) + " is stored as " + *format + " (JPEG, PNG and BMP24 are read)");
    }
    concat_sum += *concat;
    if (concat_sum > 30) return damaged(name, "its levels shrink past any image");
    s.format = *format;
    s.width = static_cast<std::uint64_t>(*w);
    s.height = static_cast<std::uint64_t>(*h);
    s.concat = *concat;
    s.overlap_x = view.number(*section, "OVERLAP_X").value_or(0);
    s.overlap_y = view.number(*section, "OVERLAP_Y").value_or(0);
    s.mpp_x = view.number(*section, "MICROMETER_PER_PIXEL_X");
    s.mpp_y = view.number(*section, "MICROMETER_PER_PIXEL_Y");
    if (!std::isfinite(s.overlap_x) || !std::isfinite(s.overlap_y) || std::fabs(s.overlap_x) > 65535 ||
        std::fabs(s.overlap_y) > 65535) {
      return damaged(name, "level " + std::to_string(j) + " has an overlap out of range");
    }
    sections.push_back(std::move(s));
  }
  // Non-hierarchical records: where the associated images and positions are.
  const long long nonhier_count = view.integer("HIERARCHICAL", "NONHIER_COUNT").value_or(0);
  if (nonhier_count < 0 || nonhier_count > 4096) return damaged(name, "its NONHIER_COUNT is out of range");
  std::uint64_t records = 0;
  std::map<std::string, std::uint64_t> record_of;  // "<layer name>/<value>" -> record
  std::map<std::string, std::string> section_of;   // same key -> its section
  for (long long i = 0; i < nonhier_count; ++i) {
    const std::string prefix = "NONHIER_" + std::to_string(i);
    const std::string* layer = view.get("HIERARCHICAL", prefix + "_NAME");
    const long long count = view.integer("HIERARCHICAL", prefix + "_COUNT").value_or(0);
    if (count < 0 || count > 4096) return damaged(name, "its " + prefix + "_COUNT is out of range");
    for (long long j = 0; j < count; ++j) {
      const std::string* value = view.get("HIERARCHICAL", prefix + "_VAL_" + std::to_string(j));
      const std::string* section = view.get("HIERARCHICAL", prefix + "_VAL_" + std::to_string(j) + "_SECTION");
      if (layer != nullptr && value != nullptr) {
        record_of.emplace(*layer + "/" + *value, records);
        if (section != nullptr) section_of.emplace(*layer + "/" + *value, *section);
      }
      ++records;
    }
  }

  // The data files and the index, opened together (one round trip for all on
  // a remote store); the index is then read whole.
  const auto file_count = view.integer("DATAFILE", "FILE_COUNT");
  if (!file_count || *file_count < 1 || *file_count > 65536) return damaged(name, "its FILE_COUNT is out of range");
  std::vector<std::string> wanted;
  for (long long i = 0; i < *file_count; ++i) {
    const std::string* file = view.get("DATAFILE", "FILE_" + std::to_string(i));
    if (file == nullptr) return damaged(name, "it names no data file " + std::to_string(i));
    wanted.push_back(folder + *file);
  }
  const std::string* index_name = view.get("HIERARCHICAL", "INDEXFILE");
  if (index_name == nullptr) return damaged(name, "its Slidedat.ini names no index file");
  wanted.push_back(folder + *index_name);
  auto opened = sources.open_many(wanted);
  std::vector<SourceIndex> data_files;
  for (auto& one : opened) {
    if (!one.ok()) return std::move(one).error();
    data_files.push_back(*one);
  }
  const SourceIndex index_source = data_files.back();
  data_files.pop_back();
  auto index_bytes = read_whole(sources.at(index_source), kMaxIndexBytes, "the index file");
  if (!index_bytes.ok()) return std::move(index_bytes).error();
  auto index = mirax::parse_index(*index_bytes, *slide_id, static_cast<std::uint64_t>(*level_count), records);
  if (!index.ok()) return damaged(name, index.error());

  // A stored blob's range, checked against its file.
  auto blob_range = [&](std::uint32_t file, std::uint64_t offset, std::uint64_t length) -> std::optional<Range> {
    if (file >= data_files.size() || length == 0) return std::nullopt;
    const std::uint64_t size = sources.at(data_files[file]).known_size();
    if (offset > size || size - offset < length) return std::nullopt;
    return Range{offset, length, data_files[file]};
  };

  // Blobs read together: the camera positions and the associated images' heads.
  struct Blob {
    std::string key;
    Range range;
  };
  std::vector<Blob> blobs;
  const std::uint64_t positions = (nx / d) * (ny / d);
  bool compressed_positions = false;
  std::optional<std::uint64_t> position_record;
  if (auto it = record_of.find("VIMSLIDE_POSITION_BUFFER/default"); it != record_of.end()) {
    position_record = it->second;
  } else if (auto it2 = record_of.find("StitchingIntensityLayer/StitchingIntensityLevel"); it2 != record_of.end()) {
    position_record = it2->second;
    compressed_positions = true;
  }
  if (position_record) {
    const auto& item = index->records[*position_record];
    if (item) {
      auto range = blob_range(item->file, item->offset, item->length);
      if (!range) return damaged(name, "its camera positions lie past the end of their data file");
      if (!compressed_positions && range->length < positions * 9) {
        return damaged(name, "its camera positions are fewer than its camera grid");
      }
      blobs.push_back(Blob{"positions", *range});
    }
  }
  const std::pair<const char*, const char*> kImages[] = {
      {"label", "Scan data layer/ScanDataLayer_SlideBarcode"},
      {"macro", "Scan data layer/ScanDataLayer_SlideThumbnail"},
      {"thumbnail", "Scan data layer/ScanDataLayer_SlidePreview"}};
  for (const auto& [image, key] : kImages) {
    auto it = record_of.find(key);
    if (it == record_of.end() || !index->records[it->second]) continue;
    const auto& item = *index->records[it->second];
    auto range = blob_range(item.file, item.offset, item.length);
    if (!range) continue;
    blobs.push_back(Blob{image, Range{range->offset, std::min(range->length, kHeadBytes), range->source}});
  }
  std::vector<Bytes> blob_bytes(blobs.size());
  {
    std::vector<Range> ranges;
    std::vector<std::span<std::uint8_t>> dst;
    for (std::size_t i = 0; i < blobs.size(); ++i) {
      blob_bytes[i].resize(static_cast<std::size_t>(blobs[i].range.length));
      ranges.push_back(blobs[i].range);
      dst.emplace_back(blob_bytes[i]);
    }
    if (auto got = read_ranges(sources, ranges, dst, 1); !got.ok()) return std::move(got).error();
  }

  // Camera positions in level-0 pixels.
  std::vector<std::pair<double, double>> origin(positions);
  const LevelSection& base = sections[0];
  const double concat0 = std::ldexp(1.0, static_cast<int>(base.concat));
  const double photo_w = static_cast<double>(base.width * d), photo_h = static_cast<double>(base.height * d);
  for (std::uint64_t p = 0; p < positions; ++p) {
    origin[p] = {static_cast<double>(p % (nx / d)) * (photo_w - base.overlap_x),
                 static_cast<double>(p / (nx / d)) * (photo_h - base.overlap_y)};
  }
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    if (blobs[i].key != "positions") continue;
    Bytes table = std::move(blob_bytes[i]);
    if (compressed_positions) {
      auto inflated = inflate_exactly(table, static_cast<std::size_t>(positions * 9));
      if (!inflated) return damaged(name, "its compressed camera positions do not inflate to its camera grid");
      table = std::move(*inflated);
    }
    auto le32 = [&](std::size_t at) {
      return static_cast<std::int32_t>(std::uint32_t{table[at]} | std::uint32_t{table[at + 1]} << 8 |
                                       std::uint32_t{table[at + 2]} << 16 | std::uint32_t{table[at + 3]} << 24);
    };
    for (std::uint64_t p = 0; p < positions; ++p) {
      origin[p] = {static_cast<double>(le32(static_cast<std::size_t>(p * 9 + 1))) * concat0,
                   static_cast<double>(le32(static_cast<std::size_t>(p * 9 + 5))) * concat0};
    }
  }

  // Levels: the images of each, placed.
  const auto columns_ending = static_cast<double>((nx - 1) / d);
  const auto rows_ending = static_cast<double>((ny - 1) / d);
  const auto width0 = static_cast<std::uint64_t>(static_cast<double>(nx * base.width) - columns_ending * base.overlap_x);
  const auto height0 = static_cast<std::uint64_t>(static_cast<double>(ny * base.height) - rows_ending * base.overlap_y);
  SlideParts parts;
  std::vector<MiraxLevel> levels;
  long long shift = 0;
  for (std::size_t n = 0; n < sections.size(); ++n) {
    const LevelSection& s = sections[n];
    if (n > 0) shift += s.concat;
    const std::uint64_t step = std::uint64_t{1} << shift;
    const double downsample = static_cast<double>(step);
    const std::uint64_t w = width0 / step, h = height0 / step;
    if (w == 0 || h == 0) break;
    MiraxLevel level;
    level.step = step;
    level.across = (nx + step - 1) / step;
    level.down = (ny + step - 1) / step;
    std::vector<std::pair<std::uint64_t, std::size_t>> order;
    const auto& items = index->levels[n];
    for (std::size_t k = 0; k < items.size(); ++k) {
      const std::uint64_t ix = items[k].image % nx, iy = items[k].image / nx;
      if (iy >= ny || ix % step != 0 || iy % step != 0) {
        return damaged(name, "level " + std::to_string(n) + " lists an image outside its grid");
      }
      order.emplace_back((iy / step) * level.across + ix / step, k);
    }
    std::sort(order.begin(), order.end());
    for (const auto& [tile, k] : order) {
      if (!level.tiles.empty() && level.tiles.back() == tile) {
        return damaged(name, "level " + std::to_string(n) + " lists an image twice");
      }
      const mirax::ImageItem& item = items[k];
      auto range = blob_range(item.file, item.offset, item.length);
      if (!range) return damaged(name, "an image of level " + std::to_string(n) + " lies past the end of its data file");
      const std::uint64_t ix = item.image % nx, iy = item.image / nx;
      const auto& [ox, oy] = origin[(iy / d) * (nx / d) + ix / d];
      const double x0 = ox + static_cast<double>(base.width * (ix % d));
      const double y0 = oy + static_cast<double>(base.height * (iy % d));
      level.tiles.push_back(tile);
      level.ranges.push_back(*range);
      level.rects.push_back({x0 / downsample, y0 / downsample, static_cast<double>(s.width),
                             static_cast<double>(s.height)});
    }
    const bool jpeg = s.format == "JPEG";
    const bool png = s.format == "PNG";
    parts.levels.push_back(Level{{{w, h}, {s.width, s.height}, {level.across, level.down},
                                  jpeg ? TileEncoding::Jpeg : png ? TileEncoding::Tiff : TileEncoding::Bmp},
                                 jpeg ? "image/jpeg" : png ? "image/png" : "image/bmp",
                                 downsample,
                                 jpeg ? "" : "RGB"});
    // Every level is positioned: images overlap and follow the camera.
    std::vector<TileRect>& rects = parts.levels.back().tile_rects;
    rects.assign(static_cast<std::size_t>(level.across * level.down), TileRect{});
    for (std::size_t k = 0; k < level.tiles.size(); ++k) {
      const auto& [rx, ry, rw, rh] = level.rects[k];
      rects[static_cast<std::size_t>(level.tiles[k])] = TileRect{rx, ry, rw, rh};
    }
    level.rects = {};
    levels.push_back(std::move(level));
  }

  // Associated images, as stored.
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    if (blobs[i].key == "positions") continue;
    const auto dims = jpeg_dimensions(blob_bytes[i]);
    if (!dims) continue;
    const std::string key = blobs[i].key == "label"   ? kImages[0].second
                            : blobs[i].key == "macro" ? kImages[1].second
                                                      : kImages[2].second;
    const auto& item = *index->records[record_of[key]];
    parts.associated.push_back(AssociatedImage{
        blobs[i].key, "image/jpeg", *dims,
        TilePlan{{*blob_range(item.file, item.offset, item.length)}, Splice{}}});
  }

  metadata::PropertyMap map;
  for (const text::IniGroup& g : ini.groups) {
    for (const auto& [key, value] : g.entries) {
      if (!key.empty()) map["mirax." + g.name + "." + key] = metadata::clean_text(value);
    }
  }
  if (metadata::usable_positive(base.mpp_x) && metadata::usable_positive(base.mpp_y)) {
    map["kolva.mpp-x"] = metadata::format_double(*base.mpp_x);
    map["kolva.mpp-y"] = metadata::format_double(*base.mpp_y);
  }
  if (const std::string* objective = view.get("GENERAL", "OBJECTIVE_MAGNIFICATION")) {
    std::string_view text = *objective;
    if (text.ends_with('x')) text.remove_suffix(1);
    if (const auto power = text::parse_integer(text); power && *power > 0) {
      map["kolva.objective-power"] = std::to_string(*power);
    }
  }
  parts.properties = metadata::finish_properties(std::move(map), parts.levels, "mirax");
  parts.tiler = std::make_shared<MiraxTiler>(std::move(levels));
  return Opening(std::move(parts));
}

}  // namespace kolva::drivers
