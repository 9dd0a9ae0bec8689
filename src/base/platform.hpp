#pragma once

// Everything the core asks of the operating system and the processor beyond
// standard C++: files read at absolute offsets, files written and synced, the
// process id, the C library's heap tuning, the cache size and stores that go
// around the caches. POSIX systems (Linux, macOS) and Windows implement
// it in platform.cpp; nothing else in the core includes a system header.
//
// Failures are errno values (0 is success), so that OsError reads the same on
// every system; Windows' own error codes are mapped to the nearest errno.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kolva::platform {

// A file as the C library numbers it (a CRT descriptor on Windows).
using File = int;
inline constexpr File kNoFile = -1;

struct FileStatus {
  bool regular = false;
  bool directory = false;
  std::uint64_t size = 0;  // meaningful for regular files
};

// Opens `path` (UTF-8) for reading, not inherited by child processes.
int open_for_reading(const std::string& path, File& file);
// Opens or creates `path` (mode 0644) for writing; `truncate` empties it.
int open_for_writing(const std::string& path, bool truncate, File& file);
int status(File file, FileStatus& out);
// Reads up to `length` bytes at `offset` without moving a shared position, so
// many threads may read one file at once. `got` is 0 at the end of the file.
// Interrupted calls are retried.
int read_at(File file, std::uint64_t offset, std::uint8_t* dst, std::size_t length,
            std::size_t& got);
// Memory a scattered read fills.
struct Piece {
  std::uint8_t* data;
  std::size_t length;
};
// Reads the bytes from `offset` on into `pieces` in turn, as many as the file
// holds (one preadv on Linux, a read a piece elsewhere); `got` counts them.
int read_scattered_at(File file, std::uint64_t offset, const Piece* pieces, std::size_t count,
                      std::size_t& got);
// Writes all of `bytes` at the current position.
int write_all(File file, const std::uint8_t* bytes, std::size_t length);
// Sets the file's length to `offset` and the position there.
int resize_and_seek(File file, std::uint64_t offset);
// Flushes the file's data to the storage device.
int sync(File file);
// Closes the file; an error here may report a failed delayed write.
int close(File file);

// The id of the calling process (a forked child sees its own).
long process_id();

// Asks the C library's allocator to keep up to `trim_threshold` bytes of freed
// heap for reuse and to serve allocations below `mmap_threshold` from the heap.
// Only glibc has these knobs; elsewhere this does nothing and says false.
bool keep_freed_heap(int trim_threshold, int mmap_threshold);

// Bytes of the processor's last-level cache, 0 when the system does not say.
std::size_t last_level_cache_bytes();

// Copies `length` bytes with stores that go around the caches where the
// processor has them (SSE2's streaming stores), an ordinary copy elsewhere.
// For a destination too large to stay cached: an ordinary store first reads
// the line it writes into the cache, which doubles the memory traffic. The
// stores are weakly ordered: the copying thread calls stream_fence() before
// another thread may look at what it wrote.
void stream_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t length);
void stream_fence();

}  // namespace kolva::platform
