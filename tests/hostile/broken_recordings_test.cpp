// Broken recordings, one damage at a time: every header field garbage in
// turn, truncation at every field boundary, texts without terminator, sample
// counts at and beyond the int range, non-finite altitudes, extreme
// azimuths, frames of -32768 and status words of every code. Each run must
// end with its exact status and message; a failed run leaves no file
// behind, a successful one a structurally sound FITS file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <thread>

#include "support/fits_checks.h"
#include "support/fits_reader.h"
#include "support/run_program.h"
#include "support/scan_fixture.h"

namespace {

using testsupport::FitsFile;
using testsupport::RecordingBuilder;
using testsupport::RunResult;
using testsupport::Workspace;

// Header fields: offset and length.
struct Field {
    size_t offset, length;
};
constexpr Field kDate{2, 16}, kTime{18, 16}, kObject{34, 16}, kAzimuth{52, 4}, kAltitude{56, 4},
    kSampleCount{2761, 32}, kStopStamp{3072, 32}, kStartStamp{4032, 32};

std::string bytesOf(size_t n, unsigned char c) { return std::string(n, static_cast<char>(c)); }

// Printable garbage that never reads as a number, and random bytes.
std::string printableGarbage(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back("#%&*?xyz!~"[i % 10]);
    return s;
}
std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(gen() & 0xFF));
    return s;
}

std::string floatBytes(float f) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &f, 4);
    return s;
}
std::string intBytes(std::int32_t v) {
    std::string s(4, '\0');
    const auto bits = static_cast<std::uint32_t>(v);
    for (size_t i = 0; i < 4; ++i) s[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    return s;
}

void put(RecordingBuilder& b, Field field, const std::string& raw) {
    std::string bytes = raw.substr(0, field.length);
    bytes.resize(field.length, '\0');
    b.setHeaderBytes(field.offset, bytes);
}

const std::string kNoStop = "\nRecording <scan.dat> has no valid stop time stamp";
const std::string kNoStart = "\nRecording <scan.dat> has no valid start time stamp";
const std::string kNoTime = "\nRecording <scan.dat> has no valid time of observation";
const std::string kNoAltitude = "\nRecording <scan.dat> has no valid altitude";
const std::string kShort = "\nRecording <scan.dat> is shorter than its 4096-byte header";

struct BrokenCase {
    const char* name;
    std::function<void(RecordingBuilder&)> damage;
    int status;
    std::string out;                           // failure: the whole standard output
    std::map<std::string, std::string> cards;  // success: primary card value fields
};

void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }

BrokenCase field(const char* name, Field f, std::string raw, int status, std::string out,
                 std::map<std::string, std::string> cards = {}) {
    return {name, [f, raw](RecordingBuilder& b) { put(b, f, raw); }, status, std::move(out), std::move(cards)};
}
BrokenCase truncated(const char* name, size_t size, int status, std::string out) {
    return {name, [size](RecordingBuilder& b) { b.truncate(size); }, status, std::move(out), {}};
}

class BrokenRecordings : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenRecordings, ExactStatusMessageAndFiles) {
    const BrokenCase& c = GetParam();
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    RecordingBuilder recording = testsupport::smallSunRecording();
    c.damage(recording);
    recording.writeTo(ws.path("scan.dat").string());
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg"});
    EXPECT_EQ(r.status, c.status) << r.out;
    if (c.status != 0) {
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(testsupport::sortedNames(ws.files()), (std::vector<std::string>{"chan.cfg", "scan.dat"}));
        return;
    }
    EXPECT_EQ(testsupport::sortedNames(ws.files()), (std::vector<std::string>{"chan.cfg", "scan.dat", "scan.fits"}));
    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    EXPECT_EQ(testsupport::fitsStructureProblem(fits.bytes), "");
    for (const auto& [key, value] : c.cards) EXPECT_EQ(fits.primary.value(key), value) << key;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    HeaderFields, BrokenRecordings,
    ::testing::Values(
        // The recorded date is never read: the start stamp gives the date.
        field("DateGarbage", kDate, bytesOf(16, 0xFF), 0, "", {{"DATE-OBS", "'2006/04/12'"}}),
        field("TimeAllOnes", kTime, bytesOf(16, 0xFF), 1, kNoTime),
        field("TimeEmpty", kTime, "", 1, kNoTime),
        field("TimePrintableGarbage", kTime, printableGarbage(16), 1, kNoTime),
        field("TimeRandom", kTime, randomBytes(16, 1), 1, kNoTime),
        field("TimeWithoutTerminator", kTime, "12:00:33.1234567", 0, "", {{"TIME-OBS", "'08:00:33.1234567'"}}),
        field("TimeHourBeyondInt", kTime, "4294967308:00:00", 1, kNoTime),
        field("TimeHour99", kTime, "99:00:00", 0, "", {{"TIME-OBS", "'95:00:00'"}}),
        field("TimeHour24", kTime, "24:00:33", 0, "", {{"TIME-OBS", "'20:00:33'"}}),
        // Summer time: local hour 4 is universal hour 0, not 24.
        field("TimeHourAtTheZoneOffset", kTime, "04:00:33", 0, "", {{"TIME-OBS", "'00:00:33'"}}),
        field("TimeHour100", kTime, "100:00:00", 1, kNoTime),
        field("TimeHourNegative", kTime, "-1:00:00", 1, kNoTime),
        field("TimeMinutesNaN", kTime, "12:nan:00", 1, kNoTime),
        field("TimeSecondsBeyondFloat", kTime, "12:00:1e39", 1, kNoTime),
        field("ObjectAllOnes", kObject, bytesOf(16, 0xFF), 0, "", {{"OBJECT", "'" + std::string(16, '?') + "'"}}),
        field("ObjectControlCharacters", kObject, "sun\n\t\x01x", 0, "", {{"OBJECT", "'sun???x '"}}),
        field("ObjectEmpty", kObject, "", 0, "", {{"OBJECT", "'        '"}}),
        field("AzimuthMinusOne", kAzimuth, bytesOf(4, 0xFF), 0, "", {{"AZIMUTH", "-1.000000"}}),
        field("AzimuthIntMax", kAzimuth, intBytes(INT_MAX), 0, "", {{"AZIMUTH", "2147483648.000000"}}),
        field("AzimuthIntMin", kAzimuth, intBytes(INT_MIN), 0, "", {{"AZIMUTH", "-2147483648.000000"}}),
        field("AltitudeNaN", kAltitude, floatBytes(kNaN), 1, kNoAltitude),
        // Checked in reading order: the time field before the altitude, the
        // stop stamp before everything.
        BrokenCase{"TimeAndAltitudeBad",
                   [](RecordingBuilder& b) {
                       b.setTimeField("x");
                       b.setAltitude(kNaN);
                   },
                   1, kNoTime, {}},
        BrokenCase{"EveryFieldBad",
                   [](RecordingBuilder& b) {
                       b.setTimeField("x");
                       b.setAltitude(kNaN);
                       b.setStartStamp("x");
                       b.setStopStamp("x");
                   },
                   1, kNoStop, {}},
        field("AltitudeAllOnes", kAltitude, bytesOf(4, 0xFF), 1, kNoAltitude),
        field("AltitudeInfinite", kAltitude, floatBytes(kInf), 1, kNoAltitude),
        field("AltitudeMinusInfinite", kAltitude, floatBytes(-kInf), 1, kNoAltitude),
        field("AltitudePacked1e9", kAltitude, floatBytes(1e9f), 1, kNoAltitude),
        field("AltitudePackedBelow1e9", kAltitude, floatBytes(999999936.0f), 0, "", {{"ALTITUDE", "100000.656250"}}),
        field("AltitudeHugeNegative", kAltitude, floatBytes(-1e30f), 0, "", {{"ALTITUDE", "-1.0000000150475E+30"}}),
        field("SampleCountAllOnes", kSampleCount, bytesOf(32, 0xFF), 0, "", {{"NSAMPLES", "0"}}),
        field("SampleCountWordOnly", kSampleCount, "Samples:", 0, "", {{"NSAMPLES", "0"}}),
        field("SampleCountIntMax", kSampleCount, "Samples: 2147483647", 0, "", {{"NSAMPLES", "2147483647"}}),
        field("SampleCountIntMin", kSampleCount, "Samples: -2147483648", 0, "", {{"NSAMPLES", "-2147483648"}}),
        field("SampleCount2To32", kSampleCount, "Samples: 4294967296", 0, "", {{"NSAMPLES", "2147483647"}}),
        field("SampleCountHuge", kSampleCount, "Samples: 99999999999999999999", 0, "", {{"NSAMPLES", "2147483647"}}),
        field("SampleCountHugeNegative", kSampleCount, "Samples: -99999999999", 0, "", {{"NSAMPLES", "-2147483648"}}),
        field("StopAllOnes", kStopStamp, bytesOf(32, 0xFF), 1, kNoStop),
        field("StopEmpty", kStopStamp, "", 1, kNoStop),
        field("StopRandom", kStopStamp, randomBytes(32, 2), 1, kNoStop),
        field("StopHoursNaN", kStopStamp, "Wed Apr 12 nan:10:30 2006 263", 1, kNoStop),
        field("StopMillisecondsBeyondInt", kStopStamp, "W A 1 12:10:30 2006 99999999999", 0, "",
              {{"STOPOBS", "'12:10:30.2147483647'"}}),
        field("StartAllOnes", kStartStamp, bytesOf(32, 0xFF), 1, kNoStart),
        field("StartEmpty", kStartStamp, "", 1, kNoStart),
        field("StartRandom", kStartStamp, randomBytes(32, 3), 1, kNoStart),
        field("StartYear0", kStartStamp, "Wed Apr 12 12:00:30 0 45", 1, kNoStart),
        field("StartYear10000", kStartStamp, "Wed Apr 12 12:00:30 10000 45", 1, kNoStart),
        field("StartYearNegative", kStartStamp, "Wed Apr 12 12:00:30 -2006 45", 1, kNoStart),
        field("StartYearBeyondInt", kStartStamp, "W Apr 12 12:00:30 4294969302 45", 1, kNoStart),
        field("StartDay0", kStartStamp, "Wed Apr 0 12:00:30 2006 45", 1, kNoStart),
        field("StartDay31", kStartStamp, "Fri Mar 31 12:00:30 2006 45", 0, "", {{"DATE-OBS", "'2006/03/31'"}}),
        field("StartDay32", kStartStamp, "Wed Apr 32 12:00:30 2006 45", 1, kNoStart),
        field("StartDayBeyondInt", kStartStamp, "W Apr 4294967308 12:00:30 2006 4", 1, kNoStart),
        field("StartSecondsInfinite", kStartStamp, "Wed Apr 12 12:00:inf 2006 45", 1, kNoStart),
        field("StartYear9999", kStartStamp, "Fri Dec 31 12:00:30 9999 45", 0, "", {{"DATE-OBS", "'9999/12/31'"}}),
        field("StartUnknownMonth", kStartStamp, "Wed Xyz 12 12:00:30 2006 45", 0, "", {{"DATE-OBS", "'2006/13/12'"}}),
        // Frames after the last whole pixel belong to no pixel but are
        // tested for overflow: an overflow in the first or the very last of
        // them counts.
        BrokenCase{"OverflowJustAfterTheLastPixel",
                   [](RecordingBuilder& b) {
                       b.appendTail(5 * 752);  // frames 600..604; 30 pixels still
                       b.setWord(600, 1, 11, -8191);
                   },
                   0,
                   "",
                   {{"NAXIS1", "30"}, {"OVER001", "1"}}},
        BrokenCase{"OverflowInTheLastFrame",
                   [](RecordingBuilder& b) {
                       b.appendTail(5 * 752);
                       b.setWord(604, 2, 11, 8191);
                   },
                   0,
                   "",
                   {{"NAXIS1", "30"}, {"OVER001", "1"}}},
        BrokenCase{"StartWithoutTerminator",
                   [](RecordingBuilder& b) {
                       b.setHeaderBytes(4032, "Wed Apr 12 12:00:30 2006 45     ");  // 32 characters
                       b.setHeaderBytes(4064, "9999");
                   },
                   0,
                   "",
                   {{"STARTOBS", "'12:00:30.045'"}}}),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

// Every field boundary, and one byte short of the header and of a frame.
INSTANTIATE_TEST_SUITE_P(
    Truncation, BrokenRecordings,
    ::testing::Values(truncated("Empty", 0, 1, kShort), truncated("OneByte", 1, 1, kShort),
                      truncated("AfterRecord", 60, 1, kShort), truncated("AtSampleCount", 2761, 1, kShort),
                      truncated("AfterSampleCount", 2793, 1, kShort), truncated("AtStopStamp", 3072, 1, kShort),
                      truncated("AfterStopStamp", 3104, 1, kShort), truncated("AtStartStamp", 4032, 1, kShort),
                      truncated("AfterStartStamp", 4064, 1, kShort), truncated("OneShortOfHeader", 4095, 1, kShort),
                      // A recording without a whole frame is a scan of no pixels.
                      truncated("HeaderOnly", 4096, 0, ""), truncated("HeaderAndPartialFrame", 4096 + 751, 0, ""),
                      truncated("OneFrame", 4096 + 752, 0, "")),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

// The text columns of the table rows carry the same texts as the cards and
// hold printable characters only, as a FITS character column must.
TEST(BrokenRecordingsTable, TextColumnsArePrintable) {
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    RecordingBuilder recording = testsupport::smallSunRecording();
    recording.setObject("sun\n\t\x01x");
    recording.setTimeField(std::string("12:00:33\x7f\xff", 10));
    recording.writeTo(ws.path("scan.dat").string());
    ASSERT_EQ(ws.run({"-f=scan.dat", "-cf=chan.cfg"}).status, 0);
    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    ASSERT_GE(fits.extension.intValue("NAXIS2"), 1);
    EXPECT_EQ(fits.rowText(0, 32), "sun???x");
    EXPECT_EQ(fits.rowText(0, 16), "08:00:33??");
}

// Inputs that are no regular file: named pipes (whose open would wait for a
// writer), folders and devices. Each run ends by itself, with its message.
struct InputKindCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Workspace&)> setup;
    int status;
    std::string out;  // the whole standard output, or its end for a run that converts
};

void PrintTo(const InputKindCase& c, std::ostream* os) { *os << c.name; }

class InputKinds : public ::testing::TestWithParam<InputKindCase> {};

TEST_P(InputKinds, EndWithTheirMessage) {
    const InputKindCase& c = GetParam();
    if (!SKANVERT_PLATFORM_CALLS && std::string(c.name).find("NamedPipe") != std::string::npos) {
        GTEST_SKIP() << "without the system's calls a named pipe is opened by waiting for a writer";
    }
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    testsupport::smallSunRecording().writeTo(ws.path("scan.dat").string());
    c.setup(ws);
    testsupport::LaunchOptions options;
    options.timeoutSeconds = 60;
    const RunResult r = testsupport::launch(ws, c.args, options);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 0) {
        const bool endsWithMessage =
            r.out.size() >= c.out.size() && r.out.compare(r.out.size() - c.out.size(), c.out.size(), c.out) == 0;
        EXPECT_TRUE(endsWithMessage) << r.out;
        EXPECT_TRUE(ws.exists("scan.fits"));
    } else {
        EXPECT_EQ(r.out, c.out);
        EXPECT_FALSE(ws.exists("scan.fits"));
    }
}

void replaceByPipe(Workspace& ws, const std::string& name) {
    std::filesystem::remove(ws.path(name));
    ASSERT_EQ(mkfifo(ws.path(name).c_str(), 0644), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, InputKinds,
    ::testing::Values(
        InputKindCase{"RecordingIsANamedPipe", {"-f=scan.dat", "-cf=chan.cfg"},
                      [](Workspace& ws) { replaceByPipe(ws, "scan.dat"); }, 1, "\nSeek file Error <scan.dat>"},
        InputKindCase{"ConfigurationIsANamedPipe", {"-f=scan.dat", "-cf=chan.cfg"},
                      [](Workspace& ws) { replaceByPipe(ws, "chan.cfg"); }, 1, "\nCan not open file <chan.cfg>"},
        InputKindCase{"ConfigurationIsAFolder", {"-f=scan.dat", "-cf=."}, [](Workspace&) {}, 1,
                      "\nCan not open file <.>"},
        InputKindCase{"RecordingIsTheWorkingFolder", {"-f=.", "-cf=chan.cfg"}, [](Workspace&) {}, 1,
                      "\nRead file Error <.>"},
        InputKindCase{"RecordingIsTheRoot", {"-f=/", "-cf=chan.cfg"}, [](Workspace&) {}, 1, "\nRead file Error </>"},
        InputKindCase{"RecordingNameEmpty", {"-f=", "-cf=chan.cfg"}, [](Workspace&) {}, 1, "\nCan not open file <>"},
        InputKindCase{"RecordingIsADevice", {"-f=/dev/zero", "-cf=chan.cfg"}, [](Workspace&) {}, 1,
                      "\nRecording </dev/zero> is shorter than its 4096-byte header"},
        InputKindCase{"SettingsFileIsANamedPipe", {"-f=scan.dat", "-cf=chan.cfg"},
                      [](Workspace& ws) { replaceByPipe(ws, "skanvert.ini"); }, 0, "hdsp.azimuth= 0.000000"},
        InputKindCase{"CoefficientTableIsANamedPipe", {"-f=scan.dat", "-cf=chan.cfg"},
                      [](Workspace& ws) { replaceByPipe(ws, "crab0coef.txt"); }, 0, "hdsp.azimuth= 0.000000"}),
    [](const ::testing::TestParamInfo<InputKindCase>& info) { return std::string(info.param.name); });

// A recording cut short by another process while the run reads it ends the
// run with the read error, status 1 and no output, never with a bus error.
// The cut comes as soon as the recording is mapped; a run that got past its
// reading before that writes a whole file.
TEST(BrokenRecordingsWhileRunning, CutShortDuringTheRun) {
    if (!SKANVERT_PLATFORM_CALLS) GTEST_SKIP() << "without the system's calls the recording is read, not mapped";
    Workspace ws;
    testsupport::smallSunRecording(100000).writeTo(ws.path("scan.dat").string());
    ws.write("chan.cfg", testsupport::kScanChannels);
    bool cut = false;
    testsupport::LaunchOptions options;
    options.whileRunning = [&](pid_t pid) {
        const std::string maps = "/proc/" + std::to_string(pid) + "/maps";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (testsupport::readFile(maps).find("/scan.dat") != std::string::npos) {
                std::filesystem::resize_file(ws.path("scan.dat"), 8192);
                cut = true;
                return;
            }
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
                return;  // ended by itself
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    };
    const RunResult r = testsupport::launch(ws, {"-f=scan.dat", "-cf=chan.cfg"}, options);
    if (r.status == 0) {
        EXPECT_TRUE(ws.exists("scan.fits"));
        return;
    }
    EXPECT_TRUE(cut);
    EXPECT_EQ(r.status, 1);
    const std::string message = "\nRead file Error <scan.dat>";
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), message.size())), message);
    EXPECT_FALSE(ws.exists("scan.fits"));
}

// Samples at the edge of the 16-bit range: block differences of 65535
// counts, overflow flags on every converted channel.
TEST(BrokenRecordingsFrames, FramesOfMinus32768InEveryMode) {
    for (const char* amp : {"-amp=0", "-amp=1", "-amp=2"}) {
        Workspace ws;
        ws.write("chan.cfg", testsupport::kScanChannels);
        RecordingBuilder recording(testsupport::kScanFrames);
        for (std::int64_t f = 0; f < recording.frames(); ++f) {
            for (int word = 0; word < 94; ++word) recording.setWordAllBlocks(f, word, -32768);
            recording.setWord(f, 1, 11, 32767);
        }
        recording.writeTo(ws.path("scan.dat").string());
        const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", amp, "-sigma=2"});
        ASSERT_EQ(r.status, 0) << amp << r.out;
        const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
        EXPECT_EQ(testsupport::fitsStructureProblem(fits.bytes), "") << amp;
        ASSERT_EQ(fits.primary.intValue("NAXIS3"), 3) << amp;  // flat series: test value 1 < 2
        for (const char* over : {"OVER001", "OVER002", "OVER003"}) EXPECT_EQ(fits.primary.value(over), "1") << amp;
        EXPECT_EQ(fits.pixel(0, 0, 0), -6553500) << amp;  // (-32768 - 32767) x 100
        EXPECT_EQ(fits.pixel(29, 1, 0), 0) << amp;
        EXPECT_EQ(fits.pixel(5, 0, 1), 0) << amp;
    }
}

// Status words taking every one of the 65536 codes, each exactly once: 2048
// frames of 4 blocks of 8 status words. Gain scaling (mode 2) and gain-step
// correction at every pixel boundary (mode 1) must stay finite and defined.
TEST(BrokenRecordingsFrames, StatusWordsOfEveryCode) {
    RecordingBuilder recording(2048);
    for (std::int64_t f = 0; f < 2048; ++f) {
        for (int block = 0; block < 4; ++block) {
            for (int s = 0; s < 8; ++s) {
                const auto code = static_cast<std::uint16_t>(f * 32 + block * 8 + s);
                recording.setWord(f, block, 83 + s, static_cast<std::int16_t>(code));
            }
            for (int word = 11; word < 80; ++word) {
                recording.setWord(f, block, word, static_cast<std::int16_t>(block % 2 == 0 ? 1000 + word : 0));
            }
        }
    }
    for (const char* amp : {"-amp=0", "-amp=1", "-amp=2"}) {
        Workspace ws;
        ws.write("chan.cfg", testsupport::kScanChannels);
        recording.writeTo(ws.path("scan.dat").string());
        const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", amp, "-s=11", "-sigma=1e30"});
        ASSERT_EQ(r.status, 0) << amp;
        const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
        EXPECT_EQ(testsupport::fitsStructureProblem(fits.bytes), "") << amp;
        EXPECT_EQ(fits.primary.intValue("NAXIS1"), 2048 / 11) << amp;
    }
}

}  // namespace
