#pragma once

// Zeiss CZI (ZISRAW): one file of segments (format.hpp). Every sub-block of
// the directory is one stored image at its own position in level-0 pixels,
// overlapping its neighbours: a level is the sub-blocks of one downsample
// (size on level 0 over stored size) and is positioned, each tile carrying its
// rectangle; the tile grid ranks the sub-blocks' distinct positions, so a
// tile lies near its cell. Scenes (S) are series; channels (C), focal planes
// (Z) and time points (T) are planes; of other dimensions (B, H, I, R, V) the
// first index is served. JPEG and JPEG XR sub-blocks go out as stored
// (image/jpeg, image/jxr); uncompressed, zstd0 and zstd1 ones as an
// uncompressed TIFF (image/tiff, lossless: Zstd decompressed, hi-lo bytes
// joined, blue-first colour put in RGB order; pixels.hpp). Opening reads the
// header, the directory and the metadata XML, then the headers of the served
// plane's sub-blocks in one batch. Associated: label and macro (the
// `Label` and `SlidePreview` attachments, each an embedded CZI of one
// sub-block) and thumbnail (a `Thumbnail` JPEG). Properties: `czi.<path>` for
// the metadata's Information, Scaling, DisplaySetting and AttachmentInfos
// (elements with an Id keyed by it), pixel size, objective power, barcode.

#include "drivers/driver.hpp"

namespace kolva::drivers {

class CziDriver final : public Driver {
 public:
  const Family& family() const override;
  bool detect(const Probe& probe) const override;
  SlideResult<Opening> open(SourceSet& sources, const Probe& probe,
                            const OpenOptions& options) const override;
};

}  // namespace kolva::drivers
