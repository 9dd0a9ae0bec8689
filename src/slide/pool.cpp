#include "slide/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/platform.hpp"

namespace kolva::slide {
namespace {

struct Job {
  const std::function<void(std::size_t, std::size_t)>* body;
  std::size_t n;
  std::size_t chunk;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  unsigned helpers_wanted;  // workers that may still join
  std::mutex mutex;
  std::condition_variable finished;

  // Works on chunks until none is left; true when this call finished the job.
  bool work() {
    bool last = false;
    while (true) {
      const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) break;
      const std::size_t end = std::min(n, begin + chunk);
      (*body)(begin, end);
      if (done.fetch_add(end - begin, std::memory_order_acq_rel) + (end - begin) == n) last = true;
    }
    return last;
  }
};

class Pool {
 public:
  // Adds `job` for up to job->helpers_wanted workers, starting workers up to
  // `threads - 1` of them.
  void offer(const std::shared_ptr<Job>& job, unsigned threads) {
    std::lock_guard lock(mutex_);
    const unsigned wanted = std::min(threads - 1, 63U);
    while (workers_.size() < wanted) {
      workers_.emplace_back([this] { loop(); });
      workers_.back().detach();
    }
    queue_.push_back(job);
    pending_.fetch_add(1, std::memory_order_release);
    wake_.notify_all();
  }

 private:
  void loop() {
    while (true) {
      std::shared_ptr<Job> job;
      // Batches of a training loop come back to back: a worker that has just
      // finished one looks for the next a little while before it sleeps, since
      // waking a sleeping thread costs about as much as a batch of small tiles.
      const auto spin_until = std::chrono::steady_clock::now() + kSpin;
      while (pending_.load(std::memory_order_acquire) == 0 &&
             std::chrono::steady_clock::now() < spin_until) {
        std::this_thread::yield();
      }
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !queue_.empty(); });
        job = queue_.front();
        if (--job->helpers_wanted == 0 || job->next.load() >= job->n) {
          queue_.pop_front();
          pending_.fetch_sub(1, std::memory_order_release);
        }
      }
      if (job->work()) {
        std::lock_guard done_lock(job->mutex);
        job->finished.notify_all();
      }
    }
  }

  static constexpr std::chrono::microseconds kSpin{200};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<std::size_t> pending_{0};  // jobs in queue_, read without the lock
  std::deque<std::shared_ptr<Job>> queue_;
  std::vector<std::thread> workers_;
};

// The process's pool. A child made by fork has none of its parent's threads,
// so it starts a pool of its own (the parent's object is left alone).
Pool& shared_pool() {
  static std::mutex guard;
  static Pool* pool = nullptr;
  static long owner = 0;
  std::lock_guard lock(guard);
  if (pool == nullptr || owner != platform::process_id()) {
    pool = new Pool();  // never destroyed: detached workers use it until exit
    owner = platform::process_id();
  }
  return *pool;
}

}  // namespace

void parallel_chunks(std::size_t n, unsigned threads,
                     const std::function<void(std::size_t, std::size_t)>& body,
                     std::size_t least) {
  if (n == 0) return;
  threads = std::max(1U, threads);
  // A chunk is worth handing to another thread only when there is enough of
  // it: a few dozen tiles, a few at a time.
  threads = static_cast<unsigned>(
      std::min<std::size_t>(threads, std::max<std::size_t>(1, n / std::max<std::size_t>(1, least))));
  if (threads == 1) {
    body(0, n);
    return;
  }
  auto job = std::make_shared<Job>();
  job->body = &body;
  job->n = n;
  job->chunk = std::max<std::size_t>(1, n / (static_cast<std::size_t>(threads) * 8));
  job->helpers_wanted = threads - 1;
  shared_pool().offer(job, threads);
  if (!job->work()) {
    std::unique_lock lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done.load(std::memory_order_acquire) == n; });
  }
}

}  // namespace kolva::slide
