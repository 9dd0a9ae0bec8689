#pragma once

// The byte sources one slide is read from. Source 0 is the file the slide was
// opened with; a driver asks for more by a name relative to that file's folder
// ("_slide_/stack10001/frame_t.ets", "level-1.dcm"), and every range of a tile
// plan names the source it lies in. Where siblings come from is the Siblings
// object the caller gave: a local folder (LocalSiblings), or a remote store's
// listing (the Python binding's, over fsspec).
//
// Drivers open siblings while the slide opens; once the slide is published the
// set never changes, so any number of threads may read through it.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.hpp"
#include "slide/errors.hpp"
#include "std_io/source.hpp"

namespace kolva::slide {

using SourceIndex = std::uint32_t;

// Fetches whole frames by number: the frames of a DICOMweb series, which a
// server hands out one stored frame at a time (WADO-RS), their sizes unknown
// until they have come back. `wanted` pairs an instance (as its FrameSource
// names it) with a frame number (1-based); the answer holds one frame per pair,
// in order. Callable from any thread.
class FrameFetcher {
 public:
  virtual ~FrameFetcher() = default;
  virtual SlideResult<std::vector<Bytes>> fetch(
      std::span<const std::pair<std::uint64_t, std::uint64_t>> wanted) = 0;
};

// `inner` behind a cache of the frames it fetched last, `capacity` bytes at
// most (least recently used first out): a batch sized by fetching its frames
// (tile_nbytes) and then read (read_tiles_into) fetches them once.
std::shared_ptr<FrameFetcher> cached_frames(std::shared_ptr<FrameFetcher> inner,
                                            std::uint64_t capacity);

// A source whose unit is a frame: its bytes are the instance's header (a
// data set in memory that the parser reads like a file), its frames come from
// the fetcher. A range of a tile plan on such a source names a frame: its
// offset is the frame number, its length 0 (unknown), and the read executor
// fetches it whole.
class FrameSource final : public std_io::RangeSource {
 public:
  FrameSource(Bytes header, std::string name, std::shared_ptr<FrameFetcher> fetcher,
              std::uint64_t instance)
      : header_(std::move(header)),
        name_(std::move(name)),
        fetcher_(std::move(fetcher)),
        instance_(instance) {}
  std::uint64_t known_size() const override { return header_.size(); }
  KolvaResult<std::uint64_t> size() override { return header_.size(); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst) override;
  const std::string& name() const override { return name_; }
  bool remote() const override { return true; }
  FrameFetcher& fetcher() const { return *fetcher_; }
  std::uint64_t instance() const { return instance_; }

 private:
  Bytes header_;
  std::string name_;
  std::shared_ptr<FrameFetcher> fetcher_;
  std::uint64_t instance_;
};

// Finds and opens files beside the first one. Names are relative to the first
// file's folder, '/'-separated, never absolute and never with "..".
class Siblings {
 public:
  virtual ~Siblings() = default;
  // The entries of `folder` ("" for the first file's own folder), sorted;
  // MissingFile when there is no such folder.
  virtual SlideResult<std::vector<std::string>> list(const std::string& folder) = 0;
  // Opens `relative`; MissingFile when there is no such file.
  virtual SlideResult<std::shared_ptr<std_io::RangeSource>> open(const std::string& relative) = 0;
  // Opens several files, one answer per name in order. A remote store opens
  // them concurrently, so a slide of many files costs one round trip for all
  // instead of one each; by default they open one after another.
  virtual std::vector<SlideResult<std::shared_ptr<std_io::RangeSource>>> open_many(
      std::span<const std::string> relative);
};

// Siblings in a local directory.
class LocalSiblings final : public Siblings {
 public:
  explicit LocalSiblings(std::string directory) : directory_(std::move(directory)) {}
  // The siblings of the local file `path`.
  static std::shared_ptr<LocalSiblings> of_file(const std::string& path);
  SlideResult<std::vector<std::string>> list(const std::string& folder) override;
  SlideResult<std::shared_ptr<std_io::RangeSource>> open(const std::string& relative) override;

 private:
  std::string directory_;  // "" for the working directory, else ends with '/'
};

class SourceSet {
 public:
  // A set of one source without siblings (bytes in memory, a file object).
  explicit SourceSet(std::shared_ptr<std_io::RangeSource> first,
                     std::shared_ptr<Siblings> siblings = nullptr);

  std::size_t size() const { return sources_.size(); }
  std_io::RangeSource& at(SourceIndex index) const { return *sources_[index].source; }
  std::shared_ptr<std_io::RangeSource> shared(SourceIndex index) const {
    return sources_[index].source;
  }
  // The source's own name (a path or URL), for messages.
  const std::string& name(SourceIndex index = 0) const { return sources_[index].source->name(); }
  // The first file's name without its folder: "slide.vsi".
  std::string file_name() const;
  // Whether a read costs a round trip: the read executor then gathers ranges
  // into one fetch instead of reading them one by one.
  bool remote(SourceIndex index) const { return sources_[index].remote; }
  // The source as a frame source, or null when its unit is a byte.
  const FrameSource* frames(SourceIndex index) const { return sources_[index].frames; }

  // The entries of a folder beside the first file; MissingFile without siblings.
  SlideResult<std::vector<std::string>> list(const std::string& folder) const;
  // Opens a sibling (once: a name opened before gives the same index).
  SlideResult<SourceIndex> open(const std::string& relative);
  // Opens several siblings together (see Siblings::open_many); one answer per
  // name, in order.
  std::vector<SlideResult<SourceIndex>> open_many(std::span<const std::string> relative);

 private:
  SourceIndex add(const std::string& relative, std::shared_ptr<std_io::RangeSource> source);

  struct Entry {
    std::string relative;  // "" for the first file
    std::shared_ptr<std_io::RangeSource> source;
    const FrameSource* frames = nullptr;
    bool remote = false;  // the source's own answer, asked once: a batch asks per tile
  };
  std::vector<Entry> sources_;
  std::shared_ptr<Siblings> siblings_;
};

}  // namespace kolva::slide
