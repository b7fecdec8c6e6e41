// What the processor offers beyond the baseline instruction set, for the
// loops that are built twice (baseline and AVX2) and chosen at run time.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define SKANVERT_AVX2_CLONES 1
// The C library's header is C, which g++ reads but clang's C++ does not.
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#include <sys/platform/x86.h>
#endif
#else
#define SKANVERT_AVX2_CLONES 0
#endif

// processorHasAvx2
//   Returns: whether AVX2 instructions may be used (by the processor and the
//          system). Read from what the C library found at start-up where it
//          tells, so that no processor query is made again: on a virtual
//          machine each query stops the machine, which costs a run start-up
//          time for nothing. False where there are no AVX2 clones.
inline bool processorHasAvx2() {
#if SKANVERT_AVX2_CLONES && defined(CPU_FEATURE_ACTIVE)
    static const bool has = CPU_FEATURE_ACTIVE(AVX2);
    return has;
#elif SKANVERT_AVX2_CLONES
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}
