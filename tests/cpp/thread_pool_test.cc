#include "parallel/thread_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kovrant {
namespace {

TEST(ThreadPool, CoversEveryIndexExactlyOnce) {
  for (size_t n : {0u, 1u, 2u, 7u, 1000u, 100003u}) {
    std::vector<std::atomic<int>> hits(n);
    parallel_for(n, [&](size_t begin, size_t end) {
      ASSERT_LE(begin, end);
      for (size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
    });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
  }
}

TEST(ThreadPool, NestedCallsRunInline) {
  std::atomic<size_t> total{0};
  parallel_for(8, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      parallel_for(100, [&](size_t b, size_t e) { total.fetch_add(e - b); });
    }
  });
  EXPECT_EQ(total.load(), 800u);
}

TEST(ThreadPool, ManyCallersAtOnceDoNotDeadlock) {
  std::vector<std::thread> callers;
  std::atomic<size_t> total{0};
  for (int t = 0; t < 16; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        parallel_for(64, [&](size_t begin, size_t end) { total.fetch_add(end - begin); });
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(total.load(), 16u * 200u * 64u);
}

TEST(ThreadPool, ChildOfForkBuildsItsOwnPool) {
  parallel_for(1000, [](size_t, size_t) {});
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    std::atomic<size_t> total{0};
    parallel_for(10000, [&](size_t begin, size_t end) { total.fetch_add(end - begin); });
    _exit(total.load() == 10000 ? 0 : 1);
  }
  int status = 0;
  for (int waited = 0; waited < 1000; ++waited) {
    if (waitpid(child, &status, WNOHANG) == child) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_LT(waited, 999) << "child hung";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kovrant
