#pragma once

// Slide properties: pixel size, objective power and the vendor's own keys,
// taken from the directories read while opening. Pure functions, no I/O.
//
// Key names and number formats follow OpenSlide's, so that `kolva.mpp-x`
// reads the same as `openslide.mpp-x`: Aperio keys become `aperio.<key>`,
// the Philips XML `philips.<name>`, NDPI tags `hamamatsu.<name>`, and a few
// baseline TIFF tags `tiff.<name>`. Numbers are printed like C's "%.17g".

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

// `aperio.<key>` for every `key = value` field after the first `|`-separated
// field of an Aperio ImageDescription (keys and values trimmed, the last of a
// repeated key wins), and kolva.mpp-x/-y from MPP, kolva.objective-power from
// AppMag.
void add_aperio(std::string_view description, PropertyMap& out);

// `philips.<name>` for the attributes of the DPUfsImport root and of its WSI
// image (arrays of objects as `name[i].child`), kolva.mpp-x/-y from the WSI's
// DICOM_PIXEL_SPACING (millimetres, row first) and kolva.objective-power from
// `levels=` in DICOM_DERIVATION_DESCRIPTION. Malformed XML adds nothing.
void add_philips(std::string_view xml, PropertyMap& out);

// The downsample of each pyramid level of a Philips slide from the pixel
// spacing of its pixel-data representations in the XML (level 0's spacing over
// level i's, the mean of both axes, rounded to a whole number as the scanner
// halves each level); empty when the XML does not give them all. Philips pads
// each level to whole tiles, so level sizes do not give the downsample.
std::vector<double> philips_downsamples(std::string_view xml);

// `hamamatsu.*` from an NDPI directory: SourceLens (65421), the offsets from
// the slide centre (65422/65423), Reference (65427) and the `key=value` lines
// of 65449; kolva.objective-power from SourceLens.
void add_hamamatsu(const tiff_tools::Ifd& ifd, PropertyMap& out);

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
// ImageDescription, unless `with_description` is false (Philips keeps XML there).
void add_first_directory(const std::vector<tiff_tools::Ifd>& ifds, bool with_description,
                         PropertyMap& out);

// kolva.mpp-x/-y from the first directory's resolution tags (tiff_mpp).
void add_tiff_mpp(const std::vector<tiff_tools::Ifd>& ifds, PropertyMap& out);

// The finished list, sorted by key: `map`, the levels (add_levels) and
// kolva.vendor.
Properties finish_properties(PropertyMap map, const std::vector<Level>& levels,
                             std::string_view vendor);

}  // namespace kolva::slide::metadata
