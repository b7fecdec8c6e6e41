#include "processing/selection.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "platform/memory.h"
#include "processing/parallel.h"

namespace skanvert {

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

// A channel made ready for the selection: its test value and the console
// lines its finishing wrote; its encoded series stand in its place of the
// image.
struct ReadyChannel {
    float test = 0.0f;
    std::string lines;
};

// Finishes one channel, tests it and encodes both series as hundredths,
// each in output order (the reverse of recording order), into `out`
// (8 bytes a pixel). The encoding goes value by value, so reversing the
// values first gives the bytes of reversing the encoded words.
void makeReady(const ScanSums& sums, int slot, const ScanSettings& settings, const ScanGeometry& geometry,
               ReadyChannel& channel, unsigned char* out) {
    SmoothedChannel smoothed =
        finishChannel(sums, slot, settings.smooth, settings.mode(), settings.shift, channel.lines);
    const std::int64_t pixels = smoothed.pixels;
    channel.test = sunWindowTest(smoothed.series1(), pixels, geometry.windowCentre, geometry.windowHalfWidth);
    if (pixels == 0) return;
    std::reverse(smoothed.series1(), smoothed.series1() + pixels);
    std::reverse(smoothed.series2(), smoothed.series2() + pixels);
    scaleToInt32BE(smoothed.values.data(), out, 2 * pixels);
}

}  // namespace

ChannelPass passOverChannels(SampleArea& area, const ScanSettings& settings,
                             const std::array<float, kSlotCount>& slotChannels, TMemStream& image) {
    ChannelPass pass;
    std::array<bool, kVisitedSlots> carriesChannel{};
    for (int slot = 0; slot < kVisitedSlots; ++slot) {
        carriesChannel[static_cast<size_t>(slot)] = slotChannels[static_cast<size_t>(slot)] != 0;
        if (carriesChannel[static_cast<size_t>(slot)]) pass.slots.push_back(slot);
    }
    // The image takes room for every carried channel at once, its pages
    // mapped in ahead. Where the sums fit in 32 bits the pass keeps them in
    // that room, so each channel is encoded over its own sums.
    pass.channelBytes = 8 * pixelCount(area, settings.smooth);
    const auto count = static_cast<std::int64_t>(pass.slots.size());
    const std::int64_t roomBytes = pass.channelBytes * count;
    if (roomBytes > 0) {
        if (image.Capacity() - image.Size() < roomBytes) image.Reserve(image.Size() + roomBytes);
        pass.places = image.Extend(roomBytes);
        if (pass.places == nullptr) throw std::bad_alloc();
        platform::prepareForWriting(pass.places, roomBytes);
    }
    pass.imageStart = image.Size() - roomBytes;
    std::int32_t* sumsPlace = nullptr;
    if (pass.places != nullptr && sumsFitIn32Bits(settings.smooth, settings.mode()) &&
        reinterpret_cast<std::uintptr_t>(pass.places) % alignof(std::int32_t) == 0) {
        sumsPlace = reinterpret_cast<std::int32_t*>(pass.places);
    }
    pass.sums = smoothAllChannels(area, carriesChannel, settings.smooth, settings.mode(), settings.shift, sumsPlace);
    return pass;
}

std::vector<AcceptedChannel> finishChannels(const ChannelPass& pass, const ScanSettings& settings,
                                            const ScanGeometry& geometry, const TIniFile& channelTable,
                                            bool coefficientsLoaded, TMemStream& image, Report& report) {
    // Every channel is first finished, tested and encoded into its place,
    // shared among the cores. Nothing is reported meanwhile: each channel's
    // lines are kept for the loop below.
    const auto count = static_cast<std::int64_t>(pass.slots.size());
    const std::int64_t channelBytes = pass.channelBytes;
    std::vector<ReadyChannel> ready(static_cast<size_t>(count));
    const std::int64_t workers = workerCount(channelBytes * count, 1 << 17);
    std::atomic<std::int64_t> next{0};
    runWorkers(workers, [&](std::int64_t) {
        for (std::int64_t c = next++; c < count; c = next++) {
            makeReady(pass.sums, pass.slots[static_cast<size_t>(c)], settings, geometry,
                      ready[static_cast<size_t>(c)], pass.places ? pass.places + c * channelBytes : nullptr);
        }
    });

    // Then, in slot order, the selection with its console lines; an accepted
    // channel's series move down to follow the last accepted one.
    const std::array<float, kSlotCount> channelNumbers = initialSlotChannelTable();
    std::vector<AcceptedChannel> accepted;
    for (std::int64_t c = 0; c < count; ++c) {
        const ReadyChannel& channel = ready[static_cast<size_t>(c)];
        const int slot = pass.slots[static_cast<size_t>(c)];
        report.out(channel.lines);
        const float number = channelNumbers[static_cast<size_t>(slot)];
        if (settings.debug) report.outf("\n %.1f ", static_cast<double>(number));

        ChannelRow row;
        const int valuesRead = channelTable.FindChannelRow(number, row, "%.2f");
        if (valuesRead == 0) continue;  // no row for this channel: skipped like a frequency of 0
        const float frequency = row.value[0];
        // A frequency that is 0, or no finite single-precision number, switches the channel off.
        if (frequency == 0 || !std::isfinite(frequency)) continue;
        if (settings.debug) {
            report.outf(" %6.2fGHz test = %f sigma = %f shift=%d", static_cast<double>(frequency),
                        static_cast<double>(channel.test), static_cast<double>(geometry.sigma), settings.shift);
        }
        int useFlag = useFlagOf(row, valuesRead);
        if (!coefficientsLoaded || settings.onoff == 0) useFlag = 1;
        if (!(geometry.sigma > channel.test) || useFlag == 0) continue;

        if (settings.debug) report.out(" +");
        const auto kept = static_cast<std::int64_t>(accepted.size());
        if (pass.places != nullptr && kept != c) {
            std::memmove(pass.places + kept * channelBytes, pass.places + c * channelBytes,
                         static_cast<size_t>(channelBytes));
        }
        const bool overflow = pass.sums.overflow[static_cast<size_t>(slot)];
        accepted.push_back(AcceptedChannel{slot, frequency, overflow});
        if (settings.debug && overflow) report.out("   data overflows");
    }
    image.Truncate(pass.imageStart + channelBytes * static_cast<std::int64_t>(accepted.size()));
    return accepted;
}

}  // namespace skanvert
