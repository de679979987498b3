// The process-wide pool of worker threads for data-parallel work.
//
// Contract:
// - parallel_for(n, fn) calls fn(begin, end) on disjoint sub-ranges that
//   together cover [0, n) exactly once, and returns when all have run. Callers
//   write results by index, so output never depends on the thread count.
// - The calling thread works on its own range too, so any number of threads
//   may call parallel_for at once without deadlock, even when every worker is
//   busy with another caller's job.
// - No nesting: a parallel_for issued from inside another one (on a worker or
//   on the caller) runs its whole range on the current thread.
// - fn must not throw.
// - The pool is built lazily on first use, with one worker fewer than the
//   hardware has threads (the caller is the last one). After fork() the child
//   builds a fresh pool on its first use; the parent's workers do not exist
//   there.
#pragma once

#include <cstddef>
#include <functional>

namespace kovrant {

using RangeFunction = std::function<void(size_t begin, size_t end)>;

void parallel_for(size_t n, const RangeFunction& fn);

// Threads that work on one parallel_for: the workers plus the caller.
size_t parallel_thread_count();

}  // namespace kovrant
