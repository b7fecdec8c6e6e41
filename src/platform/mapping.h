// A whole file mapped read-only into memory, guarded against the file being
// cut short by another process while it is mapped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <thread>

namespace skanvert::platform {

// FileMapping
//   The bytes of a file, read through the system's file cache without a
//   copy. Reading a page that a shorter file no longer has would otherwise
//   stop the process (a bus error): while mapped, such a read finds zero
//   bytes instead and the mapping stops being intact(), so that the run can
//   report the damaged read. Not copyable.
class FileMapping {
public:
    FileMapping() = default;
    ~FileMapping() { release(); }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // map
    //   Given: an open file and its size in bytes (above 0).
    //   Does: maps the first `size` bytes for reading, in order; the file
    //         may be closed afterwards.
    //   Returns: false, nothing mapped, where the system cannot map it (or
    //          has no mapping at all): the caller then reads the file.
    bool map(std::FILE* file, std::int64_t size);

    const unsigned char* data() const { return data_; }
    bool mapped() const { return data_ != nullptr; }

    // intact
    //   Returns: true while every byte the mapping showed came from the file
    //          and the file still holds all of them; false once the file
    //          has been cut below the size mapped.
    bool intact() const;

    // release: gives the mapping back (waiting for a release begun in the
    // background); data() is null after it.
    void release();

    // releaseInBackground: as release(), but the mapping is given back by a
    // thread of its own (taking back a large mapping costs the system about
    // a millisecond per 50 MB), so that the run goes on meanwhile. Where no
    // thread can be had, it is given back at once.
    void releaseInBackground();

private:
    void forget();

    const unsigned char* data_ = nullptr;
    std::int64_t size_ = 0;
    int guard_ = -1;       // the slot of the bus-error guard, -1: none
    int descriptor_ = -1;  // kept to ask the file's size again
    std::thread releaser_;
};

}  // namespace skanvert::platform
