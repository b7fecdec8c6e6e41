// Gain steps: where the recorder's gain changed within a channel's series
// and the correction of the series behind each step.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace skanvert {

// The gain status words (83..90) in block 0 of the first and of the last
// frame of every pixel, unshifted: what gain-step detection compares.
struct PixelStatus {
    static constexpr int kWords = 8;
    std::vector<std::array<std::int16_t, kWords>> first;
    std::vector<std::array<std::int16_t, kWords>> last;
};

// correctGainStep
//   Given: a pixel series of `count` values and the pixel j of a gain step.
//   Does: when 2 <= j and j + 3 <= count - 1 and den = 4 v[j+1] + v[j+2]
//         - 3 v[j+3] is not 0: koeff = (v[j-2] + v[j-1]) / den, appends the
//         console line "\n\tjj=%d amp koeff=%f" to `lines`, multiplies
//         v[j+1..count-1] by koeff and sets v[j] to the mean of its
//         neighbours. Otherwise nothing, so a series never reads outside
//         itself.
void correctGainStep(double* v, std::int64_t count, std::int64_t j, std::string& lines);

// detectGainSteps
//   Given: the boundary status words of every pixel, the channel's word
//          position, the smoothing number n (above 10), the shift and the
//          channel's two series of `pixels` values each.
//   Does: at every pixel boundary e = n, 2n, ... below N*n compares the
//         channel's status word in block 0 of frame e (the first of pixel d)
//         with frames e - 1 and e + n - 1 (the last of pixels d - 1 and d),
//         unshifted; on a difference corrects series 1 at pixel d - shift/n
//         and series 2 at d + shift/n, appending the corrections' console
//         lines to `lines`.
void detectGainSteps(const PixelStatus& status, int channel, int n, int shift, double* series1, double* series2,
                     std::int64_t pixels, std::string& lines);

}  // namespace skanvert
