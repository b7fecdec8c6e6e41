#include "platform/threads.h"

#include <cstring>

#if SKANVERT_PLATFORM_CALLS && defined(__linux__)
#define SKANVERT_CORE_PLACEMENT 1
#include <pthread.h>
#include <sched.h>
#else
#define SKANVERT_CORE_PLACEMENT 0
#endif

namespace skanvert::platform {

#if SKANVERT_CORE_PLACEMENT
static_assert(sizeof(cpu_set_t) <= sizeof(std::array<unsigned char, 128>), "core mask does not fit");

CoreSet::CoreSet() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (pthread_getaffinity_np(pthread_self(), sizeof cores, &cores) != 0) return;
    std::memcpy(mask_.data(), &cores, sizeof cores);
    callerCore_ = sched_getcpu();
    known_ = true;
}

void CoreSet::startAwayFromCaller(std::thread& worker) const {
    if (!known_ || callerCore_ < 0 || callerCore_ >= CPU_SETSIZE) return;
    cpu_set_t others;
    std::memcpy(&others, mask_.data(), sizeof others);
    if (CPU_COUNT(&others) < 2 || !CPU_ISSET(callerCore_, &others)) return;
    CPU_CLR(callerCore_, &others);
    pthread_setaffinity_np(worker.native_handle(), sizeof others, &others);
}

void CoreSet::settle() const {
    if (!known_) return;
    cpu_set_t cores;
    std::memcpy(&cores, mask_.data(), sizeof cores);
    pthread_setaffinity_np(pthread_self(), sizeof cores, &cores);
}
#else
CoreSet::CoreSet() = default;
void CoreSet::startAwayFromCaller(std::thread&) const { (void)mask_, (void)callerCore_, (void)known_; }
void CoreSet::settle() const {}
#endif

}  // namespace skanvert::platform
