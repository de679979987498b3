// KOVRANT_VECTOR_CLONES before a hot function compiles it three times, for
// the baseline x86-64, for AVX2 and for AVX-512, and picks the version at
// load time. The results agree to the bit: multiplies, adds, divides and
// square roots round the same in every instruction set, the compiler
// vectorises no reduction whose order it would have to change, and
// contraction into fused multiply-adds is off for the whole build.
//
// Kernels written with explicit vector types choose their width at run time
// instead, by VectorUnit: widest_vector_unit() is the widest one this CPU
// (and its operating system) supports, and a caller may ask for a narrower
// one, so that tests can hold every width against the others on one machine.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(KOVRANT_NO_VECTOR_CLONES)
#define KOVRANT_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#define KOVRANT_HAS_VECTOR_UNITS 1
#else
#define KOVRANT_VECTOR_CLONES
#define KOVRANT_HAS_VECTOR_UNITS 0
#endif

namespace kovrant {

enum class VectorUnit { Baseline, Avx2, Avx512 };

inline VectorUnit widest_vector_unit() {
#if KOVRANT_HAS_VECTOR_UNITS
  static const VectorUnit widest = __builtin_cpu_supports("avx512f")
                                       ? VectorUnit::Avx512
                                       : (__builtin_cpu_supports("avx2") ? VectorUnit::Avx2 : VectorUnit::Baseline);
  return widest;
#else
  return VectorUnit::Baseline;
#endif
}

// `wanted`, or the widest unit this CPU has where that is narrower.
inline VectorUnit usable_vector_unit(VectorUnit wanted) {
  const VectorUnit widest = widest_vector_unit();
  return static_cast<int>(wanted) < static_cast<int>(widest) ? wanted : widest;
}

}  // namespace kovrant
