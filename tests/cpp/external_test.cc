#include "models/external.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "eisnn_builder.h"

namespace kovrant {
namespace {

std::vector<unsigned char> small_network() {
  std::mt19937_64 rng(21);
  return testing::random_network({}, rng).bytes();
}

Result<const Guesser*, NnError> load_locked(const std::string& path) {
  std::unique_lock<std::mutex> lock(EXTERNAL.mutex);
  return load_external(path, lock);
}

TEST(ReadWeightFile, ReadsTheWholeFileOrReportsTheSystemError) {
  std::vector<unsigned char> bytes(200000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  const auto read = read_weight_file(testing::write_temp_file("whole.bin", bytes));
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), bytes);
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

TEST(LoadExternal, RetriesAFailedPathAndThenKeepsItsFirstNetwork) {
  const std::string path = testing::write_temp_file("cached.eisnn", {'E', 'I', 'S', 'N', 'N', '0', '0', '2'});
  const auto bad = load_locked(path);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "not an eisnn weight file (bad magic bytes)");
  testing::write_temp_file("cached.eisnn", small_network());
  const auto first = load_locked(path);
  ASSERT_TRUE(first.ok()) << first.error().message();
  EXPECT_EQ(first.value()->circuit, "R0-(R1,C1)");
  testing::write_temp_file("cached.eisnn", {'j', 'u', 'n', 'k'});
  const auto second = load_locked(path);
  ASSERT_TRUE(second.ok()) << "the file was read again";
  EXPECT_EQ(second.value(), first.value());
  // Paths are keyed exactly as given: another spelling loads its own copy.
  const std::string other = testing::write_temp_file("spelled.eisnn", small_network());
  const auto plain = load_locked(other);
  const auto dotted = load_locked(::testing::TempDir() + "./" + other.substr(::testing::TempDir().size()));
  ASSERT_TRUE(plain.ok() && dotted.ok());
  EXPECT_NE(plain.value(), dotted.value());
}

TEST(LoadExternal, ConcurrentCallersGetOneNetwork) {
  const std::string path = testing::write_temp_file("shared.eisnn", small_network());
  std::vector<const Guesser*> seen(12, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      const auto got = load_locked(path);
      if (got) seen[i] = got.value();
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const Guesser* g : seen) EXPECT_EQ(g, seen[0]);
}

}  // namespace
}  // namespace kovrant
