#include "parallel/thread_pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kovrant {
namespace {

// One parallel_for call: its range is cut into chunks that the caller and any
// worker claim with an atomic counter until none are left.
struct Job {
  const RangeFunction* fn;
  size_t n;
  size_t chunk_count;
  std::atomic<size_t> next_chunk{0};
  std::atomic<size_t> finished_chunks{0};
  std::mutex done_mutex;
  std::condition_variable done;

  // Runs chunks until none are left to claim.
  void work() {
    while (true) {
      const size_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunk_count) return;
      (*fn)(chunk * n / chunk_count, (chunk + 1) * n / chunk_count);
      if (finished_chunks.fetch_add(1, std::memory_order_acq_rel) + 1 == chunk_count) {
        std::lock_guard<std::mutex> lock(done_mutex);
        done.notify_all();
      }
    }
  }

  void wait_until_finished() {
    std::unique_lock<std::mutex> lock(done_mutex);
    done.wait(lock, [this] { return finished_chunks.load(std::memory_order_acquire) == chunk_count; });
  }
};

thread_local bool inside_parallel_for = false;

class ThreadPool {
 public:
  explicit ThreadPool(size_t worker_count) {
    workers_.reserve(worker_count);
    for (size_t i = 0; i < worker_count; ++i) workers_.emplace_back([this] { run_worker(); });
  }

  // Workers are detached at exit rather than joined: the pool lives for the
  // whole process, and joining from a static destructor can deadlock.
  ~ThreadPool() = delete;

  size_t worker_count() const { return workers_.size(); }

  void offer(const std::shared_ptr<Job>& job, size_t copies) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < copies; ++i) queue_.push_back(job);
    }
    if (copies == 1) {
      wake_.notify_one();
    } else {
      wake_.notify_all();
    }
  }

 private:
  void run_worker() {
    inside_parallel_for = true;
    while (true) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job->work();
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
};

std::mutex pool_creation_mutex;
ThreadPool* pool = nullptr;  // leaked on purpose: see ~ThreadPool

void lock_creation() { pool_creation_mutex.lock(); }
void unlock_creation() { pool_creation_mutex.unlock(); }
// The child of fork() has none of the parent's worker threads; the old pool's
// queue and locks may be in any state, so the child abandons it and builds a
// new one on first use.
void forget_pool_in_child() {
  pool = nullptr;
  pool_creation_mutex.unlock();
}

ThreadPool& shared_pool() {
  static const int registered = pthread_atfork(lock_creation, unlock_creation, forget_pool_in_child);
  (void)registered;
  std::lock_guard<std::mutex> lock(pool_creation_mutex);
  if (pool == nullptr) {
    const size_t hardware = std::max(1u, std::thread::hardware_concurrency());
    pool = new ThreadPool(hardware - 1);
  }
  return *pool;
}

}  // namespace

size_t parallel_thread_count() { return shared_pool().worker_count() + 1; }

void parallel_for(size_t n, const RangeFunction& fn) {
  if (n == 0) return;
  ThreadPool& workers = shared_pool();
  if (inside_parallel_for || workers.worker_count() == 0 || n == 1) {
    fn(0, n);
    return;
  }
  const size_t threads = workers.worker_count() + 1;
  auto job = std::make_shared<Job>();
  job->fn = &fn;
  job->n = n;
  job->chunk_count = std::min(n, threads * 4);
  workers.offer(job, std::min(workers.worker_count(), job->chunk_count - 1));
  inside_parallel_for = true;
  job->work();
  inside_parallel_for = false;
  job->wait_until_finished();
}

}  // namespace kovrant
