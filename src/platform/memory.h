// Memory taken from the system with its pages already in place, and hints
// that bring the pages of a range in ahead of their use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace skanvert::platform {

// PageBlock
//   A block of bytes taken from the system in one piece with its pages
//   already in place (cheaper than meeting each page on first write), or
//   from the heap where that is not possible. Not copyable; movable.
//   Notes: a block that cannot be had at all throws std::bad_alloc.
class PageBlock {
public:
    PageBlock() = default;
    explicit PageBlock(std::size_t bytes);
    ~PageBlock();
    PageBlock(PageBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    PageBlock& operator=(PageBlock&& other) noexcept {
        if (this != &other) {
            PageBlock old(std::move(*this));
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;

    void* data() const { return data_; }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

// prepareForWriting
//   Does: maps in the whole pages of [start, start + bytes) ahead of their
//         first writing, in one call instead of a page fault each. Does
//         nothing where the system lacks the call: the pages then come as
//         they are met.
void prepareForWriting(void* start, std::int64_t bytes);

// prepareForReading
//   Does: maps in the pages of [start, start + bytes) (widened to whole
//         pages) of a file mapping ahead of their reading: one call instead
//         of a page fault every few pages. Does nothing where the system
//         lacks the call.
void prepareForReading(const void* start, std::int64_t bytes);

}  // namespace skanvert::platform
