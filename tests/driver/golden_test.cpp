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

// A reader of the little JSON that case.json holds: an object of "args" (an
// array of strings), "stdin" (a string or null) and "exit" (an integer).
// Anything else in the file is an error, so a mistyped case fails loudly.
class CaseReader {
public:
    explicit CaseReader(std::string text) : text_(std::move(text)) {}

    ReferenceRun read(const std::string& name) {
        ReferenceRun run;
        run.name = name;
        bool sawArgs = false, sawStdin = false, sawExit = false;
        expect('{');
        do {
            const std::string key = string();
            expect(':');
            if (key == "args") {
                sawArgs = true;
                expect('[');
                if (!peek(']')) {
                    do run.args.push_back(string());
                    while (accept(','));
                }
                expect(']');
            } else if (key == "stdin") {
                sawStdin = true;
                if (acceptWord("null")) {
                    run.input = std::nullopt;
                } else {
                    run.input = string();
                }
            } else if (key == "exit") {
                sawExit = true;
                run.exitStatus = integer();
            } else {
                fail("unknown key " + key);
            }
        } while (accept(','));
        expect('}');
        skipBlanks();
        if (at_ != text_.size() || !sawArgs || !sawStdin || !sawExit) fail("incomplete case");
        return run;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("case.json: " + what + " at byte " + std::to_string(at_));
    }
    void skipBlanks() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool peek(char c) {
        skipBlanks();
        return at_ < text_.size() && text_[at_] == c;
    }
    bool accept(char c) {
        if (!peek(c)) return false;
        ++at_;
        return true;
    }
    void expect(char c) {
        if (!accept(c)) fail(std::string("expected '") + c + "'");
    }
    bool acceptWord(const std::string& word) {
        skipBlanks();
        if (text_.compare(at_, word.size(), word) != 0) return false;
        at_ += word.size();
        return true;
    }
    int integer() {
        skipBlanks();
        size_t used = 0;
        const int value = std::stoi(text_.substr(at_), &used);
        at_ += used;
        return value;
    }
    // A string with the escapes \" \\ \/ \b \f \n \r \t and \u00XX.
    std::string string() {
        expect('"');
        std::string out;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\') {
                if (at_ >= text_.size()) fail("escape at the end");
                const char e = text_[at_++];
                switch (e) {
                    case 'n': c = '\n'; break;
                    case 't': c = '\t'; break;
                    case 'r': c = '\r'; break;
                    case 'b': c = '\b'; break;
                    case 'f': c = '\f'; break;
                    case 'u': {
                        const unsigned long code = std::stoul(text_.substr(at_, 4), nullptr, 16);
                        if (code > 0xFF) fail("only \\u00XX escapes are read");
                        c = static_cast<char>(code);
                        at_ += 4;
                        break;
                    }
                    default: c = e;  // \" \\ \/
                }
            }
            out.push_back(c);
        }
        expect('"');
        return out;
    }

    std::string text_;
    size_t at_ = 0;
};

std::vector<ReferenceRun> referenceRuns() {
    std::vector<ReferenceRun> runs;
    for (const auto& folder : fs::directory_iterator(fs::path(SKANVERT_TEST_DATA) / "golden")) {
        if (!fs::exists(folder.path() / "case.json")) continue;
        const std::string name = folder.path().filename().string();
        ReferenceRun run = CaseReader(testsupport::readFile(folder.path() / "case.json")).read(name);
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
