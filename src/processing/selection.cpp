#include "processing/selection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "fits/output.h"

void correctGainStep(double* v, std::int64_t count, std::int64_t j) {
    if (j < 2 || j + 3 > count - 1) return;
    const double den = 4 * v[j + 1] + v[j + 2] - 3 * v[j + 3];
    if (den == 0) return;
    const double koeff = (v[j - 2] + v[j - 1]) / den;
    std::printf("\n\tjj=%d amp koeff=%f", static_cast<int>(j), koeff);
    for (std::int64_t i = j + 1; i < count; ++i) v[i] *= koeff;
    v[j] = (v[j - 1] + v[j + 1]) * 0.5;
}

void detectGainSteps(const PixelStatus& status, int channel, int n, int shift, SmoothedChannel& smoothed) {
    const std::int64_t pixels = smoothed.pixels;
    const auto word = static_cast<size_t>(channel / 10);
    const std::int64_t q = shift / n;
    for (std::int64_t d = 1; d < pixels; ++d) {
        const std::int16_t here = status.first[static_cast<size_t>(d)][word];
        if (here != status.last[static_cast<size_t>(d - 1)][word] || here != status.last[static_cast<size_t>(d)][word]) {
            correctGainStep(smoothed.series1(), pixels, d - q);
            correctGainStep(smoothed.series2(), pixels, d + q);
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

// Appends both series to the image as hundredths, each in output order (the
// reverse of recording order). The encoding goes value by value, so
// reversing the values first gives the bytes of reversing the encoded words;
// they are encoded straight into the image.
bool appendChannel(SmoothedChannel& smoothed, TMemStream& image) {
    const std::int64_t pixels = smoothed.pixels;
    if (pixels == 0) return true;
    std::reverse(smoothed.series1(), smoothed.series1() + pixels);
    std::reverse(smoothed.series2(), smoothed.series2() + pixels);
    unsigned char* out = image.Extend(8 * pixels);
    if (out == nullptr) return false;
    scaleToInt32BE(smoothed.values.data(), out, 2 * pixels);
    return true;
}

}  // namespace

bool selectChannels(SampleArea& area, const SelectionSettings& settings, const ScanGeometry& geometry,
                    const TIniFile& channelTable, int coefficientCount, ChannelSelection& selection,
                    TMemStream& image, TFitsHdr& primary) {
    std::array<bool, kVisitedSlots> carriesChannel{};
    for (int slot = 0; slot < kVisitedSlots; ++slot) carriesChannel[static_cast<size_t>(slot)] = selection.slotChannelTable[static_cast<size_t>(slot)] != 0;
    ScanSums sums = smoothAllChannels(area, carriesChannel, settings.smooth, settings.ampcor, settings.shift);
    // Room for every channel that may be accepted, taken at once: the pages
    // of the image are then written once, never copied on growth. (When it
    // cannot be had, Append grows the image as it goes.)
    const auto carried = std::count(carriesChannel.begin(), carriesChannel.end(), true);
    if (image.Capacity() < 8 * sums.pixels * carried) image.Reserve(8 * sums.pixels * carried);
    for (int slot = 0; slot < kVisitedSlots; ++slot) {
        float& entry = selection.slotChannelTable[static_cast<size_t>(slot)];
        if (entry == 0) continue;
        SmoothedChannel smoothed = finishChannel(sums, slot, settings.smooth, settings.ampcor, settings.shift);
        const float test = sunWindowTest(smoothed.series1(), smoothed.pixels, geometry.windowCentre,
                                         geometry.windowHalfWidth);
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
                        static_cast<double>(test), static_cast<double>(geometry.sigma), settings.shift);
        }
        int useFlag = useFlagOf(row, valuesRead);
        if (coefficientCount == 0 || settings.onoff == 0) useFlag = 1;
        if (!(geometry.sigma > test) || useFlag == 0) continue;

        if (settings.debug) std::printf(" +");
        if (!appendChannel(smoothed, image)) return false;
        selection.channelUsed[static_cast<size_t>(slot)] = true;
        ++selection.accepted;
        const int overflow = sums.overflow[static_cast<size_t>(slot)] ? 1 : 0;
        writeChannelCards(primary, selection.accepted, frequency, overflow);
        if (settings.debug && overflow) std::printf("   data overflows");
    }
    return true;
}
