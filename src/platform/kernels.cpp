#include "platform/kernels.h"

#include <cstdlib>
#include <cstring>

#include "platform/cpu_features.h"

namespace {

KernelSet chooseKernelSet() {
    const char* forced = std::getenv(kKernelsVariable);
    if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return KernelSet::kBaseline;
    return processorHasAvx2() ? KernelSet::kAvx2 : KernelSet::kBaseline;
}

}  // namespace

KernelSet activeKernelSet() {
    static const KernelSet set = chooseKernelSet();
    return set;
}
