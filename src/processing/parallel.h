// Sharing a piece of work among the processor's cores.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "platform/threads.h"

namespace skanvert {

// workerCount
//   Given: how many independent items the work has, and how many of them make
//          a worker's share worth a thread of its own.
//   Returns: the number of workers to use: one per core, at most 8, and no
//          more than items / itemsPerWorker; always at least 1.
inline std::int64_t workerCount(std::int64_t items, std::int64_t itemsPerWorker) {
    const auto cores = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
    const std::int64_t byItems = itemsPerWorker > 0 ? items / itemsPerWorker : items;
    return std::max<std::int64_t>(1, std::min({cores, byItems, std::int64_t{8}}));
}

// runWorkers
//   Given: a number of workers and work(w), the share of worker w.
//   Does: calls work(0) on the calling thread and work(1..workers-1) each on
//         a thread of its own, and returns once all have returned. A share
//         that gets no thread (the system has none to give) is done on the
//         calling thread. Nothing the workers do may depend on their order.
//   Notes: an exception thrown by any share is rethrown here once every
//          share has ended (the first one, when several throw).
template <typename Work>
void runWorkers(std::int64_t workers, const Work& work) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(std::max<std::int64_t>(1, workers)));
    const platform::CoreSet cores;
    auto guarded = [&](std::int64_t w) {
        try {
            if (w > 0) cores.settle();
            work(w);
        } catch (...) {
            failures[static_cast<std::size_t>(w)] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, workers - 1)));
    } catch (...) {
        // no room for the list: the threads that can be added still are
    }
    for (std::int64_t w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(guarded, w);
        } catch (...) {
            guarded(w);  // no thread to be had: the share is done here
            continue;
        }
        cores.startAwayFromCaller(threads.back());
    }
    guarded(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

}  // namespace skanvert
