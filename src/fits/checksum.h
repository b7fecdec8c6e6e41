// The FITS checksums of a header-data unit: the 32-bit 1's-complement sum of
// its bytes (DATASUM) and the 16-character ASCII encoding (CHECKSUM) that
// makes the sum of the whole unit -0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skanvert {

// onesComplementSum
//   Given: bytes and their count, and the sum of the bytes before them.
//   Returns: the sum with the bytes added as big-endian 32-bit words in
//          1's-complement arithmetic (carries out of bit 31 wrap into bit 0).
//   Notes: the bytes are taken as starting on a word boundary of the unit; a
//          count that is not a multiple of 4 is summed as if zero bytes
//          completed the last word (the zero fill of a unit adds nothing).
std::uint32_t onesComplementSum(const unsigned char* bytes, std::size_t count, std::uint32_t sum = 0);

// onesComplementAdd
//   Returns: a + b in 32-bit 1's-complement arithmetic.
std::uint32_t onesComplementAdd(std::uint32_t a, std::uint32_t b);

// checksumText
//   Given: the 1's-complement sum of a unit whose CHECKSUM card holds
//          '0000000000000000'.
//   Returns: the 16 characters for the CHECKSUM card: the complement of the
//          sum encoded in ASCII digits and letters (no punctuation), so that
//          the unit with them sums to -0 (all bits set).
std::string checksumText(std::uint32_t sum);

// kChecksumPlaceholder: the CHECKSUM value a header is rendered with before
// the unit's sum is known.
inline constexpr const char* kChecksumPlaceholder = "0000000000000000";

// sealChecksum
//   Given: a rendered header whose card `card` (counted from 0) is the
//          CHECKSUM card written with kChecksumPlaceholder, and the
//          1's-complement sum of the unit's data.
//   Does: writes the unit's checksum over the placeholder.
//   Returns: false, nothing changed, when the card lies outside the header
//          or does not hold the placeholder in columns 12-27.
bool sealChecksum(std::vector<char>& header, int card, std::uint32_t dataSum);

}  // namespace skanvert
