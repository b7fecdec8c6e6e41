// Where the system runs a program's threads.
#pragma once

#include <array>
#include <thread>

namespace skanvert::platform {

// CoreSet
//   The cores the calling thread may run on. The system may queue a new
//   thread on the core of the thread that made it, even when another core is
//   idle, and leave it there until that core is free: the work it was made
//   for is then not shared at all. A worker is therefore started on the
//   cores other than its maker's (where there are others), and once it runs
//   is allowed all of them again, so that it may still move later. Both do
//   nothing where the system has no such placement.
class CoreSet {
public:
    CoreSet();
    void startAwayFromCaller(std::thread& worker) const;
    void settle() const;  // the calling thread may use every core of the set

private:
    std::array<unsigned char, 128> mask_{};  // the system's core mask, as bytes
    int callerCore_ = -1;
    bool known_ = false;
};

}  // namespace skanvert::platform
