// KOVRANT_VECTOR_CLONES before a hot function compiles it twice, for the
// baseline x86-64 and for AVX2, and picks the version at load time;
// KOVRANT_WIDE_VECTOR_CLONES adds a third version for AVX-512. The results
// agree to the bit: multiplies, adds, divides and square roots round the
// same in every instruction set, the compiler vectorises no reduction whose
// order it would have to change, and contraction into fused multiply-adds
// is off for the whole build.
//
// Kernels written with explicit vector types choose their width at run time
// instead, by VectorUnit: widest_vector_unit() is the widest one this CPU
// (and its operating system) supports, as glibc sees it where it can tell,
// so that GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F,-AVX2 masks these kernels
// as it masks glibc's own; a caller may ask for a narrower one, so that
// tests can hold every width against the others on one machine.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(KOVRANT_NO_VECTOR_CLONES)
#define KOVRANT_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
// Only for loops that treat each value alike: the circuit's combination
// loops, compiled for AVX-512, were seen to turn a NaN's sign where NaNs
// meet, which the bit-for-bit model tests catch.
#define KOVRANT_WIDE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#define KOVRANT_HAS_VECTOR_UNITS 1
#else
#define KOVRANT_VECTOR_CLONES
#define KOVRANT_WIDE_VECTOR_CLONES
#define KOVRANT_HAS_VECTOR_UNITS 0
#endif

#if KOVRANT_HAS_VECTOR_UNITS && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define KOVRANT_CPU_HAS(glibc_name, gcc_name) CPU_FEATURE_ACTIVE(glibc_name)
#else
#define KOVRANT_CPU_HAS(glibc_name, gcc_name) __builtin_cpu_supports(gcc_name)
#endif

namespace kovrant {

enum class VectorUnit { Baseline, Avx2, Avx512 };

inline VectorUnit widest_vector_unit() {
#if KOVRANT_HAS_VECTOR_UNITS
  static const VectorUnit widest = KOVRANT_CPU_HAS(AVX512F, "avx512f")
                                       ? VectorUnit::Avx512
                                       : (KOVRANT_CPU_HAS(AVX2, "avx2") ? VectorUnit::Avx2 : VectorUnit::Baseline);
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
