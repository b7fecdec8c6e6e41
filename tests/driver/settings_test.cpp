// Gathering the run settings: settings file keys, option lookup and the
// fallbacks of values that do not convert.
#include <gtest/gtest.h>

#include "driver/settings.h"
#include "support/run_program.h"

using namespace skanvert;

namespace {

using testsupport::Workspace;

// Runs the settings file step and the option step for a program path inside
// a workspace, with the given settings file content (none when null).
struct Gathered {
    RunSettings settings;
    bool ok = false;
    bool interactive = false;
    std::string err;
    std::string out;
};

Gathered gather(const char* ini, std::vector<std::string> args) {
    Workspace ws;
    if (ini) ws.write("prog.ini", ini);
    std::string program = (ws.dir() / "prog").string();
    std::vector<char*> argv{program.data()};
    for (auto& a : args) argv.push_back(a.data());
    Gathered g;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    readSettingsFile(static_cast<int>(argv.size()), argv.data(), g.settings);
    g.ok = readCommandLine(static_cast<int>(argv.size()), argv.data(), g.settings, g.interactive);
    g.out = testing::internal::GetCapturedStdout();
    g.err = testing::internal::GetCapturedStderr();
    return g;
}

TEST(Settings, StartValuesWithoutSettingsFile) {
    const Gathered g = gather(nullptr, {"-f=x"});
    ASSERT_TRUE(g.ok);
    EXPECT_EQ(g.settings.inputFile, "x");
    EXPECT_EQ(g.settings.smooth, 20);
    EXPECT_EQ(g.settings.ampcor, 1);  // no settings file: the start value
    EXPECT_FLOAT_EQ(g.settings.dspdt, 0.0076365f);
    EXPECT_FLOAT_EQ(g.settings.valh, 10);
    EXPECT_FLOAT_EQ(g.settings.sigma, 1);
    EXPECT_TRUE(g.settings.channels.empty());
    EXPECT_NE(g.err.find("prog.ini>"), std::string::npos);  // "Can not open" names the file
}

TEST(Settings, SettingsFileKeysAndDefaults) {
    const Gathered g = gather(
        "smooth=30\nsmooth=40\n sigma=7\ndebug=1\nshift=abc\ndspdt = 0.5\noutdir='/data/run 1/'\n"
        "indir=/in dir/\nchannels=c.cfg\nSmooth=5\nflag_theta=3\n",
        {"-f=x"});
    ASSERT_TRUE(g.ok);
    EXPECT_EQ(g.settings.smooth, 30);    // first line that begins with the key
    EXPECT_FLOAT_EQ(g.settings.sigma, 1);  // a leading blank hides the key
    EXPECT_EQ(g.settings.debug, 0);      // option mode: only -debug decides
    EXPECT_EQ(g.settings.shift, 0);      // does not convert: the default
    EXPECT_FLOAT_EQ(g.settings.dspdt, 0.5f);
    EXPECT_EQ(g.settings.ampcor, 2);     // settings file without the key
    EXPECT_EQ(g.settings.outdir, "/data/run 1/");
    EXPECT_EQ(g.settings.indir, "/in");
    EXPECT_EQ(g.settings.channels, "c.cfg");
    EXPECT_EQ(g.settings.flag_theta, 3);
    // Keys the file lacks take their defaults.
    EXPECT_FLOAT_EQ(g.settings.valh, 10);
    EXPECT_FLOAT_EQ(g.settings.delta, 0);
    EXPECT_FLOAT_EQ(g.settings.azim, 0);
    EXPECT_EQ(g.settings.onoff, 0);
}

TEST(Settings, OptionValuesAndFallbacks) {
    struct Case {
        std::vector<std::string> args;
        int smooth, shift, ampcor, onoff, debug;
        float sigma;
    };
    const Case cases[] = {
        {{"-f=x", "-s=12abc"}, 12, 0, 1, 0, 0, 1.0f},
        {{"-f=x", "-s:30"}, 30, 0, 1, 0, 0, 1.0f},
        {{"-f=x", "-s30"}, 0, 0, 1, 0, 0, 1.0f},          // value text "0"
        {{"-f=x", "-shift=3", "-s=40"}, 20, 3, 1, 0, 0, 1.0f},  // -s takes "-shift=3": "ift=3" fails
        {{"-f=x", "-s=40", "-s=50"}, 40, 0, 1, 0, 0, 1.0f},
        {{"-f=x", "-amp"}, 20, 0, 2, 0, 0, 1.0f},          // empty value: fallback 2
        {{"-f=x", "-amp=0", "-debug"}, 20, 0, 0, 0, 1, 1.0f},
        {{"-f=x", "-onoff"}, 20, 0, 1, 0, 0, 1.0f},        // keeps the earlier value
        {{"-f=x", "-onoff=1", "-sigma=2.5"}, 20, 0, 1, 1, 0, 2.5f},
        {{"-f=x", "-sigma=abc"}, 20, 0, 1, 0, 0, 1.0f},
    };
    for (const Case& c : cases) {
        const Gathered g = gather(nullptr, c.args);
        SCOPED_TRACE(c.args.back());
        ASSERT_TRUE(g.ok);
        EXPECT_EQ(g.settings.smooth, c.smooth);
        EXPECT_EQ(g.settings.shift, c.shift);
        EXPECT_EQ(g.settings.ampcor, c.ampcor);
        EXPECT_EQ(g.settings.onoff, c.onoff);
        EXPECT_EQ(g.settings.debug, c.debug);
        EXPECT_FLOAT_EQ(g.settings.sigma, c.sigma);
    }
}

// A real option whose value does not convert takes the option's fallback,
// not the settings file's value.
TEST(Settings, RealOptionFallbacks) {
    EXPECT_FLOAT_EQ(gather("valh=5\n", {"-f=x", "-valh=abc"}).settings.valh, 10);
    EXPECT_FLOAT_EQ(gather("valh=5\n", {"-f=x", "-valh=2.5"}).settings.valh, 2.5f);
    EXPECT_FLOAT_EQ(gather("delta=5\n", {"-f=x", "-delta=abc"}).settings.delta, 0);
    EXPECT_FLOAT_EQ(gather("azim=5\n", {"-f=x", "-azim=abc"}).settings.azim, 0);
}

TEST(Settings, OnoffWithoutValueKeepsTheSettingsFileValue) {
    EXPECT_EQ(gather("onoff=1\n", {"-f=x", "-onoff"}).settings.onoff, 1);
    EXPECT_EQ(gather("onoff=1\n", {"-f=x", "-onoff=0"}).settings.onoff, 0);
}

TEST(Settings, EchoLinesFollowTheLookupOrder) {
    const Gathered g = gather(nullptr, {"-shift=3", "-debug", "-f=a", "-out=o/", "-cf=c"});
    EXPECT_EQ(g.err.substr(g.err.find("\n\t")), "\n\t-f=a\n\t-cf=c\n\t-out=o/\n\t-debug\n\t-shift=3\n\t-shift=3");
    EXPECT_EQ(g.out, "\n sigma = 1.000000");
    EXPECT_EQ(g.settings.smooth, 20);
}

TEST(Settings, MissingInputOptionPrintsUsage) {
    const Gathered g = gather(nullptr, {"-cf=c"});
    EXPECT_FALSE(g.ok);
    EXPECT_EQ(g.out.rfind("\nUsage: skanvert -f=file_name -cf=config_file", 0), 0u);
    EXPECT_EQ(g.out.substr(g.out.size() - 31), "\n\t -debug -print debug messages");
}

TEST(Settings, PathsAreJoinedWithoutSeparator) {
    RunSettings s;
    s.indir = "/data";
    s.inputFile = "scan.dat";
    s.outdir = "out/";
    EXPECT_EQ(inputPath(s), "/datascan.dat");
    EXPECT_EQ(outputPath(s, "data/scan1"), "out/data/scan1");
}

}  // namespace
