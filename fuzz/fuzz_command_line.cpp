// Fuzz target: the command line on arbitrary argument vectors.
//
// The input is split at NUL bytes: the first piece is the content of the
// settings file, every further piece one argument. The program's name is a
// fixed path in the scratch folder, so the settings file is that path with
// ".ini". At least one argument is always passed: without one the run would
// ask its prompts on standard input.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "fuzz_support.h"
#include "recording/recording.h"

using namespace skanvert;

namespace {

std::string programPath;

constexpr const char* kOptions[] = {"-f",     "-cf",    "-in",   "-out",   "-amp",  "-debug",      "-s",
                                    "-shift", "-delta", "-valh", "-azim",  "-onoff", "-sigma", "-flag_theta"};
constexpr size_t kMaxArguments = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceStdout();
    programPath = std::string(fuzzsupport::scratchFolder()) + "/skanvert";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    std::vector<std::string> pieces = fuzzsupport::splitAt(data, size, '\0', kMaxArguments + 1);
    fuzzsupport::writeWholeFile(programPath + ".ini", pieces[0]);
    if (pieces.size() < 2) pieces.emplace_back();

    std::vector<std::string> store{programPath};
    store.insert(store.end(), pieces.begin() + 1, pieces.end());
    std::vector<char*> argv;
    for (std::string& argument : store) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(store.size());

    RunSettings settings;
    readSettingsFile(argc, argv.data(), settings);
    for (const char* option : kOptions) {
        std::string value = "unchanged";
        if (!findOption(argc, argv.data(), option, &value) && value != "unchanged") {
            fuzzsupport::finding("findOption changed the value without a match");
        }
        findOption(argc, argv.data(), option, nullptr);
    }
    bool interactive = true;
    const bool gathered = readCommandLine(argc, argv.data(), settings, interactive);
    if (interactive) fuzzsupport::finding("option mode taken for interactive");
    if (gathered != findOption(argc, argv.data(), "-f", nullptr)) fuzzsupport::finding("-f decides the mode");
    if (gathered) {
        const std::string input = inputPath(settings);
        const std::string output = outputPath(settings, outputFileName(settings.inputFile));
        if (input.size() != settings.indir.size() + settings.inputFile.size() ||
            output.compare(0, settings.outdir.size(), settings.outdir) != 0) {
            fuzzsupport::finding("paths are not directory and name");
        }
    }
    return 0;
}
