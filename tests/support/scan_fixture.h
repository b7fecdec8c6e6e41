// A small valid scan for runs of the built program that damage one thing at
// a time: a recording of 600 frames (30 pixels at the default smoothing)
// whose channel 1 carries the Sun, channel 2 is flat and channel 3
// overflows once, with a channel configuration for the three.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/recording_builder.h"

namespace testsupport {

inline constexpr std::int64_t kScanFrames = 600;

inline RecordingBuilder smallSunRecording(std::int64_t frames = kScanFrames) {
    RecordingBuilder b(frames);
    b.setTimeField("12:00:33");  // the Sun's centre near frame 387
    for (std::int64_t f = 0; f < frames; ++f) {
        const double x = (static_cast<double>(f % kScanFrames) - 387) / 60.0;
        const auto bump = static_cast<std::int16_t>(1000 + 3000 * std::exp(-x * x) + static_cast<double>(f % 7));
        b.setWord(f, 0, 11, bump);
        b.setWord(f, 1, 11, 17);
        b.setWord(f, 2, 11, static_cast<std::int16_t>(bump / 2));
        b.setWord(f, 0, 12, 50);
        b.setWord(f, 0, 13, bump);
    }
    if (frames > 10) b.setWord(10, 3, 13, -8191);
    return b;
}

inline const char* const kScanChannels = "chan freq use\n1 2.35 1\n2 2.70 1\n3 3.05 1\n";

inline std::vector<std::string> sortedNames(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace testsupport
