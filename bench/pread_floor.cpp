// The physical floor of a tile pass: the same pread calls a reader issues for
// every tile, in the same order, into one reused buffer, with nothing else done.
//
//   pread_floor SLIDE RANGES [PASSES] [--spread]
//
// RANGES is a text file: one tile per line, "k off1 len1 ... offk lenk" (the k
// byte ranges the tile is read from). Prints one line of JSON with the
// nanoseconds of each pass and the bytes read per pass. --spread lands every
// range after the previous one in one buffer of the pass's size, as a batch
// read into a caller's buffer does, instead of reusing one cache-warm buffer.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct Range {
  std::uint64_t offset;
  std::uint64_t length;
};

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SLIDE RANGES [PASSES]\n", argv[0]);
    return 2;
  }
  const int passes = argc > 3 ? std::atoi(argv[3]) : 1;
  const bool spread = argc > 4 && std::string(argv[4]) == "--spread";
  std::FILE* list = std::fopen(argv[2], "r");
  if (list == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  std::vector<std::vector<Range>> tiles;
  std::uint64_t largest = 0;
  std::uint64_t total = 0;
  unsigned long long k = 0;
  while (std::fscanf(list, "%llu", &k) == 1) {
    std::vector<Range> ranges(k);
    for (auto& r : ranges) {
      unsigned long long off = 0, len = 0;
      if (std::fscanf(list, "%llu %llu", &off, &len) != 2) return 1;
      r = {off, len};
      largest = len > largest ? len : largest;
      total += len;
    }
    tiles.push_back(std::move(ranges));
  }
  std::fclose(list);

  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<unsigned char> buffer(spread ? total + 1 : largest + 1);
  std::printf("{\"bytes\": %llu, \"tiles\": %zu, \"ns\": [", static_cast<unsigned long long>(total),
              tiles.size());
  for (int p = 0; p < passes; ++p) {
    const auto start = std::chrono::steady_clock::now();
    unsigned char* at = buffer.data();
    for (const auto& ranges : tiles) {
      for (const auto& r : ranges) {
        std::uint64_t done = 0;
        while (done < r.length) {
          const ssize_t got = ::pread(fd, at + done, r.length - done,
                                      static_cast<off_t>(r.offset + done));
          if (got <= 0) return 1;
          done += static_cast<std::uint64_t>(got);
        }
        if (spread) at += r.length;
      }
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("%s%lld", p ? ", " : "", static_cast<long long>(ns));
  }
  std::printf("]}\n");
  ::close(fd);
  return 0;
}
