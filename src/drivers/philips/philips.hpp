#pragma once

// Philips TIFF: a TIFF whose Software says "Philips". Levels are the tiled
// JPEG directories, padded to whole tiles (so downsamples come from the pixel
// spacings in the DPUfsImport XML of the first ImageDescription); label and
// macro are stripped directories or base64 JPEGs inside that XML.
// Properties: `philips.<name>` from the XML's attributes.

#include <string_view>
#include <utility>

#include "drivers/driver.hpp"
#include "slide/metadata.hpp"

namespace kolva::drivers {

class PhilipsDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

slide::Properties philips_properties(const std::vector<tiff_tools::Ifd>& ifds,
                                     const std::vector<slide::Level>& levels);

// `philips.<name>` for the attributes of the DPUfsImport root and of its WSI
// image (arrays of objects as `name[i].child`), kolva.mpp-x/-y from the WSI's
// DICOM_PIXEL_SPACING (millimetres, row first) and kolva.objective-power from
// `levels=` in DICOM_DERIVATION_DESCRIPTION. Malformed XML adds nothing.
void add_philips(std::string_view xml, slide::metadata::PropertyMap& out);

// The downsample of each pyramid level from the pixel spacing of its
// pixel-data representations in the XML (level 0's spacing over level i's,
// the mean of both axes, rounded to a whole number as the scanner halves each
// level); empty when the XML does not give them all.
std::vector<double> philips_downsamples(std::string_view xml);

// "label" and "macro": stripped directories whose description starts so, else
// the base64 JPEGs of the XML.
std::vector<slide::AssociatedImage> philips_images(const std::vector<tiff_tools::Ifd>& ifds,
                                                   ByteOrder order);

// The images embedded as base64 JPEG in a DPUfsImport description: (name,
// JPEG bytes) for LABELIMAGE -> "label" and MACROIMAGE -> "macro".
std::vector<std::pair<std::string, Bytes>> philips_xml_images(const std::string& xml);

}  // namespace kolva::drivers
