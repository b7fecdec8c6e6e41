#include "platform/mapping.h"

#if SKANVERT_PLATFORM_CALLS
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>
#endif

namespace skanvert::platform {

#if SKANVERT_PLATFORM_CALLS

namespace {

// The bus-error guard: the address ranges of the mappings in use. A read in
// one of them that finds no page (the file was cut short) gets a page of
// zeros mapped over the rest of the range and marks the range as faulted;
// the read is then done again and goes on. A bus error anywhere else goes to
// the handler that was there before, as if there were no guard.
struct GuardSlot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> faulted{false};
};
constexpr int kGuardSlots = 32;
std::array<GuardSlot, kGuardSlots> guardSlots;
std::atomic<std::uintptr_t> pageBytes{4096};
struct sigaction previousAction {};

void onBusError(int, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardSlot& slot : guardSlots) {
        const std::uintptr_t begin = slot.begin.load();
        const std::uintptr_t end = slot.end.load();
        if (begin == 0 || address < begin || address >= end) continue;
        const std::uintptr_t page = address / pageBytes.load() * pageBytes.load();
        void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED) break;
        slot.faulted.store(true);
        return;
    }
    // Not a mapping of ours: the earlier handler (or the default, which
    // ends the process) takes the fault when the read is done again.
    sigaction(SIGBUS, &previousAction, nullptr);
}

bool installGuard() {
    static const bool installed = [] {
        pageBytes.store(static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)));
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, &previousAction) == 0;
    }();
    return installed;
}

std::mutex guardMutex;

int takeGuardSlot(const void* base, std::int64_t size) {
    if (!installGuard()) return -1;
    const std::lock_guard<std::mutex> lock(guardMutex);
    for (int i = 0; i < kGuardSlots; ++i) {
        GuardSlot& slot = guardSlots[static_cast<size_t>(i)];
        if (slot.begin.load() != 0) continue;
        slot.faulted.store(false);
        slot.end.store(reinterpret_cast<std::uintptr_t>(base) + static_cast<std::uintptr_t>(size));
        slot.begin.store(reinterpret_cast<std::uintptr_t>(base));
        return i;
    }
    return -1;
}

void freeGuardSlot(int i) {
    const std::lock_guard<std::mutex> lock(guardMutex);
    GuardSlot& slot = guardSlots[static_cast<size_t>(i)];
    slot.begin.store(0);
    slot.end.store(0);
}

}  // namespace

bool FileMapping::map(std::FILE* file, std::int64_t size) {
    release();
    if (size <= 0) return false;
    const auto length = static_cast<size_t>(size);
    void* mapping = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fileno(file), 0);
    if (mapping == MAP_FAILED) return false;
    const int descriptor = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
    const int guard = descriptor >= 0 ? takeGuardSlot(mapping, size) : -1;
    if (guard < 0) {
        // Without the guard a file cut short would stop the process: read it.
        if (descriptor >= 0) close(descriptor);
        munmap(mapping, length);
        return false;
    }
    madvise(mapping, length, MADV_SEQUENTIAL);
#ifdef MADV_HUGEPAGE
    // Pages not yet in the file cache are then read in 2 MB pieces, which
    // the system maps (and later unmaps) as one entry each instead of 512:
    // for a recording read from disk, mapping it costs next to nothing, in
    // this run and in any run after it.
    madvise(mapping, length, MADV_HUGEPAGE);
#endif
    data_ = static_cast<const unsigned char*>(mapping);
    size_ = size;
    guard_ = guard;
    descriptor_ = descriptor;
    return true;
}

bool FileMapping::intact() const {
    if (data_ == nullptr) return true;
    if (guardSlots[static_cast<size_t>(guard_)].faulted.load()) return false;
    struct stat info {};
    return fstat(descriptor_, &info) == 0 && static_cast<std::int64_t>(info.st_size) >= size_;
}

void FileMapping::forget() {
    if (guard_ >= 0) freeGuardSlot(guard_);
    if (descriptor_ >= 0) close(descriptor_);
    guard_ = -1;
    descriptor_ = -1;
    data_ = nullptr;
    size_ = 0;
}

void FileMapping::release() {
    if (releaser_.joinable()) releaser_.join();
    if (data_ == nullptr) return;
    void* const mapping = const_cast<unsigned char*>(data_);
    const auto length = static_cast<size_t>(size_);
    forget();
    munmap(mapping, length);
}

void FileMapping::releaseInBackground() {
    if (releaser_.joinable()) releaser_.join();
    if (data_ == nullptr) return;
    void* const mapping = const_cast<unsigned char*>(data_);
    const auto length = static_cast<size_t>(size_);
    try {
        releaser_ = std::thread([mapping, length] { munmap(mapping, length); });
    } catch (...) {
        release();  // no thread (or no memory for one) to be had: given back here
        return;
    }
    forget();
}

#else

bool FileMapping::map(std::FILE*, std::int64_t) { return false; }
bool FileMapping::intact() const { return true; }

void FileMapping::forget() {
    guard_ = -1;
    descriptor_ = -1;
    data_ = nullptr;
    size_ = 0;
}

void FileMapping::release() {
    if (releaser_.joinable()) releaser_.join();
    forget();
}

void FileMapping::releaseInBackground() { release(); }

#endif

}  // namespace skanvert::platform
