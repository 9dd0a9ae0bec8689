// The dimensions of a stored JPEG, read from its frame header wherever a
// scanner's application segments leave it.

#include <gtest/gtest.h>

#include "slide/associated.hpp"
#include "std_io/source.hpp"
#include "test_support.hpp"

namespace kolva::slide {
namespace {

// SOI, application segments filling `padding` bytes, then a frame header of
// 300 x 200 (none when `frame` is false), 40 bytes of scan after it.
Bytes jpeg_with_padding(std::size_t padding, bool frame = true) {
  Bytes b{0xFF, 0xD8};
  while (padding > 0) {
    const std::size_t body = std::min<std::size_t>(padding, 60000) - 4;
    b.insert(b.end(), {0xFF, 0xE1, static_cast<std::uint8_t>((body + 2) >> 8),
                       static_cast<std::uint8_t>(body + 2)});
    b.insert(b.end(), body, 0);
    padding -= body + 4;
  }
  if (frame) b.insert(b.end(), {0xFF, 0xC0, 0, 11, 8, 0, 200, 1, 44, 1, 1, 0x11, 0});
  b.insert(b.end(), {0xFF, 0xDA});
  b.insert(b.end(), 40, 0);
  return b;
}

TEST(StoredJpegDimensions, FoundInItsFirst4KiBOrFirst64KiBElseNothing) {
  const std::pair<std::uint64_t, std::uint64_t> size{300, 200};
  struct Case {
    std::size_t padding;
    bool frame;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> expected;
  };
  for (const Case& c : {Case{0, true, size}, Case{10'000, true, size}, Case{64, false, std::nullopt},
                        Case{70'000, true, std::nullopt}}) {
    Bytes jpeg = jpeg_with_padding(c.padding, c.frame);
    const std::uint64_t length = jpeg.size();
    Bytes file(100, 0);  // the JPEG stored 100 bytes in
    file.insert(file.end(), jpeg.begin(), jpeg.end());
    const SourceSet sources(std::make_shared<std_io::SharedMemorySource>(std::move(file), "mem"));
    const auto got = stored_jpeg_dimensions(sources, Range{100, length, 0});
    ASSERT_TRUE(got.ok()) << c.padding;
    EXPECT_EQ(*got, c.expected) << c.padding;
  }
  // A JPEG said to reach past the end of its file fails to read.
  const Bytes jpeg = jpeg_with_padding(0);
  const SourceSet sources(std::make_shared<std_io::SharedMemorySource>(jpeg, "mem"));
  EXPECT_FALSE(stored_jpeg_dimensions(sources, Range{0, jpeg.size() + 1, 0}).ok());
}

}  // namespace
}  // namespace kolva::slide
