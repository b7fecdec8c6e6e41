#include "processing/selection.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "fits/output.h"
#include "processing/parallel.h"

void correctGainStep(double* v, std::int64_t count, std::int64_t j, std::string& lines) {
    if (j < 2 || j + 3 > count - 1) return;
    const double den = 4 * v[j + 1] + v[j + 2] - 3 * v[j + 3];
    if (den == 0) return;
    const double koeff = (v[j - 2] + v[j - 1]) / den;
    // "%f" of a double is at most 317 characters long.
    char line[400];
    std::snprintf(line, sizeof line, "\n\tjj=%d amp koeff=%f", static_cast<int>(j), koeff);
    lines += line;
    for (std::int64_t i = j + 1; i < count; ++i) v[i] *= koeff;
    v[j] = (v[j - 1] + v[j + 1]) * 0.5;
}

void detectGainSteps(const PixelStatus& status, int channel, int n, int shift, SmoothedChannel& smoothed,
                     std::string& lines) {
    const std::int64_t pixels = smoothed.pixels;
    const auto word = static_cast<size_t>(channel / 10);
    const std::int64_t q = shift / n;
    for (std::int64_t d = 1; d < pixels; ++d) {
        const std::int16_t here = status.first[static_cast<size_t>(d)][word];
        if (here != status.last[static_cast<size_t>(d - 1)][word] || here != status.last[static_cast<size_t>(d)][word]) {
            correctGainStep(smoothed.series1(), pixels, d - q, lines);
            correctGainStep(smoothed.series2(), pixels, d + q, lines);
        }
    }
}

double noiseRms(const double* v, std::int64_t length) {
    double sum = 0.0;
    for (std::int64_t i = 1; i + 1 < length; ++i) {
        const double difference = v[i] - (v[i - 1] + v[i + 1]) * 0.5;
        sum += difference * difference;
    }
    return std::sqrt(sum / static_cast<double>(length - 3));
}

float sunWindowTest(const double* v, std::int64_t pixels, std::int64_t centre, std::int64_t halfWidth) {
    std::int64_t start = centre - halfWidth;
    if (start < 2) start = 2;
    std::int64_t stop = centre + halfWidth;
    if (stop > pixels) stop = pixels - 2;
    if (start > stop) return 0.0f;
    if (stop - start < 4) return std::numeric_limits<float>::quiet_NaN();

    double maximum = v[start];
    double minimum = v[start];
    for (std::int64_t i = start; i < stop; ++i) {
        if (v[i] > maximum) {
            maximum = v[i];
        } else if (v[i] < minimum) {
            minimum = v[i];
        }
    }
    const double range = maximum - minimum;
    return static_cast<float>(range > 0 ? noiseRms(v + start, stop - start) / range : 1.0);
}

namespace {

// The use flag of a configuration row: its value's integer part, truncated
// toward zero; a row without the column is switched on. NaN counts as on.
int useFlagOf(const ChannelRow& row, int valuesRead) {
    if (valuesRead < 3) return 1;
    const float flag = row.value[1];
    return std::fabs(flag) < 1.0f ? 0 : 1;
}

// A channel made ready for the selection: its test value, the console lines
// its finishing printed, and its encoded series in its place of the image.
struct ReadyChannel {
    int slot = 0;
    float test = 0.0f;
    std::string lines;
};

// Finishes one channel, tests it and encodes both series as hundredths,
// each in output order (the reverse of recording order), into `out`
// (8 bytes a pixel). The encoding goes value by value, so reversing the
// values first gives the bytes of reversing the encoded words.
void makeReady(const ScanSums& sums, const SelectionSettings& settings, const ScanGeometry& geometry,
               ReadyChannel& channel, unsigned char* out) {
    SmoothedChannel smoothed =
        finishChannel(sums, channel.slot, settings.smooth, settings.ampcor, settings.shift, channel.lines);
    const std::int64_t pixels = smoothed.pixels;
    channel.test = sunWindowTest(smoothed.series1(), pixels, geometry.windowCentre, geometry.windowHalfWidth);
    if (pixels == 0) return;
    std::reverse(smoothed.series1(), smoothed.series1() + pixels);
    std::reverse(smoothed.series2(), smoothed.series2() + pixels);
    scaleToInt32BE(smoothed.values.data(), out, 2 * pixels);
}

}  // namespace

bool selectChannels(SampleArea& area, const SelectionSettings& settings, const ScanGeometry& geometry,
                    const TIniFile& channelTable, int coefficientCount, ChannelSelection& selection,
                    TMemStream& image, TFitsHdr& primary, const std::function<void()>& samplesDone) {
    std::array<bool, kVisitedSlots> carriesChannel{};
    std::vector<ReadyChannel> ready;
    for (int slot = 0; slot < kVisitedSlots; ++slot) {
        carriesChannel[static_cast<size_t>(slot)] = selection.slotChannelTable[static_cast<size_t>(slot)] != 0;
        if (carriesChannel[static_cast<size_t>(slot)]) ready.push_back(ReadyChannel{slot, 0.0f, {}});
    }
    // The image takes room for every carried channel at once, its pages
    // mapped in ahead. Where the sums fit in 32 bits the pass keeps them in
    // that room: a channel's 2N sums take the 8N bytes its encoded series
    // will, so each channel is encoded over its own sums.
    const std::int64_t channelBytes = 8 * pixelCount(area, settings.smooth);
    const auto count = static_cast<std::int64_t>(ready.size());
    unsigned char* places = nullptr;
    if (channelBytes * count > 0) {
        if (image.Capacity() - image.Size() < channelBytes * count) image.Reserve(image.Size() + channelBytes * count);
        places = image.Extend(channelBytes * count);
        if (places == nullptr) return false;
        prepareForWriting(places, channelBytes * count);
    }
    std::int32_t* sumsPlace = nullptr;
    if (places != nullptr && sumsFitIn32Bits(settings.smooth, settings.ampcor) &&
        reinterpret_cast<std::uintptr_t>(places) % alignof(std::int32_t) == 0) {
        sumsPlace = reinterpret_cast<std::int32_t*>(places);
    }
    const ScanSums sums =
        smoothAllChannels(area, carriesChannel, settings.smooth, settings.ampcor, settings.shift, sumsPlace);
    if (samplesDone) samplesDone();

    // Every channel is then finished, tested and encoded into its place,
    // shared among the cores. Nothing is printed meanwhile: each channel's
    // lines are kept for the loop below.
    const std::int64_t workers = workerCount(channelBytes * count, 1 << 17);
    std::atomic<std::int64_t> next{0};
    runWorkers(workers, [&](std::int64_t) {
        for (std::int64_t c = next++; c < count; c = next++) {
            makeReady(sums, settings, geometry, ready[static_cast<size_t>(c)],
                      places ? places + c * channelBytes : nullptr);
        }
    });

    // Then, in slot order, the selection with its console lines; an accepted
    // channel's series move down to follow the last accepted one.
    const std::int64_t imageStart = image.Size() - channelBytes * count;
    for (std::int64_t c = 0; c < count; ++c) {
        const ReadyChannel& channel = ready[static_cast<size_t>(c)];
        const int slot = channel.slot;
        std::fputs(channel.lines.c_str(), stdout);
        float& entry = selection.slotChannelTable[static_cast<size_t>(slot)];
        if (settings.debug) std::printf("\n %.1f ", static_cast<double>(entry));

        ChannelRow row;
        const int valuesRead = channelTable.FindChannelRow(entry, row, "%.2f");
        if (valuesRead == 0) continue;  // no row for this channel: skipped like a frequency of 0
        const float frequency = row.value[0];
        entry = frequency;
        // A frequency that is 0, or no finite single-precision number, switches the channel off.
        if (frequency == 0 || !std::isfinite(frequency)) continue;
        if (settings.debug) {
            std::printf(" %6.2fGHz test = %f sigma = %f shift=%d", static_cast<double>(frequency),
                        static_cast<double>(channel.test), static_cast<double>(geometry.sigma), settings.shift);
        }
        int useFlag = useFlagOf(row, valuesRead);
        if (coefficientCount == 0 || settings.onoff == 0) useFlag = 1;
        if (!(geometry.sigma > channel.test) || useFlag == 0) continue;

        if (settings.debug) std::printf(" +");
        if (places != nullptr && selection.accepted != c) {
            std::memmove(places + selection.accepted * channelBytes, places + c * channelBytes,
                         static_cast<size_t>(channelBytes));
        }
        selection.channelUsed[static_cast<size_t>(slot)] = true;
        ++selection.accepted;
        const int overflow = sums.overflow[static_cast<size_t>(slot)] ? 1 : 0;
        writeChannelCards(primary, selection.accepted, frequency, overflow);
        if (settings.debug && overflow) std::printf("   data overflows");
    }
    image.Truncate(imageStart + channelBytes * selection.accepted);
    return true;
}
