#pragma once

// The only place where format logic meets a real byte source: reads exactly the
// ranges consumers ask for and runs them to completion.

#include <concepts>
#include <cstring>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/base.hpp"
#include "base/bytes.hpp"
#include "error/error.hpp"

namespace kolva::std_io {

// Longest range one request may name: 2 GiB.
inline constexpr std::uint64_t kLargestRange = 0x80000000ULL;
// Most step calls one consumer run may make.
inline constexpr std::uint64_t kStepBudget = 0x100000ULL;

// Most bytes one consumer run may read in all: eight times the source plus
// 16 MiB. Opening a real slide reads its directories a few times over at most,
// and a tile is read once; a crafted file that makes a consumer read the same
// large region again and again (a directory chain looping over 65535 entries,
// say) would otherwise pile up memory far beyond its own size.
inline std::uint64_t read_budget(std::uint64_t source_size) {
  constexpr std::uint64_t kFloor = 16ULL << 20;
  if (source_size > (UINT64_MAX - kFloor) / 8) return UINT64_MAX;
  return 8 * source_size + kFloor;
}

// A readable byte source with absolute-offset reads.
//   known_size(): a cheap, possibly stale length (a file may have grown).
//   size(): the current length of the source in bytes, freshly taken.
//   read_at(offset, dst): fills as much of dst as the source holds from
//   `offset` on; returns how many bytes were delivered (fewer only at the end).
template <class S>
concept ByteSource = requires(S s, std::uint64_t offset, std::span<std::uint8_t> dst) {
  { s.known_size() } -> std::same_as<std::uint64_t>;
  { s.size() } -> std::same_as<KolvaResult<std::uint64_t>>;
  { s.read_at(offset, dst) } -> std::same_as<KolvaResult<std::uint64_t>>;
};

// A read-only local file, read with pread (no shared file position).
class FileSource {
 public:
  // Opens `path` read-only; the error is the operating system's.
  static Result<FileSource, OsError> open(const std::string& path);

  FileSource(FileSource&& other) noexcept;
  FileSource& operator=(FileSource&& other) noexcept;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource();

  std::uint64_t known_size() const { return size_; }
  KolvaResult<std::uint64_t> size();
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst);
  // The bytes from `offset` on into `pieces` in turn, in one system call
  // where the system can; returns how many were delivered (fewer only at the
  // end of the file).
  KolvaResult<std::uint64_t> read_scattered(std::uint64_t offset,
                                            std::span<const std::span<std::uint8_t>> pieces);
  int fd() const { return fd_; }

 private:
  explicit FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_ = -1;
  std::uint64_t size_ = 0;  // as of the last fstat
};

// Bytes held in memory (tests, fuzzing).
class MemorySource {
 public:
  explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t known_size() const { return bytes_.size(); }
  KolvaResult<std::uint64_t> size() { return static_cast<std::uint64_t>(bytes_.size()); }
  KolvaResult<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> dst);
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// A buffer of exactly the requested length, not zero-filled.
class Buffer {
 public:
  Buffer() = default;
  static KolvaResult<Buffer> allocate(std::uint64_t length);
  // `length` bytes (their values unspecified), in the memory held already
  // where it is large enough, else in more than asked for (reused as it grows).
  KolvaResult<Unit> resize(std::uint64_t length);
  std::uint8_t* data() { return data_.get(); }
  std::uint64_t size() const { return size_; }
  std::uint64_t capacity() const { return capacity_; }
  ByteSpan span() const { return {data_.get(), static_cast<std::size_t>(size_)}; }

 private:
  // Drops what is held and holds `room` bytes instead; false when they cannot be had.
  bool hold(std::uint64_t room);
  std::unique_ptr<std::uint8_t[]> data_;
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
};

// A buffer for the steps of one consumer run, borrowed from the thread: the
// runs of an opening (a header, each directory, each table) reuse the same
// memory instead of each allocating a page or more and giving it back. Runs
// nested on one thread borrow the next; a buffer grown past 64 KiB is freed
// when it is given back.
class StepBuffer {
 public:
  StepBuffer();
  ~StepBuffer();
  StepBuffer(const StepBuffer&) = delete;
  StepBuffer& operator=(const StepBuffer&) = delete;
  Buffer& get() { return *buffer_; }

 private:
  Buffer* buffer_;
  Buffer own_;  // when the thread's are all borrowed
};

// Reads exactly `length` bytes at `offset`. A range longer than 2 GiB fails with
// UnableToAllocateLargeSize without touching the source; a range that reaches
// past the end fails with UnexpectedStep before anything is allocated; a range
// longer than `*budget` (when given) fails with UnableToAllocateLargeSize and
// otherwise is taken from it.
template <ByteSource S>
KolvaResult<Unit> read_bytes_into(S& source, std::uint64_t offset, std::uint64_t length,
                                  std::uint64_t* budget, Buffer& into) {
  if (length > kLargestRange) return KolvaError::UnableToAllocateLargeSize{};
  if (length > 0) {
    auto reaches_past = [&](std::uint64_t size) { return offset > size || length > size - offset; };
    if (reaches_past(source.known_size())) {
      KOLVA_TRY(const std::uint64_t size, source.size());
      if (reaches_past(size)) return KolvaError::UnexpectedStep{};
    }
  }
  if (budget != nullptr) {
    if (length > *budget) return KolvaError::UnableToAllocateLargeSize{};
    *budget -= length;
  }
  if (auto room = into.resize(length); !room.ok()) return std::move(room).error();
  KOLVA_TRY(const std::uint64_t got,
            source.read_at(offset, {into.data(), static_cast<std::size_t>(length)}));
  if (got < length) return KolvaError::UnexpectedStep{};
  return Unit{};
}

template <ByteSource S>
KolvaResult<Buffer> read_bytes(S& source, std::uint64_t offset, std::uint64_t length,
                               std::uint64_t* budget = nullptr) {
  Buffer buffer;
  if (auto got = read_bytes_into(source, offset, length, budget, buffer); !got.ok()) {
    return std::move(got).error();
  }
  return buffer;
}

// Runs `consumer` from its first instruction to its output or its first error.
template <ReadConsumer C, ByteSource S>
KolvaResult<typename C::Output> run(S& source, C consumer, ReadInstruction instruction) {
  std::uint64_t budget = kStepBudget;
  std::uint64_t bytes_left = read_budget(source.known_size());
  // One buffer for every step: a consumer keeps nothing of the bytes it is
  // handed past the step.
  StepBuffer borrowed;
  Buffer& bytes = borrowed.get();
  while (true) {
    if (const auto* read = std::get_if<ReadAndStep>(&instruction)) {
      if (auto got = read_bytes_into(source, read->offset, read->length, &bytes_left, bytes);
          !got.ok()) {
        return std::move(got).error();
      }
      KOLVA_TRY(instruction, consumer.step(bytes.span()));
      if (--budget == 0) return KolvaError::UnableToAllocateLargeSize{};
    } else if (const auto* last = std::get_if<ReadAndReceive>(&instruction)) {
      if (auto got = read_bytes_into(source, last->offset, last->length, &bytes_left, bytes);
          !got.ok()) {
        return std::move(got).error();
      }
      return std::move(consumer).receive(bytes.span());
    } else {
      return std::move(consumer).receive({});
    }
  }
}

// A tile that is one stored range: the result is `prefix` followed by the
// range's bytes without their first `skip` bytes. Such a tile can be read
// straight into its final buffer.
struct DirectRead {
  std::uint64_t offset;
  std::uint64_t length;
  ByteSpan prefix;
  std::uint64_t skip;
};

// A tile made of several stored ranges, assembled straight in its final buffer:
// `head`, the ranges' bytes back to back in order, then `tail`. The tile
// consumer's finish_assembled then fixes up the ranges' bytes in place (an NDPI
// tile renumbers its restart markers there).
struct AssembledRead {
  ByteSpan head;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // (offset, length)
  ByteSpan tail;
};

// What a slide decoder offers: tile requests for its tile consumer C, and level
// descriptions.
template <class D, class C>
concept SlideDecoder = requires(const D d, std::uint64_t n) {
  { d.read_tile(n, n, n) } -> std::same_as<KolvaResult<typename C::Input>>;
  { d.get_level(n) } -> std::same_as<std::optional<LevelInfo>>;
  { d.level_count() } -> std::same_as<std::uint64_t>;
};

// An opened slide: the byte source and the format decoder found in it.
template <ByteSource R, class D, ReadConsumer C>
  requires SlideDecoder<D, C> && std::same_as<typename C::Output, Bytes>
class KolvaDecoder {
 public:
  // Runs the opening consumer `Opening` (whose output is the decoder) on `reader`.
  // On failure the reader is destroyed (closing a file) before returning.
  template <ReadConsumer Opening>
    requires std::same_as<typename Opening::Output, D> &&
             std::same_as<typename Opening::Input, NoInput>
  static KolvaResult<KolvaDecoder> open(R reader) {
    auto [consumer, first] = Opening::dispatch(NoInput{});
    auto decoder = run(reader, std::move(consumer), first);
    if (!decoder.ok()) return std::move(decoder).error();
    return KolvaDecoder(std::move(decoder).value(), std::move(reader));
  }

  // Reads one tile. A failure leaves the slide fully usable.
  KolvaResult<Bytes> read_tile_as_bytes(std::uint64_t level, std::uint64_t x, std::uint64_t y) {
    KOLVA_TRY(auto request, decoder_.read_tile(level, x, y));
    auto [consumer, first] = C::dispatch(std::move(request));
    return run(reader_, std::move(consumer), first);
  }

  // Reads one tile into memory the caller provides: `make(size)` returns a
  // writable buffer of exactly `size` bytes, or nullptr when it cannot (the run
  // then fails with UnableToAllocateLargeSize). Tiles that are one stored range
  // are read into that buffer with one read and no copy beyond the shared
  // prefix; tiles the consumer can have assembled in place (C::assembled) are
  // read range by range into it; others are assembled by their consumer and
  // copied once. Results and errors are those of read_tile_as_bytes.
  template <class Make>
  KolvaResult<Unit> read_tile_into(std::uint64_t level, std::uint64_t x, std::uint64_t y,
                                   Make&& make) {
    KOLVA_TRY(auto request, decoder_.read_tile(level, x, y));
    if constexpr (requires { C::direct(request); }) {
      const std::optional<DirectRead> direct = C::direct(request);
      if (direct && direct->skip <= 8 && direct->length >= direct->skip &&
          direct->prefix.size() >= direct->skip) {
        return read_direct(*direct, make);
      }
    }
    if constexpr (requires { C::assembled(request); }) {
      if (const std::optional<AssembledRead> assembled = C::assembled(request)) {
        return read_assembled(*assembled, request, make);
      }
    }
    auto [consumer, first] = C::dispatch(std::move(request));
    KOLVA_TRY(const auto bytes, run(reader_, std::move(consumer), first));
    std::uint8_t* out = make(bytes.size());
    if (out == nullptr) return KolvaError::UnableToAllocateLargeSize{};
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return Unit{};
  }

  std::optional<LevelInfo> get_level(std::uint64_t level) const { return decoder_.get_level(level); }
  std::uint64_t level_count() const { return decoder_.level_count(); }
  const D& decoder() const { return decoder_; }
  R& reader() { return reader_; }

 private:
  KolvaDecoder(D decoder, R reader) : decoder_(std::move(decoder)), reader_(std::move(reader)) {}

  // The checks and outcome of read_bytes, reading into the final buffer: the
  // range lands so that its byte `skip` follows the prefix; the last `skip`
  // prefix bytes it overwrites are put back afterwards.
  template <class Make>
  KolvaResult<Unit> read_direct(const DirectRead& d, Make& make) {
    if (d.length > kLargestRange) return KolvaError::UnableToAllocateLargeSize{};
    auto reaches_past = [&](std::uint64_t size) {
      return d.offset > size || d.length > size - d.offset;
    };
    if (d.length > 0 && reaches_past(reader_.known_size())) {
      KOLVA_TRY(const std::uint64_t size, reader_.size());
      if (reaches_past(size)) return KolvaError::UnexpectedStep{};
    }
    if (d.length > read_budget(reader_.known_size())) return KolvaError::UnableToAllocateLargeSize{};
    const std::size_t keep = d.prefix.size();
    const std::size_t skip = static_cast<std::size_t>(d.skip);
    std::uint8_t* out = make(keep + static_cast<std::size_t>(d.length) - skip);
    if (out == nullptr) return KolvaError::UnableToAllocateLargeSize{};
    if (keep > 0) std::memcpy(out, d.prefix.data(), keep);
    std::uint8_t* dst = out + keep - skip;
    std::uint8_t saved[8];
    std::memcpy(saved, dst, skip);
    KOLVA_TRY(const std::uint64_t got,
              reader_.read_at(d.offset, {dst, static_cast<std::size_t>(d.length)}));
    std::memcpy(dst, saved, skip);
    if (got < d.length) return KolvaError::UnexpectedStep{};
    return Unit{};
  }

  // The checks and outcomes of the consumer's run (read_bytes on each range in
  // order, under one read budget), all made before the buffer is asked for;
  // then the ranges land back to back after the head, and C::finish_assembled
  // fixes them up.
  template <class Request, class Make>
  KolvaResult<Unit> read_assembled(const AssembledRead& a, const Request& request, Make& make) {
    std::uint64_t bytes_left = read_budget(reader_.known_size());
    std::uint64_t total = a.head.size();
    for (const auto& range : a.ranges) {
      const std::uint64_t offset = range.first;
      const std::uint64_t length = range.second;
      if (length > kLargestRange) return KolvaError::UnableToAllocateLargeSize{};
      auto reaches_past = [&](std::uint64_t size) {
        return offset > size || length > size - offset;
      };
      if (length > 0 && reaches_past(reader_.known_size())) {
        KOLVA_TRY(const std::uint64_t size, reader_.size());
        if (reaches_past(size)) return KolvaError::UnexpectedStep{};
      }
      if (length > bytes_left) return KolvaError::UnableToAllocateLargeSize{};
      bytes_left -= length;
      total += length;  // below the budget, itself at most 8 x the source + 16 MiB
    }
    if (!checked_add(total, a.tail.size(), total) || total > SIZE_MAX / 2) {
      return KolvaError::UnableToAllocateLargeSize{};
    }
    std::uint8_t* out = make(static_cast<std::size_t>(total));
    if (out == nullptr) return KolvaError::UnableToAllocateLargeSize{};
    if (!a.head.empty()) std::memcpy(out, a.head.data(), a.head.size());
    std::size_t at = a.head.size();
    for (const auto& [offset, length] : a.ranges) {
      KOLVA_TRY(const std::uint64_t got,
                reader_.read_at(offset, {out + at, static_cast<std::size_t>(length)}));
      if (got < length) return KolvaError::UnexpectedStep{};
      at += static_cast<std::size_t>(length);
    }
    if (!a.tail.empty()) std::memcpy(out + at, a.tail.data(), a.tail.size());
    return C::finish_assembled(
        request, std::span<std::uint8_t>(out + a.head.size(), at - a.head.size()));
  }

  D decoder_;
  R reader_;
};

}  // namespace kolva::std_io
