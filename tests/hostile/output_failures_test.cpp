// Failures of the output file: a folder that does not exist or cannot be
// written, a disk that fills up, an output path that names an input or is a
// link or a folder, and a run killed while it writes. Whatever happens, the
// output path holds the complete new file, the old file, or nothing; no
// temporary file is left by a run that ends by itself; inputs survive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/fits_checks.h"
#include "support/fits_reader.h"
#include "support/run_program.h"
#include "support/scan_fixture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FitsFile;
using testsupport::LaunchOptions;
using testsupport::RecordingBuilder;
using testsupport::RunResult;
using testsupport::Workspace;

constexpr uid_t kNobody = 65534;

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A workspace with the small scan as scan.dat and its configuration.
void prepare(Workspace& ws) {
    ws.write("chan.cfg", testsupport::kScanChannels);
    testsupport::smallSunRecording().writeTo(ws.path("scan.dat").string());
}

// The bytes a good run writes for the small scan.
std::string referenceOutput() {
    Workspace ws;
    prepare(ws);
    const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg"});
    EXPECT_EQ(r.status, 0);
    return ws.read("scan.fits");
}

// Names in `folder` that start with `prefix`.
// The size of the file a running program writes in `folder` (named or not
// yet named), found through its open descriptors; -1 while it has none.
long long sizeBeingWritten(pid_t pid, const fs::path& folder) {
    std::error_code ec;
    const std::string prefix = fs::canonical(folder, ec).string() + "/";
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(entry.path(), ec).string();
        if (ec || target.rfind(prefix, 0) != 0) continue;
        const std::string name = target.substr(prefix.size());
        if (name == "scan.dat" || name == "chan.cfg") continue;
        struct stat info {};
        if (stat(entry.path().c_str(), &info) == 0) return info.st_size;
    }
    return -1;
}

std::vector<std::string> namesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    return testsupport::sortedNames(names);
}

// Runs that fail on the output path: exact end of the output, status 1, and
// the folder as it was before (no output, no temporary file).
struct OutputCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Workspace&)> setup;
    std::string end;  // the last line of standard output
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class OutputFailures : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputFailures, MessageStatusAndNothingLeft) {
    const OutputCase& c = GetParam();
    Workspace ws;
    prepare(ws);
    c.setup(ws);
    const std::vector<std::string> before = testsupport::sortedNames(ws.files());
    const std::string recording = ws.read("scan.dat");
    const RunResult r = ws.run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, c.end)) << r.out;
    EXPECT_EQ(testsupport::sortedNames(ws.files()), before);
    EXPECT_EQ(ws.read("scan.dat"), recording);
}

const std::string kLongFolder(5000, 'd');

INSTANTIATE_TEST_SUITE_P(
    Output, OutputFailures,
    ::testing::Values(
        OutputCase{"FolderMissing", {"-f=scan.dat", "-cf=chan.cfg", "-out=nowhere/"}, [](Workspace&) {},
                   "\nCan not open output FITS file <nowhere/scan.fits>"},
        OutputCase{"FolderIsAFile", {"-f=scan.dat", "-cf=chan.cfg", "-out=chan.cfg/"}, [](Workspace&) {},
                   "\nCan not open output FITS file <chan.cfg/scan.fits>"},
        OutputCase{"PathTooLong", {"-f=scan.dat", "-cf=chan.cfg", "-out=" + kLongFolder + "/"}, [](Workspace&) {},
                   "\nCan not open output FITS file <" + kLongFolder + "/scan.fits>"},
        OutputCase{"PathIsAFolder", {"-f=scan.dat", "-cf=chan.cfg"},
                   [](Workspace& ws) { fs::create_directory(ws.path("scan.fits")); },
                   "\nCan not write output FITS file <scan.fits>"},
        OutputCase{"InputByTheSameName", {"-f=scan.fits", "-cf=chan.cfg"},
                   [](Workspace& ws) { fs::copy_file(ws.path("scan.dat"), ws.path("scan.fits")); },
                   "\nOutput FITS file <scan.fits> is the input file"},
        OutputCase{"InputThroughFolders", {"-f=scan.fits", "-cf=chan.cfg", "-in=sub/", "-out=./sub/../sub/"},
                   [](Workspace& ws) {
                       fs::create_directory(ws.path("sub"));
                       fs::copy_file(ws.path("scan.dat"), ws.path("sub/scan.fits"));
                   },
                   "\nOutput FITS file <./sub/../sub/scan.fits> is the input file"},
        OutputCase{"InputThroughHardLink", {"-f=scan.dat", "-cf=chan.cfg", "-out=linked/"},
                   [](Workspace& ws) {
                       fs::create_directory(ws.path("linked"));
                       fs::create_hard_link(ws.path("scan.dat"), ws.path("linked/scan.fits"));
                   },
                   "\nOutput FITS file <linked/scan.fits> is the input file"},
        OutputCase{"InputThroughSymlink", {"-f=scan.dat", "-cf=chan.cfg"},
                   [](Workspace& ws) { fs::create_symlink("scan.dat", ws.path("scan.fits")); },
                   "\nOutput FITS file <scan.fits> is the input file"},
        OutputCase{"ChannelConfiguration", {"-f=scan.dat", "-cf=scan.fits"},
                   [](Workspace& ws) { ws.write("scan.fits", testsupport::kScanChannels); },
                   "\nOutput FITS file <scan.fits> is the channel configuration"},
        OutputCase{"ChannelConfigurationThroughFolders", {"-f=scan.dat", "-cf=cfg/scan.fits", "-out=cfg/./"},
                   [](Workspace& ws) {
                       fs::create_directory(ws.path("cfg"));
                       ws.write("cfg/scan.fits", testsupport::kScanChannels);
                   },
                   "\nOutput FITS file <cfg/./scan.fits> is the channel configuration"}),
    [](const ::testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });

// The inputs named as the output keep their bytes.
TEST(OutputInputs, RefusedOutputLeavesTheInputsIntact) {
    Workspace ws;
    prepare(ws);
    ws.write("scan.fits", testsupport::kScanChannels);
    EXPECT_EQ(ws.run({"-f=scan.dat", "-cf=scan.fits"}).status, 1);
    EXPECT_EQ(ws.read("scan.fits"), testsupport::kScanChannels);
}

// A link at the output path is replaced by the new file; what it pointed
// to is never written.
TEST(OutputLinks, LinkIsReplacedItsTargetKept) {
    const std::string reference = referenceOutput();
    for (const bool dangling : {false, true}) {
        Workspace ws;
        prepare(ws);
        if (!dangling) ws.write("keep.txt", "precious");
        fs::create_symlink("keep.txt", ws.path("scan.fits"));
        const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg"});
        EXPECT_EQ(r.status, 0) << dangling;
        EXPECT_FALSE(fs::is_symlink(ws.path("scan.fits"))) << dangling;
        EXPECT_EQ(ws.read("scan.fits"), reference) << dangling;
        if (!dangling) {
            EXPECT_EQ(ws.read("keep.txt"), "precious");
        }
        EXPECT_EQ(fs::exists(ws.path("keep.txt")), !dangling);
    }
}

// An existing output is replaced whole: the new bytes under the output
// name with the old file's permissions, another name of the old file still
// holding the old bytes, and nothing else left in the folder.
TEST(OutputLinks, ExistingOutputIsReplacedAndNothingElseLeft) {
    const std::string reference = referenceOutput();
    Workspace ws;
    prepare(ws);
    ws.write("scan.fits", "old output");
    fs::permissions(ws.path("scan.fits"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_hard_link(ws.path("scan.fits"), ws.path("other.fits"));
    const std::vector<std::string> before = testsupport::sortedNames(ws.files());
    for (int run = 0; run < 2; ++run) {
        const RunResult r = ws.run({"-f=scan.dat", "-cf=chan.cfg"});
        EXPECT_EQ(r.status, 0) << run;
        EXPECT_EQ(ws.read("scan.fits"), reference) << run;
        EXPECT_EQ(ws.read("other.fits"), "old output") << run;
        EXPECT_EQ(fs::status(ws.path("scan.fits")).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
            << run;
        EXPECT_EQ(testsupport::sortedNames(ws.files()), before) << run;
    }
}

// A folder the program may not write: run as an unprivileged user when the
// tests run as root (root writes anywhere), by permissions otherwise.
TEST(OutputPermissions, ReadOnlyFolderKeepsTheExistingOutput) {
    Workspace ws;
    prepare(ws);
    fs::create_directory(ws.path("out"));
    ws.write("out/scan.fits", "old");
    LaunchOptions options;
    if (geteuid() == 0) {
        if (!testsupport::userCanRun(kNobody, ws)) GTEST_SKIP() << "user 65534 cannot run the built program here";
        options.user = kNobody;
    }
    chmod(ws.path("out").c_str(), 0555);
    const RunResult r = testsupport::launch(ws, {"-f=scan.dat", "-cf=chan.cfg", "-out=out/"}, options);
    chmod(ws.path("out").c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\nCan not open output FITS file <out/scan.fits>")) << r.out;
    EXPECT_EQ(namesStartingWith(ws.path("out"), ""), std::vector<std::string>{"scan.fits"});
    EXPECT_EQ(ws.read("out/scan.fits"), "old");
}

// An existing output that its owner made read-only is a file the user
// protected: it must not be replaced (writing it in place would fail too).
TEST(OutputPermissions, WriteProtectedOutputIsNotReplaced) {
    Workspace ws;
    prepare(ws);
    fs::create_directory(ws.path("out"));
    ws.write("out/scan.fits", "old");
    chmod(ws.path("out/scan.fits").c_str(), 0444);
    LaunchOptions options;
    if (geteuid() == 0) {
        if (!testsupport::userCanRun(kNobody, ws)) GTEST_SKIP() << "user 65534 cannot run the built program here";
        if (chown(ws.path("out").c_str(), kNobody, kNobody) != 0) GTEST_SKIP() << "cannot hand the folder over";
        options.user = kNobody;
    }
    const RunResult r = testsupport::launch(ws, {"-f=scan.dat", "-cf=chan.cfg", "-out=out/"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\nCan not open output FITS file <out/scan.fits>")) << r.out;
    EXPECT_EQ(ws.read("out/scan.fits"), "old");
}

// A disk that fills up, simulated by a file size limit (with SIGXFSZ
// ignored, a write beyond it fails): every limit below the file's size fails
// the run with no file left and an existing output intact; a limit of
// exactly the file's size writes it whole.
TEST(OutputDiskFull, EveryLimitBelowTheSizeFailsCleanly) {
    const std::string reference = referenceOutput();
    ASSERT_GT(reference.size(), 2u * 2880u);
    const rlim_t size = reference.size();
    for (const rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{2880}, rlim_t{2881}, rlim_t{4096}, size - 2880, size - 1}) {
        for (const bool existing : {false, true}) {
            Workspace ws;
            prepare(ws);
            if (existing) ws.write("scan.fits", "old");
            LaunchOptions options;
            options.fileSizeLimit = limit;
            const RunResult r = testsupport::launch(ws, {"-f=scan.dat", "-cf=chan.cfg"}, options);
            EXPECT_EQ(r.status, 1) << limit;
            EXPECT_TRUE(endsWith(r.out, "\nCan not write output FITS file <scan.fits>")) << limit << r.out;
            const std::vector<std::string> expected =
                existing ? std::vector<std::string>{"chan.cfg", "scan.dat", "scan.fits"}
                         : std::vector<std::string>{"chan.cfg", "scan.dat"};
            EXPECT_EQ(testsupport::sortedNames(ws.files()), expected) << limit;
            if (existing) {
                EXPECT_EQ(ws.read("scan.fits"), "old") << limit;
            }
        }
    }
    Workspace ws;
    prepare(ws);
    LaunchOptions options;
    options.fileSizeLimit = size;
    EXPECT_EQ(testsupport::launch(ws, {"-f=scan.dat", "-cf=chan.cfg"}, options).status, 0);
    EXPECT_EQ(ws.read("scan.fits"), reference);
}

// A run killed while it writes a large file leaves the output path as it
// was: the old file, or nothing. Only the temporary file of the killed run
// may remain beside it (a killed process cannot clean up).
class KilledWhileWriting : public ::testing::Test {
protected:
    // 30 MB in, 18 MB of image out; enough frames for the pass over the
    // channels to share the work among two threads.
    static constexpr std::int64_t kFrames = 40000;

    static void SetUpTestSuite() {
        recording_ = new RecordingBuilder(testsupport::smallSunRecording(kFrames));
        std::string channels = "chan freq use\n";
        for (int c = 1; c <= 56; ++c) channels += std::to_string(c) + " " + std::to_string(2 + c) + ".5 1\n";
        channels_ = new std::string(channels);
    }
    static void TearDownTestSuite() {
        delete recording_;
        delete channels_;
    }

    // Runs the large conversion with `options`; returns the result.
    static RunResult run(Workspace& ws, bool existing, const LaunchOptions& options) {
        recording_->writeTo(ws.path("scan.dat").string());
        ws.write("chan.cfg", *channels_);
        if (existing) ws.write("scan.fits", "old");
        return testsupport::launch(ws, {"-f=scan.dat", "-cf=chan.cfg", "-s=1", "-sigma=1e30"}, options);
    }

    static void expectOutputPathUntouched(const Workspace& ws, bool existing) {
        if (existing) {
            EXPECT_EQ(ws.read("scan.fits"), "old");
        } else {
            EXPECT_FALSE(fs::exists(ws.path("scan.fits")));
        }
        for (const std::string& name : ws.files()) {
            if (name == "scan.dat" || name == "chan.cfg" || name == "scan.fits") continue;
            EXPECT_EQ(name.rfind("scan.fits.tmp", 0), 0u) << name;
        }
    }

    static RecordingBuilder* recording_;
    static std::string* channels_;
};
RecordingBuilder* KilledWhileWriting::recording_ = nullptr;
std::string* KilledWhileWriting::channels_ = nullptr;

// Deterministic: the file size limit with SIGXFSZ at its default action
// kills the program in the middle of the image.
TEST_F(KilledWhileWriting, BySignalAtTheSizeLimit) {
    for (const bool existing : {false, true}) {
        Workspace ws;
        LaunchOptions options;
        options.fileSizeLimit = 1 << 20;
        options.fileSizeSignalKills = true;
        const RunResult r = run(ws, existing, options);
        EXPECT_EQ(r.status, -SIGXFSZ) << existing;
        expectOutputPathUntouched(ws, existing);
        // The file being written has no name before it is whole: nothing of
        // it is left behind (without the system's calls it has one).
        if (SKANVERT_PLATFORM_CALLS) {
            EXPECT_TRUE(namesStartingWith(ws.dir(), "scan.fits.tmp").empty());
        }
    }
}

// SIGKILL as soon as the file being written has grown past its first bytes.
TEST_F(KilledWhileWriting, BySigkill) {
    for (const bool existing : {false, true}) {
        Workspace ws;
        bool killed = false;
        LaunchOptions options;
        options.whileRunning = [&](pid_t pid) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (std::chrono::steady_clock::now() < deadline) {
                if (sizeBeingWritten(pid, ws.dir()) > 0) {
                    kill(pid, SIGKILL);
                    killed = true;
                    return;
                }
                siginfo_t info{};
                if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                    info.si_pid != 0) {
                    return;  // ended by itself
                }
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        };
        const RunResult r = run(ws, existing, options);
        if (!killed) {
            // The run ended before the watcher saw it write: the file is whole.
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(testsupport::fitsStructureProblem(FitsFile::readBytes(ws.path("scan.fits").string())), "");
            continue;
        }
        EXPECT_EQ(r.status, -SIGKILL) << existing;
        expectOutputPathUntouched(ws, existing);
        if (SKANVERT_PLATFORM_CALLS) {
            EXPECT_TRUE(namesStartingWith(ws.dir(), "scan.fits.tmp").empty());
        }
    }
}

// The large run itself, undisturbed, writes a whole file: the runs above
// were stopped in the middle of a real write.
TEST_F(KilledWhileWriting, UndisturbedRunWritesTheWholeFile) {
    Workspace ws;
    const RunResult r = run(ws, true, {});
    ASSERT_EQ(r.status, 0);
    const std::vector<unsigned char> bytes = FitsFile::readBytes(ws.path("scan.fits").string());
    EXPECT_EQ(testsupport::fitsStructureProblem(bytes), "");
    EXPECT_GT(bytes.size(), 10u << 20);
    EXPECT_EQ(testsupport::sortedNames(ws.files()), (std::vector<std::string>{"chan.cfg", "scan.dat", "scan.fits"}));
}

}  // namespace
