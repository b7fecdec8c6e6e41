// Smoothing of one channel into its two pixel series: each pixel the mean,
// over n consecutive frames, of a block difference (blocks 0 - 1 and 2 - 3).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "processing/gain_steps.h"
#include "processing/scan_settings.h"
#include "recording/samples.h"

namespace skanvert {

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
SmoothedChannel smoothChannel(SampleArea& area, int channel, int smooth, AmpCorrectionMode mode, int shift,
                              std::string& lines);

// A block of `count` T with its pages already in place (see PageBlock);
// empty for a count of 0 or less. Not copyable; movable.
template <typename T>
class PassBuffer {
public:
    PassBuffer() = default;
    explicit PassBuffer(std::int64_t count)
        : block_(count > 0 ? static_cast<std::size_t>(count) * sizeof(T) : 0) {}
    T* data() const { return static_cast<T*>(block_.data()); }

private:
    platform::PageBlock block_;
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
bool sumsFitIn32Bits(int smooth, AmpCorrectionMode mode);

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
                           AmpCorrectionMode mode, int shift, std::int32_t* place = nullptr);

// finishChannel
//   Does: turns a slot's sums into its smoothed series (divides by n, then
//         median3 in mode 2 or gain-step correction in mode 1 with a number
//         above 10, appending its console lines to `lines`). Only reads the
//         sums, so several slots may be finished at once.
//   Returns: the channel's series, identical to smoothChannel's.
SmoothedChannel finishChannel(const ScanSums& sums, int slot, int smooth, AmpCorrectionMode mode, int shift,
                              std::string& lines);

// median3
//   Does: replaces every value but the first and last by the median of it and
//         its two neighbours, taken from a copy of the series. Fewer than
//         three values are left alone.
void median3(double* values, std::int64_t count);

}  // namespace skanvert
