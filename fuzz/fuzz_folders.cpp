// Slides that are an INI file beside their data files (Hamamatsu VMS/VMU,
// MIRAX): the INI reader over the whole input, then the input split into
// files ("\n--FILE--\n" between them; each but the first starts with its
// relative name and a newline), the first opened as "slide.vms" or, when it
// starts with '[G' (after a byte-order mark), as "slide.mrxs" with its folder "slide/", the others
// served as its siblings; every tile and associated image of what opened is
// read. Hostile files must end in a SlideError: no crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "slide/slide.hpp"
#include "text/ini.hpp"

namespace {

using namespace kolva;

class MemorySiblings final : public slide::Siblings {
 public:
  std::map<std::string, Bytes> files;
  slide::SlideResult<std::vector<std::string>> list(const std::string&) override {
    return slide::SlideError{slide::ErrorKind::MissingFile, "no listing", std::nullopt};
  }
  slide::SlideResult<std::shared_ptr<std_io::RangeSource>> open(const std::string& name) override {
    auto it = files.find(name);
    if (it == files.end()) {
      return slide::SlideError{slide::ErrorKind::MissingFile, "missing " + name, std::nullopt};
    }
    return std::shared_ptr<std_io::RangeSource>(
        std::make_shared<std_io::SharedMemorySource>(it->second, name));
  }
};

constexpr std::uint64_t kMaxTiles = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const text::Ini ini = text::parse_ini(text);
  for (const auto& group : ini.groups) {
    for (const auto& [key, value] : group.entries) (void)text::parse_integer(value);
  }

  static constexpr std::string_view kSeparator = "\n--FILE--\n";
  auto siblings = std::make_shared<MemorySiblings>();
  std::size_t end = text.find(kSeparator);
  const std::string_view first = text.substr(0, end);
  const bool mirax = first.starts_with("[G") || first.starts_with("\xEF\xBB\xBF[G");
  while (end != std::string_view::npos) {
    const std::size_t start = end + kSeparator.size();
    end = text.find(kSeparator, start);
    std::string_view part = text.substr(start, end == std::string_view::npos ? end : end - start);
    const std::size_t newline = part.find('\n');
    if (newline == std::string_view::npos) continue;
    const std::string_view body = part.substr(newline + 1);
    siblings->files[std::string(part.substr(0, newline))] = Bytes(body.begin(), body.end());
  }
  Bytes main(first.begin(), first.end());
  if (mirax) {
    siblings->files["slide/Slidedat.ini"] = main;
    main.clear();
  }
  auto source = std::make_shared<std_io::SharedMemorySource>(std::move(main),
                                                              mirax ? "slide.mrxs" : "slide.vms");
  auto opened = slide::Slide::open(slide::SourceSet(source, siblings));
  if (!opened.ok()) return 0;
  const slide::Slide& s = **opened;
  for (std::uint64_t level = 0; level < s.levels().size(); ++level) {
    const auto grid = s.levels()[level].info.tile_grid;
    std::uint64_t read = 0;
    for (std::uint64_t y = 0; y < grid.second && read < kMaxTiles; ++y) {
      for (std::uint64_t x = 0; x < grid.first && read < kMaxTiles; ++x, ++read) {
        (void)s.read_tile(level, x, y);
      }
    }
  }
  for (const auto& image : s.associated_images()) (void)s.read_associated(image.name);
  return 0;
}
