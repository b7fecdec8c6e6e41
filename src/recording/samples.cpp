#include "recording/samples.h"

#include <cstdlib>

namespace skanvert {

double gainFactor(std::int16_t status) {
    // The recorder marks a gain step n = 1..4 in the high byte and an odd
    // code 3..17 in the low byte; each step halves the amplitude.
    static constexpr double kFactors[5] = {1.0, 0.5, 0.25, 0.125, 0.0625};
    return kFactors[gainStep(status)];
}

double gainScaledSample(const SampleArea& area, std::int64_t frame, int block, int word) {
    const std::int64_t f = clampFrame(frame, area.lastFrameIndex);
    const double v = sampleWord(area.data, f, block, word);
    return v * gainFactor(sampleWord(area.data, f, block, kFirstStatusWord + word / 10));
}

int channelOverflows(const unsigned char* data, std::int64_t length, int word) {
    const std::int64_t frames = frameCount(length);
    for (std::int64_t f = 0; f < frames; ++f) {
        for (int block = 0; block < 4; ++block) {
            if (std::abs(static_cast<int>(sampleWord(data, f, block, word))) > kOverflowBound) return 1;
        }
    }
    return 0;
}

std::array<float, kSlotCount> initialSlotChannelTable() {
    std::array<float, kSlotCount> table{};
    for (int g = 0; g < 16; ++g) {
        for (int i = 0; i < 4; ++i) table[static_cast<size_t>(11 + 5 * g + i)] = static_cast<float>(4 * g + i + 1);
    }
    return table;
}

}  // namespace skanvert
