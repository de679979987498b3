// KOVRANT_VECTOR_CLONES before a hot function compiles it twice, for the
// baseline x86-64 and for AVX2, and picks the version at load time. The
// results agree to the bit: multiplies, adds, divides and square roots round
// the same in every instruction set, and contraction into fused
// multiply-adds is off for the whole build.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(KOVRANT_NO_VECTOR_CLONES)
#define KOVRANT_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KOVRANT_VECTOR_CLONES
#endif
