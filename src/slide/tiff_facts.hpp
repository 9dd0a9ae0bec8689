#pragma once

// What a TIFF directory's tags say about the images of a slide that reads it:
// the colour of the stored samples (Photometric, and the compression codes
// that fix it) and the ICC profile (InterColorProfile, tag 34675).

#include <optional>
#include <string>
#include <vector>

#include "slide/slide.hpp"
#include "tiff_tools/data/data.hpp"

namespace kolva::slide {

// The photometric interpretation (Level::photometric) of tiles of `ifd`.
std::string tiff_photometric(const tiff_tools::Ifd& ifd);

// The ICC profile stored with `ifd`; empty when there is none (or it is too
// short to be one).
Bytes tiff_icc_profile(const tiff_tools::Ifd& ifd);

// Fills photometric and ICC facts of the levels and associated images from
// the directory of the same size (the first such one); a level with no
// profile of its own takes the first directory's.
void add_tiff_facts(std::vector<Level>& levels, std::vector<AssociatedImage>& associated,
                    const std::vector<tiff_tools::Ifd>& ifds);

// The hash input of a TIFF slide: the tiles (or strips) of the directory of
// the smallest level (the first directory of its size) as its offset and
// byte-count tables list them, then the text of ImageDescription, Make, Model,
// Software, DateTime, Artist, HostComputer, Copyright and DocumentName of the
// first directory, each as stored up to its first NUL. None when no directory
// has the smallest level's size or its tables disagree.
std::optional<HashInput> tiff_hash_input(const std::vector<Level>& levels,
                                         const std::vector<tiff_tools::Ifd>& ifds);

// The same for a pyramid the driver chose itself (one plane of several, one
// image of a collection): the tiles of `smallest`, the directory of its
// smallest level, and the text tags of `first`, the file's first directory.
std::optional<HashInput> tiff_hash_input(const tiff_tools::Ifd& smallest,
                                         const tiff_tools::Ifd& first);
// The tags of the offset and byte-count tables tiff_hash_input hashes of `smallest`.
std::pair<std::uint16_t, std::uint16_t> hashed_table_tags(const tiff_tools::Ifd& smallest);
// tiff_hash_input of those tables' values, wherever they were read from.
std::optional<HashInput> tiff_hash_input(const tiff_tools::Data* offsets,
                                         const tiff_tools::Data* counts,
                                         const tiff_tools::Ifd& first);

}  // namespace kolva::slide
