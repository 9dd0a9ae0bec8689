// The floor of writing stored tiles into a file: for every tile, pread its byte
// ranges into one reused buffer and write them to the output, nothing else (no
// headers, no metadata). What a tile exporter cannot beat on the same machine.
//
//   copy_floor SLIDE RANGES OUT [PASSES]
//
// RANGES: one tile per line, "k off1 len1 ... offk lenk". Prints one line of
// JSON with the nanoseconds of each pass, the tiles and the bytes per pass.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

struct Range {
  std::uint64_t offset;
  std::uint64_t length;
};

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s SLIDE RANGES OUT [PASSES]\n", argv[0]);
    return 2;
  }
  const int passes = argc > 4 ? std::atoi(argv[4]) : 1;
  std::FILE* list = std::fopen(argv[2], "r");
  if (list == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  std::vector<std::vector<Range>> tiles;
  std::uint64_t largest = 0, total = 0;
  unsigned long long k = 0;
  while (std::fscanf(list, "%llu", &k) == 1) {
    std::vector<Range> ranges(k);
    std::uint64_t tile = 0;
    for (auto& r : ranges) {
      unsigned long long off = 0, len = 0;
      if (std::fscanf(list, "%llu %llu", &off, &len) != 2) return 1;
      r = {off, len};
      tile += len;
    }
    largest = tile > largest ? tile : largest;
    total += tile;
    tiles.push_back(std::move(ranges));
  }
  std::fclose(list);
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<unsigned char> buffer(largest + 1);
  std::printf("{\"bytes\": %llu, \"tiles\": %zu, \"ns\": [", static_cast<unsigned long long>(total),
              tiles.size());
  for (int p = 0; p < passes; ++p) {
    const int out = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
      std::perror(argv[3]);
      return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& ranges : tiles) {
      std::uint64_t at = 0;
      for (const auto& r : ranges) {
        if (::pread(fd, buffer.data() + at, r.length, static_cast<off_t>(r.offset)) !=
            static_cast<ssize_t>(r.length)) {
          std::perror("pread");
          return 1;
        }
        at += r.length;
      }
      if (::write(out, buffer.data(), at) != static_cast<ssize_t>(at)) {
        std::perror("write");
        return 1;
      }
    }
    ::close(out);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - t0).count();
    std::printf("%s%lld", p ? ", " : "", static_cast<long long>(ns));
    ::unlink(argv[3]);
  }
  std::printf("]}\n");
  ::close(fd);
  return 0;
}
