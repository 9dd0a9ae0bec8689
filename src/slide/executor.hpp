#pragma once

// The read executor: every read of tile bytes (read_tile, read_tiles, the
// shard writer, associated images) comes down to "read these ranges of these
// sources". Two ways to do it:
//  * local sources: pread, the ranges spread over the process's worker pool
//    when more than one thread is asked for; a batch's tiles of one range
//    each are taken in file order, those stored back to back in one preadv;
//  * remote sources (a read costs a round trip): all ranges of one source in
//    one read_many, which the remote side answers with concurrent, merged,
//    retried requests;
//  * frame sources (DICOMweb): ranges that name frames by number, fetched
//    whole through the source's frame fetcher, one call for all of a batch.
// Failures come back as the SlideError of the source they happened on.

#include <span>

#include "slide/slide.hpp"

namespace kolva::slide {

// The checks read_ranges makes of `range` before it reads, for a caller that
// sizes a buffer for it first.
SlideResult<Unit> check_read(const SourceSet& sources, const Range& range);

// Reads ranges[i] into dst[i] (exactly ranges[i].length bytes each) with the
// driver's checks: no range past the end of its source, none over 2 GiB.
SlideResult<Unit> read_ranges(const SourceSet& sources, std::span<const Range> ranges,
                              std::span<const std::span<std::uint8_t>> dst, unsigned threads);

// The frames that `ranges` name (every one on a frame source), fetched whole:
// one fetch per frame fetcher.
SlideResult<std::vector<Bytes>> read_frames(const SourceSet& sources,
                                            std::span<const Range> ranges);

// One range of a local source into dst (at least range.length bytes), with
// the same checks: the single-range tile's path, without the batch's set-up.
SlideResult<Unit> read_range(const SourceSet& sources, const Range& range,
                             std::span<std::uint8_t> dst);

// One range of a byte source (local or remote) into `pieces` in turn, which
// hold exactly range.length bytes together, with the same checks: one preadv
// locally, so bytes that go to several places cost one read.
SlideResult<Unit> read_scattered(const SourceSet& sources, const Range& range,
                                 std::span<const std::span<std::uint8_t>> pieces);

}  // namespace kolva::slide
