// The choice among the builds of the vector loops (the pass over the
// frames, the means and the median filter of the channels, the image
// encoder): each module keeps a table of its loops, one row per instruction
// set, and every row gives the same results. Which row runs is decided here,
// once per process.
#pragma once

#include <array>
#include <cstddef>

// The instruction sets the loops are built for, in table order.
enum class KernelSet : int {
    kBaseline = 0,  // the compiler's baseline for the target
    kAvx2 = 1,      // AVX2 (the baseline build again where there are no AVX2 copies)
};
inline constexpr std::size_t kKernelSetCount = 2;

// The environment variable through which a test harness forces the baseline
// loops on a processor that has AVX2: SKANVERT_KERNELS=baseline.
inline constexpr const char* kKernelsVariable = "SKANVERT_KERNELS";

// activeKernelSet
//   Returns: the set the loops run in: AVX2 where the processor has it and
//          AVX2 copies are built, else the baseline; the baseline whenever
//          SKANVERT_KERNELS is "baseline".
//   Notes: decided at the first call and kept for the process; any other
//          value of the variable, or none, leaves the choice to the processor.
KernelSet activeKernelSet();

// A module's table of loops: one row (a struct of function pointers) per
// instruction set, indexed by KernelSet.
template <typename Row>
using KernelTable = std::array<Row, kKernelSetCount>;

// activeKernels
//   Returns: the row of `table` for the active set.
template <typename Row>
const Row& activeKernels(const KernelTable<Row>& table) {
    return table[static_cast<std::size_t>(activeKernelSet())];
}
