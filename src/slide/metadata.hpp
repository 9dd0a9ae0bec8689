#pragma once

// Slide properties: pixel size, objective power and the vendor's own keys,
// taken from the directories read while opening. Pure functions, no I/O.
//
// Key names and number formats follow OpenSlide's, so that `kolva.mpp-x`
// reads the same as `openslide.mpp-x`: a few baseline TIFF tags become
// `tiff.<name>`, the vendor's own keys `<vendor>.<name>` (each driver adds
// its own). Numbers are printed like C's "%.17g".

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "slide/slide.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide::metadata {

// Keys sorted, a later value for a key replacing an earlier one.
using PropertyMap = std::map<std::string, std::string>;

// Stored text as valid UTF-8: cut at the first NUL (as TIFF readers do), each
// byte that starts no valid UTF-8 sequence replaced by U+FFFD.
std::string clean_text(std::string_view raw);

// "%.17g" without locale: 0.499 -> "0.499", 0.1 -> "0.10000000000000001".
std::string format_double(double value);

// A number the way OpenSlide reads vendor text: a comma counts as the decimal
// point and the whole text must be the number ("0,25" -> 0.25, "0.5x" ->
// nothing). Non-finite values parse; callers decide what they accept.
std::optional<double> parse_double(std::string_view text);

// The text of ASCII tag `tag`, when the directory has it.
const std::string* ascii_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag);

// A single number of any numeric TIFF type (the first of an array); a
// rational with denominator 0 and a negative or non-finite value count as
// absent, as a TIFF library refuses them.
std::optional<double> number_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag);

// A single signed or unsigned integer tag as decimal text.
std::optional<std::string> integer_tag(const tiff_tools::Ifd& ifd, std::uint16_t tag);

// Whether a parsed number is there, finite and above zero.
bool usable_positive(const std::optional<double>& v);

// `tiff.*` from the baseline tags of a directory (Make, Model, Software,
// DateTime, Artist, HostComputer, Copyright, DocumentName, ImageDescription
// unless `with_description` is false, X/YResolution, X/YPosition,
// ResolutionUnit, which is "inch" when absent).
void add_tiff(const tiff_tools::Ifd& ifd, bool with_description, PropertyMap& out);

// Micrometres per pixel (x, y) from X/YResolution and ResolutionUnit: inch
// when the unit is absent, nothing for unit 1 or an unknown unit, and nothing
// unless both resolutions are finite and above zero.
std::optional<std::pair<double, double>> tiff_mpp(const tiff_tools::Ifd& ifd);

// kolva.level-count and kolva.level[i].{width,height,downsample,tile-width,tile-height}.
void add_levels(const std::vector<Level>& levels, PropertyMap& out);

// `tiff.*` from the first directory, and kolva.comment from its
// ImageDescription, unless `with_description` is false (a vendor keeps XML there).
void add_first_directory(const std::vector<tiff_tools::Ifd>& ifds, bool with_description,
                         PropertyMap& out);

// kolva.mpp-x/-y from the first directory's resolution tags (tiff_mpp).
void add_tiff_mpp(const std::vector<tiff_tools::Ifd>& ifds, PropertyMap& out);

// The finished list, sorted by key: `map`, the levels (add_levels) and
// kolva.vendor.
Properties finish_properties(PropertyMap map, const std::vector<Level>& levels,
                             std::string_view vendor);

}  // namespace kolva::slide::metadata
