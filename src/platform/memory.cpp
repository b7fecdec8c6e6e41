#include "platform/memory.h"

#include <new>

#if SKANVERT_PLATFORM_CALLS
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace skanvert::platform {

PageBlock::PageBlock(std::size_t bytes) : bytes_(bytes) {
    if (bytes == 0) return;
#if SKANVERT_PLATFORM_CALLS && defined(MAP_ANONYMOUS)
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (block != MAP_FAILED) {
        data_ = block;
        mapped_ = true;
        return;
    }
#endif
    data_ = ::operator new(bytes);  // throws std::bad_alloc when nothing is left
}

PageBlock::~PageBlock() {
    if (data_ == nullptr) return;
#if SKANVERT_PLATFORM_CALLS && defined(MAP_ANONYMOUS)
    if (mapped_) {
        munmap(data_, bytes_);
        return;
    }
#endif
    ::operator delete(data_);
}

void prepareForWriting(void* start, std::int64_t bytes) {
#if SKANVERT_PLATFORM_CALLS && defined(MADV_POPULATE_WRITE)
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + static_cast<std::uintptr_t>(bytes)) / page * page;
    if (bytes > 0 && end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)start, (void)bytes;
#endif
}

void prepareForReading(const void* start, std::int64_t bytes) {
#if SKANVERT_PLATFORM_CALLS && defined(MADV_POPULATE_READ)
    if (bytes <= 0) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(start) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(start) + static_cast<std::uintptr_t>(bytes);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);
#else
    (void)start, (void)bytes;
#endif
}

}  // namespace skanvert::platform
