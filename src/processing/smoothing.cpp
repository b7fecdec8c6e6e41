#include "processing/smoothing.h"

#include <bit>
#include <cstring>

#include "processing/selection.h"

namespace {

// The first word position that carries a channel (word 11 holds channel 1).
constexpr int kFirstChannelWord = 11;

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

// The status words of block 0 at the boundaries of every pixel.
PixelStatus pixelStatusOf(const SampleArea& area, int n, std::int64_t pixels) {
    PixelStatus status;
    status.first.resize(static_cast<size_t>(pixels));
    status.last.resize(static_cast<size_t>(pixels));
    for (std::int64_t i = 0; i < pixels; ++i) {
        for (int s = 0; s < PixelStatus::kWords; ++s) {
            status.first[static_cast<size_t>(i)][static_cast<size_t>(s)] = sampleWord(area.data, i * n, 0, kFirstStatusWord + s);
            status.last[static_cast<size_t>(i)][static_cast<size_t>(s)] =
                sampleWord(area.data, i * n + n - 1, 0, kFirstStatusWord + s);
        }
    }
    return status;
}

// A frame's 376 words in host order.
struct FrameWords {
    std::int16_t w[kFrameWords];
};

void loadFrame(const SampleArea& area, std::int64_t frame, FrameWords& out) {
    const unsigned char* p = area.data + frame * kFrameBytes;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out.w, p, sizeof out.w);
    } else {
        for (int i = 0; i < kFrameWords; ++i) {
            out.w[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2 * i] | (p[2 * i + 1] << 8)));
        }
    }
}

// Sixteen times the gain factor of a status code: 16 >> n for step n, so
// that scaled samples stay integers (multiples of 1/16).
std::int32_t gainTimes16(std::int16_t status) { return static_cast<std::int32_t>(gainFactor(status) * 16); }

// Per-pixel accumulators of all channel words, both series.
struct PixelAccumulator {
    std::int64_t series1[kVisitedSlots];
    std::int64_t series2[kVisitedSlots];
};

// Adds one frame pair's block differences: blocks 0 - 1 of frame a to
// series 1, blocks 2 - 3 of frame b to series 2.
void addRawDifferences(const FrameWords& a, const FrameWords& b, PixelAccumulator& acc) {
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
        acc.series1[w] += a.w[w] - a.w[kBlockWords + w];
        acc.series2[w] += b.w[2 * kBlockWords + w] - b.w[3 * kBlockWords + w];
    }
}

// As addRawDifferences, with every sample scaled by sixteen times the gain
// factor of its block's status word.
void addScaledDifferences(const FrameWords& a, const FrameWords& b, PixelAccumulator& acc) {
    std::int32_t scale[4][PixelStatus::kWords];
    for (int s = 0; s < PixelStatus::kWords; ++s) {
        scale[0][s] = gainTimes16(a.w[kFirstStatusWord + s]);
        scale[1][s] = gainTimes16(a.w[kBlockWords + kFirstStatusWord + s]);
        scale[2][s] = gainTimes16(b.w[2 * kBlockWords + kFirstStatusWord + s]);
        scale[3][s] = gainTimes16(b.w[3 * kBlockWords + kFirstStatusWord + s]);
    }
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
        const int s = w / 10;
        acc.series1[w] += a.w[w] * scale[0][s] - a.w[kBlockWords + w] * scale[1][s];
        acc.series2[w] += b.w[2 * kBlockWords + w] * scale[2][s] - b.w[3 * kBlockWords + w] * scale[3][s];
    }
}

// Marks every channel word of a frame, in any block, beyond the overflow bound.
void markOverflows(const FrameWords& frame, std::array<bool, kVisitedSlots>& overflow) {
    for (int block = 0; block < 4; ++block) {
        for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
            const int v = frame.w[block * kBlockWords + w];
            overflow[static_cast<size_t>(w)] = overflow[static_cast<size_t>(w)] | (v > kOverflowBound) | (v < -kOverflowBound);
        }
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
        detectGainSteps(pixelStatusOf(area, n, pixels), channel, smooth, shift, result);
    }
    return result;
}

ScanSums smoothAllChannels(SampleArea& area, const std::array<bool, kVisitedSlots>& carriesChannel, int smooth,
                           int mode, int shift) {
    const std::int64_t frames = frameCount(area.length);
    area.lastFrameIndex = frames - 1;
    ScanSums result;
    result.n = effectiveSmoothing(smooth);
    const int n = result.n;
    const std::int64_t pixels = frames / n;
    result.pixels = pixels;
    for (int slot = 0; slot < kVisitedSlots; ++slot) {
        if (carriesChannel[static_cast<size_t>(slot)]) result.sums[static_cast<size_t>(slot)].resize(static_cast<size_t>(2 * pixels));
    }
    result.status.first.resize(static_cast<size_t>(pixels));
    result.status.last.resize(static_cast<size_t>(pixels));

    const bool scaled = mode == kAmpTable;
    // Scaled sums count sixteenths; dividing by 16 is exact.
    const double unit = scaled ? 16.0 : 1.0;
    FrameWords series1Frame, series2Frame, plainFrame;
    for (std::int64_t i = 0; i < pixels; ++i) {
        PixelAccumulator acc{};
        for (int j = 0; j < n; ++j) {
            // Series 1 reads frames shifted by +shift, series 2 by -shift;
            // the unshifted frame is the one tested for overflow.
            const std::int64_t frame = i * n + j;
            loadFrame(area, clampFrame(frame + shift, area.lastFrameIndex), series1Frame);
            loadFrame(area, clampFrame(frame - shift, area.lastFrameIndex), series2Frame);
            if (scaled) {
                addScaledDifferences(series1Frame, series2Frame, acc);
            } else {
                addRawDifferences(series1Frame, series2Frame, acc);
            }
            loadFrame(area, frame, plainFrame);
            markOverflows(plainFrame, result.overflow);
            if (j == 0) std::memcpy(result.status.first[static_cast<size_t>(i)].data(), plainFrame.w + kFirstStatusWord, sizeof(std::int16_t) * PixelStatus::kWords);
            if (j == n - 1) std::memcpy(result.status.last[static_cast<size_t>(i)].data(), plainFrame.w + kFirstStatusWord, sizeof(std::int16_t) * PixelStatus::kWords);
        }
        for (int slot = 0; slot < kVisitedSlots; ++slot) {
            std::vector<double>& sums = result.sums[static_cast<size_t>(slot)];
            if (sums.empty()) continue;
            sums[static_cast<size_t>(i)] = static_cast<double>(acc.series1[slot]) / unit;
            sums[static_cast<size_t>(pixels + i)] = static_cast<double>(acc.series2[slot]) / unit;
        }
    }
    // Frames after the last whole pixel belong to no pixel but are tested too.
    for (std::int64_t frame = pixels * n; frame < frames; ++frame) {
        loadFrame(area, frame, plainFrame);
        markOverflows(plainFrame, result.overflow);
    }
    return result;
}

SmoothedChannel finishChannel(ScanSums& sums, int slot, int smooth, int mode, int shift) {
    SmoothedChannel result;
    result.pixels = sums.pixels;
    result.values = std::move(sums.sums[static_cast<size_t>(slot)]);
    const double n = sums.n;
    for (double& v : result.values) v /= n;
    if (mode == kAmpTable) {
        median3(result.series1(), result.pixels);
        median3(result.series2(), result.pixels);
    } else if (mode == kAmpAutomatic && smooth > 10) {
        detectGainSteps(sums.status, slot, smooth, shift, result);
    }
    return result;
}
