#include "fit/random.h"

#include <random>

namespace kovrant {
namespace {

std::uint64_t entropy_u64() {
  std::random_device device;
  const std::uint64_t high = device();
  return (high << 32) ^ device();
}

}  // namespace

Rng make_rng(std::optional<std::uint64_t> seed, std::uint64_t stream) {
  if (seed) return Rng(*seed, stream);
  return Rng(entropy_u64(), entropy_u64());
}

}  // namespace kovrant
