#include "processing/smoothing.h"

#include "processing/selection.h"

namespace {

// One series of one channel: pixel i averages the differences of blocks
// `first` and `first + 1` over the n frames i*n + j + offset, clamped.
void smoothSeries(const SampleArea& area, int channel, int n, std::int64_t offset, int firstBlock, bool scaled,
                  double* out, std::int64_t pixels) {
    for (std::int64_t i = 0; i < pixels; ++i) {
        const std::int64_t base = i * n + offset;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) {
            const std::int64_t frame = clampFrame(base + j, area.lastFrameIndex);
            if (scaled) {
                sum += gainScaledSample(area, frame, firstBlock, channel) -
                       gainScaledSample(area, frame, firstBlock + 1, channel);
            } else {
                const int difference = sampleWord(area.data, frame, firstBlock, channel) -
                                       sampleWord(area.data, frame, firstBlock + 1, channel);
                sum += static_cast<double>(difference);
            }
        }
        out[i] = sum / n;
    }
}

}  // namespace

void median3(double* values, std::int64_t count) {
    if (count < 3) return;
    const std::vector<double> copy(values, values + count);
    for (std::int64_t i = 1; i + 1 < count; ++i) {
        double high = copy[static_cast<size_t>(i - 1)];
        double low = copy[static_cast<size_t>(i)];
        if (copy[static_cast<size_t>(i)] > copy[static_cast<size_t>(i - 1)]) {
            high = copy[static_cast<size_t>(i)];
            low = copy[static_cast<size_t>(i - 1)];
        }
        const double next = copy[static_cast<size_t>(i + 1)];
        values[i] = next > high ? high : (next > low ? next : low);
    }
}

SmoothedChannel smoothChannel(SampleArea& area, int channel, int smooth, int mode, int shift) {
    area.lastFrameIndex = frameCount(area.length) - 1;
    const int n = effectiveSmoothing(smooth);
    SmoothedChannel result;
    result.pixels = frameCount(area.length) / n;
    if (channel < 0) return result;

    const std::int64_t pixels = result.pixels;
    result.values.assign(static_cast<size_t>(2 * pixels), 0.0);
    const bool scaled = mode == kAmpTable;
    smoothSeries(area, channel, n, shift, 0, scaled, result.series1(), pixels);
    smoothSeries(area, channel, n, -static_cast<std::int64_t>(shift), 2, scaled, result.series2(), pixels);

    if (mode == kAmpTable) {
        median3(result.series1(), pixels);
        median3(result.series2(), pixels);
    } else if (mode == kAmpAutomatic && smooth > 10) {
        detectGainSteps(area, channel, smooth, shift, result);
    }
    return result;
}
