#pragma once

// Slides whose tiles the specified format decoders plan (Aperio, Philips,
// tiled TIFF with shared JPEG tables, NDPI, Olympus ETS): their levels and a
// Tiler over the decoder, every range in source `source`.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dynamic_decoder/dynamic_decoder.hpp"
#include "slide/slide.hpp"

namespace kolva::drivers {

class DecoderTiler final : public slide::Tiler {
 public:
  // `name`: the tiles' file; `first_name`: the slide's first file, named when a
  // stored tile fails to assemble (`name` when empty).
  DecoderTiler(dynamic_decoder::DynamicDecoder decoder, std::string name,
               slide::SourceIndex source = 0, std::string first_name = {})
      : decoder_(std::move(decoder)),
        name_(std::move(name)),
        first_name_(first_name.empty() ? name_ : std::move(first_name)),
        source_(source) {
    tabulate();
  }
  // The tables borrow from the decoder this tiler holds.
  DecoderTiler(const DecoderTiler&) = delete;
  DecoderTiler& operator=(const DecoderTiler&) = delete;

  slide::SlideResult<slide::TilePlan> plan(std::uint64_t level, std::uint64_t x,
                                           std::uint64_t y) const override;
  const dynamic_decoder::DynamicDecoder& decoder() const { return decoder_; }

 private:
  // A level whose tiles are single stored ranges, each planned from this table
  // alone: (offset, byte count) side by side, and the splice every tile shares.
  struct StoredLevel {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> tiles;
    std::uint64_t across = 1;
    ByteSpan prefix;
    std::uint64_t skip = 0;
  };
  void tabulate();
  // Plans everything else: through the decoder's own tile read.
  slide::SlideResult<slide::TilePlan> plan_request(std::uint64_t level, std::uint64_t x,
                                                   std::uint64_t y) const;

  dynamic_decoder::DynamicDecoder decoder_;
  std::string name_;  // of the source, for messages
  std::string first_name_;
  slide::SourceIndex source_;
  std::vector<std::optional<StoredLevel>> stored_;  // by level
};

// The decoder's levels, their downsamples the mean of the width and height
// ratios to level 0; Unsupported (naming `name`) for a level in an encoding
// kolva cannot hand out, or for no level at all.
slide::SlideResult<std::vector<slide::Level>> decoder_levels(
    const dynamic_decoder::DynamicDecoder& decoder, const std::string& name);

// Sets each level's downsample to the mean of its width and height ratios to
// level 0.
void mean_downsamples(std::vector<slide::Level>& levels);

}  // namespace kolva::drivers
