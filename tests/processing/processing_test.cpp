// Smoothing, gain-step correction, the window test and the scan geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <atomic>

#include "fits/mem_stream.h"
#include "processing/geometry.h"
#include "processing/parallel.h"
#include "processing/selection.h"
#include "processing/smoothing.h"
#include "support/recording_builder.h"

using namespace skanvert;

namespace {

using testsupport::RecordingBuilder;

// The tests' pseudo-random numbers: a linear congruential generator with
// the constants of Numerical Recipes, 16 bits a draw. The same seed gives
// the same data on every machine.
class Lcg {
public:
    explicit Lcg(std::uint32_t seed) : seed_(seed) {}
    std::uint32_t operator()() {
        seed_ = seed_ * 1664525u + 1013904223u;
        return seed_ >> 16;
    }

private:
    std::uint32_t seed_;
};

SampleArea areaOf(const RecordingBuilder& b) {
    return SampleArea{b.bytes().data() + 4096, static_cast<std::int64_t>(b.bytes().size()) - 4096, -1};
}

TEST(Median3, KeepsEndsAndRemovesSpikes) {
    std::vector<double> v{5, 1, 9, 2, 2, 100, 2, 7};
    median3(v.data(), static_cast<std::int64_t>(v.size()));
    EXPECT_EQ(v, (std::vector<double>{5, 5, 2, 2, 2, 2, 7, 7}));
    std::vector<double> shortSeries{3, 1};
    median3(shortSeries.data(), 2);
    EXPECT_EQ(shortSeries, (std::vector<double>{3, 1}));
}

// The filter against its plain form (every value from a copy of the
// series) on long series that cross its internal blocks, with NaNs, signed
// zeros, infinities and ties.
TEST(Median3, LongSeriesMatchThePlainFilterBitForBit) {
    Lcg next(99);
    const double specials[] = {std::nan(""), -0.0, 0.0, HUGE_VAL, -HUGE_VAL, 1.0, -1.0};
    for (const std::int64_t count : {3, 4, 511, 512, 513, 514, 1025, 4001}) {
        std::vector<double> v(static_cast<size_t>(count));
        for (double& x : v) x = next() % 8 == 0 ? specials[next() % 7] : static_cast<double>(next() % 5) - 2.0;
        std::vector<double> expected = v;
        for (std::int64_t i = 1; i + 1 < count; ++i) {
            const double a = v[static_cast<size_t>(i - 1)], b = v[static_cast<size_t>(i)], c = v[static_cast<size_t>(i + 1)];
            const double high = b > a ? b : a, low = b > a ? a : b;
            expected[static_cast<size_t>(i)] = c > high ? high : (c > low ? c : low);
        }
        median3(v.data(), count);
        ASSERT_EQ(std::memcmp(v.data(), expected.data(), v.size() * sizeof(double)), 0) << count;
    }
}

TEST(CorrectGainStep, FlatStepIsUndone) {
    std::vector<double> v{200, 200, 200, 150, 100, 100, 100, 100};
    std::string lines = "before";
    correctGainStep(v.data(), 8, 3, lines);
    EXPECT_EQ(lines, "before\n\tjj=3 amp koeff=2.000000");
    EXPECT_EQ(v, (std::vector<double>{200, 200, 200, 200, 200, 200, 200, 200}));
}

TEST(CorrectGainStep, NeverReadsOutsideTheSeries) {
    // Positions too close to either end, and a den of 0, leave the series alone.
    for (std::int64_t j : {-1, 0, 1, 5, 6, 7, 8}) {
        std::vector<double> v{1, 2, 3, 4, 5, 6, 7, 8};
        const std::vector<double> before = v;
        std::string lines;
        correctGainStep(v.data(), 8, j, lines);
        EXPECT_EQ(lines, "") << j;
        EXPECT_EQ(v, before) << j;
    }
    std::vector<double> zeroDen{1, 1, 1, 1, 0, 0, 0, 0};
    std::string lines;
    correctGainStep(zeroDen.data(), 8, 3, lines);
    EXPECT_EQ(zeroDen, (std::vector<double>{1, 1, 1, 1, 0, 0, 0, 0}));
}

TEST(WindowTest, Rules) {
    std::vector<double> v(40);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (i % 2) ? 10 : 0;
    // noise: each inner point deviates by 10 from its neighbours' mean.
    const double rms = noiseRms(v.data(), 10);  // sqrt(8 * 100 / 7)
    EXPECT_NEAR(rms, std::sqrt(800.0 / 7), 1e-12);
    EXPECT_FLOAT_EQ(sunWindowTest(v.data(), 40, 10, 5), static_cast<float>(noiseRms(v.data() + 5, 10) / 10));

    std::vector<double> flat(40, 3.0);
    EXPECT_EQ(sunWindowTest(flat.data(), 40, 20, 5), 1.0f);  // range 0
    EXPECT_EQ(sunWindowTest(flat.data(), 40, 50, 5), 0.0f);  // stop beyond N -> N - 2 < start
    EXPECT_TRUE(std::isnan(sunWindowTest(flat.data(), 40, 3, 1)));   // two pixels
    EXPECT_TRUE(std::isnan(sunWindowTest(flat.data(), 40, 20, 0)));  // empty window
    EXPECT_TRUE(std::isnan(sunWindowTest(flat.data(), 5, 3, 10)));   // stop 13 -> 3: one pixel
    EXPECT_EQ(sunWindowTest(flat.data(), 3, 1, 100), 0.0f);          // stop 101 -> 1 < start 2
}

TEST(WindowTest, EndOfWindowRule) {
    // A ramp whose last two pixels jump: a window ending at N - 2 never sees
    // them, one ending at N or N - 1 does.
    std::vector<double> v(20);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i);
    v[18] = 1000;
    v[19] = -1000;
    const float nominalPastEnd = sunWindowTest(v.data(), 20, 15, 6);  // stop 21 > 20 -> 18
    const float nominalAtEnd = sunWindowTest(v.data(), 20, 14, 6);    // stop 20 stays
    EXPECT_EQ(nominalPastEnd, 0.0f);  // a straight line has no noise
    EXPECT_GT(nominalAtEnd, 0.1f);

    // The last pixel of the window counts for the range: flat but for the
    // window's last pixel [start + L - 1], range 10 and one deviation of 5.
    std::vector<double> w(30, 0.0);
    w[21] = 10;  // window centre 16, half-width 6: pixels 10..21
    EXPECT_FLOAT_EQ(sunWindowTest(w.data(), 30, 16, 6), static_cast<float>(std::sqrt(25.0 / 9) / 10));
}

TEST(Smoothing, MeansShiftClampAndTail) {
    // Channel at word 11: block 0 carries 10*frame, blocks 1..3 carry 0, 5, 1.
    RecordingBuilder b(10);
    for (int f = 0; f < 10; ++f) {
        b.setWord(f, 0, 11, static_cast<std::int16_t>(10 * f));
        b.setWord(f, 2, 11, 5);
        b.setWord(f, 3, 11, 1);
    }
    b.appendTail(700);
    SampleArea area = areaOf(b);
    std::string lines;
    SmoothedChannel plain = smoothChannel(area, 11, 3, kAmpNone, 0, lines);
    EXPECT_EQ(area.lastFrameIndex, 9);
    ASSERT_EQ(plain.pixels, 3);
    EXPECT_EQ(plain.values, (std::vector<double>{10, 40, 70, 4, 4, 4}));
    SmoothedChannel shifted = smoothChannel(area, 11, 3, kAmpNone, 2, lines);
    // Series 1 reads frames 2..4, 5..7, 8..9,9 (clamped); series 2 is flat.
    EXPECT_EQ(shifted.values[0], 30);
    EXPECT_EQ(shifted.values[2], (80 + 90 + 90) / 3.0);
    SmoothedChannel query = smoothChannel(area, -1, 0, kAmpNone, 0, lines);
    EXPECT_EQ(query.pixels, 0);  // 10 frames, smoothing 0 counts as 20
    EXPECT_TRUE(query.values.empty());
    EXPECT_EQ(smoothChannel(area, 11, 7, ampCorrectionMode(5), 0, lines).values, smoothChannel(area, 11, 7, kAmpNone, 0, lines).values);
}

TEST(Smoothing, TableModeScalesByStatusAndFilters) {
    RecordingBuilder b(6);
    for (int f = 0; f < 6; ++f) {
        b.setWord(f, 0, 20, 800);
        b.setWord(f, 0, 85, f >= 3 ? 259 : 0);  // word 20 uses status word 85
    }
    SampleArea area = areaOf(b);
    std::string lines;
    SmoothedChannel s = smoothChannel(area, 20, 1, kAmpTable, 0, lines);
    EXPECT_EQ(std::vector<double>(s.values.begin(), s.values.begin() + 6),
              (std::vector<double>{800, 800, 800, 400, 400, 400}));
}

TEST(Smoothing, AutomaticModeCorrectsStepsOnlyAboveTenFrames) {
    // 12 frames per pixel, 8 pixels; the gain halves from pixel 4 on, and
    // the status word changes exactly at that pixel boundary.
    const int n = 12;
    RecordingBuilder b(8 * n);
    for (int f = 0; f < 8 * n; ++f) {
        const bool stepped = f >= 4 * n;
        b.setWord(f, 0, 30, stepped ? 100 : 200);
        b.setWord(f, 2, 30, stepped ? 50 : 100);
        b.setWord(f, 0, 86, stepped ? 259 : 0);
    }
    SampleArea area = areaOf(b);
    std::string lines;
    SmoothedChannel s = smoothChannel(area, 30, n, kAmpAutomatic, 0, lines);
    EXPECT_EQ(lines, "\n\tjj=4 amp koeff=2.000000\n\tjj=4 amp koeff=2.000000");
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(s.series1()[i], 200) << i;
        EXPECT_EQ(s.series2()[i], 100) << i;
    }
    RecordingBuilder small(8 * 10);
    SampleArea smallArea = areaOf(small);
    std::string smallLines;
    smoothChannel(smallArea, 30, 10, kAmpAutomatic, 0, smallLines);
    EXPECT_EQ(smallLines, "");
}

// Geometry of a 1000-frame recording smoothed by 10 (N = 100).
struct GeometryRun {
    bool ok;
    ScanGeometry g;
    std::string out;
};

GeometryRun geometryFor(const std::string& object, const std::string& timeObs, float altitude, std::int32_t azimuth,
                        ScanSettings settings = {}) {
    RecordingBuilder b(1000);
    SampleArea area = areaOf(b);
    RecordingHeader in;
    in.object = object;
    in.timeObsLocal = timeObs;
    in.startObs = "12:00:00.000";
    in.azimuth = azimuth;
    in.altitude = altitude;
    SolarEphemeris eph{0, 0, 960.0, 0, 10.0};
    settings.smooth = 10;
    GeometryRun run;
    ReportLines report;
    run.ok = computeScanGeometry(settings, in, area, eph, run.g, report);
    run.out = report.outText();
    return run;
}

TEST(Geometry, SunAtTheRecordingStart) {
    const GeometryRun r = geometryFor("sun", "12:00:00", 45.0f, 0);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.g.naxis1, 100);
    EXPECT_EQ(r.g.crpix1, 99.0f);
    EXPECT_EQ(r.g.windowCentre, 1);
    EXPECT_EQ(r.g.sigma, 1.0f);
    EXPECT_EQ(r.g.altitude, 45.0f);
    const float cdelt = static_cast<float>(std::cos(10 * 0.017453293) * 15 * 0.0076365f * 10);
    EXPECT_EQ(r.g.cdelt1, cdelt);
    EXPECT_EQ(r.g.windowHalfWidth, static_cast<int>(2 * 960.0 / cdelt));
    EXPECT_EQ(r.out.rfind("\n Total points= 100\n Sun center x= 99.000000\n delta1= 10.000000\n cdelt1= ", 0), 0u);
    EXPECT_EQ(r.out.find("valh"), std::string::npos);
}

TEST(Geometry, OverfullCentreFallsBackToTheMiddle) {
    const GeometryRun late = geometryFor("sun", "12:00:08", 45.0f, 0);  // 1047 frames after the start
    EXPECT_EQ(late.g.crpix1, 50.0f);
    EXPECT_NE(late.out.find("\n dt = 8.000000\n WARNING! crpix overfull "), std::string::npos);
    const GeometryRun early = geometryFor("sun", "11:59:50", 45.0f, 0);
    EXPECT_EQ(early.g.crpix1, 50.0f);
}

TEST(Geometry, OtherObjectsAndAltitude) {
    ScanSettings s;
    s.azim = 5;
    s.valh = 0;
    s.delta = 10;
    const GeometryRun moon = geometryFor("Moon", "12:00:00", 453015.0f, 33, s);
    ASSERT_TRUE(moon.ok);
    EXPECT_EQ(moon.g.azimuth, 5.0f);   // 33 lies outside +-32
    EXPECT_EQ(moon.g.sigma, 10.0f);    // no "SUN" in any case
    EXPECT_NEAR(moon.g.altitude, 45.504166, 1e-5);
    EXPECT_NE(moon.out.find("\n valh= 0.000000\n delta= 10.000000\n cdelt= "), std::string::npos);
    EXPECT_NE(moon.out.find("\naltitude=45.504"), std::string::npos);
    // valh 0 and the Sun's own declination and azimuth give the solar scale.
    s.azim = 0;
    const GeometryRun sunUpper = geometryFor("SUN", "12:00:00", 200.0f, 32, s);
    const GeometryRun sunLower = geometryFor("sun", "12:00:00", 200.0f, 32, s);
    EXPECT_EQ(sunUpper.g.azimuth, 32.0f);
    EXPECT_EQ(sunUpper.g.sigma, 1.0f);  // "SUN" keeps the configured sigma
    EXPECT_EQ(sunUpper.g.cdelt1, sunLower.g.cdelt1);
    EXPECT_EQ(sunUpper.g.altitude, 200.0f);
}

TEST(Geometry, UndefinedScaleIsRefused) {
    const GeometryRun steep = geometryFor("sun", "12:00:00", 45.0f, 89);  // tan(10) * tan(89) > 1
    EXPECT_FALSE(steep.ok);
    EXPECT_NE(steep.out.find("\nScan geometry undefined: cdelt1 = -nan"), std::string::npos);
    ScanSettings s;
    s.dspdt = 0;
    EXPECT_FALSE(geometryFor("sun", "12:00:01", 45.0f, 0, s).ok);
}

}  // namespace

namespace {

// The one-pass smoothing of all channels must give exactly the series of
// the plain per-channel smoothing, whatever the data, mode, shift and tail.
TEST(SmoothAllChannels, MatchesThePlainSmoothingExactly) {
    // How the gain codes vary: per word and block (the two blocks of a pair
    // may differ), one code for all at a time (every channel stepped at
    // once), or per word only (some channel groups stepped, the blocks of a
    // pair alike: the usual gain step). Extremes: the largest differences,
    // blocks 0 and 2 at 32767 and 1 and 3 at -32768, at the largest factor.
    enum Data { kMixed, kShared, kByWord, kExtremes };
    struct Case {
        int frames, tail, smooth;
        AmpCorrectionMode mode;
        int shift;
        Data data;
    };
    const Case cases[] = {{400, 0, 20, kAmpNone, 0, kShared},          {401, 300, 7, kAmpTable, 3, kMixed},
                          {333, 751, 11, kAmpAutomatic, 25, kMixed},   {250, 10, 12, kAmpAutomatic, -40, kMixed},
                          {64, 0, 1, kAmpTable, 0, kMixed},            {90, 5, 0, ampCorrectionMode(9), 1000, kMixed},
                          {30, 0, 40, kAmpTable, 0, kMixed},           {500, 0, 13, kAmpTable, -7, kShared},
                          {700, 0, 9, kAmpTable, 4, kByWord},          {600, 0, 40, kAmpTable, -3, kByWord},
                          // large enough for the pass to be shared among cores
                          {40000, 17, 3, kAmpTable, 2, kMixed},        {40000, 0, 20, kAmpNone, 0, kShared},
                          {20000, 0, 20, kAmpTable, 0, kShared},       {20000, 0, 20, kAmpTable, 0, kByWord},
                          // the largest 32-bit sums, then sums beyond 32 bits: large smoothing numbers
                          {4100, 0, 2047, kAmpTable, 0, kExtremes},    {4200, 3, 2100, kAmpTable, 5, kMixed},
                          {33000, 0, 32768, kAmpAutomatic, 0, kMixed}};
    Lcg next(12345);
    static const std::int16_t kCodes[] = {0, 259, 515, 771, 1027, 1043, 260, -1};
    bool fullRange = false;
    for (const Case& c : cases) {
        fullRange = !fullRange;  // every other case stays within the overflow bound
        RecordingBuilder b(c.frames);
        for (int f = 0; f < c.frames; ++f) {
            for (int block = 0; block < 4; ++block) {
                for (int w = 0; w < 94; ++w) {
                    auto v = static_cast<std::int16_t>(fullRange ? next() : next() % 16381 - 8190);
                    if (c.data == kExtremes) v = block % 2 == 0 ? 32767 : -32768;
                    b.setWord(f, block, w, v);
                }
                // Status words change rarely (every 37 frames, inside the
                // pixels), so that gain steps are few.
                for (int s = 83; s <= 90; ++s) {
                    const int variation = c.data == kMixed ? s + block : c.data == kByWord ? s % 3 : 0;
                    b.setWord(f, block, s, c.data == kExtremes ? 0 : kCodes[(f / 37 + variation) % 8]);
                }
            }
        }
        b.setWord(c.frames - 1, 3, 40, -8191);  // an overflow in the last frame only
        b.appendTail(static_cast<size_t>(c.tail));
        SampleArea area = areaOf(b);
        std::array<bool, kVisitedSlots> carries{};
        const auto table = initialSlotChannelTable();
        for (int s = 0; s < kVisitedSlots; ++s) carries[static_cast<size_t>(s)] = table[static_cast<size_t>(s)] != 0;
        // Every other case keeps its 32-bit sums in a place of the caller's.
        std::vector<std::int32_t> place;
        if (fullRange && sumsFitIn32Bits(c.smooth, c.mode)) {
            place.resize(static_cast<size_t>(2 * pixelCount(area, c.smooth) * 56));
        }
        const ScanSums sums = smoothAllChannels(area, carries, c.smooth, c.mode, c.shift, place.empty() ? nullptr : place.data());
        if (!place.empty()) {
            EXPECT_EQ(sums.narrow, place.data());
        }
        std::string fastLines, plainLines;
        for (int slot = 0; slot < kVisitedSlots; ++slot) {
            if (!carries[static_cast<size_t>(slot)]) {
                EXPECT_FALSE(sums.has(slot));
                continue;
            }
            const SmoothedChannel fast = finishChannel(sums, slot, c.smooth, c.mode, c.shift, fastLines);
            const SmoothedChannel plain = smoothChannel(area, slot, c.smooth, c.mode, c.shift, plainLines);
            ASSERT_EQ(fast.pixels, plain.pixels);
            ASSERT_EQ(fast.values, plain.values) << "frames " << c.frames << " slot " << slot;
            EXPECT_EQ(sums.overflow[static_cast<size_t>(slot)] ? 1 : 0,
                      channelOverflows(area.data, area.length, slot));
        }
        EXPECT_EQ(fastLines, plainLines);
    }
}

TEST(RunWorkers, EveryShareRunsOnceAndFailuresReachTheCaller) {
    for (const std::int64_t workers : {1, 2, 5}) {
        std::vector<std::atomic<int>> runs(static_cast<size_t>(workers));
        runWorkers(workers, [&](std::int64_t w) { ++runs[static_cast<size_t>(w)]; });
        for (const auto& r : runs) EXPECT_EQ(r.load(), 1) << workers;

        // A share that throws, on the calling thread or another, ends the
        // work with its exception once every share has ended.
        for (std::int64_t thrower = 0; thrower < workers; ++thrower) {
            std::atomic<int> finished{0};
            EXPECT_THROW(runWorkers(workers,
                                    [&](std::int64_t w) {
                                        if (w == thrower) throw std::runtime_error("share failed");
                                        ++finished;
                                    }),
                         std::runtime_error);
            EXPECT_EQ(finished.load(), workers - 1);
        }
    }
    EXPECT_GE(workerCount(1 << 30, 1), 1);
    EXPECT_EQ(workerCount(10, 100), 1);
    EXPECT_LE(workerCount(1 << 30, 1), 8);
}

// The channel loop finishes and encodes the channels shared among the cores
// and in place of their sums; its image, cards and console lines must be
// those of finishing the channels one by one with the plain smoothing.
TEST(SelectChannels, SharedWorkGivesThePlainChannelByChannelResult) {
    const int smooth = 11;  // above 10: gain steps are looked for in mode 1
    const std::int64_t frames = 60000;
    RecordingBuilder b(frames);
    Lcg next(777);
    for (std::int64_t f = 0; f < frames; ++f) {
        for (int block = 0; block < 4; ++block) {
            // Even word positions carry a Sun in block 0 (a triangle over
            // the middle of the scan, well above the noise): those channels
            // pass the test, the others, noise alone, fail it.
            const std::int64_t fromMiddle = std::abs(f - frames / 2);
            const int sun = block == 0 && fromMiddle < 3000 ? static_cast<int>(3000 - fromMiddle) : 0;
            for (int w = 11; w < 80; ++w) {
                b.setWord(f, block, w, static_cast<std::int16_t>(next() % 2000 + 100 * block + (w % 2 ? 0 : sun)));
            }
            // Gain codes that change now and then, so that several channels
            // have steps corrected, each with its console line.
            for (int s = 83; s <= 90; ++s) b.setWord(f, block, s, static_cast<std::int16_t>((f / 9001 + s) % 3 == 0 ? 259 : 0));
        }
    }
    const std::string config = testing::TempDir() + "select_channels.cfg";
    {
        std::FILE* f = std::fopen(config.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("chan freq use\n", f);
        // Channel 3 has no row, channel 7 a frequency of 0: both skipped.
        for (int channel = 1; channel <= 56; ++channel) {
            if (channel != 3) std::fprintf(f, "%d %.2f 1\n", channel, channel == 7 ? 0.0 : 1.0 + channel * 0.25);
        }
        std::fclose(f);
    }
    TIniFile table;
    ASSERT_GT(table.Load(config), 0);

    for (const AmpCorrectionMode mode : {kAmpNone, kAmpAutomatic, kAmpTable}) {
        SampleArea area = areaOf(b);
        const std::int64_t pixels = pixelCount(area, smooth);
        ScanGeometry geometry;
        geometry.windowCentre = static_cast<std::int32_t>(pixels / 2);
        geometry.windowHalfWidth = 300;
        geometry.sigma = 0.1f;
        ScanSettings settings;
        settings.smooth = smooth;
        settings.ampcor = static_cast<int>(mode);

        TMemStream image;
        ReportLines report;
        const ChannelPass pass = passOverChannels(area, settings, initialSlotChannelTable(), image);
        const std::vector<AcceptedChannel> kept = finishChannels(pass, settings, geometry, table, false, image, report);
        const std::string printed = report.outText();
        std::array<bool, kVisitedSlots> used{};
        for (const AcceptedChannel& channel : kept) used[static_cast<size_t>(channel.slot)] = true;

        // The plain way: each channel smoothed, tested and appended in turn.
        std::string lines;
        std::vector<unsigned char> expected;
        int accepted = 0;
        const auto channels = initialSlotChannelTable();
        for (int slot = 0; slot < kVisitedSlots; ++slot) {
            const float channel = channels[static_cast<size_t>(slot)];
            if (channel == 0) continue;
            SmoothedChannel plain = smoothChannel(area, slot, smooth, mode, 0, lines);
            const float test = sunWindowTest(plain.series1(), pixels, geometry.windowCentre, geometry.windowHalfWidth);
            if (channel == 3 || channel == 7 || !(geometry.sigma > test)) {
                EXPECT_FALSE(used[static_cast<size_t>(slot)]) << slot;
                continue;
            }
            EXPECT_TRUE(used[static_cast<size_t>(slot)]) << slot;
            ++accepted;
            std::reverse(plain.series1(), plain.series1() + pixels);
            std::reverse(plain.series2(), plain.series2() + pixels);
            std::vector<unsigned char> encoded(static_cast<size_t>(8 * pixels));
            scaleToInt32BE(plain.values.data(), encoded.data(), 2 * pixels);
            expected.insert(expected.end(), encoded.begin(), encoded.end());
        }
        SCOPED_TRACE(static_cast<int>(mode));
        EXPECT_GT(accepted, 5);
        EXPECT_LT(accepted, 54);
        EXPECT_EQ(static_cast<int>(kept.size()), accepted);
        EXPECT_EQ(printed, lines);
        if (mode == kAmpAutomatic) {
            EXPECT_NE(lines.find("jj="), std::string::npos);
        }
        ASSERT_EQ(image.Size(), static_cast<std::int64_t>(expected.size()));
        EXPECT_EQ(std::memcmp(image.Data(), expected.data(), expected.size()), 0);
    }
}

}  // namespace
