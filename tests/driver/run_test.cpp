// Whole runs of the built program on recordings the tests write: the decoded
// FITS file, the prompts, and every failure path with its message, exit
// status and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "support/fits_reader.h"
#include "support/recording_builder.h"
#include "support/run_program.h"

namespace {

using testsupport::FitsFile;
using testsupport::RecordingBuilder;
using testsupport::RunResult;
using testsupport::Workspace;

constexpr int kFrames = 2000;  // 100 pixels at smoothing 20

// Channel 1 (word 11) carries a bright bump around frame 1565, channel 2
// (word 12) is flat, channel 3 (word 13) overflows once.
RecordingBuilder sunRecording() {
    RecordingBuilder b(kFrames);
    for (int f = 0; f < kFrames; ++f) {
        const double x = (f - 1565) / 300.0;
        const auto bump = static_cast<std::int16_t>(1000 + 3000 * std::exp(-x * x) + (f % 7));
        b.setWord(f, 0, 11, bump);
        b.setWord(f, 1, 11, 17);
        b.setWord(f, 2, 11, static_cast<std::int16_t>(bump / 2));
        b.setWord(f, 0, 12, 50);
        b.setWord(f, 0, 13, bump);
    }
    b.setWord(10, 3, 13, -8191);
    return b;
}

const char* kChannels = "chan freq use\n1 2.35 1\n2 2.70 1\n3 3.05 1\n";

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST(Run, WritesTheImageCardsAndRows) {
    Workspace ws;
    const RecordingBuilder rec = sunRecording();
    rec.writeTo(ws.path("scan.dat").string());
    ws.write("chan.cfg", kChannels);
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", "-amp=0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("\n Total points= 100\n Sun center x= ", 0), 0u) << r.out;
    ASSERT_TRUE(ws.exists("scan.fits"));
    EXPECT_EQ(sorted(ws.files()), (std::vector<std::string>{"chan.cfg", "scan.dat", "scan.fits"}));

    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    EXPECT_EQ(fits.bytes.size() % 2880, 0u);
    EXPECT_EQ(fits.primary.intValue("NAXIS1"), 100);
    EXPECT_EQ(fits.primary.intValue("NAXIS3"), 2);  // channels 1 and 3; 2 is flat
    EXPECT_EQ(fits.primary.value("FREQ001"), "2.350000");
    EXPECT_EQ(fits.primary.value("OVER001"), "0");
    EXPECT_EQ(fits.primary.value("FREQ002"), "3.050000");
    EXPECT_EQ(fits.primary.value("OVER002"), "1");
    EXPECT_EQ(fits.primary.text("DATE-OBS"), "2006/04/12");
    EXPECT_EQ(fits.primary.text("TIME-OBS"), "08:00:42");
    EXPECT_EQ(fits.primary.text("STARTOBS"), "12:00:30.045");
    EXPECT_EQ(fits.primary.cards[2].substr(0, 8), "EXTEND  ");
    EXPECT_EQ(fits.primary.cards[3].substr(0, 8), "NAXIS   ");
    EXPECT_EQ(fits.extension.intValue("NAXIS2"), 2);
    EXPECT_EQ(fits.extension.text("EXTNAME"), "Scan_params");

    // Output pixel i is recording pixel 99 - i, as hundredths truncated.
    for (int out = 0; out < 100; out += 33) {
        const int pixel = 99 - out;
        long long sum1 = 0, sum2 = 0;
        for (int f = pixel * 20; f < pixel * 20 + 20; ++f) {
            const double x = (f - 1565) / 300.0;
            const auto bump = static_cast<std::int16_t>(1000 + 3000 * std::exp(-x * x) + (f % 7));
            sum1 += bump - 17;
            sum2 += bump / 2;
        }
        EXPECT_EQ(fits.pixel(out, 0, 0), static_cast<std::int32_t>(static_cast<long double>(sum1 / 20.0) * 100));
        EXPECT_EQ(fits.pixel(out, 1, 0), static_cast<std::int32_t>(static_cast<long double>(sum2 / 20.0) * 100));
    }
    EXPECT_EQ(fits.rowText(0, 0), "2006/04/12");
    EXPECT_EQ(fits.rowText(0, 32), "sun");
    EXPECT_FLOAT_EQ(fits.rowFloat(0, 48), 2.35f);
    EXPECT_FLOAT_EQ(fits.rowFloat(1, 48), 3.05f);
    EXPECT_FLOAT_EQ(fits.rowFloat(0, 60), 6000.0f);                    // tqsun without a table
    EXPECT_FLOAT_EQ(fits.rowFloat(0, 64), static_cast<float>(282.0L / 2.35f + 0.2L));  // theta
    EXPECT_FLOAT_EQ(fits.rowFloat(0, 56), static_cast<float>(fits.primary.realValue("CRPIX1")));
}

TEST(Run, NoAcceptedChannelStillWritesTheFile) {
    Workspace ws;
    RecordingBuilder(kFrames).writeTo(ws.path("scan.dat").string());
    ws.write("chan.cfg", kChannels);
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg"});
    EXPECT_EQ(r.status, 0);
    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    EXPECT_EQ(fits.bytes.size(), 8640u);
    EXPECT_EQ(fits.primary.intValue("NAXIS3"), 0);
    EXPECT_EQ(fits.extension.intValue("NAXIS2"), 0);
}

TEST(Run, InteractivePromptsAndWait) {
    Workspace ws;
    sunRecording().writeTo(ws.path("scan.dat").string());
    ws.write("chan.cfg", kChannels);
    ws.write("skanvert.ini", "outdir=out/\n");
    std::filesystem::create_directory(ws.path("out"));
    const RunResult r = ws.run({}, std::string("scan.dat chan.cfg\nx\n"));
    // "x" does not convert: ampcor keeps 2 from the settings file default,
    // smoothing falls back to 20 and debug to 0; the wait then reads "x".
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nInput debug flag: \n Total points= 100"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 31), "\n press return to continue ...\n");
    EXPECT_TRUE(ws.exists("out/scan.fits"));
    EXPECT_EQ(r.err, "\nargc=1\n./skanvert.ini\nCan not open <crab0coef.txt>");
}

// A failing run: what it prints, its status, and that it leaves no output.
struct FailureCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Workspace&)> setup;
    std::string out;  // the whole standard output
    int status;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failures, MessageStatusAndNoOutputLeft) {
    const FailureCase& c = GetParam();
    Workspace ws;
    ws.write("chan.cfg", kChannels);
    c.setup(ws);
    const std::vector<std::string> before = sorted(ws.files());
    const RunResult r = ws.run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(sorted(ws.files()), before);
}

void writeRecording(Workspace& ws, const std::function<void(RecordingBuilder&)>& damage) {
    RecordingBuilder b(kFrames);
    damage(b);
    b.writeTo(ws.path("scan.dat").string());
}

const std::vector<std::string> kArgs{"-f=scan.dat", "-cf=chan.cfg"};

INSTANTIATE_TEST_SUITE_P(
    Driver, Failures,
    ::testing::Values(
        FailureCase{"MissingInput", kArgs, [](Workspace&) {}, "\nCan not open file <scan.dat>", 1},
        FailureCase{"MissingConfigurationWins", {"-f=scan.dat", "-cf=none.cfg"}, [](Workspace&) {},
                    "\nCan not open file <none.cfg>", 1},
        FailureCase{"EmptyConfiguration", {"-f=scan.dat", "-cf=empty.cfg"},
                    [](Workspace& ws) {
                        ws.write("empty.cfg", "");
                        writeRecording(ws, [](RecordingBuilder&) {});
                    },
                    "\nCan not open file <empty.cfg>", 1},
        FailureCase{"NoConfigurationName", {"-f=scan.dat"}, [](Workspace&) {}, "\nCan not open file <>", 1},
        FailureCase{"InputDirectoryPrefix", {"-f=scan.dat", "-cf=chan.cfg", "-in=in"}, [](Workspace&) {},
                    "\nCan not open file <inscan.dat>", 1},
        FailureCase{"ShortRecording", kArgs,
                    [](Workspace& ws) { writeRecording(ws, [](RecordingBuilder& b) { b.truncate(4095); }); },
                    "\nRecording <scan.dat> is shorter than its 4096-byte header", 1},
        FailureCase{"DirectoryAsInput", kArgs,
                    [](Workspace& ws) { std::filesystem::create_directory(ws.path("scan.dat")); },
                    "\nRead file Error <scan.dat>", 1},
        FailureCase{"BadStopStamp", kArgs,
                    [](Workspace& ws) { writeRecording(ws, [](RecordingBuilder& b) { b.setStopStamp("x"); }); },
                    "\nRecording <scan.dat> has no valid stop time stamp", 1},
        FailureCase{"BadStartStamp", {"-f=scan.dat", "-cf=chan.cfg", "-in=./"},
                    [](Workspace& ws) { writeRecording(ws, [](RecordingBuilder& b) { b.setStartStamp(""); }); },
                    "\nRecording <./scan.dat> has no valid start time stamp", 1},
        FailureCase{"BadTime", kArgs,
                    [](Workspace& ws) { writeRecording(ws, [](RecordingBuilder& b) { b.setTimeField("noon"); }); },
                    "\nRecording <scan.dat> has no valid time of observation", 1},
        FailureCase{"BadAltitude", kArgs,
                    [](Workspace& ws) {
                        writeRecording(ws, [](RecordingBuilder& b) { b.setAltitude(std::nanf("")); });
                    },
                    "\nRecording <scan.dat> has no valid altitude", 1},
        FailureCase{"UndefinedGeometry", kArgs,
                    [](Workspace& ws) { writeRecording(ws, [](RecordingBuilder& b) { b.setAzimuth(89); }); },
                    "\n Total points= 100\n Sun center x= 20.724613\n delta1= 8.551708\n cdelt1= -nan\n "
                    "hdsp.azimuth= 89.000000\nScan geometry undefined: cdelt1 = -nan",
                    1},
        FailureCase{"OutputDirectoryMissing", {"-f=scan.dat", "-cf=chan.cfg", "-out=nowhere/"},
                    [](Workspace& ws) { writeRecording(ws, [](RecordingBuilder&) {}); },
                    "\n Total points= 100\n Sun center x= 20.724613\n delta1= 8.551708\n cdelt1= 2.265479\n "
                    "hdsp.azimuth= 0.000000\nCan not open output FITS file <nowhere/scan.fits>",
                    1},
        FailureCase{"OutputIsTheInput", {"-f=scan.fits", "-cf=chan.cfg"},
                    [](Workspace& ws) {
                        RecordingBuilder b(kFrames);
                        b.writeTo(ws.path("scan.fits").string());
                    },
                    "\n Total points= 100\n Sun center x= 20.724613\n delta1= 8.551708\n cdelt1= 2.265479\n "
                    "hdsp.azimuth= 0.000000\nOutput FITS file <scan.fits> is the input file",
                    1}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(Run, UsageErrorEndsAtOnce) {
    Workspace ws;
    const RunResult r = ws.run({"-cf=chan.cfg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind("\nUsage: skanvert", 0), 0u);
    EXPECT_EQ(r.out.find("press return"), std::string::npos);
    EXPECT_EQ(r.err, "\nargc=2\n./skanvert.ini\nCan not open <./skanvert.ini>\nCan not open <crab0coef.txt>");
}

TEST(Run, InteractiveFailureStillWaits) {
    Workspace ws;
    const RunResult r = ws.run({}, std::string("scan.dat\nmissing.cfg\n1\n20\n0\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(r.out.find("\nInput debug flag: ")),
              "\nInput debug flag: \nCan not open file <missing.cfg>\n press return to continue ...\n");
    EXPECT_NE(r.err.find("\nCan not open <missing.cfg>"), std::string::npos);
}

TEST(Run, FailedWriteKeepsTheExistingOutput) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    Workspace ws;
    sunRecording().writeTo(ws.path("scan.dat").string());
    ws.write("chan.cfg", kChannels);
    std::filesystem::create_directory(ws.path("out"));
    ws.write("out/scan.fits", "old");
    chmod(ws.path("out").c_str(), 0555);
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", "-out=out/"});
    chmod(ws.path("out").c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ws.read("out/scan.fits"), "old");
}

}  // namespace

namespace {

// The standard layout: the same data bytes, the mandatory keywords in the
// standard's order, and the cards standard readers need.
TEST(Run, StandardLayoutKeepsTheDataAndOrdersTheKeywords) {
    Workspace ws;
    sunRecording().writeTo(ws.path("scan.dat").string());
    ws.write("chan.cfg", kChannels);
    ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=chan.cfg", "-amp=2"}).status, 0);
    const FitsFile plain = FitsFile::load(ws.path("scan.fits").string());
    ws.write("skanvert.ini", "layout=standard\n");
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", "-amp=2"});
    ASSERT_EQ(r.status, 0);
    const FitsFile standard = FitsFile::load(ws.path("scan.fits").string());

    const char* primaryOrder[] = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3", "EXTEND", "BSCALE", "BZERO"};
    for (size_t i = 0; i < std::size(primaryOrder); ++i) {
        EXPECT_EQ(standard.primary.cards[i].substr(0, 8).find(primaryOrder[i]), 0u) << i;
    }
    const char* extensionOrder[] = {"XTENSION", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT", "GCOUNT", "TFIELDS", "EXTNAME"};
    for (size_t i = 0; i < std::size(extensionOrder); ++i) {
        EXPECT_EQ(standard.extension.cards[i].substr(0, 8).find(extensionOrder[i]), 0u) << i;
    }
    // DATE-OBS: the start stamp's date and clock in UT (ISO 8601).
    EXPECT_EQ(standard.primary.text("DATE-OBS").substr(0, 11), "2006-04-12T");
    EXPECT_EQ(standard.primary.text("DATE-OBS").size(), 23u);
    EXPECT_EQ(standard.primary.value("BSCALE"), "1.000000000000E-02");
    EXPECT_EQ(standard.primary.text("CTYPE1"), "OFFSET");
    EXPECT_FLOAT_EQ(static_cast<float>(standard.primary.realValue("CRPIX1")),
                    static_cast<float>(plain.primary.realValue("CRPIX1")) + 1.0f);
    // Image, table rows and fills are byte for byte those of the default layout.
    EXPECT_TRUE(std::equal(plain.bytes.begin() + static_cast<long>(plain.primary.dataOffset), plain.bytes.end() - 5760 - 2880,
                           standard.bytes.begin() + static_cast<long>(standard.primary.dataOffset)));
    // The standard layout's lookup table of frequencies follows the rows.
    const auto rowBytes = static_cast<long>(plain.bytes.size() - plain.extension.dataOffset);
    ASSERT_GE(static_cast<long>(standard.bytes.size() - standard.extension.dataOffset), rowBytes);
    EXPECT_TRUE(std::equal(plain.bytes.begin() + static_cast<long>(plain.extension.dataOffset), plain.bytes.end(),
                           standard.bytes.begin() + static_cast<long>(standard.extension.dataOffset)));

    // The option selects it as well; any other value keeps the default.
    ws.write("skanvert.ini", "");
    ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=chan.cfg", "-amp=2", "-layout=standard"}).status, 0);
    EXPECT_EQ(FitsFile::load(ws.path("scan.fits").string()).primary.text("BUNIT"), "adu");
    ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=chan.cfg", "-amp=2", "-layout=vek"}).status, 0);
    EXPECT_TRUE(FitsFile::readBytes(ws.path("scan.fits").string()) == plain.bytes);
}

}  // namespace

namespace {

// The console lines of gain-step corrections, in the order printed.
std::string correctionLines(const std::string& out) {
    std::string lines;
    for (size_t at = out.find("\n\tjj="); at != std::string::npos; at = out.find("\n\tjj=", at + 1)) {
        lines += out.substr(at, out.find('\n', at + 1) - at);
    }
    return lines;
}

// Mode 1 corrects a gain step of series 1 at the pixel where its shifted
// frames meet the step (d - shift/n) and of series 2 at d + shift/n, also
// when the shift is a whole pixel or more. Channel 1 (word 11, status word
// 84) halves at frame 72 = pixel 6 of 12 frames; shifts of whole pixels put
// the step exactly on a pixel boundary of each series, so koeff is 2.
TEST(Run, GainStepCorrectionFollowsTheShift) {
    struct Case {
        int shift;
        const char* lines;
    };
    for (const Case c : {Case{0, "\n\tjj=6 amp koeff=2.000000\n\tjj=6 amp koeff=2.000000"},
                         {12, "\n\tjj=5 amp koeff=2.000000\n\tjj=7 amp koeff=2.000000"},
                         {24, "\n\tjj=4 amp koeff=2.000000\n\tjj=8 amp koeff=2.000000"},
                         {-24, "\n\tjj=8 amp koeff=2.000000\n\tjj=4 amp koeff=2.000000"}}) {
        Workspace ws;
        RecordingBuilder b(12 * 12);
        for (int f = 0; f < 12 * 12; ++f) {
            const bool stepped = f >= 72;
            b.setWord(f, 0, 11, stepped ? 100 : 200);
            b.setWord(f, 2, 11, stepped ? 50 : 100);
            b.setWord(f, 0, 84, stepped ? 259 : 0);
        }
        b.writeTo(ws.path("scan.dat").string());
        ws.write("chan.cfg", kChannels);
        const RunResult r =
            ws.run({"-f=scan.dat", "-cf=chan.cfg", "-amp=1", "-s=12", "-shift=" + std::to_string(c.shift)});
        ASSERT_EQ(r.status, 0) << c.shift;
        EXPECT_EQ(correctionLines(r.out), c.lines) << c.shift;
    }
}

// Extreme samples (block differences of 65535 counts) give exact means with
// any smoothing: in mode 2 the sums of more than 2048 frames no longer fit
// in 32 bits. Channel 1's series 1 is 32767 - (-32768) in every frame.
TEST(Run, ExtremeSamplesGiveExactMeansWithLargeSmoothing) {
    struct Case {
        const char* amp;
        const char* smooth;
        std::int16_t status;
        std::int32_t hundredths;
    };
    for (const Case c : {Case{"-amp=2", "-s=2100", 0, 6553500}, {"-amp=2", "-s=2100", 259, 3276750},
                         {"-amp=0", "-s=2100", 0, 6553500}}) {
        SCOPED_TRACE(testing::Message() << c.amp << " " << c.smooth << " status " << c.status);
        Workspace ws;
        RecordingBuilder b(8 * 2100);
        for (std::int64_t f = 0; f < b.frames(); ++f) {
            b.setWord(f, 0, 11, 32767);
            b.setWord(f, 1, 11, -32768);
            b.setWordAllBlocks(f, 84, c.status);
        }
        b.writeTo(ws.path("scan.dat").string());
        ws.write("chan.cfg", "1 2.35 1\n");
        ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=chan.cfg", c.amp, c.smooth, "-sigma=2"}).status, 0);
        const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
        ASSERT_EQ(fits.primary.intValue("NAXIS3"), 1);  // flat: test value 1 < 2
        const long long pixels = fits.primary.intValue("NAXIS1");
        for (long long i = 0; i < pixels; ++i) {
            ASSERT_EQ(fits.pixel(i, 0, 0), c.hundredths) << i;
            ASSERT_EQ(fits.pixel(i, 1, 0), 0) << i;
        }
    }
}

// Without a coefficient table every row gets the default noise temperature:
// 220 for the Moon (any case of the name), 6000 for everything else.
TEST(Run, DefaultTqsunByObject) {
    struct Case {
        const char* object;
        float tqsun;
    };
    for (const Case c : {Case{"sun", 6000.0f}, {"Moon", 220.0f}, {"full moon", 220.0f}, {"Crab", 6000.0f}}) {
        Workspace ws;
        RecordingBuilder b = sunRecording();
        b.setObject(c.object);
        b.writeTo(ws.path("scan.dat").string());
        ws.write("chan.cfg", kChannels);
        ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=chan.cfg", "-sigma=1e30"}).status, 0) << c.object;
        const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
        ASSERT_GE(fits.extension.intValue("NAXIS2"), 1) << c.object;
        EXPECT_EQ(fits.rowFloat(0, 60), c.tqsun) << c.object;
    }
}

// The Sun's centre pixel at the ends of the scan: one frame (0.5 s, one
// pixel) before the start gives exactly N, which is kept; two frames
// before, N + 1, which is overfull and replaced by N / 2.
TEST(Run, SunCentreAtTheEndOfTheScan) {
    struct Case {
        const char* time;
        const char* crpix1;
        bool overfull;
    };
    for (const Case c : {Case{"12:00:30", "599.000000", false}, {"12:00:29.5", "600.000000", false},
                         {"12:00:29", "300.000000", true}}) {
        Workspace ws;
        RecordingBuilder b = sunRecording();
        b.truncate(4096 + 600 * 752);
        b.setStartStamp("Wed Apr 12 12:00:30 2006 0");
        b.setTimeField(c.time);
        b.writeTo(ws.path("scan.dat").string());
        ws.write("chan.cfg", kChannels);
        ws.write("skanvert.ini", "dspdt=0.5\n");
        const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", "-s=1"});
        ASSERT_EQ(r.status, 0) << c.time;
        EXPECT_EQ(r.out.find("WARNING! crpix overfull") != std::string::npos, c.overfull) << c.time;
        EXPECT_EQ(FitsFile::load(ws.path("scan.fits").string()).primary.value("CRPIX1"), c.crpix1) << c.time;
    }
}

}  // namespace
