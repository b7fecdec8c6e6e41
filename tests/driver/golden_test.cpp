// Whole runs against the reference runs: each folder holds the working
// folder as it is when the program starts and the exact expected streams,
// exit status and FITS bytes.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_program.h"

namespace {

struct ReferenceRun {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> input;
    int exitStatus;
    const char* fitsName;  // null when the run writes no file
};

void PrintTo(const ReferenceRun& run, std::ostream* os) { *os << run.name; }

class ReferenceRuns : public ::testing::TestWithParam<ReferenceRun> {};

TEST_P(ReferenceRuns, ReproduceStreamsStatusAndFileExactly) {
    const ReferenceRun& ref = GetParam();
    const std::filesystem::path base = std::filesystem::path(SKANVERT_TEST_DATA) / "golden" / ref.name;
    testsupport::Workspace ws;
    for (const auto& entry : std::filesystem::directory_iterator(base / "input")) {
        std::filesystem::copy_file(entry.path(), ws.path(entry.path().filename().string()));
    }
    const testsupport::RunResult result = ws.run(ref.args, ref.input);
    EXPECT_EQ(result.out, testsupport::readFile(base / "expected" / "stdout"));
    EXPECT_EQ(result.err, testsupport::readFile(base / "expected" / "stderr"));
    EXPECT_EQ(result.status, ref.exitStatus & 0xFF);
    if (ref.fitsName) {
        ASSERT_TRUE(ws.exists(ref.fitsName));
        EXPECT_TRUE(ws.read(ref.fitsName) == testsupport::readFile(base / "expected" / ref.fitsName))
            << "FITS bytes differ";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Golden, ReferenceRuns,
    ::testing::Values(
        ReferenceRun{"missing_input", {"-f=nothere.dat", "-cf=chan.cfg"}, std::nullopt, 1, nullptr},
        ReferenceRun{"moon_coef_interactive", {}, std::string("scan.dat\nchan.cfg\n0\n10\n1\nbye\n"), 0, "scan.fits"},
        ReferenceRun{"sun_mode1_shift",
                     {"-f=scan.dat", "-cf=chan.cfg", "-amp=1", "-s=25", "-shift=30", "-debug"},
                     std::nullopt, 0, "scan.fits"},
        ReferenceRun{"sun_mode2_debug", {"-f=scan.dat", "-cf=chan.cfg", "-amp=2", "-debug"}, std::nullopt, 0,
                     "scan.fits"}),
    [](const ::testing::TestParamInfo<ReferenceRun>& info) { return std::string(info.param.name); });

}  // namespace
