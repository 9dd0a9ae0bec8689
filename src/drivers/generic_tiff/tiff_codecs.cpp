#include "drivers/generic_tiff/tiff_codecs.hpp"

#include <algorithm>
#include <memory>

#include "drivers/generic_tiff/format/generic_tiff/generic_tiff.hpp"
#include "slide/describe.hpp"
#include "slide/jpeg_join.hpp"
#include "slide/tiff_wrap.hpp"

namespace kolva::drivers {

using namespace slide;

namespace {

using tiff_tools::Ifd;

enum class TileKind : std::uint8_t { AsStored, JpegHead, Wrapped };

struct CodecLevel {
  TileKind kind;
  Bytes head;         // JpegHead: SOI, maybe the Adobe marker, the tables
  TiffLayout layout;  // Wrapped: one tile as one strip
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint64_t> counts;
  std::uint64_t across;
};

bool wrapped_codec(std::uint64_t code) {
  return code == 1 || code == 5 || code == 8 || code == 32946 || code == 32773 || code == 50000;
}

TileEncoding encoding_of(std::uint64_t code) {
  if (code == 7) return TileEncoding::Jpeg;
  if (code == 34712 || (code >= 33003 && code <= 33005)) return TileEncoding::Jpeg2000;
  // WebP, JPEG XL, PNG and JPEG XR have no encoding of their own in the core's
  // level description; the level's media type names them.
  return TileEncoding::Tiff;
}

Bytes jpeg_head(const Ifd& ifd) {
  const auto* data = ifd.get(347);
  const auto* tables = data ? data->u8vec() : nullptr;
  return jpeg_stream_head(tables ? ByteSpan(*tables) : ByteSpan(), ifd.scalar(262) == 2);
}

}  // namespace

std::string_view tile_media_type(std::uint64_t code) {
  if (code == 7) return "image/jpeg";
  if (code == 34712 || (code >= 33003 && code <= 33005)) return "image/jp2";
  if (code == 50001) return "image/webp";
  if (code == 50002 || code == 52546) return "image/jxl";
  if (code == 34933) return "image/png";
  if (code == 34934) return "image/jxr";
  if (wrapped_codec(code)) return "image/tiff";
  return {};
}

// Plans tiles of the levels chosen; bounds are checked by the Slide.
class CodecTiler final : public Tiler {
 public:
  explicit CodecTiler(std::shared_ptr<std::vector<CodecLevel>> levels)
      : levels_(std::move(levels)) {}

  SlideResult<TilePlan> plan(std::uint64_t level, std::uint64_t x,
                             std::uint64_t y) const override {
    if (level >= levels_->size()) return errors::level_not_found(level, levels_->size());
    const CodecLevel& l = (*levels_)[level];
    const auto index = format::generic_tiff::tile_index(x, y, l.across);
    if (!index || *index >= l.offsets.size() || *index >= l.counts.size() ||
        l.counts[*index] == 0) {
      return errors::tile_not_stored(level, x, y);
    }
    RangeList ranges{Range{l.offsets[*index], l.counts[*index]}};
    switch (l.kind) {
      case TileKind::AsStored: return TilePlan{std::move(ranges), Splice{}};
      case TileKind::JpegHead:
        return TilePlan{std::move(ranges), Splice{ByteSpan(l.head), {}, 2}};
      case TileKind::Wrapped: break;
    }
    const std::uint64_t length[1] = {l.counts[*index]};
    auto header = tiff_header(l.layout, length);
    if (!header) {
      return SlideError{ErrorKind::Corrupt,
                        "tile (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                            std::to_string(level) + " is too large to wrap in a TIFF",
                        std::nullopt};
    }
    return TilePlan{std::move(ranges), Splice{{}, std::move(*header), 0}};
  }

 private:
  std::shared_ptr<std::vector<CodecLevel>> levels_;
};

Result<CodecPyramid, std::string> plan_tiff_pyramid(const std::vector<Ifd>& ifds,
                                                    ByteOrder order) {
  auto is_tiled = [](const Ifd& ifd) { return ifd.get(322) != nullptr && ifd.get(323) != nullptr; };
  if (ifds.empty() || !is_tiled(ifds[0])) return describe_refusal(ifds);
  std::vector<const Ifd*> chosen{&ifds[0]};
  for (std::size_t i = 1; i < ifds.size(); ++i) {
    const std::uint64_t subfile = ifds[i].scalar(254).value_or(0);
    if (is_tiled(ifds[i]) && (subfile & 1) != 0 && (subfile & 4) == 0) chosen.push_back(&ifds[i]);
  }
  std::stable_sort(chosen.begin(), chosen.end(), [](const Ifd* a, const Ifd* b) {
    return a->scalar(256).value_or(0) > b->scalar(256).value_or(0);
  });
  return plan_tiff_levels(chosen, order);
}

Result<CodecPyramid, std::string> plan_tiff_levels(std::span<const Ifd* const> chosen,
                                                   ByteOrder order) {
  auto levels = std::make_shared<std::vector<CodecLevel>>();
  CodecPyramid pyramid;
  for (std::size_t n = 0; n < chosen.size(); ++n) {
    const Ifd& ifd = *chosen[n];
    const std::string which = "level " + std::to_string(n);
    const auto width = ifd.scalar(256);
    const auto height = ifd.scalar(257);
    const auto tile_width = ifd.scalar(322);
    const auto tile_height = ifd.scalar(323);
    if (!width || !height || !tile_width || !tile_height || *width == 0 || *height == 0 ||
        *tile_width == 0 || *tile_height == 0) {
      return "tiled TIFF whose " + which + " has no usable image or tile size";
    }
    // Old libtiff pictures keep a tiled image's tables under the strip tags.
    const auto* offsets = ifd.get(324) ? ifd.get(324) : ifd.get(273);
    const auto* counts = ifd.get(325) ? ifd.get(325) : ifd.get(279);
    auto offset_values = offsets ? offsets->to_u64vec() : std::nullopt;
    auto count_values = counts ? counts->to_u64vec() : std::nullopt;
    if (!offset_values || !count_values) {
      return "tiled TIFF whose " + which + " has no usable tile offsets or byte counts";
    }
    const std::uint64_t code = ifd.scalar(259).value_or(1);
    const std::string_view media = tile_media_type(code);
    if (media.empty()) {
      return std::string("tiled TIFF whose tiles are ") + compression_name(code) +
             "-compressed (compression " + std::to_string(code) +
             "), which kolva cannot hand out as a complete image";
    }
    CodecLevel level{TileKind::AsStored, {}, {}, std::move(*offset_values),
                     std::move(*count_values),
                     format::generic_tiff::ceil_div(*width, *tile_width)};
    if (code == 7) {
      level.head = jpeg_head(ifd);
      if (!level.head.empty()) level.kind = TileKind::JpegHead;
    } else if (media == "image/tiff") {
      auto layout = layout_of(ifd, order, *tile_width, *tile_height, *tile_height);
      if (!layout.ok()) return "tiled TIFF with " + layout.error();
      level.kind = TileKind::Wrapped;
      level.layout = std::move(layout).value();
    }
    const std::uint64_t down = format::generic_tiff::ceil_div(*height, *tile_height);
    pyramid.levels.push_back(Level{LevelInfo{{*width, *height}, {*tile_width, *tile_height},
                                             {level.across, down}, encoding_of(code)},
                                   std::string(media), 1.0});
    levels->push_back(std::move(level));
  }

  pyramid.tiler = std::make_shared<CodecTiler>(std::move(levels));
  return pyramid;
}

}  // namespace kolva::drivers
