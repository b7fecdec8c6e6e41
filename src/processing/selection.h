// The channels of the output: the pass that sums every channel at once, the
// noise test around the Sun, and the finishing that keeps the channels that
// pass it, encoded into the image.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "fits/mem_stream.h"
#include "platform/report.h"
#include "processing/geometry.h"
#include "processing/scan_settings.h"
#include "processing/smoothing.h"
#include "tables/ini_file.h"

namespace skanvert {

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

// What the pass over the recording leaves for the finishing: the sums of
// every channel, kept in the image's room where they fit in 32 bits (a
// channel's 2N sums take the 8N bytes its encoded series will).
struct ChannelPass {
    ScanSums sums;
    std::vector<int> slots;            // the slots that carry a channel, in order
    std::int64_t channelBytes = 0;     // 8N: one channel's two encoded series
    std::int64_t imageStart = 0;       // where the channels' room begins in the image
    unsigned char* places = nullptr;   // that room; null when it is empty
};

// passOverChannels
//   Given: the data area, the settings, each slot's channel number (0: no
//          channel) and the image.
//   Does: adds room for every carried channel to the image (its pages
//         mapped in ahead) and reads every frame of the recording once (see
//         smoothAllChannels). The recording's bytes are not read afterwards:
//         the caller may give them back as soon as this returns.
//   Returns: the pass. Throws std::bad_alloc when memory runs out.
ChannelPass passOverChannels(SampleArea& area, const ScanSettings& settings,
                             const std::array<float, kSlotCount>& slotChannels, TMemStream& image);

// A channel kept for the output.
struct AcceptedChannel {
    int slot = 0;
    float frequency = 0;   // GHz, from the channel configuration
    bool overflow = false;  // a sample of the channel overflowed
};

// finishChannels
//   Given: the pass, the settings, the scan geometry, the channel
//          configuration, whether a coefficient table is loaded, the image
//          the pass added room to, and where to report.
//   Does: finishes, tests and encodes every channel (shared among the cores:
//         both series as hundredths, big-endian, each reversed), then in
//         slot order reports the channel's lines (its gain-step corrections,
//         then the debug lines), looks up its frequency and use flag and
//         keeps it when it passes the test: its series move down to follow
//         the last kept one. The image ends after the kept channels.
//   Returns: the kept channels in slot order. A channel without a row or with
//          a frequency of 0 (or not finite) is skipped; its use flag counts
//          only with -onoff and a coefficient table.
std::vector<AcceptedChannel> finishChannels(const ChannelPass& pass, const ScanSettings& settings,
                                            const ScanGeometry& geometry, const TIniFile& channelTable,
                                            bool coefficientsLoaded, TMemStream& image, Report& report);

}  // namespace skanvert
