// The built vekgen program: its exit statuses and files, and whole
// conversions of its recordings by skanvert: accepted and rejected channels,
// overflow cards, the Sun at CRPIX1 and gain steps undone by -amp=2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "support/fits_reader.h"
#include "support/run_program.h"

namespace {

using testsupport::FitsFile;
using testsupport::RunResult;
using testsupport::Workspace;

// Runs "vekgen args..." in the workspace folder.
RunResult runVekgen(const Workspace& ws, const std::vector<std::string>& args) {
    testsupport::LaunchOptions options;
    options.program = VEKGEN_BIN;
    return testsupport::launch(ws, args, options);
}

// The start stamp's milliseconds.
int startMilliseconds(const Workspace& ws, const std::string& recording) {
    const std::string bytes = ws.read(recording);
    char w[16], m[16], t[16];
    int day = 0, year = 0, ms = -1;
    std::sscanf(bytes.substr(4032, 32).c_str(), "%15s %15s %d %15s %d %3d", w, m, &day, t, &year, &ms);
    return ms;
}

// Pixel value in counts, pixel i in recording order.
double recordedPixel(const FitsFile& fits, long long i, int series, int plane) {
    return fits.pixel(fits.primary.intValue("NAXIS1") - 1 - i, series, plane) / 100.0;
}

TEST(VekgenProgram, ExitStatusesMessagesAndFiles) {
    Workspace ws;
    const RunResult help = runVekgen(ws, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--seed=", "--frames=", "--dspdt=", "--channels=", "--fmin=", "--fmax=", "--date=",
                               "--start=", "--crossing=", "--object=", "--azimuth=", "--altitude=", "--packed-altitude",
                               "--noise=", "--dead=", "--noise-only=", "--overflow=", "--gain-step=", "--step-words=",
                               "--coef"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const std::vector<std::vector<std::string>> failing = {
        {"--frames=abc", "scan.dat"}, {"--frames=10"}, {"--frames=10", "nodir/scan.dat"}, {"--frames=10", "x.cfg"}};
    for (const auto& args : failing) {
        const RunResult r = runVekgen(ws, args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.err.rfind("vekgen: ", 0), 0u) << r.err;
        EXPECT_TRUE(ws.files().empty());
    }
    const RunResult ok = runVekgen(ws, {"--frames=10", "--coef", "scan"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out + ok.err, "");
    std::vector<std::string> files = ws.files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"crab0coef.txt", "scan", "scan.cfg"}));
    // A crossing outside the recording: written all the same, with one warning line.
    const RunResult outside = runVekgen(ws, {"--frames", "10", "--crossing", "300", "late.dat"});
    EXPECT_EQ(outside.status, 0);
    EXPECT_EQ(outside.err.rfind("vekgen: warning: ", 0), 0u) << outside.err;
    EXPECT_EQ(std::count(outside.err.begin(), outside.err.end(), '\n'), 1);
    EXPECT_TRUE(ws.exists("late.dat") && ws.exists("late.cfg"));
}

// Frames 40000 at 20 per pixel: 2000 pixels, the Sun crossing at 150 s.
TEST(VekgenConversion, AcceptsNormalChannelsFlagsOverflowsAndPlacesTheSun) {
    Workspace ws;
    ASSERT_EQ(runVekgen(ws, {"--seed=17", "--frames=40000", "--crossing=150", "--channels=1-12", "--dead=5",
                             "--noise-only=6", "--overflow=7,9", "scan.dat"})
                  .status,
              0);
    const RunResult run = ws.run({"-f=scan.dat", "-cf=scan.cfg", "-debug"});
    ASSERT_EQ(run.status, 0) << run.out;

    // Debug lines " <channel>.0  <freq>GHz test = <test> ... [+]".
    std::map<int, double> tests;
    std::map<int, bool> accepted;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        float channel = 0, frequency = 0, test = 0;
        if (std::sscanf(line.c_str(), " %f %fGHz test = %f", &channel, &frequency, &test) == 3) {
            tests[static_cast<int>(channel)] = test;
            accepted[static_cast<int>(channel)] = line.find(" +") != std::string::npos;
        }
    }
    ASSERT_EQ(tests.size(), 12u) << run.out;
    for (int c = 1; c <= 12; ++c) {
        if (c == 5) continue;
        EXPECT_TRUE(accepted[c]) << c;
        if (c != 6) {
            EXPECT_LT(tests[c], 0.1) << c;
        }
    }
    EXPECT_FALSE(accepted[5]);
    EXPECT_EQ(tests[5], 1.0f);

    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    ASSERT_EQ(fits.primary.intValue("NAXIS3"), 11);
    // Channels 1..12 from 1 to 25 GHz (hundredths of GHz); channel 5 is dead.
    const std::map<long, int> channelOfFrequency = {{100, 1},  {318, 2},  {536, 3},   {755, 4},   {1191, 6}, {1409, 7},
                                                    {1627, 8}, {1845, 9}, {2064, 10}, {2282, 11}, {2500, 12}};
    for (int k = 1; k <= 11; ++k) {
        char key[16];
        std::snprintf(key, sizeof key, "FREQ%03d", k);
        const auto it = channelOfFrequency.find(std::lround(fits.primary.realValue(key) * 100));
        ASSERT_NE(it, channelOfFrequency.end()) << fits.primary.value(key);
        std::snprintf(key, sizeof key, "OVER%03d", k);
        EXPECT_EQ(fits.primary.value(key), it->second == 7 || it->second == 9 ? "1" : "0") << it->second;
    }

    // CRPIX1 where the header says the Sun crosses: the start stamp holds
    // 12:00:00 plus milliseconds, the time field 12:02:30.
    // Seed 17 starts 993 ms into its second: a crossing placed without the
    // milliseconds would lie 6.5 pixels away from CRPIX1.
    const double n = 2000, ms = startMilliseconds(ws, "scan.dat");
    ASSERT_EQ(ms, 993);
    const double crpix1 = fits.primary.realValue("CRPIX1");
    EXPECT_NEAR(crpix1, n - ((150.0 - ms / 1000.0) / 0.0076365) / 20.0 - 1.0, 0.1);
    EXPECT_NEAR(crpix1, n - (150.0 / 0.0076365) / 20.0 - 1.0, 7.0);
    // ... and where the data have it: the middle of the half-power points of
    // the discs at 25 and 16.27 GHz (planes 11 and 7), which is half a frame
    // short of a pixel later in output order (a pixel's frames centre on its
    // index + 0.475).
    for (const int plane : {10, 6}) {
        double quiet = 0, peak = -1e9;
        for (int i = 0; i < 100; ++i) quiet += recordedPixel(fits, i, 0, plane) / 100.0;
        for (int i = 0; i < n; ++i) peak = std::max(peak, recordedPixel(fits, i, 0, plane));
        int first = -1, last = -1;
        for (int i = 0; i < n; ++i) {
            if (recordedPixel(fits, i, 0, plane) > (quiet + peak) / 2) {
                if (first < 0) first = i;
                last = i;
            }
        }
        EXPECT_NEAR(n - 1 - (first + last) / 2.0, crpix1 + 0.475, 1.0) << plane;
        EXPECT_GT(peak - quiet, 200.0);
        if (plane == 10) {  // the narrow beam: the disc spans the solar diameter at the drift rate
            EXPECT_NEAR((last - first + 1) * fits.primary.realValue("CDELT1"), 2 * fits.primary.realValue("SOLAR_R"),
                        20.0);
        }
    }
    // The noise-only channel (plane 5) has no Sun.
    double lo = 1e9, hi = -1e9;
    for (int i = 0; i < n; ++i) {
        lo = std::min(lo, recordedPixel(fits, i, 0, 4));
        hi = std::max(hi, recordedPixel(fits, i, 0, 4));
    }
    EXPECT_LT(hi - lo, 80.0);
}

// Steps on the flat disc (frames 1500 to 18400): 0 -> 1 at frame 6000 and
// 1 -> 2 at frame 13000. Without correction the level doubles at each; with
// -amp=2 the series is continuous.
TEST(VekgenConversion, GainStepsAreUndoneByTheStatusCodes) {
    Workspace ws;
    ASSERT_EQ(runVekgen(ws, {"--frames=20000", "--crossing=76", "--channels=1-4", "--fmin=10",
                             "--gain-step=6000:1,13000:2", "scan.dat"})
                  .status,
              0);
    for (const auto& [amp, ratio] : std::vector<std::pair<std::string, double>>{{"-amp=0", 2.0}, {"-amp=2", 1.0}}) {
        ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=scan.cfg", amp}).status, 0);
        const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
        ASSERT_EQ(fits.primary.intValue("NAXIS3"), 4) << amp;
        for (int plane = 0; plane < 4; ++plane) {
            for (int series = 0; series < 2; ++series) {
                for (const int step : {300, 650}) {  // pixels of frames 6000 and 13000
                    double before = 0, after = 0;
                    for (int i = 1; i <= 10; ++i) {
                        before += recordedPixel(fits, step - 1 - i, series, plane);
                        after += recordedPixel(fits, step + i, series, plane);
                    }
                    EXPECT_NEAR(after / before, ratio, 0.05) << amp << " plane " << plane << " pixel " << step;
                }
            }
        }
    }
}

}  // namespace
