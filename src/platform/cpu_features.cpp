#include "platform/cpu_features.h"

// The C library's header is C, which g++ reads but clang's C++ does not.
#if SKANVERT_AVX2_CLONES && __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#include <sys/platform/x86.h>
#endif

bool processorHasAvx2() {
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
