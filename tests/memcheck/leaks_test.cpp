// Memory checks of whole runs: a full conversion in every mode and every
// failure path must end with its own status and no leak and no invalid
// access. The normal build runs the program under valgrind (its status 99
// marks an error); the sanitizer build runs it as it is, since there the
// program carries AddressSanitizer and LeakSanitizer, which end a faulty run
// with another status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "support/run_program.h"
#include "support/scan_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define SKANVERT_TESTS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SKANVERT_TESTS_UNDER_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::LaunchOptions;
using testsupport::RecordingBuilder;
using testsupport::RunResult;
using testsupport::Workspace;

constexpr int kValgrindError = 99;

struct LeakCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Workspace&)> setup;
    int status;
    std::optional<std::string> input = std::nullopt;
    std::optional<rlim_t> fileSizeLimit = std::nullopt;
};

void PrintTo(const LeakCase& c, std::ostream* os) { *os << c.name; }

class Leaks : public ::testing::TestWithParam<LeakCase> {};

TEST_P(Leaks, NoLeakNoInvalidAccess) {
    const LeakCase& c = GetParam();
    if (!SKANVERT_PLATFORM_CALLS && std::string(c.name).find("NamedPipe") != std::string::npos) {
        GTEST_SKIP() << "without the system's calls a named pipe is opened by waiting for a writer";
    }
    LaunchOptions options;
#ifndef SKANVERT_TESTS_UNDER_ASAN
    const std::string valgrind = testsupport::findProgram("valgrind");
    if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
    options.wrapper = {valgrind,
                       "--quiet",
                       "--leak-check=full",
                       "--show-leak-kinds=definite,indirect,possible",
                       "--errors-for-leak-kinds=definite,indirect,possible",
                       "--error-exitcode=" + std::to_string(kValgrindError)};
#endif
    Workspace ws;
    ws.write("chan.cfg", testsupport::kScanChannels);
    testsupport::smallSunRecording().writeTo(ws.path("scan.dat").string());
    c.setup(ws);
    options.input = c.input;
    options.fileSizeLimit = c.fileSizeLimit;
    const RunResult r = testsupport::launch(ws, c.args, options);
    EXPECT_EQ(r.status, c.status) << r.err;
}

void nothing(Workspace&) {}

void damage(Workspace& ws, const std::function<void(RecordingBuilder&)>& change) {
    RecordingBuilder b = testsupport::smallSunRecording();
    change(b);
    b.writeTo(ws.path("scan.dat").string());
}

const std::vector<std::string> kArgs{"-f=scan.dat", "-cf=chan.cfg"};

std::vector<std::string> with(std::vector<std::string> args, std::vector<std::string> extra) {
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Leaks,
    ::testing::Values(
        LeakCase{"ModeNone", with(kArgs, {"-amp=0"}), nothing, 0},
        LeakCase{"ModeAutomaticShifted", with(kArgs, {"-amp=1", "-s=11", "-shift=30", "-debug"}),
                 [](Workspace& ws) {
                     damage(ws, [](RecordingBuilder& b) {
                         for (std::int64_t f = 300; f < b.frames(); ++f) b.setWordAllBlocks(f, 84, 259);
                     });
                 },
                 0},
        LeakCase{"ModeTableWithCoefficients", with(kArgs, {"-amp=2", "-debug", "-flag_theta=1", "-onoff=1"}),
                 [](Workspace& ws) { ws.write("crab0coef.txt", "freq tqsun kflux theta\n2.0 1 2 3\n3.0 4 5 6\n"); },
                 0},
        LeakCase{"Interactive", {}, nothing, 0, std::string("scan.dat chan.cfg 1 20 0 done\n")},
        LeakCase{"UsageError", {"-cf=chan.cfg"}, nothing, 255},
        LeakCase{"MissingConfiguration", {"-f=scan.dat", "-cf=none.cfg"}, nothing, 1},
        LeakCase{"MissingInput", {"-f=none.dat", "-cf=chan.cfg"}, nothing, 1},
        LeakCase{"InputIsAFolder", kArgs,
                 [](Workspace& ws) {
                     fs::remove(ws.path("scan.dat"));
                     fs::create_directory(ws.path("scan.dat"));
                 },
                 1},
        LeakCase{"InputIsANamedPipe", kArgs,
                 [](Workspace& ws) {
                     fs::remove(ws.path("scan.dat"));
                     mkfifo(ws.path("scan.dat").c_str(), 0644);
                 },
                 1},
        LeakCase{"ShortRecording", kArgs,
                 [](Workspace& ws) { damage(ws, [](RecordingBuilder& b) { b.truncate(4000); }); }, 1},
        LeakCase{"BadStopStamp", kArgs,
                 [](Workspace& ws) { damage(ws, [](RecordingBuilder& b) { b.setStopStamp("x"); }); }, 1},
        LeakCase{"BadStartStamp", kArgs,
                 [](Workspace& ws) { damage(ws, [](RecordingBuilder& b) { b.setStartStamp("x"); }); }, 1},
        LeakCase{"BadTime", kArgs, [](Workspace& ws) { damage(ws, [](RecordingBuilder& b) { b.setTimeField("x"); }); },
                 1},
        LeakCase{"BadAltitude", kArgs,
                 [](Workspace& ws) { damage(ws, [](RecordingBuilder& b) { b.setAltitude(1e9f); }); }, 1},
        LeakCase{"UndefinedGeometry", kArgs,
                 [](Workspace& ws) { damage(ws, [](RecordingBuilder& b) { b.setAzimuth(89); }); }, 1},
        LeakCase{"OutputFolderMissing", with(kArgs, {"-out=nowhere/"}), nothing, 1},
        LeakCase{"OutputIsTheInput", {"-f=scan.dat", "-cf=chan.cfg", "-out=link/"},
                 [](Workspace& ws) {
                     fs::create_directory(ws.path("link"));
                     fs::create_symlink("../scan.dat", ws.path("link/scan.fits"));
                 },
                 1},
        LeakCase{"OutputIsTheConfiguration", {"-f=scan.dat", "-cf=scan.fits"},
                 [](Workspace& ws) { ws.write("scan.fits", testsupport::kScanChannels); }, 1},
        LeakCase{"DiskFull", kArgs, nothing, 1, std::nullopt, rlim_t{5000}}),
    [](const ::testing::TestParamInfo<LeakCase>& info) { return std::string(info.param.name); });

}  // namespace
