/* Preloaded ahead of gcc's sanitizer runtimes by scripts/fuzz.sh. Those
 * runtimes define weak, do-nothing __sanitizer_cov_* callbacks, and being
 * preloaded they win the symbol lookup over the libFuzzer inside atheris, so
 * atheris would register its coverage counters with nobody. Each callback
 * here forwards, as a tail call (keeping the caller's return address), to the
 * libFuzzer of the atheris module named by KOVRANT_FUZZER_CORE. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

static void* libfuzzer_symbol(const char* name) {
  void* core = dlopen(getenv("KOVRANT_FUZZER_CORE"), RTLD_NOW | RTLD_NOLOAD);
  return core ? dlsym(core, name) : NULL;
}

#define FORWARD(name, params, args)                              \
  void name params {                                             \
    static void(*target) params;                                 \
    if (!target) target = (void(*) params)libfuzzer_symbol(#name); \
    if (target) target args;                                     \
  }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t* start, uint8_t* stop), (start, stop))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t* begin, const uintptr_t* end), (begin, end))
FORWARD(__sanitizer_cov_trace_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_div4, (uint32_t value), (value))
FORWARD(__sanitizer_cov_trace_div8, (uint64_t value), (value))
FORWARD(__sanitizer_cov_trace_gep, (uintptr_t index), (index))
FORWARD(__sanitizer_cov_trace_switch, (uint64_t value, uint64_t* cases), (value, cases))
FORWARD(__sanitizer_cov_trace_pc_indir, (uintptr_t callee), (callee))
