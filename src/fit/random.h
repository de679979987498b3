// Seedable random numbers for the stochastic fitting methods.
//
// Contract: Rng is a PCG64 generator. A given (seed, stream) pair always gives
// the same sequence on every platform and standard library, because the
// conversions to floating point below are ours (std::uniform_*_distribution
// is implementation-defined). Without a seed the state comes from
// std::random_device. Distinct streams of one seed are independent sequences.
#pragma once

#include <cstdint>
#include <optional>
#include <pcg_random.hpp>

namespace kovrant {

using Rng = pcg64;

Rng make_rng(std::optional<std::uint64_t> seed, std::uint64_t stream);

// Uniform in [0, 1) from the top 53 bits of one draw.
inline double uniform_unit(Rng& rng) { return static_cast<double>(rng() >> 11) * 0x1p-53; }

// Uniform in [0, 1) in single precision from the top 24 bits of one draw.
inline float uniform_unit_f32(Rng& rng) { return static_cast<float>(rng() >> 40) * 0x1p-24f; }

// lo + (hi - lo) * u with u from uniform_unit.
inline double uniform_between(Rng& rng, double lo, double hi) { return lo + (hi - lo) * uniform_unit(rng); }

// Uniform integer in [0, count), count > 0, by the multiply-shift mapping.
inline std::uint64_t uniform_index(Rng& rng, std::uint64_t count) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(rng()) * count) >> 64);
}

}  // namespace kovrant
