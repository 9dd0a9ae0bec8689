#pragma once

// A small pool of worker threads shared by every batch read of the process,
// so that a batch costs no thread start-up. Several callers may run jobs at
// once; each caller works on its own job too and returns when it is done.

#include <cstddef>
#include <functional>

namespace kolva::slide {

// Runs body(begin, end) over chunks that cover [0, n) once, on at most
// `threads` threads (the caller's included), and on no more than one per
// `least` items (a thread is worth waking for that much work). Returns when
// every chunk is done. `body` must not throw.
void parallel_chunks(std::size_t n, unsigned threads,
                     const std::function<void(std::size_t, std::size_t)>& body,
                     std::size_t least = 16);

}  // namespace kolva::slide
