// TMemStream, the growable byte stream in which the primary image is
// collected, and the big-endian encoders of the FITS output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace skanvert {

class TMemStream {
public:
    TMemStream() = default;
    ~TMemStream();
    TMemStream(const TMemStream&) = delete;
    TMemStream& operator=(const TMemStream&) = delete;

    std::int64_t Size() const { return size_; }
    std::int64_t Capacity() const { return capacity_; }
    const unsigned char* Data() const { return data_; }

    // Reserve
    //   Returns: true when the block now has capacity n (n equal to the
    //         capacity reallocates a block of the same length and keeps the
    //         content; a new block is zero-filled). False, nothing changed,
    //         when n is below the capacity or beyond what can be asked for.
    //   Notes: memory that cannot be obtained throws std::bad_alloc, nothing
    //         changed; so do Append and Extend, which grow through Reserve.
    bool Reserve(std::int64_t n);

    // Append
    //   Does: copies n bytes to the end; when the capacity is short, first
    //         grows the block to twice the length needed.
    //   Returns: false, nothing changed, when n is negative or the length
    //         needed is beyond what can be asked for. Appending 0 bytes to an
    //         empty stream creates no block.
    bool Append(const void* bytes, std::int64_t n);

    // Extend
    //   Does: adds n bytes at the end, growing as Append does, for the caller
    //         to write in place (their content is undefined until then).
    //   Returns: the first of them; null, nothing changed, when n is not
    //         above 0 or the length needed is beyond what can be asked for.
    unsigned char* Extend(std::int64_t n);

    // Truncate
    //   Does: keeps the first n bytes; n outside 0..Size() changes nothing.
    //         The block and its capacity stay.
    void Truncate(std::int64_t n) {
        if (n >= 0 && n <= size_) size_ = n;
    }

    // WriteTo
    //   Returns: true when all `Size()` bytes were written to the file in one
    //         write; false when there is no block, no file, or the write fell
    //         short.
    bool WriteTo(std::FILE* file) const;

    // Reset: releases the block; size and capacity become 0.
    void Reset();

private:
    unsigned char* data_ = nullptr;
    std::int64_t size_ = 0;
    std::int64_t capacity_ = 0;
};

// scaleToInt32BE
//   Given: count reals and an output area of 4*count bytes.
//   Does: each real times 100 (extended precision), truncated toward zero,
//         its low 32 bits stored big-endian. A product beyond the 64-bit range
//         keeps the low 32 bits of its exact integer; NaN and infinities are
//         stored as 0.
void scaleToInt32BE(const double* values, unsigned char* out, std::int64_t count);

// swapFloat32 / swapInt16
//   Returns: a value whose bytes in memory are the big-endian IEEE single
//          (two's-complement 16-bit) form of x, whatever the host order;
//          store it with memcpy.
std::uint32_t swapFloat32(float x);
std::uint16_t swapInt16(std::int16_t x);

}  // namespace skanvert
