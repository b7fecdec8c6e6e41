// Hostile texts: arguments, prompt answers and settings values of 100,000
// characters, a settings file of 200,000 lines, binary garbage and NUL bytes
// in the text files, non-finite calibration values and channel frequencies
// at the edges of the number range. Every run ends with its status and
// message, and every file written is structurally sound, with no header
// card holding a non-finite number.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>

#include "support/fits_checks.h"
#include "support/fits_reader.h"
#include "support/run_program.h"
#include "support/scan_fixture.h"

namespace {

using testsupport::FitsFile;
using testsupport::RunResult;
using testsupport::Workspace;

const std::string kHuge(100000, 'x');
const std::string kHugeNumber(100000, '9');

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct TextCase {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::string> files;  // written into the workspace before the run
    int status;
    std::string end;                           // the end of standard output
    std::map<std::string, std::string> cards;  // primary card value fields of a written file
    int accepted = -1;                         // NAXIS3 of a written file, -1: not checked
    const char* object = "sun";                // the recording's object
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class HostileTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(HostileTexts, StatusMessageAndSoundFile) {
    const TextCase& c = GetParam();
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    testsupport::RecordingBuilder recording = testsupport::smallSunRecording();
    recording.setObject(c.object);
    recording.writeTo(ws.path("scan.dat").string());
    for (const auto& [name, content] : c.files) ws.write(name, content);
    const std::vector<std::string> before = testsupport::sortedNames(ws.files());
    const RunResult r = ws.run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(endsWith(r.out, c.end)) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
    if (c.status != 0) {
        EXPECT_EQ(testsupport::sortedNames(ws.files()), before);
        return;
    }
    ASSERT_TRUE(ws.exists("scan.fits"));
    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    EXPECT_EQ(testsupport::fitsStructureProblem(fits.bytes), "");
    for (const auto& [key, value] : c.cards) EXPECT_EQ(fits.primary.value(key), value) << key;
    if (c.accepted >= 0) {
        EXPECT_EQ(fits.primary.intValue("NAXIS3"), c.accepted);
    }
}

const std::vector<std::string> kArgs{"-f=scan.dat", "-cf=chan.cfg"};

std::vector<std::string> with(std::vector<std::string> args, const std::string& extra) {
    args.push_back(extra);
    return args;
}

std::string randomBytes(size_t n) {
    std::mt19937 gen(42);
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(gen() & 0xFF));
    return s;
}

std::string manyLines() {
    std::string s;
    for (int i = 0; i < 200000; ++i) s += "line" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    return s + "smooth=10\n";
}

const std::string kCoefficients = "freq tqsun kflux theta\n2.0 6000 1.5 80\n4.0 5000 2.5 60\n";

INSTANTIATE_TEST_SUITE_P(
    Arguments, HostileTexts,
    ::testing::Values(
        TextCase{"HugeInputName", {"-f=" + kHuge, "-cf=chan.cfg"}, {}, 1, "\nCan not open file <" + kHuge + ">", {}},
        TextCase{"HugeConfigurationName", {"-f=scan.dat", "-cf=" + kHuge}, {}, 1,
                 "\nCan not open file <" + kHuge + ">", {}},
        TextCase{"HugeInputFolder", {"-f=scan.dat", "-cf=chan.cfg", "-in=" + kHuge}, {}, 1,
                 "\nCan not open file <" + kHuge + "scan.dat>", {}},
        TextCase{"HugeOutputFolder", with(kArgs, "-out=" + kHuge + "/"), {}, 1,
                 "\nCan not open output FITS file <" + kHuge + "/scan.fits>", {}},
        TextCase{"HugeUnknownArgument", with(kArgs, "-" + kHuge), {}, 0, "", {}, 2},
        TextCase{"HugeSigma", with(kArgs, "-sigma=" + kHugeNumber), {}, 0, "", {}, 3},
        TextCase{"HugeDeclination", with(kArgs, "-delta=" + kHugeNumber), {}, 1,
                 "\nScan geometry undefined: cdelt1 = -nan", {}, -1, "Crab"},
        TextCase{"HugeDrift", with(kArgs, "-valh=" + kHugeNumber), {}, 1, "\nScan geometry undefined: cdelt1 = -inf",
                 {}, -1, "Crab"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SettingsFile, HostileTexts,
    ::testing::Values(
        // A stored line holds at most 254 characters: the key's line is cut.
        TextCase{"HugeChannelsValue", {"-f=scan.dat"}, {{"skanvert.ini", "channels=" + kHuge + "\n"}}, 1,
                 "\nCan not open file <" + kHuge.substr(0, 245) + ">", {}},
        TextCase{"HugeSmoothingValue", kArgs, {{"skanvert.ini", "smooth=" + kHugeNumber + "\n"}}, 0, "",
                 {{"NAXIS1", "0"}}},
        TextCase{"HugeNegativeShiftValue", kArgs, {{"skanvert.ini", "shift=-" + kHugeNumber + "\n"}}, 0, "",
                 {{"SHIFT", "-2147483648"}}},
        TextCase{"HugeFrameTime", kArgs, {{"skanvert.ini", "dspdt=" + kHugeNumber + "\n"}}, 1,
                 "\nScan geometry undefined: cdelt1 = inf", {}},
        TextCase{"TwoHundredThousandLines", kArgs, {{"skanvert.ini", manyLines()}}, 0, "", {{"NAXIS1", "60"}}},
        TextCase{"NulBytes", kArgs, {{"skanvert.ini", std::string("smooth=1\0 0\nshift=\0 7\nsigma=2\n", 30)}}, 0,
                 "", {{"NAXIS1", "600"}, {"SHIFT", "0"}}}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Tables, HostileTexts,
    ::testing::Values(
        TextCase{"BinaryGarbageConfiguration", kArgs, {{"chan.cfg", randomBytes(65536)}}, 0, "", {}, 0},
        TextCase{"OnlyNulBytesConfiguration", kArgs, {{"chan.cfg", std::string(1000, '\0')}}, 0, "", {}, 0},
        // Line 1 ends at its NUL (one value: no row); line 3 keeps two values.
        TextCase{"NulBytesInConfiguration", kArgs,
                 {{"chan.cfg", std::string("1\0 2.35 1\n2 2.70 1\n3 3.05\0 1\n", 29)}}, 0, "",
                 {{"FREQ001", "3.050000"}}, 1},
        // 0, +-inf, nan and 1e39 (beyond single precision) switch a channel
        // off; negative, 1e30 and the smallest subnormal are frequencies.
        TextCase{"EdgeFrequencies", with(kArgs, "-sigma=1e30"),
                 {{"chan.cfg",
                   "1 0 1\n2 -2.5 1\n3 1e30 1\n4 1e39 1\n5 nan 1\n6 inf 1\n7 -inf 1\n8 1e-45 1\n9 -1e39 1\n"}},
                 0, "", {{"FREQ001", "-2.500000"}, {"FREQ002", "1.00000001504747E+30"}, {"FREQ003", "0.000000"}}, 3},
        // A use flag that is NaN or beyond the int range counts as on; 0.5
        // truncates to 0.
        TextCase{"NonFiniteUseFlags", {"-f=scan.dat", "-cf=chan.cfg", "-sigma=1e30", "-onoff=1"},
                 {{"chan.cfg", "1 2.35 nan\n2 2.70 0.5\n3 3.05 -1e39\n4 3.40 1e10\n"},
                  {"crab0coef.txt", kCoefficients}},
                 0, "", {{"FREQ001", "2.350000"}, {"FREQ002", "3.050000"}, {"FREQ003", "3.400000"}}, 3},
        // A use flag of exactly 1 or -1 is on, 0 off; with onoff 0 (or no
        // coefficient table) the flag is not looked at.
        TextCase{"UseFlagsOneAndMinusOne", {"-f=scan.dat", "-cf=chan.cfg", "-sigma=1e30", "-onoff=1"},
                 {{"chan.cfg", "1 2.35 1\n2 2.70 -1\n3 3.05 0\n"}, {"crab0coef.txt", kCoefficients}},
                 0, "", {{"FREQ001", "2.350000"}, {"FREQ002", "2.700000"}}, 2},
        TextCase{"UseFlagsIgnoredWithOnoffZero", {"-f=scan.dat", "-cf=chan.cfg", "-sigma=1e30", "-onoff=0"},
                 {{"chan.cfg", "1 2.35 0\n2 2.70 0\n3 3.05 0\n"}, {"crab0coef.txt", kCoefficients}},
                 0, "", {{"FREQ003", "3.050000"}}, 3},
        TextCase{"UseFlagsIgnoredWithoutCoefficients", {"-f=scan.dat", "-cf=chan.cfg", "-sigma=1e30", "-onoff=1"},
                 {{"chan.cfg", "1 2.35 0\n2 2.70 0\n3 3.05 0\n"}}, 0, "", {{"FREQ003", "3.050000"}}, 3},
        TextCase{"BinaryGarbageCoefficients", with(kArgs, "-flag_theta=1"), {{"crab0coef.txt", randomBytes(65536)}},
                 0, "", {}, 2},
        TextCase{"NulBytesInCoefficients", kArgs, {{"crab0coef.txt", std::string("h\n2\0 1 1\n\0\n9 1 2 3\n", 19)}},
                 0, "", {}, 2}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

// Non-finite calibration values reach the table rows as they are (a binary
// table may hold IEEE NaN and infinities); the header cards stay finite.
TEST(HostileCoefficients, NonFiniteValuesGoToTheRowsOnly) {
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    ws.write("crab0coef.txt", "freq tqsun kflux theta\nnan 1 2 3\n2.0 nan inf -inf\n3.0 inf nan 1e39\ninf 4 5 6\n");
    testsupport::smallSunRecording().writeTo(ws.path("scan.dat").string());
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", "-flag_theta=1", "-debug"});
    ASSERT_EQ(r.status, 0);
    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    EXPECT_EQ(testsupport::fitsStructureProblem(fits.bytes), "");
    ASSERT_EQ(fits.extension.intValue("NAXIS2"), 2);
    // Channel 1 (2.35 GHz) takes the 3.0 row, channel 3 (3.05 GHz) the inf row.
    EXPECT_TRUE(std::isinf(fits.rowFloat(0, 60)));  // tqsun
    EXPECT_TRUE(std::isinf(fits.rowFloat(0, 64)));  // theta 1e39
    EXPECT_TRUE(std::isnan(fits.rowFloat(0, 68)));  // kflux
    EXPECT_EQ(fits.rowFloat(1, 60), 4.0f);
    EXPECT_EQ(fits.rowFloat(1, 64), 6.0f);
    EXPECT_EQ(fits.rowFloat(1, 68), 5.0f);
    EXPECT_NE(r.out.find("\n\tfreq=2.350000 fluxkoef=nan Tqsun=inf theta=inf"), std::string::npos) << r.out;
}

// Answers of 100,000 characters at the prompts.
TEST(HostilePrompts, HugeAnswers) {
    Workspace ws;
    const RunResult r = ws.run({}, kHuge + "\n" + kHuge + "\n" + kHuge + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\nCan not open file <" + kHuge + ">\n press return to continue ...\n"));
    EXPECT_TRUE(ws.files().empty());
}

// Integer options beyond the int range saturate like integer settings.
TEST(HostileOptions, HugeIntegerOptions) {
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    testsupport::smallSunRecording().writeTo(ws.path("scan.dat").string());
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg", "-s=" + kHugeNumber, "-shift=-" + kHugeNumber});
    ASSERT_EQ(r.status, 0);
    const FitsFile fits = FitsFile::load(ws.path("scan.fits").string());
    EXPECT_EQ(fits.primary.value("NAXIS1"), "0");
    EXPECT_EQ(fits.primary.value("SHIFT"), "-2147483648");
    bool found = false;
    for (const std::string& card : fits.primary.cards) {
        found = found || card.find("Smoothing pixels number is 2147483647") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

}  // namespace
