// TMemStream, the growable block that collects the primary image, and the
// big-endian encoders of the image words and the table fields.
#include "fits/mem_stream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include "platform/cpu_features.h"
#include "platform/kernels.h"

namespace skanvert {

namespace {

constexpr std::int64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();

// True when n bytes can be asked of the allocator on this platform.
bool fitsSizeT(std::int64_t n) {
    if constexpr (sizeof(std::size_t) < sizeof(std::int64_t))
        return static_cast<std::uint64_t>(n) <= std::numeric_limits<std::size_t>::max();
    return true;
}

// The low 32 bits of value × 100, computed in extended precision and
// truncated toward zero. Products beyond the 64-bit range keep the low bits
// of their exact integer; NaN and infinities give 0.
std::uint32_t hundredfoldLow32Exact(long double product) {
    product = std::trunc(product);
    if (!std::isfinite(product)) return 0;
    if (product >= -0x1p63L && product < 0x1p63L)
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(product)));
    long double low = std::fmod(product, 0x1p32L);  // exact; keeps the sign of product
    if (low < 0) low += 0x1p32L;
    return static_cast<std::uint32_t>(low);
}

// The same for every ordinary value, in double precision alone: 100 x value
// is formed as a double `high` plus its exact rounding error `low` (Dekker's
// product; 100 needs 7 bits, so splitting the value into halves of 26 bits
// makes every partial product exact). The extended product, exact as well,
// equals high + low. When `high` is not an integer no integer lies between
// it and the product, so both truncate alike; when it is one, the sign of
// `low` tells which side the product lies.
std::uint32_t hundredfoldLow32(double value) {
    // Below 2^52 the error is at most half a unit, so it moves the truncation
    // by one at most; larger products (and NaN) take the extended way.
    if (!(std::fabs(value) < 0x1p52 / 100)) return hundredfoldLow32Exact(static_cast<long double>(value) * 100.0L);
    const double high = value * 100.0;
    const double split = value * 134217729.0;  // 2^27 + 1
    const double valueHigh = split - (split - value);
    const double valueLow = value - valueHigh;
    const double low = (valueHigh * 100.0 - high) + valueLow * 100.0;
    std::int64_t truncated = static_cast<std::int64_t>(high);
    if (static_cast<double>(truncated) == high) {
        if (truncated > 0 && low < 0) --truncated;
        if (truncated < 0 && low > 0) ++truncated;
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(truncated));
}

}  // namespace

TMemStream::~TMemStream() { std::free(data_); }

// Moves the content into a new block of exactly n bytes: the whole old block
// is copied (not only the bytes in use); a first block starts zero-filled.
bool TMemStream::Reserve(std::int64_t n) {
    if (n < capacity_ || !fitsSizeT(n)) return false;
    // A block of 0 bytes still gets a distinct allocation, so "a block exists"
    // keeps one meaning for WriteTo.
    // A new block comes zero-filled from calloc, which leaves fresh pages
    // untouched until they are written; a grown block keeps the whole old
    // block through realloc, which can move large blocks without copying.
    const std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 1;
    auto* block = static_cast<unsigned char*>(data_ != nullptr ? std::realloc(data_, length) : std::calloc(length, 1));
    if (block == nullptr) throw std::bad_alloc();
    data_ = block;
    capacity_ = n;
    return true;
}

// Grows the block to twice the length needed when it is too short, then
// copies the bytes behind the data in use. The bytes may come from the
// stream's own block: their place is found again after a reallocation.
unsigned char* TMemStream::Extend(std::int64_t n) {
    if (n <= 0 || n > kMaxInt64 - size_) return nullptr;
    const std::int64_t needed = size_ + n;
    if (capacity_ < needed && (needed > kMaxInt64 / 2 || !Reserve(2 * needed))) return nullptr;
    unsigned char* at = data_ + size_;
    size_ = needed;
    return at;
}

bool TMemStream::Append(const void* bytes, std::int64_t n) {
    if (n < 0) return false;
    if (n == 0) return true;
    if (bytes == nullptr || n > kMaxInt64 - size_) return false;
    const std::int64_t needed = size_ + n;
    const auto* source = static_cast<const unsigned char*>(bytes);
    if (capacity_ < needed) {
        if (needed > kMaxInt64 / 2) return false;
        const std::less_equal<const unsigned char*> notAfter;
        const bool fromOwnBlock = data_ != nullptr && notAfter(data_, source) && !notAfter(data_ + capacity_, source);
        const std::ptrdiff_t offset = fromOwnBlock ? source - data_ : 0;
        if (!Reserve(2 * needed)) return false;
        if (fromOwnBlock) source = data_ + offset;
    }
    std::memmove(data_ + size_, source, static_cast<std::size_t>(n));
    size_ = needed;
    return true;
}

bool TMemStream::WriteTo(std::FILE* file) const {
    if (data_ == nullptr || file == nullptr) return false;
    const auto length = static_cast<std::size_t>(size_);
    return std::fwrite(data_, 1, length, file) == length;
}

void TMemStream::Reset() {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

namespace {

// Each word is composed most significant byte first by shifts, so the
// result does not depend on the host's byte order.
// The encoding of a run of values whose products with 100 all lie well
// inside the 32-bit range: the rule of hundredfoldLow32 without branches, so
// that the loop runs on vectors.
SKANVERT_KERNEL_INLINE void scaleSmallLoop(const double* values, unsigned char* out, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
        const double value = values[i];
        const double high = value * 100.0;
        const double split = value * 134217729.0;
        const double valueHigh = split - (split - value);
        const double low = (valueHigh * 100.0 - high) + (value - valueHigh) * 100.0;
        const auto truncated = static_cast<std::int32_t>(high);
        const int exact = static_cast<double>(truncated) == high;
        const int down = exact & (truncated > 0) & (low < 0);
        const int up = exact & (truncated < 0) & (low > 0);
        auto word = static_cast<std::uint32_t>(truncated - down + up);
        if constexpr (std::endian::native == std::endian::little) {
            word = (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
        }
        std::memcpy(out + 4 * i, &word, sizeof word);
    }
}

void scaleSmallBaseline(const double* values, unsigned char* out, std::int64_t count) {
    scaleSmallLoop(values, out, count);
}

SKANVERT_AVX2_TARGET void scaleSmallAvx2(const double* values, unsigned char* out, std::int64_t count) {
    scaleSmallLoop(values, out, count);
}

// The encoder's vector loops, one row per instruction set.
struct EncoderKernels {
    void (*scaleSmallToInt32BE)(const double* values, unsigned char* out, std::int64_t count);
};

constexpr KernelTable<EncoderKernels> kEncoderKernels{{{scaleSmallBaseline}, {scaleSmallAvx2}}};

}  // namespace

void scaleToInt32BE(const double* values, unsigned char* out, std::int64_t count) {
    // Runs of ordinary values take the vector loop; a run holding a large
    // or non-finite value takes the general rule value by value.
    constexpr std::int64_t kRun = 256;
    constexpr double kSmall = 0x1p30 / 100;
    const EncoderKernels& kernels = activeKernels(kEncoderKernels);
    for (std::int64_t start = 0; start < count; start += kRun) {
        const std::int64_t n = std::min(kRun, count - start);
        int small = 1;
        for (std::int64_t i = 0; i < n; ++i) small &= static_cast<int>(std::fabs(values[start + i]) < kSmall);
        if (small) {
            kernels.scaleSmallToInt32BE(values + start, out + 4 * start, n);
            continue;
        }
        for (std::int64_t i = start; i < start + n; ++i) {
            const std::uint32_t word = hundredfoldLow32(values[i]);
            unsigned char* at = out + 4 * i;
            at[0] = static_cast<unsigned char>(word >> 24);
            at[1] = static_cast<unsigned char>(word >> 16);
            at[2] = static_cast<unsigned char>(word >> 8);
            at[3] = static_cast<unsigned char>(word);
        }
    }
}

std::uint32_t swapFloat32(float x) {
    static_assert(sizeof(float) == 4, "IEEE single precision expected");
    std::uint32_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    const unsigned char bytes[4] = {static_cast<unsigned char>(bits >> 24), static_cast<unsigned char>(bits >> 16),
                                    static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes, sizeof stored);
    return stored;
}

std::uint16_t swapInt16(std::int16_t x) {
    const auto bits = static_cast<std::uint16_t>(x);
    const unsigned char bytes[2] = {static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
    std::uint16_t stored = 0;
    std::memcpy(&stored, bytes, sizeof stored);
    return stored;
}

}  // namespace skanvert
