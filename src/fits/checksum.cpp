// The 1's-complement sums of FITS units and the ASCII encoding of CHECKSUM.
#include "fits/checksum.h"

#include <cstring>

namespace skanvert {

namespace {

constexpr std::size_t kCardBytes = 80;
constexpr std::size_t kChecksumValueIndex = 11;  // column 12, after the opening quote
constexpr std::size_t kChecksumLength = 16;

// Folds the carries of a 64-bit accumulator back into 32 bits.
std::uint32_t fold(std::uint64_t sum) {
    while (sum >> 32) sum = (sum & 0xffffffffu) + (sum >> 32);
    return static_cast<std::uint32_t>(sum);
}

}  // namespace

std::uint32_t onesComplementSum(const unsigned char* bytes, std::size_t count, std::uint32_t sum) {
    std::uint64_t acc = sum;
    std::size_t i = 0;
    // 2^30 words of at most 2^32 - 1 stay below 2^62: folding that often
    // keeps the accumulator from overflowing on any length.
    constexpr std::size_t kWordsBeforeFold = std::size_t{1} << 30;
    std::size_t sinceFold = 0;
    for (; i + 4 <= count; i += 4) {
        acc += (std::uint64_t{bytes[i]} << 24) | (std::uint64_t{bytes[i + 1]} << 16) |
               (std::uint64_t{bytes[i + 2]} << 8) | std::uint64_t{bytes[i + 3]};
        if (++sinceFold == kWordsBeforeFold) {
            acc = fold(acc);
            sinceFold = 0;
        }
    }
    if (i < count) {
        std::uint64_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) word = (word << 8) | (i + k < count ? bytes[i + k] : 0u);
        acc += word;
    }
    return fold(acc);
}

std::uint32_t onesComplementAdd(std::uint32_t a, std::uint32_t b) {
    return fold(std::uint64_t{a} + std::uint64_t{b});
}

// Each byte of the complement is split into four characters near '0' + byte/4
// whose sum is the byte; pairs are nudged (one up, one down, keeping the sum)
// off the punctuation between the digits and the letters. The 16 characters
// are then rotated right by one, which aligns them with the word boundaries
// of the card (the value starts in column 12).
std::string checksumText(std::uint32_t sum) {
    static constexpr unsigned char kExcluded[] = {0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f, 0x40,
                                                  0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60};
    const std::uint32_t value = ~sum;
    char encoded[kChecksumLength];
    for (int i = 0; i < 4; ++i) {
        const int byte = static_cast<int>((value >> (24 - 8 * i)) & 0xffu);
        int ch[4];
        for (int& c : ch) c = byte / 4 + '0';
        ch[0] += byte % 4;
        for (bool changed = true; changed;) {
            changed = false;
            for (unsigned char excluded : kExcluded) {
                for (int j = 0; j < 4; j += 2) {
                    if (ch[j] == excluded || ch[j + 1] == excluded) {
                        ++ch[j];
                        --ch[j + 1];
                        changed = true;
                    }
                }
            }
        }
        for (int j = 0; j < 4; ++j) encoded[4 * j + i] = static_cast<char>(ch[j]);
    }
    std::string text(kChecksumLength, ' ');
    for (std::size_t i = 0; i < kChecksumLength; ++i) text[i] = encoded[(i + kChecksumLength - 1) % kChecksumLength];
    return text;
}

bool sealChecksum(std::vector<char>& header, int card, std::uint32_t dataSum) {
    if (card < 0 || (static_cast<std::size_t>(card) + 1) * kCardBytes > header.size()) return false;
    char* value = header.data() + static_cast<std::size_t>(card) * kCardBytes + kChecksumValueIndex;
    if (std::memcmp(value, kChecksumPlaceholder, kChecksumLength) != 0) return false;
    const std::uint32_t sum = onesComplementSum(reinterpret_cast<const unsigned char*>(header.data()),
                                                header.size(), dataSum);
    const std::string text = checksumText(sum);
    std::memcpy(value, text.data(), kChecksumLength);
    return true;
}

}  // namespace skanvert
