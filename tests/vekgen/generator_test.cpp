// The recording simulator in-process: its command line, the header fields at
// their offsets, the frames' status words and levels, the file names and the
// determinism of its output.
#include "vekgen/generator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/run_program.h"

namespace {

using vekgen::ParseStatus;
using vekgen::VekgenOptions;

VekgenOptions parsed(std::vector<std::string> args, const std::string& recording = "scan.dat") {
    args.push_back(recording);
    const vekgen::ParseResult r = vekgen::parseVekgenArguments(args);
    EXPECT_EQ(r.status, ParseStatus::Run) << r.error;
    return r.options;
}

std::string textAt(const std::vector<unsigned char>& bytes, size_t offset, size_t field) {
    const char* p = reinterpret_cast<const char*>(&bytes[offset]);
    return std::string(p, strnlen(p, field));
}

std::int16_t wordAt(const std::string& file, std::int64_t frame, int block, int word) {
    const size_t at = static_cast<size_t>(4096 + 752 * frame + 188 * block + 2 * word);
    return static_cast<std::int16_t>(static_cast<unsigned char>(file[at]) |
                                     (static_cast<unsigned char>(file[at + 1]) << 8));
}

TEST(VekgenArguments, DefaultsAndOptions) {
    const VekgenOptions d = parsed({});
    EXPECT_EQ(d.frames, 78571);
    EXPECT_EQ(d.channels.size(), 56u);
    EXPECT_EQ(vekgen::channelFrequencies(d).front(), 1.0);
    EXPECT_EQ(vekgen::channelFrequencies(d).back(), 25.0);

    const VekgenOptions o = parsed({"--seed=9", "--frames=500", "--channels=30-33,1,2,2", "--fmin=2", "--fmax=3.5",
                                    "--date=2008-02-29", "--start=23:59:58", "--crossing=-3", "--object=Moon",
                                    "--azimuth=-4", "--altitude=51.5", "--packed-altitude", "--noise=0", "--dead=1",
                                    "--overflow=30,31", "--gain-step=300:2,100:1", "--coef=c.txt"});
    EXPECT_EQ(o.channels, (std::vector<int>{1, 2, 30, 31, 32, 33}));
    EXPECT_EQ(vekgen::channelFrequencies(o), (std::vector<double>{2.0, 2.3, 2.6, 2.9, 3.2, 3.5}));
    EXPECT_EQ(o.year * 10000 + o.month * 100 + o.day, 20080229);
    EXPECT_EQ(o.startHour * 3600 + o.startMinute * 60 + o.startSecond, 86398);
    ASSERT_EQ(o.gainSteps.size(), 2u);
    EXPECT_EQ(o.gainSteps[0].frame, 100);  // sorted by frame
    EXPECT_EQ(o.gainSteps[1].step, 2);
    EXPECT_EQ(vekgen::coefficientPathFor(o), "c.txt");
    EXPECT_EQ(vekgen::parseVekgenArguments({"--bogus", "--help"}).status, ParseStatus::Help);
}

TEST(VekgenArguments, RejectsBadCommandLines) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"scan.dat", "--frames=0"}, "--frames"},
        {{"scan.dat", "--frames=12x"}, "--frames"},
        {{"scan.dat", "--channels=57"}, "--channels"},
        {{"scan.dat", "--channels=1,,2"}, "--channels"},
        {{"scan.dat", "--date=2006-02-29"}, "--date"},
        {{"scan.dat", "--start=24:00:00"}, "--start"},
        {{"scan.dat", "--object=sixteen-letters!"}, "--object"},
        {{"scan.dat", "--altitude=nan"}, "--altitude"},
        {{"scan.dat", "--gain-step=10:5"}, "--gain-step"},
        {{"scan.dat", "--gain-step=10:1,10:2"}, "--gain-step"},
        {{"scan.dat", "--gain-step=100:1", "--frames=100"}, "beyond the last frame"},
        {{"scan.dat", "--step-words=82"}, "--step-words"},
        {{"scan.dat", "--step-words=86-84"}, "--step-words"},
        {{"scan.dat", "--channels=1-4", "--dead=5"}, "--dead"},
        {{"scan.dat", "--dead=3", "--noise-only=3"}, "--dead"},
        {{"scan.dat", "--packed-altitude", "--altitude=-1"}, "--packed-altitude"},
        {{"scan.dat", "--noise"}, "needs a value"},
        {{"scan.dat", "--bogus=1"}, "unknown option --bogus"},
        {{"scan.dat", "-x"}, "unknown option -x"},
        {{}, "no RECORDING"},
        {{"a.dat", "b.dat"}, "more than one"},
    };
    for (const auto& [args, message] : cases) {
        const vekgen::ParseResult r = vekgen::parseVekgenArguments(args);
        EXPECT_EQ(r.status, ParseStatus::Error) << args.back();
        EXPECT_NE(r.error.find(message), std::string::npos) << args.back() << ": " << r.error;
    }
}

TEST(VekgenArguments, ValuesAfterEqualsOrAsTheNextArgumentAndTheEndOfOptions) {
    struct Case {
        std::vector<std::string> args;
        std::int64_t frames;
        double crossing;
        std::string object, recording;
    };
    const std::vector<Case> cases = {
        {{"--frames=3000", "scan.dat"}, 3000, 11, "sun", "scan.dat"},
        {{"--frames", "3000", "scan.dat"}, 3000, 11, "sun", "scan.dat"},
        {{"scan.dat", "--crossing", "-60", "--frames", "400"}, 400, -60, "sun", "scan.dat"},
        {{"--crossing=305.5", "--object", "--odd", "scan.dat"}, 78571, 305.5, "--odd", "scan.dat"},
        {{"--frames=5", "--", "-odd.dat"}, 5, -1, "sun", "-odd.dat"},
        {{"--", "--help"}, 78571, 300, "sun", "--help"},
        {{"--frames=9", "--frames", "7", "--", "--frames=8"}, 7, -1, "sun", "--frames=8"},
    };
    for (const Case& c : cases) {
        const vekgen::ParseResult r = vekgen::parseVekgenArguments(c.args);
        ASSERT_EQ(r.status, ParseStatus::Run) << c.args.front() << ": " << r.error;
        EXPECT_EQ(r.options.frames, c.frames) << c.args.front();
        if (c.crossing != -1) {  // -1: the default, seed-dependent for short recordings
            EXPECT_EQ(vekgen::crossingSecondsOf(r.options), c.crossing) << c.args.front();
        }
        EXPECT_EQ(r.options.object, c.object);
        EXPECT_EQ(r.options.recordingPath, c.recording);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> failing = {
        {{"scan.dat", "--frames"}, "needs a value"},
        {{"--coef", "c.txt", "scan.dat"}, "more than one"},  // --coef's path only after '='
        {{"--packed-altitude=1", "scan.dat"}, "takes no value"},
        {{"--crossing=1000001", "scan.dat"}, "--crossing"},
        {{"--crossing=inf", "scan.dat"}, "--crossing"},
        {{"--", "a.dat", "-b.dat"}, "more than one"},
    };
    for (const auto& [args, message] : failing) {
        const vekgen::ParseResult r = vekgen::parseVekgenArguments(args);
        EXPECT_EQ(r.status, ParseStatus::Error) << args.front();
        EXPECT_NE(r.error.find(message), std::string::npos) << args.front() << ": " << r.error;
    }
}

// The default crossing lies within the recording whatever its length, on a
// whole second where the recording spans one; an explicit one is kept.
TEST(VekgenCrossing, DefaultInTheMiddleOfEveryRecording) {
    for (const char* dspdt : {"0.0076365", "0.001", "0.5", "10"}) {
        for (const char* frames : {"1", "2", "10", "130", "131", "300", "393", "394", "1500", "78571", "10000000"}) {
            for (const char* seed : {"1", "2", "5"}) {
                const VekgenOptions o = parsed({std::string("--dspdt=") + dspdt, std::string("--frames=") + frames,
                                                std::string("--seed=") + seed});
                const double duration = static_cast<double>(o.frames) * o.dspdt;
                const double crossing = vekgen::crossingSecondsOf(o);
                // The recording runs from the start stamp's milliseconds on.
                const std::string stamp = textAt(vekgen::recordingHeader(o), 4032, 32);
                const double first = std::stoi(stamp.substr(stamp.rfind(' ') + 1)) / 1000.0;
                EXPECT_GE(crossing, first) << dspdt << " " << frames << " " << seed;
                EXPECT_LE(crossing, first + duration) << dspdt << " " << frames << " " << seed;
                EXPECT_EQ(vekgen::crossingWarning(o), "") << dspdt << " " << frames << " " << seed;
                if (duration >= 3) {
                    EXPECT_EQ(crossing, std::round(duration / 2)) << dspdt << " " << frames;
                } else {
                    EXPECT_NEAR(crossing, duration / 2, 1.0) << dspdt << " " << frames;
                }
            }
        }
    }
    EXPECT_EQ(vekgen::crossingSecondsOf(parsed({})), 300);
    // An explicit crossing wins, and one outside the recording is warned about.
    const std::vector<std::pair<std::string, bool>> explicitCrossings = {
        {"--crossing=11", false},   {"--crossing=1", false},     {"--crossing=22.9", false},
        {"--crossing=-0.5", true},  {"--crossing=23.95", true},  {"--crossing=300", true},
    };
    for (const auto& [option, outside] : explicitCrossings) {
        const VekgenOptions o = parsed({"--frames=3000", "--seed=3", option});
        EXPECT_EQ(vekgen::crossingSecondsOf(o), std::stod(option.substr(11))) << option;
        EXPECT_EQ(vekgen::crossingWarning(o).empty(), !outside) << option << ": " << vekgen::crossingWarning(o);
    }
}

TEST(VekgenPaths, ConfigurationAndCoefficientTableBesideTheRecording) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"scan.dat", "scan.cfg"},         {"scan", "scan.cfg"},
        {"a.b.dat", "a.b.cfg"},           {"dir.d/scan", "dir.d/scan.cfg"},
        {"/tmp/x/s.dat", "/tmp/x/s.cfg"},
    };
    for (const auto& [recording, config] : cases) EXPECT_EQ(vekgen::configPathFor(recording), config);
    VekgenOptions o;
    o.recordingPath = "scan.dat";
    EXPECT_EQ(vekgen::coefficientPathFor(o), "crab0coef.txt");
    o.recordingPath = "out/scan.dat";
    EXPECT_EQ(vekgen::coefficientPathFor(o), "out/crab0coef.txt");
}

TEST(VekgenHeader, FieldsLandAtTheirOffsets) {
    struct Case {
        std::vector<std::string> args;
        const char *timeField, *start, *stop;  // stamps without their milliseconds
    };
    // 1000 frames of 0.5 s: the stop stamp is 500 s after the start, same milliseconds.
    const std::vector<Case> cases = {
        {{}, "12:04:10", "Wed Apr 12 12:00:00 2006", "Wed Apr 12 12:08:20 2006"},  // the middle
        {{"--crossing=305.5"}, "12:05:06", "Wed Apr 12 12:00:00 2006", "Wed Apr 12 12:08:20 2006"},
        {{"--date=2017-11-04", "--start=23:59:00", "--crossing=120"},
         "00:01:00",
         "Sat Nov 4 23:59:00 2017",
         "Sun Nov 5 00:07:20 2017"},
        {{"--date=2008-12-31", "--start=23:55:00", "--crossing=0"},
         "23:55:00",
         "Wed Dec 31 23:55:00 2008",
         "Thu Jan 1 00:03:20 2009"},
        {{"--date=2008-02-29", "--start=08:00:00", "--crossing=-60"},
         "07:59:00",
         "Fri Feb 29 08:00:00 2008",
         "Fri Feb 29 08:08:20 2008"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--frames=1000", "--dspdt=0.5"});
        const std::vector<unsigned char> h = vekgen::recordingHeader(parsed(args));
        ASSERT_EQ(h.size(), 4096u);
        EXPECT_EQ(textAt(h, 18, 16), c.timeField);
        EXPECT_EQ(textAt(h, 34, 16), "sun");
        EXPECT_EQ(textAt(h, 2761, 32), "Samples: 4000                   ");
        char weekday[16], month[16], clock[16], stopMonth[16], stopClock[16];
        int day = 0, year = 0, ms = -1, stopDay = 0, stopYear = 0, stopMs = -1;
        ASSERT_EQ(std::sscanf(textAt(h, 4032, 32).c_str(), "%15s %15s %d %15s %d %3d", weekday, month, &day, clock,
                              &year, &ms),
                  6);
        char text[64];
        std::snprintf(text, sizeof text, "%s %s %d %s %d", weekday, month, day, clock, year);
        EXPECT_EQ(std::string(text), c.start);
        ASSERT_EQ(std::sscanf(textAt(h, 3072, 32).c_str(), "%15s %15s %d %15s %d %d", weekday, stopMonth, &stopDay,
                              stopClock, &stopYear, &stopMs),
                  6);
        std::snprintf(text, sizeof text, "%s %s %d %s %d", weekday, stopMonth, stopDay, stopClock, stopYear);
        EXPECT_EQ(std::string(text), c.stop);
        EXPECT_TRUE(ms >= 0 && ms <= 999);
        EXPECT_EQ(stopMs, ms);
    }

    // Azimuth (int32) and altitude (float32), plain or packed as DDMMSS.s.
    const std::vector<std::tuple<std::vector<std::string>, std::int32_t, float>> fields = {
        {{}, 0, 45.0f},
        {{"--azimuth=-4", "--altitude=12.25"}, -4, 12.25f},
        {{"--azimuth=31", "--altitude=45.504166667", "--packed-altitude"}, 31, 453015.0f},
        {{"--altitude=51.341667", "--packed-altitude"}, 0, 512030.0f},
        {{"--altitude=9.99999", "--packed-altitude"}, 0, 100000.0f},  // 59.96 s round up to 10 00 00.0
    };
    for (const auto& [args, azimuth, altitude] : fields) {
        const std::vector<unsigned char> h = vekgen::recordingHeader(parsed(args));
        std::int32_t a = 0;
        float alt = 0;
        std::memcpy(&a, &h[52], 4);
        std::memcpy(&alt, &h[56], 4);
        EXPECT_EQ(a, azimuth);
        EXPECT_EQ(alt, altitude) << args.back();
    }
}

class VekgenFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("vekgen-test-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    // Writes scan.dat with the given options; returns its bytes.
    std::string write(const std::vector<std::string>& args) {
        std::string error;
        EXPECT_TRUE(vekgen::writeRecording(parsed(args, (dir_ / "scan.dat").string()), error)) << error;
        return testsupport::readFile(dir_ / "scan.dat");
    }
    std::filesystem::path dir_;
};

TEST_F(VekgenFiles, FramesCarryStatusCodesLevelsAndOverflows) {
    const std::string file = write(
        {"--frames=3000", "--channels=1-4,9", "--dead=2", "--overflow=3", "--gain-step=1000:1,2000:0", "--crossing=0"});
    ASSERT_EQ(file.size(), 4096u + 752u * 3000u);
    EXPECT_EQ(testsupport::readFile(dir_ / "scan.cfg"),
              "chan freq use\n1 1.00 1\n2 7.00 1\n3 13.00 1\n4 19.00 1\n9 25.00 1\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "crab0coef.txt"));

    // Status words 83..90: code 0, then step 1 (0x0103, 0x0105, ... 0x0111) from frame 1000, then 0 again.
    for (const std::int64_t frame : {0, 999, 1000, 1999, 2000, 2999}) {
        for (int block = 0; block < 4; ++block) {
            for (int w = 83; w <= 90; ++w) {
                const int expected = frame >= 1000 && frame < 2000 ? 0x100 | (3 + 2 * (w - 83)) : 0;
                EXPECT_EQ(wordAt(file, frame, block, w), expected) << frame << " " << w;
            }
        }
    }
    // Channel 1 (word 11) at 0 s from the crossing: signal blocks above their
    // references, samples doubled during the step.
    auto mean = [&](int word, int block, std::int64_t from, std::int64_t to) {
        double sum = 0;
        for (std::int64_t f = from; f < to; ++f) sum += wordAt(file, f, block, word);
        return sum / static_cast<double>(to - from);
    };
    for (int block = 0; block < 4; ++block) {
        EXPECT_NEAR(mean(11, block, 1000, 1100) / mean(11, block, 900, 1000), 2.0, 0.05) << block;
    }
    EXPECT_GT(mean(11, 0, 0, 100), mean(11, 1, 0, 100) + 100);
    EXPECT_GT(mean(11, 2, 0, 100), mean(11, 3, 0, 100) + 100);
    EXPECT_NEAR(mean(16, 0, 0, 3000), 0.0, 3.0);  // channel 5 is not carried: noise around 0

    int overflows = 0;
    for (std::int64_t f = 0; f < 3000; ++f) {
        for (int block = 0; block < 4; ++block) {
            EXPECT_EQ(wordAt(file, f, block, 12), wordAt(file, 0, block, 12));  // channel 2 is dead
            for (const int word : {11, 14, 21}) EXPECT_LE(std::abs(wordAt(file, f, block, word)), 8190);
            overflows += std::abs(wordAt(file, f, block, 13)) > 8190;
        }
    }
    EXPECT_GE(overflows, 1);
    EXPECT_LE(overflows, 3);
}

TEST_F(VekgenFiles, DeterministicFromTheSeed) {
    const std::vector<std::string> base = {"--frames=400", "--channels=1-8"};
    const std::string a = write(base);
    EXPECT_EQ(write(base), a);
    std::vector<std::string> other = base;
    other.push_back("--seed=2");
    EXPECT_NE(write(other), a);
    // Marking channel 2 dead changes channel 2 only: every other word keeps its noise.
    other = base;
    other.push_back("--dead=2");
    const std::string dead = write(other);
    ASSERT_EQ(dead.size(), a.size());
    size_t differing = 0;
    for (std::int64_t f = 0; f < 400; ++f) {
        for (int block = 0; block < 4; ++block) {
            for (int w = 0; w < 94; ++w) {
                if (wordAt(dead, f, block, w) != wordAt(a, f, block, w)) {
                    EXPECT_EQ(w, 12);
                    ++differing;
                }
            }
        }
    }
    EXPECT_GT(differing, 0u);
    // A step on status word 85 alone changes that word and the channels it
    // serves (9 to 16, word positions 20 to 29) from the step on, nothing else.
    other = base;
    other.insert(other.end(), {"--channels=1-16", "--gain-step=100:1", "--step-words=85"});
    std::vector<std::string> unstepped = base;
    unstepped.push_back("--channels=1-16");
    const std::string stepped = write(other), plain = write(unstepped);
    differing = 0;
    for (std::int64_t f = 0; f < 400; ++f) {
        for (int block = 0; block < 4; ++block) {
            for (int w = 0; w < 94; ++w) {
                if (wordAt(stepped, f, block, w) == wordAt(plain, f, block, w)) continue;
                EXPECT_GE(f, 100);
                EXPECT_TRUE(w == 85 || (w >= 20 && w < 30)) << w;
                ++differing;
            }
        }
    }
    EXPECT_GT(differing, 4u * 300u * 8u);
}

TEST_F(VekgenFiles, CoefficientTableRowsAscendByFrequency) {
    write({"--frames=10", "--channels=1-3,7", "--fmin=12", "--fmax=3", "--coef"});
    const std::string table = testsupport::readFile(dir_ / "crab0coef.txt");
    ASSERT_EQ(table.rfind("freq tqsun kflux theta\n", 0), 0u);
    std::vector<double> frequencies;
    std::istringstream in(table.substr(table.find('\n') + 1));
    double f, tqsun, kflux, theta;
    while (in >> f >> tqsun >> kflux >> theta) {
        frequencies.push_back(f);
        EXPECT_NEAR(theta, 282.0 / f + 0.2, 0.01);
        EXPECT_GT(tqsun, 10000);
        EXPECT_GT(kflux, 0);
    }
    EXPECT_EQ(frequencies, (std::vector<double>{3.0, 6.0, 9.0, 12.0}));
}

}  // namespace
