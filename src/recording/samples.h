// Sample access of a VEK recording: the frame layout, the frame clamp, the
// gain scaling by status word, and the per-channel overflow test.
#pragma once

#include <array>
#include <cstdint>

namespace skanvert {

// Layout of the recording: a 4096-byte header, then frames of four blocks of
// 94 little-endian signed 16-bit words.
inline constexpr std::int64_t kHeaderBytes = 4096;
inline constexpr std::int64_t kFrameBytes = 752;
inline constexpr int kBlockWords = 94;
inline constexpr int kFrameWords = 4 * kBlockWords;
// Word positions of a block that the channel map describes, and the ones the
// conversion visits (channels 57..64 sit on status words and are never read).
inline constexpr int kSlotCount = 90;
inline constexpr int kVisitedSlots = 80;
// The first gain status word of a block; word position w is served by word
// kFirstStatusWord + w / 10.
inline constexpr int kFirstStatusWord = 83;
// A sample whose magnitude exceeds this bound is an overflow.
inline constexpr int kOverflowBound = 8190;

// The data area of a recording (the bytes after its header) and the index of
// its last whole frame, to which every sample read is clamped.
struct SampleArea {
    const unsigned char* data = nullptr;
    std::int64_t length = 0;  // bytes of the data area
    std::int64_t lastFrameIndex = -1;
};

// frameCount
//   Returns: the number of whole frames in a data area of `length` bytes; a
//          trailing partial frame does not count, a negative length gives 0.
inline std::int64_t frameCount(std::int64_t length) { return length > 0 ? length / kFrameBytes : 0; }

// sampleWord
//   Given: the data area and a frame, block (0..3) and word position (0..93)
//          inside it.
//   Returns: that little-endian signed 16-bit word.
inline std::int16_t sampleWord(const unsigned char* data, std::int64_t frame, int block, int word) {
    const unsigned char* p = data + frame * kFrameBytes + 2 * (block * kBlockWords + word);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

// clampFrame
//   Returns: 0 for a frame below 0, then lastFrameIndex for a frame above it,
//          otherwise the frame itself (the two tests in this order).
inline std::int64_t clampFrame(std::int64_t frame, std::int64_t lastFrameIndex) {
    if (frame < 0) frame = 0;
    if (frame > lastFrameIndex) frame = lastFrameIndex;
    return frame;
}

// gainStep
//   Given: a gain status code.
//   Returns: the gain step n = 1..4 of the codes 0x0n03 ... 0x0n11 with odd
//          low byte; 0 for every other value (no step).
inline int gainStep(std::int16_t status) {
    const int code = status;
    const int step = code >> 8;
    const int low = code & 0xFF;
    if (code < 0 || step < 1 || step > 4 || low < 3 || low > 17 || (low & 1) == 0) return 0;
    return step;
}

// gainFactor
//   Given: a gain status code.
//   Returns: 2^-n for the codes 0x0n03 ... 0x0n11 with odd low byte and
//          n = 1..4; 1 for every other value.
double gainFactor(std::int16_t status);

// gainScaledSample
//   Given: the data area (lastFrameIndex set, at least one whole frame), a
//          frame (clamped here), a block and a word position 0..79.
//   Returns: the sample times the factor its block's status word selects.
double gainScaledSample(const SampleArea& area, std::int64_t frame, int block, int word);

// channelOverflows
//   Given: the data area, its length in bytes and a word position.
//   Returns: 1 when a raw word at that position, in any block of any whole
//          frame, has a magnitude above 8190 (-32768 included); else 0. A
//          length below one frame (or negative) examines nothing.
int channelOverflows(const unsigned char* data, std::int64_t length, int word);

// initialSlotChannelTable
//   Returns: for each word position 0..89 the channel number it carries
//          (position 11 + 5g + i holds 4g + i + 1), 0 for the others.
std::array<float, kSlotCount> initialSlotChannelTable();

}  // namespace skanvert
