#include "processing/smoothing.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <utility>
#include <cstdint>
#include <cstring>

#include "platform/cpu_features.h"
#include "platform/kernels.h"
#include "platform/memory.h"
#include "processing/parallel.h"

// The pass over all channels, the means of the sums and the median filter
// are compiled once per instruction set (baseline and AVX2) and taken from
// the table of the active set. Their helpers are forced inline so that each
// copy is built for its own instruction set. Every copy does the same
// integer arithmetic, and the same double operations in the same order, so
// all give the same results.

namespace skanvert {

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

// A run of pixels [first, end) of the pass.
struct PixelSpan {
    std::int64_t first;
    std::int64_t end;
};

// A frame's 376 words in host order: straight from the recording on a
// little-endian host, or converted into `scratch` on another.
struct FrameWords {
    alignas(16) std::int16_t w[kFrameWords];
};

SKANVERT_KERNEL_INLINE const std::int16_t* frameWords(const SampleArea& area, std::int64_t frame, FrameWords& scratch) {
    const unsigned char* p = area.data + frame * kFrameBytes;
    if constexpr (std::endian::native == std::endian::little) {
        if (reinterpret_cast<std::uintptr_t>(p) % alignof(std::int16_t) == 0) {
            return reinterpret_cast<const std::int16_t*>(p);
        }
    }
    for (int i = 0; i < kFrameWords; ++i) {
        scratch.w[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2 * i] | (p[2 * i + 1] << 8)));
    }
    return scratch.w;
}

// Sixteen times the gain factor of a status code: 16 >> n for step n, so
// that scaled samples stay integers (multiples of 1/16).
SKANVERT_KERNEL_INLINE std::int32_t gainTimes16(std::int16_t code) { return 16 >> gainStep(code); }

// The per-pixel sums of all channel words, both series. Acc is 32-bit where
// n frames of the largest difference cannot overflow it, 64-bit otherwise.
template <typename Acc>
struct PixelAccumulator {
    alignas(16) Acc series1[kVisitedSlots];
    alignas(16) Acc series2[kVisitedSlots];
};

// Adds one frame pair's block differences: blocks 0 - 1 of frame a to
// series 1, blocks 2 - 3 of frame b to series 2.
template <typename Acc>
SKANVERT_KERNEL_INLINE void addRawDifferences(const std::int16_t* a, const std::int16_t* b, PixelAccumulator<Acc>& acc) {
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
        acc.series1[w] += static_cast<Acc>(a[w] - a[kBlockWords + w]);
        acc.series2[w] += static_cast<Acc>(b[2 * kBlockWords + w] - b[3 * kBlockWords + w]);
    }
}

// Each channel position's gain factor (sixteen times it) in each block,
// spread from the status words, with the status words they came from: the
// codes change seldom, so most frames keep the factors of the frame before.
struct GainScales {
    using Factors = std::array<std::array<std::int32_t, PixelStatus::kWords>, 4>;
    std::int16_t status[4][PixelStatus::kWords];
    Factors factor;  // of each block's status words
    alignas(32) std::int32_t scale[4][kVisitedSlots];
    bool valid = false;
    // Whether blocks 0 and 1, and blocks 2 and 3, give every channel
    // position the same factor (the usual case: the blocks of a pair are
    // recorded at one gain): a sample pair's scaled difference is then the
    // difference scaled.
    bool pairsAlike = false;

    // The status words of blocks 0 and 1 of frame a and of blocks 2 and 3 of
    // frame b, where the factors of a series come from.
    SKANVERT_KERNEL_INLINE static void wordsOf(const std::int16_t* a, const std::int16_t* b,
                                               const std::int16_t* (&words)[4]) {
        words[0] = a + kFirstStatusWord;
        words[1] = a + kBlockWords + kFirstStatusWord;
        words[2] = b + 2 * kBlockWords + kFirstStatusWord;
        words[3] = b + 3 * kBlockWords + kFirstStatusWord;
    }

    // The factors the given status words select.
    SKANVERT_KERNEL_INLINE static Factors factorsOf(const std::int16_t* const (&words)[4]) {
        Factors factors;
        for (size_t block = 0; block < 4; ++block) {
            for (size_t word = 0; word < PixelStatus::kWords; ++word) {
                factors[block][word] = gainTimes16(words[block][word]);
            }
        }
        return factors;
    }

    // Keeps the given status words.
    SKANVERT_KERNEL_INLINE void keep(const std::int16_t* const (&words)[4]) {
        for (int block = 0; block < 4; ++block) std::memcpy(status[block], words[block], sizeof status[block]);
    }

    // Takes new factors, spread over the channel positions they serve.
    SKANVERT_KERNEL_INLINE void take(const Factors& factors) {
        factor = factors;
        for (size_t block = 0; block < 4; ++block) {
            for (size_t word = 0; word < PixelStatus::kWords; ++word) {
                std::fill_n(scale[block] + 10 * word, 10, factors[block][word]);
            }
        }
        pairsAlike = true;
        for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
            pairsAlike = pairsAlike && scale[0][w] == scale[1][w] && scale[2][w] == scale[3][w];
        }
        valid = true;
    }

    // Whether the four blocks' status words equal those kept. The words are
    // compared as 64-bit pieces loaded with fixed-size copies (inlined, any
    // alignment): a library memcmp per block would cost as much as the sums.
    SKANVERT_KERNEL_INLINE bool sameWords(const std::int16_t* const (&words)[4]) const {
        static_assert(sizeof status[0] == 2 * sizeof(std::uint64_t));
        std::uint64_t difference = 0;
        for (int block = 0; block < 4; ++block) {
            std::uint64_t seen[2], kept[2];
            std::memcpy(seen, words[block], sizeof seen);
            std::memcpy(kept, status[block], sizeof kept);
            difference |= (seen[0] ^ kept[0]) | (seen[1] ^ kept[1]);
        }
        return difference == 0;
    }
};

// The raw samples of each block summed over a run of frames whose gain
// factors stay the same. A sample times its factor summed over the run is the
// run's sum times the factor, so the scaled sums need one multiplication per
// channel and run instead of one per sample; the frames themselves cost what
// the raw pass costs. When the pairs are alike only blocks 0 and 2 are used,
// for the differences of the pairs.
template <typename Acc>
struct RunSums {
    alignas(32) Acc block[4][kVisitedSlots];
};

// Adds one frame pair's samples to the run: blocks 0 and 1 of frame a,
// blocks 2 and 3 of frame b, each block apart.
template <typename Acc>
SKANVERT_KERNEL_INLINE void addBlocks(const std::int16_t* a, const std::int16_t* b, RunSums<Acc>& run) {
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
        run.block[0][w] += a[w];
        run.block[1][w] += a[kBlockWords + w];
        run.block[2][w] += b[2 * kBlockWords + w];
        run.block[3][w] += b[3 * kBlockWords + w];
    }
}

// Adds one frame pair's block differences to the run (blocks 0 and 2 hold
// them), for runs whose pairs are alike.
template <typename Acc>
SKANVERT_KERNEL_INLINE void addPairDifferences(const std::int16_t* a, const std::int16_t* b, RunSums<Acc>& run) {
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
        run.block[0][w] += static_cast<Acc>(a[w] - a[kBlockWords + w]);
        run.block[2][w] += static_cast<Acc>(b[2 * kBlockWords + w] - b[3 * kBlockWords + w]);
    }
}

// Adds the run's scaled differences to the pixel's sums and empties the run.
// With 32-bit sums (n at most 2047 frames) nothing overflows: a run sum
// times 16 stays below 2047 * 32768 * 16 for one block's samples and below
// 2047 * 65535 * 16 < 2^31 for a pair's differences, and the difference of
// the two products of a series is the sum of the run's scaled sample
// differences, which stays below 2047 * 65535 * 16 as every partial pixel
// sum does.
template <typename Acc>
SKANVERT_KERNEL_INLINE void addScaledRun(RunSums<Acc>& run, const GainScales& g, PixelAccumulator<Acc>& acc) {
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
        acc.series1[w] += static_cast<Acc>(g.scale[0][w]) * run.block[0][w] - static_cast<Acc>(g.scale[1][w]) * run.block[1][w];
        acc.series2[w] += static_cast<Acc>(g.scale[2][w]) * run.block[2][w] - static_cast<Acc>(g.scale[3][w]) * run.block[3][w];
    }
    for (auto& block : run.block) std::fill(std::begin(block), std::end(block), Acc{0});
}

// The largest and smallest word seen at every channel position, over all
// blocks of the frames tested; beyond the bound either way is an overflow.
struct WordRange {
    alignas(16) std::int16_t high[kVisitedSlots];
    alignas(16) std::int16_t low[kVisitedSlots];
    WordRange() {
        std::fill(std::begin(high), std::end(high), std::int16_t{0});
        std::fill(std::begin(low), std::end(low), std::int16_t{0});
    }
    SKANVERT_KERNEL_INLINE void add(const std::int16_t* frame) { widen(frame, high, low); }
    // One loop over the positions, the four blocks side by side.
    SKANVERT_KERNEL_INLINE static void widen(const std::int16_t* __restrict frame, std::int16_t* __restrict high,
                      std::int16_t* __restrict low) {
        for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) {
            const std::int16_t b0 = frame[w], b1 = frame[kBlockWords + w];
            const std::int16_t b2 = frame[2 * kBlockWords + w], b3 = frame[3 * kBlockWords + w];
            high[w] = std::max(high[w], std::max(std::max(b0, b1), std::max(b2, b3)));
            low[w] = std::min(low[w], std::min(std::min(b0, b1), std::min(b2, b3)));
        }
    }
    void merge(const WordRange& other) {
        for (int w = 0; w < kVisitedSlots; ++w) {
            high[w] = std::max(high[w], other.high[w]);
            low[w] = std::min(low[w], other.low[w]);
        }
    }
    bool overflows(int w) const { return high[w] > kOverflowBound || low[w] < -kOverflowBound; }
};

// The pass itself, for one accumulator width and sample kind.
template <typename Acc, bool kScaled>
SKANVERT_KERNEL_INLINE WordRange sumAllChannels(const SampleArea& area, int n, int shift, ScanSums& result,
                                               PixelSpan span) {
    WordRange range;
    const std::int64_t pixels = result.pixels;
    constexpr bool wideSums = sizeof(Acc) == sizeof(std::int64_t);
    GainScales scales;
    RunSums<Acc> run{};
    FrameWords scratch1, scratch2, scratch0;
    for (std::int64_t i = span.first; i < span.end; ++i) {
        PixelAccumulator<Acc> acc{};
        for (int j = 0; j < n; ++j) {
            // Series 1 reads frames shifted by +shift, series 2 by -shift,
            // clamped into the recording; the unshifted frame is the one
            // tested for overflow and whose status words are kept.
            const std::int64_t frame = i * n + j;
            const std::int16_t* plain = frameWords(area, frame, scratch0);
            const std::int16_t* a = shift == 0 ? plain : frameWords(area, clampFrame(frame + shift, area.lastFrameIndex), scratch1);
            const std::int16_t* b = shift == 0 ? plain : frameWords(area, clampFrame(frame - shift, area.lastFrameIndex), scratch2);
            if constexpr (kScaled) {
                const std::int16_t* words[4];
                GainScales::wordsOf(a, b, words);
                if (!scales.valid || !scales.sameWords(words)) {
                    // New status words; a new run only when their factors
                    // differ (codes of one step differ in their low byte).
                    const GainScales::Factors factors = GainScales::factorsOf(words);
                    if (!scales.valid || factors != scales.factor) {
                        if (scales.valid) addScaledRun(run, scales, acc);
                        scales.take(factors);
                    }
                    scales.keep(words);
                }
                if (scales.pairsAlike) {
                    addPairDifferences(a, b, run);
                } else {
                    addBlocks(a, b, run);
                }
            } else {
                addRawDifferences(a, b, acc);
            }
            range.add(plain);
            if (j == 0) std::copy_n(plain + kFirstStatusWord, PixelStatus::kWords, result.status.first[static_cast<size_t>(i)].begin());
            if (j == n - 1) std::copy_n(plain + kFirstStatusWord, PixelStatus::kWords, result.status.last[static_cast<size_t>(i)].begin());
        }
        if constexpr (kScaled) addScaledRun(run, scales, acc);
        Acc* sums = nullptr;
        if constexpr (wideSums) {
            sums = result.wideSums.data();
        } else {
            sums = result.narrow;
        }
        for (int slot = 0; slot < kVisitedSlots; ++slot) {
            if (!result.has(slot)) continue;
            Acc* slotSums = sums + result.offset[static_cast<size_t>(slot)];
            slotSums[i] = acc.series1[slot];
            slotSums[pixels + i] = acc.series2[slot];
        }
    }
    return range;
}

template <typename Acc, bool kScaled>
WordRange sumAllChannelsBaseline(const SampleArea& area, int n, int shift, ScanSums& result, PixelSpan span) {
    return sumAllChannels<Acc, kScaled>(area, n, shift, result, span);
}

template <typename Acc, bool kScaled>
SKANVERT_AVX2_TARGET WordRange sumAllChannelsAvx2(const SampleArea& area, int n, int shift, ScanSums& result,
                                                  PixelSpan span) {
    return sumAllChannels<Acc, kScaled>(area, n, shift, result, span);
}

// The loops of this file built for one instruction set: the pass for each
// sum width ([0] 32-bit, [1] 64-bit) and sample kind ([0] raw, [1] scaled),
// the means of 32-bit sums and a block of the median filter.
struct PassKernels {
    using Pass = WordRange (*)(const SampleArea& area, int n, int shift, ScanSums& result, PixelSpan span);
    Pass sums[2][2];
    void (*meansOfSums)(const std::int32_t* sums, std::int64_t count, double unit, int n, double* out);
    void (*medianBlock)(const double* original, double* values, std::int64_t first, std::int64_t last);
};

// The row of the active instruction set (the table follows the loops).
const PassKernels& passKernels();

// Maps in, ahead of the pass, the pages of the frames a span reads: one call
// per span instead of a page fault every few pages. Where the system lacks
// the call, the pass meets the pages as it goes.
void mapInSpan(const SampleArea& area, int n, int shift, PixelSpan span) {
    const std::int64_t reach = std::abs(static_cast<std::int64_t>(shift));
    const std::int64_t firstFrame = std::max<std::int64_t>(0, span.first * n - reach);
    const std::int64_t endFrame = std::min<std::int64_t>(area.lastFrameIndex + 1, span.end * n + reach);
    if (endFrame <= firstFrame) return;
    platform::prepareForReading(area.data + firstFrame * kFrameBytes, (endFrame - firstFrame) * kFrameBytes);
}

template <typename Acc, bool kScaled>
WordRange runSpan(const SampleArea& area, int n, int shift, ScanSums& result, PixelSpan span) {
    mapInSpan(area, n, shift, span);
    constexpr bool kWide = sizeof(Acc) == sizeof(std::int64_t);
    return passKernels().sums[kWide][kScaled](area, n, shift, result, span);
}

// The pass over all pixels, shared among the processor's cores when the
// recording is large. The pixels are cut into runs of about kFramesPerRun
// frames that the workers take one after another as they become free, so a
// worker that the system starts late (on a busy machine, milliseconds late)
// leaves its share to the others instead of holding up the pass. Each run's
// sums go to their own places of the result, and the overflow ranges merge
// by maximum and minimum, so the result does not depend on the sharing.
// Nothing is printed while the workers run.
template <typename Acc, bool kScaled>
WordRange runPass(const SampleArea& area, int n, int shift, ScanSums& result) {
    constexpr std::int64_t kFramesPerWorker = 4096;
    constexpr std::int64_t kFramesPerRun = 4096;
    const std::int64_t pixels = result.pixels;
    const std::int64_t pixelsPerRun = std::max<std::int64_t>(1, kFramesPerRun / n);
    const std::int64_t runs = (pixels + pixelsPerRun - 1) / pixelsPerRun;
    const std::int64_t workers = workerCount(pixels * n, kFramesPerWorker);
    std::vector<WordRange> ranges(static_cast<size_t>(workers));
    std::atomic<std::int64_t> nextRun{0};
    runWorkers(workers, [&](std::int64_t w) {
        WordRange& range = ranges[static_cast<size_t>(w)];
        for (std::int64_t run = nextRun++; run < runs; run = nextRun++) {
            const PixelSpan span{run * pixelsPerRun, std::min(pixels, (run + 1) * pixelsPerRun)};
            range.merge(runSpan<Acc, kScaled>(area, n, shift, result, span));
        }
    });
    for (size_t w = 1; w < ranges.size(); ++w) ranges[0].merge(ranges[w]);
    return ranges[0];
}

// The pixel values of a run of sums: sum / unit / n, in this order, as the
// plain smoothing forms them. The unit is 1 or 16, so dividing by it is
// exact and the same as multiplying by its inverse (an integer sum times
// 1/16 never falls below the normal range): one division a value is saved.
SKANVERT_KERNEL_INLINE void meansOfSumsLoop(const std::int32_t* sums, std::int64_t count, double unit, int n,
                                          double* out) {
    const double frames = n;
    const double inverseUnit = 1.0 / unit;
    for (std::int64_t i = 0; i < count; ++i) out[i] = static_cast<double>(sums[i]) * inverseUnit / frames;
}

void meansOfSumsBaseline(const std::int32_t* sums, std::int64_t count, double unit, int n, double* out) {
    meansOfSumsLoop(sums, count, unit, n, out);
}

SKANVERT_AVX2_TARGET void meansOfSumsAvx2(const std::int32_t* sums, std::int64_t count, double unit, int n,
                                          double* out) {
    meansOfSumsLoop(sums, count, unit, n, out);
}

void meansOfWideSums(const std::int64_t* sums, std::int64_t count, double unit, int n, double* out) {
    const double frames = n;
    const double inverseUnit = 1.0 / unit;
    for (std::int64_t i = 0; i < count; ++i) out[i] = static_cast<double>(sums[i]) * inverseUnit / frames;
}

// The median of a, b and c by the rule of the original filter: b against a
// gives the higher and the lower, then c decides. Written as selections, the
// loop below runs on vectors; each value still goes through the same
// comparisons, so even NaNs and signed zeros come out the same.
SKANVERT_KERNEL_INLINE double medianOfThree(double a, double b, double c) {
    const double high = b > a ? b : a;
    const double low = b > a ? a : b;
    return c > high ? high : (c > low ? c : low);
}

// Filters values[first, last) from `original`, a copy of values[first - 1,
// last + 1).
SKANVERT_KERNEL_INLINE void medianBlockLoop(const double* original, double* values, std::int64_t first,
                                            std::int64_t last) {
    for (std::int64_t i = first; i < last; ++i) {
        values[i] = medianOfThree(original[i - first], original[i - first + 1], original[i - first + 2]);
    }
}

void medianBlockBaseline(const double* original, double* values, std::int64_t first, std::int64_t last) {
    medianBlockLoop(original, values, first, last);
}

SKANVERT_AVX2_TARGET void medianBlockAvx2(const double* original, double* values, std::int64_t first,
                                          std::int64_t last) {
    medianBlockLoop(original, values, first, last);
}

// The table: one row per instruction set, in the order of KernelSet.
constexpr KernelTable<PassKernels> kPassKernels{{
    {{{sumAllChannelsBaseline<std::int32_t, false>, sumAllChannelsBaseline<std::int32_t, true>},
      {sumAllChannelsBaseline<std::int64_t, false>, sumAllChannelsBaseline<std::int64_t, true>}},
     meansOfSumsBaseline,
     medianBlockBaseline},
    {{{sumAllChannelsAvx2<std::int32_t, false>, sumAllChannelsAvx2<std::int32_t, true>},
      {sumAllChannelsAvx2<std::int64_t, false>, sumAllChannelsAvx2<std::int64_t, true>}},
     meansOfSumsAvx2,
     medianBlockAvx2},
}};

const PassKernels& passKernels() { return activeKernels(kPassKernels); }

}  // namespace


void median3(double* values, std::int64_t count) {
    if (count < 3) return;
    // Block by block, each block's values (and one on either side) copied
    // first: the filter reads the values as they were, never its own output.
    // The value before a block has been filtered already: its original is
    // carried over from the block before.
    constexpr std::int64_t kBlock = 512;
    double original[kBlock + 2];
    double before = values[0];
    const auto medianBlock = passKernels().medianBlock;
    for (std::int64_t first = 1; first + 1 < count; first += kBlock) {
        const std::int64_t last = std::min(first + kBlock, count - 1);
        original[0] = before;
        std::copy(values + first, values + last + 1, original + 1);
        before = original[last - first];
        medianBlock(original, values, first, last);
    }
}

SmoothedChannel smoothChannel(SampleArea& area, int channel, int smooth, AmpCorrectionMode mode, int shift,
                              std::string& lines) {
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
        detectGainSteps(pixelStatusOf(area, n, pixels), channel, smooth, shift, result.series1(), result.series2(),
                        pixels, lines);
    }
    return result;
}

bool sumsFitIn32Bits(int smooth, AmpCorrectionMode mode) {
    const int n = effectiveSmoothing(smooth);
    return mode == kAmpTable ? n <= 2047 : n <= 32767;
}

ScanSums smoothAllChannels(SampleArea& area, const std::array<bool, kVisitedSlots>& carriesChannel, int smooth,
                           AmpCorrectionMode mode, int shift, std::int32_t* place) {
    const std::int64_t frames = frameCount(area.length);
    area.lastFrameIndex = frames - 1;
    ScanSums result;
    result.n = effectiveSmoothing(smooth);
    const int n = result.n;
    const std::int64_t pixels = pixelCount(area, smooth);
    result.pixels = pixels;
    std::int64_t carried = 0;
    for (int slot = 0; slot < kVisitedSlots; ++slot) {
        result.offset[static_cast<size_t>(slot)] = carriesChannel[static_cast<size_t>(slot)] ? 2 * pixels * carried++ : -1;
    }
    const bool scaled = mode == kAmpTable;
    result.wide = !sumsFitIn32Bits(smooth, mode);
    result.unit = scaled ? 16.0 : 1.0;  // scaled sums count sixteenths; dividing is exact
    if (result.wide) {
        result.wideSums = PassBuffer<std::int64_t>(2 * pixels * carried);
    } else if (place != nullptr) {
        result.narrow = place;
    } else {
        result.narrowSums = PassBuffer<std::int32_t>(2 * pixels * carried);
        result.narrow = result.narrowSums.data();
    }
    result.status.first.resize(static_cast<size_t>(pixels));
    result.status.last.resize(static_cast<size_t>(pixels));

    WordRange range;
    if (scaled) {
        range = result.wide ? runPass<std::int64_t, true>(area, n, shift, result)
                            : runPass<std::int32_t, true>(area, n, shift, result);
    } else {
        range = result.wide ? runPass<std::int64_t, false>(area, n, shift, result)
                            : runPass<std::int32_t, false>(area, n, shift, result);
    }
    // Frames after the last whole pixel belong to no pixel but are tested too.
    FrameWords scratch;
    for (std::int64_t frame = pixels * n; frame < frames; ++frame) range.add(frameWords(area, frame, scratch));
    for (int w = kFirstChannelWord; w < kVisitedSlots; ++w) result.overflow[static_cast<size_t>(w)] = range.overflows(w);
    return result;
}

SmoothedChannel finishChannel(const ScanSums& sums, int slot, int smooth, AmpCorrectionMode mode, int shift,
                              std::string& lines) {
    SmoothedChannel result;
    result.pixels = sums.pixels;
    result.values.resize(static_cast<size_t>(2 * sums.pixels));
    const std::int64_t at = sums.offset[static_cast<size_t>(slot)];
    if (sums.wide) {
        meansOfWideSums(sums.wideSums.data() + at, 2 * sums.pixels, sums.unit, sums.n, result.values.data());
    } else {
        passKernels().meansOfSums(sums.narrow + at, 2 * sums.pixels, sums.unit, sums.n, result.values.data());
    }
    if (mode == kAmpTable) {
        median3(result.series1(), result.pixels);
        median3(result.series2(), result.pixels);
    } else if (mode == kAmpAutomatic && smooth > 10) {
        detectGainSteps(sums.status, slot, smooth, shift, result.series1(), result.series2(), result.pixels, lines);
    }
    return result;
}

}  // namespace skanvert
