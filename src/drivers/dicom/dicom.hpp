#pragma once

// DICOM whole-slide images (VL Whole Slide Microscopy Image Storage): a series
// of instance files, one per pyramid level (or several: concatenations, optical
// paths, focal planes), plus label, overview and thumbnail instances. The file
// opened is one instance; the rest of its series is found among the files
// beside it. Parsing and the series model are in parser.* and series.*.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class DicomDriver final : public Driver {
 public:
  const Family& family() const override;
  // "DICM" after the 128-byte preamble.
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
