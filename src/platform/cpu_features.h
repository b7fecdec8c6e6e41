// What the processor offers beyond the baseline instruction set, and how
// the loops that are built once per instruction set are compiled.
#pragma once

// SKANVERT_AVX2_CLONES: 1 where the compiler can build functions for AVX2
// next to the baseline (x86-64 with GNU attributes), else 0.
// SKANVERT_AVX2_TARGET: put before a function to build it for AVX2; empty
// where there are no AVX2 copies, so the function is a baseline one.
// SKANVERT_KERNEL_INLINE: for the helpers of such loops: forced inline, so
// that each copy of a loop builds its helpers for its own instruction set.
#if defined(__x86_64__) && defined(__GNUC__)
#define SKANVERT_AVX2_CLONES 1
#define SKANVERT_AVX2_TARGET [[gnu::target("avx2")]]
#define SKANVERT_KERNEL_INLINE [[gnu::always_inline]] inline
#else
#define SKANVERT_AVX2_CLONES 0
#define SKANVERT_AVX2_TARGET
#define SKANVERT_KERNEL_INLINE inline
#endif

// processorHasAvx2
//   Returns: whether AVX2 instructions may be used (by the processor and the
//          system). Read from what the C library found at start-up where it
//          tells, so that no processor query is made again: on a virtual
//          machine each query stops the machine, which costs a run start-up
//          time for nothing. False where there are no AVX2 copies.
//   Notes: decided once; later calls return the same answer.
bool processorHasAvx2();
