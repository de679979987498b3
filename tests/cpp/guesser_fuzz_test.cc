// Random and mutated weight files must only ever produce errors or numbers:
// no crash, no out-of-bounds access (run under the sanitizer build too).
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "circuit/parser.h"
#include "eisnn_builder.h"
#include "models/topology.h"
#include "nn/guesser.h"
#include "nn/network.h"

namespace kovrant {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes base_file(std::mt19937_64& rng) {
  testing::NetworkShape shape;
  shape.circuit = "R0-(R1,CPE1)";
  shape.param_names = "R0.r,R1.r,CPE1.q,CPE1.alpha";
  shape.n_grid = 6;
  shape.channels = 4;
  shape.hidden = 5;
  return testing::random_network(shape, rng).bytes();
}

Bytes mutate(Bytes bytes, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  const auto position = [&](std::size_t size) { return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng); };
  static const std::uint32_t kExtremes[] = {0, 1, 2, 255, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE};
  if (bytes.size() < 8) return bytes;
  switch (byte(rng) % 6) {
    case 0:  // a few random bytes
      for (int n = 1 + byte(rng) % 8; n > 0; --n) bytes[position(bytes.size())] = static_cast<unsigned char>(byte(rng));
      break;
    case 1:  // single bit flips
      for (int n = 1 + byte(rng) % 3; n > 0; --n) bytes[position(bytes.size())] ^= 1 << (byte(rng) % 8);
      break;
    case 2:  // truncation
      bytes.resize(position(bytes.size()));
      break;
    case 3: {  // a count, length or dim replaced by an extreme value
      const std::uint32_t value = kExtremes[byte(rng) % 8];
      const std::size_t at = position(bytes.size() - 3);
      for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<unsigned char>(value >> (8 * k));
      break;
    }
    case 4:  // bytes inserted
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(position(bytes.size())), 1 + byte(rng) % 5,
                   static_cast<unsigned char>(byte(rng)));
      break;
    default: {  // bytes removed
      const std::size_t from = position(bytes.size());
      const std::size_t count = std::min<std::size_t>(1 + byte(rng) % 5, bytes.size() - from);
      bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                  bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
      break;
    }
  }
  return bytes;
}

struct Outcome {
  int loaded = 0, load_errors = 0, inferred = 0, infer_errors = 0;
};

// Loads, and on success runs the network and the topology match the way a
// guess would; every result must be an error or P numbers.
void exercise(const Bytes& bytes, Outcome& outcome) {
  static const std::vector<double> f = {0.1, 1.0, 10.0, 100.0, 1000.0, 1e4, -5.0};
  static const std::vector<Complex> z = {{30, -1}, {29, -5}, {20, -9}, {11, -4}, {10, -0.5}, {10, 0.1}, {0, 0}};
  const auto loaded = Guesser::from_bytes(bytes);
  ++(loaded ? outcome.loaded : outcome.load_errors);
  if (!loaded) {
    EXPECT_FALSE(loaded.error().message().empty());
    return;
  }
  const Guesser& g = loaded.value();
  if (const auto circuit = parse(g.circuit)) (void)match_or_expand(circuit.value(), circuit.value());
  const auto out = infer(g, f, z);
  ++(out ? outcome.inferred : outcome.infer_errors);
  EXPECT_TRUE(out ? out.value().size() == g.param_names.size() : !out.error().message().empty());
}

TEST(GuesserFuzz, MutatedFilesFailCleanly) {
  std::mt19937_64 rng(2024);
  const Bytes base = base_file(rng);
  Outcome outcome;
  exercise(base, outcome);
  ASSERT_EQ(outcome.inferred, 1);
  for (int i = 0; i < 3000; ++i) {
    Bytes bytes = mutate(base, rng);
    if (i % 4 == 0) bytes = mutate(bytes, rng);  // stacked mutations
    exercise(bytes, outcome);
  }
  // Both sides must have been reached, or the mutations test nothing.
  EXPECT_GT(outcome.load_errors, 500);
  EXPECT_GT(outcome.inferred, 100);
  EXPECT_GT(outcome.infer_errors, 5);
}

TEST(GuesserFuzz, RandomBuffersFailCleanly) {
  std::mt19937_64 rng(99);
  std::uniform_int_distribution<int> byte(0, 255);
  Outcome outcome;
  for (int i = 0; i < 1500; ++i) {
    Bytes bytes(std::uniform_int_distribution<std::size_t>(0, 300)(rng));
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(byte(rng));
    if (i % 2 == 0 && bytes.size() >= 8) std::copy_n("EISNN001", 8, bytes.begin());
    exercise(bytes, outcome);
  }
  EXPECT_EQ(outcome.loaded, 0);
  EXPECT_EQ(outcome.load_errors, 1500);
}

}  // namespace
}  // namespace kovrant
