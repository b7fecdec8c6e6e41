// Which build of the vector loops runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/cpu_features.h"
#include "platform/kernels.h"

namespace {

// The test suite runs the whole runs and the property tests a second time
// with SKANVERT_KERNELS=baseline; were the variable ignored, that second
// run would test the AVX2 loops again and the baseline ones never.
TEST(KernelSet, TheHarnessCanForceTheBaseline) {
    const char* forced = std::getenv(kKernelsVariable);
    if (forced != nullptr && std::string(forced) == "baseline") {
        EXPECT_EQ(activeKernelSet(), KernelSet::kBaseline);
    } else {
        EXPECT_EQ(activeKernelSet(), processorHasAvx2() ? KernelSet::kAvx2 : KernelSet::kBaseline);
    }
    EXPECT_EQ(activeKernelSet(), activeKernelSet());  // decided once
}

}  // namespace
