// Gain-step correction, the noise test around the Sun, and the loop that
// selects the channels written to the output.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "fits/fits_header.h"
#include "fits/mem_stream.h"
#include "processing/geometry.h"
#include "processing/smoothing.h"
#include "tables/ini_file.h"

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
//          channel's smoothed series.
//   Does: at every pixel boundary e = n, 2n, ... below N*n compares the
//         channel's status word in block 0 of frame e (the first of pixel d)
//         with frames e - 1 and e + n - 1 (the last of pixels d - 1 and d),
//         unshifted; on a difference corrects series 1 at pixel d - shift/n
//         and series 2 at d + shift/n, appending the corrections' console
//         lines to `lines`.
void detectGainSteps(const PixelStatus& status, int channel, int n, int shift, SmoothedChannel& smoothed,
                     std::string& lines);

// noiseRms
//   Returns: the square root of the sum over i = 1..L-2 of
//          (v[i] - (v[i-1] + v[i+1]) / 2)^2, divided by L - 3.
//   Notes: only called for L >= 4.
double noiseRms(const double* v, std::int64_t length);

// sunWindowTest
//   Given: series 1 of N pixels, the window centre and half-width.
//   Returns: the channel's test value: the noise in the window [start, stop)
//          divided by the window's range (1 when the range is 0). start is
//          centre - h raised to 2; stop is centre + h, or N - 2 when that
//          exceeds N. 0 when start > stop; NaN for a window of fewer than four
//          pixels, so such a channel is never accepted.
float sunWindowTest(const double* v, std::int64_t pixels, std::int64_t centre, std::int64_t halfWidth);

// What the channel loop needs of the run's settings.
struct SelectionSettings {
    int smooth = 20;
    int ampcor = 1;
    int shift = 0;
    int debug = 0;
    int onoff = 0;
};

// The run-wide state the channel loop fills.
struct ChannelSelection {
    std::array<float, kSlotCount> slotChannelTable{};  // channel numbers, then frequencies
    std::array<bool, 256> channelUsed{};               // accepted slots
    int accepted = 0;                                  // k
};

// selectChannels
//   Given: the data area, the settings, the scan geometry, the channel
//          configuration, the coefficient table's line count, the selection
//          state with its channel numbers, and `samplesDone`, called (when
//          set) as soon as the recording's samples are no longer read.
//   Does: for every slot 0..79 that carries a channel: smooths it, tests
//         series 1 in the window around the Sun, looks up its frequency and
//         use flag, and for an accepted channel appends both series (x100,
//         big-endian, each reversed) to the image, marks the slot and writes
//         its FREQnnn / OVERnnn cards. Prints the per-channel lines (the
//         gain-step corrections, then the debug lines) in slot order.
//   Returns: false when memory for the image runs out.
bool selectChannels(SampleArea& area, const SelectionSettings& settings, const ScanGeometry& geometry,
                    const TIniFile& channelTable, int coefficientCount, ChannelSelection& selection,
                    TMemStream& image, TFitsHdr& primary, const std::function<void()>& samplesDone = {});
