// Smoothing of one channel into its two pixel series: each pixel the mean,
// over n consecutive frames, of a block difference (blocks 0 - 1 and 2 - 3).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recording/samples.h"

// Gain-step handling, chosen by the "ampcor" setting.
enum AmpCorrectionMode : int {
    kAmpNone = 0,       // raw samples
    kAmpAutomatic = 1,  // raw samples, then gain-step detection and correction
    kAmpTable = 2,      // samples scaled by their status code, then median3
};

// The smoothing number used when the one set is 0 or less.
inline constexpr int kDefaultSmoothing = 20;

// effectiveSmoothing: the smoothing number, with 0 or less replaced by 20.
inline int effectiveSmoothing(int smooth) { return smooth > 0 ? smooth : kDefaultSmoothing; }

// The gain status words (83..90) in block 0 of the first and of the last
// frame of every pixel, unshifted: what gain-step detection compares.
struct PixelStatus {
    static constexpr int kWords = 8;
    std::vector<std::array<std::int16_t, kWords>> first;
    std::vector<std::array<std::int16_t, kWords>> last;
};

// The two pixel series of one channel, in recording order: values[0..N-1]
// series 1 (blocks 0 - 1), values[N..2N-1] series 2 (blocks 2 - 3).
struct SmoothedChannel {
    std::int64_t pixels = 0;
    std::vector<double> values;
    double* series1() { return values.data(); }
    double* series2() { return values.data() + pixels; }
};

// smoothChannel
//   Given: the data area, a word position (negative: pixel-count query), the
//          smoothing number as set, the mode and the shift.
//   Does: sets area.lastFrameIndex to the last whole frame. For a channel,
//         pixel i of series 1 averages the differences of frames
//         i*n + j + shift (j = 0..n-1), series 2 of frames i*n + j - shift,
//         each frame clamped into the recording. Differences of raw words are
//         formed as integers; in mode 2 they are differences of gain-scaled
//         samples and both series are then median-filtered. In mode 1, when
//         the number as set is above 10, gain steps are detected and
//         corrected (a console line per correction appended to `lines`).
//   Returns: the series; for the query only `pixels`, nothing allocated.
SmoothedChannel smoothChannel(SampleArea& area, int channel, int smooth, int mode, int shift, std::string& lines);

// A block of T taken from the system in one piece with its pages already in
// place (cheaper than meeting each page on first write), or from the heap
// where that is not possible. Not copyable; movable.
template <typename T>
class PassBuffer {
public:
    PassBuffer() = default;
    explicit PassBuffer(std::int64_t count);
    ~PassBuffer();
    PassBuffer(PassBuffer&& other) noexcept;
    PassBuffer& operator=(PassBuffer&& other) noexcept;
    PassBuffer(const PassBuffer&) = delete;
    PassBuffer& operator=(const PassBuffer&) = delete;
    T* data() const { return data_; }

private:
    T* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

// ScanSums
//   What one pass over the recording yields for every channel at once: per
//   slot that carries a channel, the 2N pixel sums of its two series (exact
//   integers, or multiples of 1/16 with gain scaling, so any summing order
//   gives the same doubles); per slot its overflow flag; and the status words
//   that gain-step detection compares.
struct ScanSums {
    std::int64_t pixels = 0;
    int n = kDefaultSmoothing;
    // The slots' sums one after another, 2N each, as the pass counted them:
    // in 32 bits where n frames cannot overflow them, else in 64 bits; a
    // unit is one sample, or a sixteenth of one with gain scaling.
    bool wide = false;
    double unit = 1.0;
    std::int32_t* narrow = nullptr;       // the 32-bit sums: in narrowSums or in the place given
    PassBuffer<std::int32_t> narrowSums;  // their own block, when no place was given
    PassBuffer<std::int64_t> wideSums;
    std::array<std::int64_t, kVisitedSlots> offset{};  // a slot's first sum; -1: no channel
    std::array<bool, kVisitedSlots> overflow{};
    PixelStatus status;

    bool has(int slot) const { return offset[static_cast<size_t>(slot)] >= 0; }
};

// pixelCount: the number N of whole pixels of the area, frames / n.
inline std::int64_t pixelCount(const SampleArea& area, int smooth) {
    return frameCount(area.length) / effectiveSmoothing(smooth);
}

// sumsFitIn32Bits
//   Returns: whether a pixel's sum of n frames (n the smoothing number in
//          use) stays below 2^31 whatever the samples: n frames of the
//          largest difference, 65535, or sixteen times that in mode 2.
bool sumsFitIn32Bits(int smooth, int mode);

// smoothAllChannels
//   Given: the data area, which of the slots 0..79 carry a channel, the
//          smoothing number as set, the mode, the shift, and optionally a
//          place for the sums: room for 2N 32-bit sums per carried slot,
//          used when the sums fit in 32 bits (a slot's sums may be
//          overwritten once its channel is finished).
//   Does: sets area.lastFrameIndex and reads every frame once: for each
//         pixel the block differences of all channels are summed (frames
//         clamped as smoothChannel clamps them), every whole frame's words
//         are tested for overflow, and the pixels' boundary status words are
//         kept. Sums stay sums: finishChannel divides them.
//   Returns: the sums; a channel's series equal smoothChannel's exactly once
//          finished.
ScanSums smoothAllChannels(SampleArea& area, const std::array<bool, kVisitedSlots>& carriesChannel, int smooth,
                           int mode, int shift, std::int32_t* place = nullptr);

// prepareForWriting
//   Does: maps in the whole pages of [start, start + bytes) ahead of their
//         first writing, in one call instead of a page fault each. Does
//         nothing where the system lacks the call: the pages then come as
//         they are met.
void prepareForWriting(void* start, std::int64_t bytes);

// finishChannel
//   Does: turns a slot's sums into its smoothed series (divides by n, then
//         median3 in mode 2 or gain-step correction in mode 1 with a number
//         above 10, appending its console lines to `lines`). Only reads the
//         sums, so several slots may be finished at once.
//   Returns: the channel's series, identical to smoothChannel's.
SmoothedChannel finishChannel(const ScanSums& sums, int slot, int smooth, int mode, int shift, std::string& lines);

// median3
//   Does: replaces every value but the first and last by the median of it and
//         its two neighbours, taken from a copy of the series. Fewer than
//         three values are left alone.
void median3(double* values, std::int64_t count);
