// Whole runs against the reference runs: each folder of data/golden holds the
// working folder as it is when the program starts (input/), the run's
// arguments, standard input and exit status (case.json), and the exact
// expected streams and files (expected/). Every folder is a test; adding a
// reference run needs no change here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

struct ReferenceRun {
    std::string name;
    std::vector<std::string> args;
    std::optional<std::string> input;
    int exitStatus = 0;
    std::vector<std::string> files;  // the files expected/ holds besides the two streams
};

void PrintTo(const ReferenceRun& run, std::ostream* os) { *os << run.name; }

// Reads case.json: {"args": [strings], "stdin": a string or null, "exit": an
// integer}, strings with JSON's escapes (\uXXXX for codes below 256 only).
// Anything else throws, so a mistyped case fails loudly.
ReferenceRun readCase(const std::string& text, const std::string& name) {
    size_t at = 0;
    const auto fail = [&](const char* what) {
        throw std::runtime_error(name + "/case.json: " + what + " at byte " + std::to_string(at));
    };
    const auto blanks = [&] {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    };
    const auto accept = [&](char c) {
        blanks();
        return at < text.size() && text[at] == c ? (++at, true) : false;
    };
    const auto expect = [&](char c) {
        if (!accept(c)) fail("unexpected character");
    };
    const auto string = [&] {
        expect('"');
        std::string out;
        for (char c; at < text.size() && (c = text[at++]) != '"';) {
            if (c == '\\' && at < text.size()) {
                const char e = text[at++];
                const std::string plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
                if (e == 'u') {
                    const unsigned long code = std::stoul(text.substr(at, 4), nullptr, 16);
                    if (code > 0xFF) fail("\\u escape beyond 00FF");
                    c = static_cast<char>(code);
                    at += 4;
                } else if (plain.find(e) != std::string::npos) {
                    c = meant[plain.find(e)];
                } else {
                    fail("unknown escape");
                }
            }
            out.push_back(c);
        }
        if (at > text.size() || text[at - 1] != '"') fail("unterminated string");
        return out;
    };
    ReferenceRun run;
    run.name = name;
    int seen = 0;
    expect('{');
    do {
        const std::string key = string();
        expect(':');
        if (key == "args") {
            expect('[');
            if (!accept(']')) {
                do run.args.push_back(string());
                while (accept(','));
                expect(']');
            }
        } else if (key == "stdin") {
            if (accept('n')) {
                if (text.compare(at, 3, "ull") != 0) fail("expected null");
                at += 3;
            } else {
                run.input = string();
            }
        } else if (key == "exit") {
            blanks();
            size_t used = 0;
            run.exitStatus = std::stoi(text.substr(at), &used);
            at += used;
        } else {
            fail("unknown key");
        }
        ++seen;
    } while (accept(','));
    expect('}');
    blanks();
    if (seen != 3 || at != text.size()) fail("incomplete case");
    return run;
}

std::vector<ReferenceRun> referenceRuns() {
    std::vector<ReferenceRun> runs;
    for (const auto& folder : fs::directory_iterator(fs::path(SKANVERT_TEST_DATA) / "golden")) {
        if (!fs::exists(folder.path() / "case.json")) continue;
        const std::string name = folder.path().filename().string();
        ReferenceRun run = readCase(testsupport::readFile(folder.path() / "case.json"), name);
        for (const auto& entry : fs::directory_iterator(folder.path() / "expected")) {
            const std::string file = entry.path().filename().string();
            if (file != "stdout" && file != "stderr") run.files.push_back(file);
        }
        runs.push_back(std::move(run));
    }
    std::sort(runs.begin(), runs.end(), [](const ReferenceRun& a, const ReferenceRun& b) { return a.name < b.name; });
    return runs;
}

class ReferenceRuns : public ::testing::TestWithParam<ReferenceRun> {};

TEST_P(ReferenceRuns, ReproduceStreamsStatusAndFilesExactly) {
    const ReferenceRun& ref = GetParam();
    const fs::path base = fs::path(SKANVERT_TEST_DATA) / "golden" / ref.name;
    testsupport::Workspace ws;
    for (const auto& entry : fs::directory_iterator(base / "input")) {
        fs::copy_file(entry.path(), ws.path(entry.path().filename().string()));
    }
    const testsupport::RunResult result = ws.run(ref.args, ref.input);
    EXPECT_EQ(result.out, testsupport::readFile(base / "expected" / "stdout"));
    EXPECT_EQ(result.err, testsupport::readFile(base / "expected" / "stderr"));
    EXPECT_EQ(result.status, ref.exitStatus & 0xFF);
    for (const std::string& file : ref.files) {
        ASSERT_TRUE(ws.exists(file)) << file;
        EXPECT_TRUE(ws.read(file) == testsupport::readFile(base / "expected" / file)) << file << " bytes differ";
    }
    // Nothing else is written: the folder holds the inputs and the expected files.
    size_t inputs = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(base / "input")) ++inputs;
    EXPECT_EQ(ws.files().size(), inputs + ref.files.size());
}

INSTANTIATE_TEST_SUITE_P(Golden, ReferenceRuns, ::testing::ValuesIn(referenceRuns()),
                         [](const ::testing::TestParamInfo<ReferenceRun>& info) { return info.param.name; });

// The reference runs must not shrink unnoticed: a folder lost from the data
// (or a case.json that no longer reads) fails here.
TEST(ReferenceRunsFolder, HoldsTheFourRuns) {
    std::vector<std::string> names;
    for (const ReferenceRun& run : referenceRuns()) names.push_back(run.name);
    EXPECT_EQ(names, (std::vector<std::string>{"missing_input", "moon_coef_interactive", "sun_mode1_shift",
                                               "sun_mode2_debug"}));
}

}  // namespace
