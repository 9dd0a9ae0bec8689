#pragma once

// Philips TIFF: a TIFF whose Software says "Philips". Levels are the tiled
// JPEG directories, padded to whole tiles (so downsamples come from the pixel
// spacings in the DPUfsImport XML of the first ImageDescription); label and
// macro are stripped directories or base64 JPEGs inside that XML.
// Properties: `philips.<name>` from the XML's attributes.

#include "drivers/driver.hpp"

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

}  // namespace kolva::drivers
