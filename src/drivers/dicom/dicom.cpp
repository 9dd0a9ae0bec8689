#include "drivers/dicom/dicom.hpp"

#include "drivers/dicom/parser.hpp"
#include "drivers/dicom/series.hpp"

namespace kolva::drivers {

const Family& DicomDriver::family() const {
  static const Family family{"dicom", "dicom", "DICOM whole-slide image"};
  return family;
}

bool DicomDriver::detect(const Probe& probe) const { return dicom::has_dicom_magic(probe.head); }

SlideResult<Opening> DicomDriver::open(SourceSet& sources, const Probe& /*probe*/,
                                       const OpenOptions& options) const {
  auto parts = dicom::open_instances(sources, dicom::series_options(options));
  if (!parts.ok()) return std::move(parts).error();
  return Opening(std::move(parts).value());
}

}  // namespace kolva::drivers
