#include "driver/settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

#include "tables/ini_file.h"

namespace skanvert {

namespace {

// Parses an option value with "%d" / "%f"; false when nothing converts.
bool parseInt(const std::string& text, int& value) { return readLeadingInt(text.c_str(), value); }
bool parseFloat(const std::string& text, float& value) { return std::sscanf(text.c_str(), "%f", &value) == 1; }

// Integer / real option with a fallback for a value that does not convert.
void intOption(int argc, char** argv, const char* name, int& field, int fallback) {
    std::string value;
    if (findOption(argc, argv, name, &value) && !parseInt(value, field)) field = fallback;
}
void floatOption(int argc, char** argv, const char* name, float& field, float fallback) {
    std::string value;
    if (findOption(argc, argv, name, &value) && !parseFloat(value, field)) field = fallback;
}

// Reads one integer from stdin as scanf's "%d" does: white space skipped,
// an optional sign, digits; the first other character stays in the stream
// (a sign without digits is consumed, as scanf consumes it). A number beyond
// the int range saturates at its bound. False when no digit is read.
bool readIntFromStdin(int& value) {
    int c = std::getchar();
    while (c != EOF && std::isspace(c)) c = std::getchar();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getchar();
    }
    if (c == EOF || !std::isdigit(c)) {
        if (c != EOF) std::ungetc(c, stdin);
        return false;
    }
    constexpr long long kLimit = 1LL << 32;  // beyond either int bound
    long long magnitude = 0;
    while (c != EOF && std::isdigit(c)) {
        magnitude = std::min(kLimit, magnitude * 10 + (c - '0'));
        c = std::getchar();
    }
    if (c != EOF) std::ungetc(c, stdin);
    const long long signedValue = negative ? -magnitude : magnitude;
    value = static_cast<int>(std::clamp<long long>(signedValue, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
    return true;
}

// Writes a prompt and reads its "%d" answer; false when nothing converts.
bool promptInt(const char* prompt, int& value) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    return readIntFromStdin(value);
}

}  // namespace

std::string settingsFileName(int argc, char** argv) {
    const char* program = argc > 0 && argv[0] ? argv[0] : "";
    return std::string(program) + ".ini";
}

void readSettingsFile(int argc, char** argv, RunSettings& settings) {
    std::fprintf(stderr, "\nargc=%d", argc);
    const std::string name = settingsFileName(argc, argv);
    std::fprintf(stderr, "\n%s", name.c_str());
    TIniFile file;
    const int lines = file.Load(name);
    if (!file.Opened()) std::fprintf(stderr, "\nCan not open <%s>", name.c_str());
    if (lines < 1) return;
    const RunSettings start;
    settings.smooth = file.GetInt("smooth", start.smooth);
    settings.debug = file.GetInt("debug", start.debug);
    settings.onoff = file.GetInt("onoff", start.onoff);
    settings.ampcor = file.GetInt("ampcor", kAmpcorFallback);
    settings.dspdt = file.GetFloat("dspdt", start.dspdt);
    settings.shift = file.GetInt("shift", start.shift);
    settings.delta = file.GetFloat("delta", start.delta);
    settings.valh = file.GetFloat("valh", start.valh);
    settings.azim = file.GetFloat("azim", start.azim);
    settings.sigma = file.GetFloat("sigma", start.sigma);
    settings.indir.clear();
    file.GetText("indir", settings.indir);
    settings.outdir.clear();
    file.GetText("outdir", settings.outdir);
    settings.channels.clear();
    file.GetText("channels", settings.channels);
    settings.flag_theta = file.GetInt("flag_theta", start.flag_theta);
    std::string layout;
    if (file.GetText("layout", layout)) settings.standardLayout = layout == kStandardLayout;
    file.Clear();
}

void printUsage() {
    std::printf("\nUsage: skanvert -f=file_name -cf=config_file [-s=number][-in=indir][-onoff][-out=outdir][-amp=koef][-debug]");
    std::printf("\n\t -f=file_name -input file");
    std::printf("\n\t -cf=config_file -input file with channel configuration");
    std::printf("\n\t -s=number - smoothing number (default 20)");
    std::printf("\n\t -in=indir - path of input file (ex. home/aaa/in/)");
    std::printf("\n\t -out=outdir - path of output file (ex. home/aaa/out/)");
    std::printf("\n\t -amp=koef - correction of amplif changing [0-no, 1-auto, 2-using coeff.table]");
    std::printf("\n\t -debug -print debug messages");
}

bool findOption(int argc, char** argv, const char* name, std::string* value) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!argument || std::strncmp(argument, name, length) != 0) continue;
        if (value) {
            // One separator character after the name is skipped, whatever it is.
            const size_t total = std::strlen(argument);
            *value = total > length ? std::string(argument + length + 1) : std::string();
        }
        std::fprintf(stderr, "\n\t%s", argument);
        return true;
    }
    return false;
}

bool readWordFromStdin(std::string& word) {
    int c = std::getchar();
    while (c != EOF && std::isspace(c)) c = std::getchar();
    if (c == EOF) return false;
    std::string read;
    while (c != EOF && !std::isspace(c)) {
        read.push_back(static_cast<char>(c));
        c = std::getchar();
    }
    if (c != EOF) std::ungetc(c, stdin);
    word = std::move(read);
    return true;
}

bool readCommandLine(int argc, char** argv, RunSettings& settings, bool& interactive) {
    const RunSettings start;  // the fallbacks of answers and values that do not convert
    interactive = argc < 2;
    if (interactive) {
        printUsage();
        std::printf("\nInput VEK data file name: ");
        std::fflush(stdout);
        readWordFromStdin(settings.inputFile);
        std::printf("\nInput channel config file name: ");
        std::fflush(stdout);
        readWordFromStdin(settings.channels);
        promptInt("\nInput amplif coef [0,1,2]: ", settings.ampcor);
        if (!promptInt("\nInput smoothing number: ", settings.smooth)) settings.smooth = start.smooth;
        if (!promptInt("\nInput debug flag: ", settings.debug)) settings.debug = start.debug;
    } else {
        if (!findOption(argc, argv, "-f", &settings.inputFile)) {
            printUsage();
            return false;
        }
        findOption(argc, argv, "-cf", &settings.channels);
        findOption(argc, argv, "-in", &settings.indir);
        findOption(argc, argv, "-out", &settings.outdir);
        intOption(argc, argv, "-amp", settings.ampcor, kAmpcorFallback);
        settings.debug = findOption(argc, argv, "-debug", nullptr) ? 1 : 0;
        intOption(argc, argv, "-s", settings.smooth, start.smooth);
        intOption(argc, argv, "-shift", settings.shift, start.shift);
        floatOption(argc, argv, "-delta", settings.delta, start.delta);
        floatOption(argc, argv, "-valh", settings.valh, start.valh);
        floatOption(argc, argv, "-azim", settings.azim, start.azim);
        std::string value;
        if (findOption(argc, argv, "-onoff", &value)) parseInt(value, settings.onoff);
        floatOption(argc, argv, "-sigma", settings.sigma, start.sigma);
        intOption(argc, argv, "-flag_theta", settings.flag_theta, start.flag_theta);
        // No other option is a prefix of "-layout", and it is a prefix of none.
        std::string layout;
        if (findOption(argc, argv, "-layout", &layout)) settings.standardLayout = layout == kStandardLayout;
    }
    if (settings.debug) std::printf("\n sigma = %f", static_cast<double>(settings.sigma));
    return true;
}

std::string inputPath(const RunSettings& settings) { return settings.indir + settings.inputFile; }

std::string outputPath(const RunSettings& settings, const std::string& outputName) {
    return settings.outdir + outputName;
}

}  // namespace skanvert
