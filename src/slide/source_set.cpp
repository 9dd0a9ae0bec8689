#include "slide/source_set.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <system_error>

namespace kolva::slide {
namespace {

// A relative name that stays below the first file's folder.
bool safe_relative(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

SlideError missing(const std::string& what) {
  return SlideError{ErrorKind::MissingFile, "cannot open " + what + ": No such file or directory",
                    KolvaError::IoError{OsError{ENOENT}}};
}

using FrameKey = std::pair<std::uint64_t, std::uint64_t>;  // instance, frame

class CachedFrameFetcher final : public FrameFetcher {
 public:
  CachedFrameFetcher(std::shared_ptr<FrameFetcher> inner, std::uint64_t capacity)
      : inner_(std::move(inner)), capacity_(capacity) {}

  SlideResult<std::vector<Bytes>> fetch(std::span<const FrameKey> wanted) override {
    std::vector<Bytes> frames(wanted.size());
    std::vector<FrameKey> missed;
    std::vector<std::size_t> at;
    {
      const std::lock_guard lock(mutex_);
      for (std::size_t i = 0; i < wanted.size(); ++i) {
        const auto hit = index_.find(wanted[i]);
        if (hit == index_.end()) {
          missed.push_back(wanted[i]);
          at.push_back(i);
          continue;
        }
        order_.splice(order_.begin(), order_, hit->second);
        frames[i] = hit->second->second;
      }
    }
    if (missed.empty()) return frames;
    auto got = inner_->fetch(missed);
    if (!got.ok()) return std::move(got).error();
    if (got->size() != missed.size()) return std::move(got).value();  // the caller refuses it
    const std::lock_guard lock(mutex_);
    for (std::size_t k = 0; k < missed.size(); ++k) {
      keep(missed[k], (*got)[k]);
      frames[at[k]] = std::move((*got)[k]);
    }
    return frames;
  }

 private:
  void keep(const FrameKey& key, const Bytes& frame) {
    if (frame.size() > capacity_ || index_.contains(key)) return;
    while (held_ + frame.size() > capacity_) {
      held_ -= order_.back().second.size();
      index_.erase(order_.back().first);
      order_.pop_back();
    }
    order_.emplace_front(key, frame);
    index_.emplace(key, order_.begin());
    held_ += frame.size();
  }

  std::shared_ptr<FrameFetcher> inner_;
  std::uint64_t capacity_;
  std::mutex mutex_;
  std::list<std::pair<FrameKey, Bytes>> order_;  // most recently used first
  std::map<FrameKey, std::list<std::pair<FrameKey, Bytes>>::iterator> index_;
  std::uint64_t held_ = 0;
};

}  // namespace

std::shared_ptr<FrameFetcher> cached_frames(std::shared_ptr<FrameFetcher> inner,
                                            std::uint64_t capacity) {
  if (capacity == 0) return inner;
  return std::make_shared<CachedFrameFetcher>(std::move(inner), capacity);
}

std::shared_ptr<LocalSiblings> LocalSiblings::of_file(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return std::make_shared<LocalSiblings>(slash == std::string::npos ? std::string()
                                                                     : path.substr(0, slash + 1));
}

SlideResult<std::vector<std::string>> LocalSiblings::list(const std::string& folder) {
  if (!folder.empty() && !safe_relative(folder)) return missing(directory_ + folder);
  const std::string path = directory_ + folder;
  std::error_code ec;
  std::filesystem::directory_iterator it(path.empty() ? "." : path, ec);
  if (ec) return missing(path);
  std::vector<std::string> names;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

SlideResult<std::shared_ptr<std_io::RangeSource>> LocalSiblings::open(const std::string& relative) {
  const std::string path = directory_ + relative;
  if (!safe_relative(relative)) return missing(path);
  auto file = std_io::SharedFileSource::open(path);
  if (!file.ok()) {
    if (file.error().code == ENOENT) return missing(path);
    return errors::cannot_open(path, file.error());
  }
  return std::shared_ptr<std_io::RangeSource>(std::move(file).value());
}

SourceSet::SourceSet(std::shared_ptr<std_io::RangeSource> first,
                     std::shared_ptr<Siblings> siblings)
    : siblings_(std::move(siblings)) {
  add("", std::move(first));
}

KolvaResult<std::uint64_t> FrameSource::read_at(std::uint64_t offset,
                                                std::span<std::uint8_t> dst) {
  if (offset >= header_.size()) return std::uint64_t{0};
  const std::size_t n = std::min<std::size_t>(dst.size(), header_.size() - offset);
  std::memcpy(dst.data(), header_.data() + offset, n);
  return std::uint64_t{n};
}

std::string SourceSet::file_name() const {
  const std::string& n = name(0);
  const std::size_t slash = n.find_last_of('/');
  std::string base = slash == std::string::npos ? n : n.substr(slash + 1);
  // A URL's query or fragment is no part of the name.
  base = base.substr(0, base.find_first_of("?#"));
  return base;
}

SlideResult<std::vector<std::string>> SourceSet::list(const std::string& folder) const {
  if (!siblings_) return missing(folder + " beside " + name(0));
  return siblings_->list(folder);
}

SourceIndex SourceSet::add(const std::string& relative, std::shared_ptr<std_io::RangeSource> source) {
  auto* frames = dynamic_cast<const FrameSource*>(source.get());
  const bool remote = source && source->remote();
  sources_.push_back(Entry{relative, std::move(source), frames, remote});
  return static_cast<SourceIndex>(sources_.size() - 1);
}

SlideResult<SourceIndex> SourceSet::open(const std::string& relative) {
  return std::move(open_many(std::span<const std::string>(&relative, 1)).front());
}

std::vector<SlideResult<SourceIndex>> SourceSet::open_many(std::span<const std::string> relative) {
  std::vector<SlideResult<SourceIndex>> out;
  out.reserve(relative.size());
  std::vector<std::string> wanted;  // not opened before, each once
  for (const std::string& name : relative) {
    auto known = std::find_if(sources_.begin() + 1, sources_.end(),
                              [&](const Entry& e) { return e.relative == name; });
    if (known != sources_.end()) {
      out.emplace_back(static_cast<SourceIndex>(known - sources_.begin()));
    } else if (!siblings_) {
      out.emplace_back(missing(name + " beside " + this->name(0)));
    } else {
      if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) wanted.push_back(name);
      out.emplace_back(SourceIndex{0});  // filled in below
    }
  }
  if (wanted.empty()) return out;
  auto opened = siblings_->open_many(wanted);
  std::vector<SlideResult<SourceIndex>> added;
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    if (k < opened.size() && opened[k].ok()) {
      added.emplace_back(add(wanted[k], std::move(opened[k]).value()));
    } else {
      added.emplace_back(k < opened.size() ? std::move(opened[k]).error() : missing(wanted[k]));
    }
  }
  for (std::size_t i = 0; i < relative.size(); ++i) {
    const auto at = std::find(wanted.begin(), wanted.end(), relative[i]);
    if (at != wanted.end()) out[i] = added[static_cast<std::size_t>(at - wanted.begin())];
  }
  return out;
}

std::vector<SlideResult<std::shared_ptr<std_io::RangeSource>>> Siblings::open_many(
    std::span<const std::string> relative) {
  std::vector<SlideResult<std::shared_ptr<std_io::RangeSource>>> out;
  out.reserve(relative.size());
  for (const std::string& name : relative) out.push_back(open(name));
  return out;
}

}  // namespace kolva::slide
