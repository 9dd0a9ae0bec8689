#include "dynamic_decoder/dynamic_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/overloaded.hpp"

namespace kolva::dynamic_decoder {

namespace {

char lowered(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A lower-case needle looked for in texts lower-cased without a copy. One that
// starts with two letters (every vendor name) is looked for sixteen places at
// a time (in_by_pairs); others by Horspool's search, a needle's length at a
// time. Shifts are capped at 255 (smaller shifts only look at more places).
class LoweredNeedle {
 public:
  explicit LoweredNeedle(std::string_view needle)
      : needle_(needle), by_pairs_(needle.size() >= 2 && letter(needle[0]) && letter(needle[1])) {
    if (by_pairs_) return;
    const std::size_t m = needle.size();
    skip_.fill(static_cast<std::uint8_t>(std::min<std::size_t>(m, 255)));
    for (std::size_t i = 0; i + 1 < m; ++i) {
      const auto shift = static_cast<std::uint8_t>(std::min<std::size_t>(m - 1 - i, 255));
      const char c = needle[i];
      skip_[static_cast<unsigned char>(c)] = shift;
      if (c >= 'a' && c <= 'z') skip_[static_cast<unsigned char>(c - 'a' + 'A')] = shift;
    }
  }

  bool in(std::string_view text) const {
    const std::size_t m = needle_.size();
    if (m == 0) return true;
    if (by_pairs_) return in_by_pairs(text);
    for (std::size_t at = 0; at + m <= text.size();
         at += skip_[static_cast<unsigned char>(text[at + m - 1])]) {
      std::size_t k = m;
      while (k > 0 && lowered(text[at + k - 1]) == needle_[k - 1]) --k;
      if (k == 0) return true;
    }
    return false;
  }

 private:
  static bool letter(char c) { return c >= 'a' && c <= 'z'; }

  bool matches_at(std::string_view text, std::size_t at) const {
    for (std::size_t k = 0; k < needle_.size(); ++k) {
      if (lowered(text[at + k]) != needle_[k]) return false;
    }
    return true;
  }

  // The places where the needle's first two letters stand, in either case,
  // are found sixteen at a time (a letter's two cases differ in bit 0x20
  // alone), and only those are compared in full.
  bool in_by_pairs(std::string_view text) const {
    using Lanes = unsigned char __attribute__((vector_size(16)));
    const std::size_t m = needle_.size();
    if (text.size() < m) return false;
    const std::size_t last = text.size() - m;  // the last place the needle may start
    Lanes first{};
    Lanes second{};
    first += static_cast<unsigned char>(needle_[0]);
    second += static_cast<unsigned char>(needle_[1]);
    std::size_t at = 0;
    for (; at + 17 <= text.size() && at + 15 <= last; at += 16) {
      Lanes here;
      Lanes next;
      std::memcpy(&here, text.data() + at, 16);
      std::memcpy(&next, text.data() + at + 1, 16);
      const auto hit = ((here | 0x20) == first) & ((next | 0x20) == second);
      std::uint64_t halves[2];
      std::memcpy(halves, &hit, 16);
      if ((halves[0] | halves[1]) == 0) continue;
      for (std::size_t k = 0; k < 16; ++k) {
        if (hit[k] != 0 && matches_at(text, at + k)) return true;
      }
    }
    for (; at <= last; ++at) {
      if (matches_at(text, at)) return true;
    }
    return false;
  }

  std::string_view needle_;
  bool by_pairs_;
  std::array<std::uint8_t, 256> skip_;
};

}  // namespace

// Whether the ASCII value of `tag` in some directory contains `needle` once
// lower-cased. Only ASCII values count; the same text stored as bytes does not.
bool any_ascii_contains(const std::vector<tiff_tools::Ifd>& ifds, std::uint16_t tag,
                        std::string_view needle, const tiff_tools::Ifd** found) {
  const LoweredNeedle lowered_needle(needle);
  for (const auto& ifd : ifds) {
    const auto* data = ifd.get(tag);
    const std::string* text = data ? data->ascii() : nullptr;
    if (!text) continue;
    if (lowered_needle.in(*text)) {
      if (found) *found = &ifd;
      return true;
    }
  }
  return false;
}

TiffFamily classify_tiff(const std::vector<tiff_tools::Ifd>& ifds) {
  if (any_ascii_contains(ifds, 271, "hamamatsu", nullptr)) return TiffFamily::Hamamatsu;
  if (any_ascii_contains(ifds, 270, "aperio", nullptr)) return TiffFamily::Aperio;
  if (any_ascii_contains(ifds, 305, "philips", nullptr)) return TiffFamily::Philips;
  return TiffFamily::Generic;
}

KolvaResult<DynamicDecoder> FromTiffIfd::map(std::vector<tiff_tools::Ifd> ifds) {
  switch (classify_tiff(ifds)) {
    case TiffFamily::Hamamatsu: return KolvaError::UnexpectedStep{};
    case TiffFamily::Aperio: {
      KOLVA_TRY(auto decoder, aperio::AperioDecoder::with_ifds(ifds));
      return DynamicDecoder(std::move(decoder));
    }
    case TiffFamily::Philips: {
      KOLVA_TRY(auto decoder, philips::PhilipsDecoder::with_ifds(ifds));
      return DynamicDecoder(std::move(decoder));
    }
    case TiffFamily::Generic: break;
  }
  KOLVA_TRY(auto decoder, generic_tiff::GenericTiffDecoder::with_ifds(ifds));
  return DynamicDecoder(std::move(decoder));
}

KolvaResult<DynamicDecoder> FromNdpi::map(ndpi::NdpiDecoder decoder) {
  return DynamicDecoder(std::move(decoder));
}

KolvaResult<DynamicDecoder> FromOlympus::map(olympus::EtsDecoder decoder) {
  return DynamicDecoder(std::move(decoder));
}

KolvaResult<TileRequest> DynamicDecoder::read_tile(std::uint64_t level, std::uint64_t x,
                                                   std::uint64_t y) const {
  return std::visit(
      [&](const auto& d) -> KolvaResult<TileRequest> {
        KOLVA_TRY(auto request, d.read_tile(level, x, y));
        if constexpr (std::is_same_v<std::decay_t<decltype(d)>, philips::PhilipsDecoder>) {
          return TileRequest(PhilipsTile{std::move(request)});
        } else {
          return TileRequest(std::move(request));
        }
      },
      v_);
}

std::optional<LevelInfo> DynamicDecoder::get_level(std::uint64_t level) const {
  return std::visit([&](const auto& d) { return d.get_level(level); }, v_);
}

std::uint64_t DynamicDecoder::level_count() const {
  return std::visit([](const auto& d) { return d.level_count(); }, v_);
}

std::optional<StoredTiles> DynamicDecoder::stored_tiles(std::uint64_t level) const {
  // Each list as read_tile looks tiles up in it.
  auto table = [&](const auto& levels, auto tables) -> std::optional<StoredTiles> {
    if (level >= levels.size()) return std::nullopt;
    const auto& l = levels[level];
    return StoredTiles{l.tile_offsets, l.tile_byte_counts, l.tiles_across, tables(l)};
  };
  auto shared = [](const auto& l) -> std::optional<ByteSpan> { return ByteSpan(l.jpeg_tables); };
  return std::visit(
      Overloaded{
          [&](const aperio::AperioDecoder& d) {
            return table(d.levels(), [](const aperio::AperioLevel& l) -> std::optional<ByteSpan> {
              if (l.jpeg_tables) return ByteSpan(*l.jpeg_tables);
              return std::nullopt;
            });
          },
          [&](const philips::PhilipsDecoder& d) { return table(d.levels(), shared); },
          [&](const generic_tiff::GenericTiffDecoder& d) { return table(d.levels(), shared); },
          [](const ndpi::NdpiDecoder&) -> std::optional<StoredTiles> { return std::nullopt; },
          [](const olympus::EtsDecoder&) -> std::optional<StoredTiles> { return std::nullopt; },
      },
      v_);
}

const char* DynamicDecoder::format_name() const {
  return std::visit(Overloaded{
                        [](const aperio::AperioDecoder&) { return "Aperio"; },
                        [](const ndpi::NdpiDecoder&) { return "Hamamatsu NDPI"; },
                        [](const philips::PhilipsDecoder&) { return "Philips"; },
                        [](const generic_tiff::GenericTiffDecoder&) { return "Generic TIFF"; },
                        [](const olympus::EtsDecoder&) { return "Olympus ETS"; },
                    },
                    v_);
}

std::pair<DynamicReadTile, ReadInstruction> DynamicReadTile::dispatch(TileRequest request) {
  auto start = []<class C>(typename C::Input input) -> std::pair<DynamicReadTile, ReadInstruction> {
    auto [consumer, first] = C::dispatch(std::move(input));
    return {DynamicReadTile(std::move(consumer)), first};
  };
  return std::visit(
      Overloaded{
          [&](generic_tiff::ReadTile&& r) { return start.operator()<generic_tiff::ReadTile>(r); },
          [&](aperio::ReadTile&& r) { return start.operator()<aperio::ReadTile>(r); },
          [&](ndpi::TilePlan&& r) { return start.operator()<ndpi::NdpiReadTile>(std::move(r)); },
          [&](PhilipsTile&& r) -> std::pair<DynamicReadTile, ReadInstruction> {
            auto [consumer, first] = generic_tiff::ReadTile::dispatch(r.inner);
            return {DynamicReadTile(PhilipsTile{consumer}), first};
          },
          [&](olympus::EtsTile&& r) { return start.operator()<olympus::EtsReadTile>(r); },
      },
      std::move(request));
}

std::optional<std_io::DirectRead> DynamicReadTile::direct(std::optional<ByteSpan> jpeg_tables,
                                                          std::uint64_t offset,
                                                          std::uint64_t length) {
  if (!jpeg_tables) return std_io::DirectRead{offset, length, {}, 0};
  // The tables without their EOI, then the tile without its SOI; tables too
  // short to cut take the consumer's path, which reports them.
  if (jpeg_tables->size() < 2) return std::nullopt;
  return std_io::DirectRead{offset, length, jpeg_tables->first(jpeg_tables->size() - 2), 2};
}

std::optional<std_io::DirectRead> DynamicReadTile::direct(const TileRequest& request) {
  return std::visit(
      Overloaded{
          [&](const generic_tiff::ReadTile& r) -> std::optional<std_io::DirectRead> {
            return direct(r.jpeg_tables(), r.offset(), r.length());
          },
          [&](const PhilipsTile& r) -> std::optional<std_io::DirectRead> {
            return direct(r.inner.jpeg_tables(), r.inner.offset(), r.inner.length());
          },
          [&](const aperio::ReadTile& r) -> std::optional<std_io::DirectRead> {
            return direct(r.jpeg_tables(), r.offset(), r.length());
          },
          [&](const ndpi::TilePlan&) -> std::optional<std_io::DirectRead> {
            return std::nullopt;  // assembled from its pieces, restart markers renumbered
          },
          [&](const olympus::EtsTile& r) -> std::optional<std_io::DirectRead> {
            return std_io::DirectRead{r.offset, r.length, {}, 0};
          },
      },
      request);
}

namespace {
constexpr std::uint8_t kEoi[] = {0xFF, 0xD9};
}  // namespace

std::optional<std_io::AssembledRead> DynamicReadTile::assembled(const TileRequest& request) {
  const auto* plan = std::get_if<ndpi::TilePlan>(&request);
  if (plan == nullptr || plan->strips.empty()) return std::nullopt;
  std_io::AssembledRead out{plan->header, {}, kEoi};
  out.ranges.reserve(plan->strips.size());
  for (const ndpi::ReadTileStrip& strip : plan->strips) {
    if (!ndpi::strip_is_whole(strip)) return std::nullopt;
    out.ranges.emplace_back(strip.offset, strip.length);
  }
  return out;
}

KolvaResult<Unit> DynamicReadTile::finish_assembled(const TileRequest& request,
                                                    std::span<std::uint8_t> body) {
  const auto* plan = std::get_if<ndpi::TilePlan>(&request);
  if (plan == nullptr || !ndpi::renumber_restart_markers(plan->strips, body)) {
    return KolvaError::Panic{"assembled tile without its NDPI pieces"};
  }
  return Unit{};
}

KolvaResult<ReadInstruction> DynamicReadTile::step(ByteSpan bytes) {
  // NDPI tiles take one read per piece; every other tile is one ReadAndReceive.
  if (auto* tile = std::get_if<ndpi::NdpiReadTile>(&v_)) return tile->step(bytes);
  return KolvaError::UnexpectedStep{};
}

KolvaResult<Bytes> DynamicReadTile::receive(ByteSpan bytes) && {
  return std::visit(
      [&](auto&& c) -> KolvaResult<Bytes> {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, PhilipsTile>) {
          return std::move(c.inner).receive(bytes);
        } else {
          return std::move(c).receive(bytes);
        }
      },
      std::move(v_));
}

}  // namespace kolva::dynamic_decoder
