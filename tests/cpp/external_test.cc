#include "models/external.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <random>
#include <thread>

#include "eisnn_builder.h"

namespace kovrant {
namespace {

std::vector<unsigned char> small_network() {
  std::mt19937_64 rng(21);
  return testing::random_network({}, rng).bytes();
}

Result<std::shared_ptr<const Guesser>, NnError> load_locked(const std::string& path) {
  std::unique_lock<std::mutex> lock(EXTERNAL.mutex);
  return load_external(path, lock);
}

TEST(ReadWeightFile, ReadsTheWholeFileOrReportsTheSystemError) {
  std::vector<unsigned char> bytes(200000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  const auto read = read_weight_file(testing::write_temp_file("whole.bin", bytes));
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().bytes, bytes);
  // The text before the NUL names a readable file, which must not be read instead.
  const std::string before_nul = testing::write_temp_file("before_nul.eisnn", small_network());
  const std::pair<std::string, const char*> failures[] = {
      {::testing::TempDir() + "kovrant_no_such_file.eisnn", "reading weights: No such file or directory"},
      {::testing::TempDir(), "reading weights: Is a directory"},
      {before_nul + std::string("\0.bak", 5), "reading weights: Invalid argument"},
  };
  for (const auto& [path, message] : failures) {
    const auto failed = read_weight_file(path);
    ASSERT_FALSE(failed.ok()) << path;
    EXPECT_EQ(failed.error().message(), message);
  }
}

TEST(LoadExternal, RetriesAFailedPathAndReloadsAChangedFile) {
  const std::string path = testing::write_temp_file("cached.eisnn", {'E', 'I', 'S', 'N', 'N', '0', '0', '2'});
  const auto bad = load_locked(path);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "not an eisnn weight file (bad magic bytes)");
  testing::write_temp_file("cached.eisnn", small_network());
  const auto first = load_locked(path);
  ASSERT_TRUE(first.ok()) << first.error().message();
  EXPECT_EQ(first.value()->circuit, "R0-(R1,C1)");
  EXPECT_EQ(load_locked(path).value(), first.value()) << "an unchanged file was read again";

  // Retrained for another circuit: a different size.
  std::mt19937_64 rng(5);
  testing::NetworkShape other_circuit;
  other_circuit.circuit = "R0-(R1,C1)-(R2,C2)";
  other_circuit.param_names = "R0.r,R1.r,C1.c,R2.r,C2.c";
  testing::write_temp_file("cached.eisnn", testing::random_network(other_circuit, rng).bytes());
  const auto retrained = load_locked(path);
  ASSERT_TRUE(retrained.ok()) << retrained.error().message();
  EXPECT_EQ(retrained.value()->circuit, "R0-(R1,C1)-(R2,C2)");
  EXPECT_EQ(first.value()->circuit, "R0-(R1,C1)") << "a network handed out earlier stays valid";

  // Same size, same inode: only the modification time tells.
  std::mt19937_64 same_shape_rng(6);
  testing::write_temp_file("cached.eisnn", testing::random_network({}, same_shape_rng).bytes());
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(7));
  const auto edited = load_locked(path);
  ASSERT_TRUE(edited.ok());
  EXPECT_EQ(edited.value()->circuit, "R0-(R1,C1)");
  EXPECT_NE(edited.value()->tensors.at("w.stem.weight").data, first.value()->tensors.at("w.stem.weight").data);

  testing::write_temp_file("cached.eisnn", {'j', 'u', 'n', 'k'});
  EXPECT_FALSE(load_locked(path).ok()) << "a broken replacement must not fall back to the cached network";
  std::filesystem::remove(path);
  const auto removed = load_locked(path);
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error().message(), "reading weights: No such file or directory");

  // Paths are keyed exactly as given: another spelling loads its own copy.
  const std::string other = testing::write_temp_file("spelled.eisnn", small_network());
  const auto plain = load_locked(other);
  const auto dotted = load_locked(::testing::TempDir() + "./" + other.substr(::testing::TempDir().size()));
  ASSERT_TRUE(plain.ok() && dotted.ok());
  EXPECT_NE(plain.value(), dotted.value());
}

// A thread holds the cache lock while the process forks; the child must still
// be able to load, and is killed by its alarm if it cannot.
TEST(LoadExternal, ChildOfForkLoadsWhileAParentThreadHoldsTheLock) {
  const std::string path = testing::write_temp_file("forked.eisnn", small_network());
  ASSERT_TRUE(load_locked(path).ok());
  std::mutex step;
  std::condition_variable changed;
  bool locked = false, forked = false;
  std::thread holder([&] {
    std::unique_lock<std::mutex> cache(EXTERNAL.mutex);
    std::unique_lock<std::mutex> lock(step);
    locked = true;
    changed.notify_all();
    changed.wait(lock, [&] { return forked; });
  });
  {
    std::unique_lock<std::mutex> lock(step);
    changed.wait(lock, [&] { return locked; });
  }
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);
    _exit(load_locked(path).ok() ? 0 : 1);
  }
  {
    std::lock_guard<std::mutex> lock(step);
    forked = true;
  }
  changed.notify_all();
  holder.join();
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child hung or failed (status " << status << ")";
}

TEST(LoadExternal, ConcurrentCallersGetOneNetwork) {
  const std::string path = testing::write_temp_file("shared.eisnn", small_network());
  std::vector<std::shared_ptr<const Guesser>> seen(12);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      const auto got = load_locked(path);
      if (got) seen[i] = got.value();
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto& g : seen) EXPECT_EQ(g, seen[0]);
}

}  // namespace
}  // namespace kovrant
