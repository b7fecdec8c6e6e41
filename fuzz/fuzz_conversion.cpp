// Fuzz target: a whole conversion run of an arbitrary recording.
//
// Input layout: 32 bytes of settings (below), then line-feed separated
// pieces: the header fields of fuzz_support.h laid onto a small valid
// recording, then optionally the channel configuration and the coefficient
// table as texts that replace the chosen variants. The run works in the
// scratch folder; afterwards the folder must hold only the inputs and, for
// a run that reports success, a complete output file whose header cards are
// printable and hold no non-finite number. With FUZZ_TRACE set in the
// environment the runs' output is kept and each run's status printed, for
// replaying an input by hand.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fuzz_support.h"

using namespace skanvert;

namespace {

constexpr size_t kSettingsBytes = 32;

const char* const kInputNames[] = {"scan.dat", "scan", ".hidden", "a.b.c"};
const char* const kOutputNames[] = {"scan.fits", "scan1", ".hidden1", "a.b.fits"};

std::string channelConfiguration(int variant) {
    std::string text = "chan freq use\n";
    char line[64];
    if (variant == 0) {
        for (int c = 1; c <= 56; ++c) {
            std::snprintf(line, sizeof line, "%d %.2f %d\n", c, 2.0 + 0.35 * c, c % 5 != 0);
            text += line;
        }
    } else if (variant == 1) {
        const char* const kOdd[] = {"0 1",   "-2.5 1", "1e30 1", "1e39 1", "nan 1", "inf 1", "-inf 1",
                                    "3 nan", "3 1e10", "3 -0.5", "3 -1e39", "3",    "1e-40 1"};
        for (int c = 1; c <= 56; ++c) {
            std::snprintf(line, sizeof line, "%d %s\n", c, kOdd[c % 13]);
            text += line;
        }
    } else if (variant == 2) {
        text.clear();
        for (int i = 0; i < 600; ++i) text.push_back(static_cast<char>((i * 73 + 11) & 0xFF));
    } else {
        text.assign("1\0 2.35 1\n2 2.70\0 1\n\0\n3 3.05 1\n", 31);
    }
    return text;
}

std::string coefficientTable(int variant) {
    switch (variant) {
        case 1: return "freq tqsun kflux theta\n2.0 6000 1.5 80\n4.0 5000 2.5 60\n9.0 4000 3.5 40\n30 3000 4 20\n";
        case 2: return "heading\n2.0 nan inf -inf\n5 inf nan 1e39\nnan 1 2 3\ninf 4 5 6\n";
        case 3: return "heading only\n";
        default: return "";  // no table
    }
}

std::string number(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

bool printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 32 && c <= 126; });
}

// The output file's units: headers of printable cards, no non-finite value,
// every unit a whole number of 2880-byte blocks.
void checkOutput(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) fuzzsupport::finding("successful run without an output file");
    std::string bytes;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    std::fclose(f);
    if (bytes.empty() || bytes.size() % 2880 != 0) fuzzsupport::finding("output not whole 2880-byte blocks");
    size_t pos = 0;
    for (int unit = 0; unit < 2; ++unit) {
        bool ended = false;
        long long naxis[4] = {0, 1, 1, 1};
        int bitpix = 8;
        while (!ended) {
            if (pos + 80 > bytes.size()) fuzzsupport::finding("header without END");
            const std::string card = bytes.substr(pos, 80);
            pos += 80;
            if (!printable(card)) fuzzsupport::finding("header card with a non-printable byte");
            if (card.compare(0, 8, "END     ") == 0) ended = true;
            if (card[8] != '=') continue;
            std::string value = card.substr(10, 20);
            std::string lower = value;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const bool nonFinite = lower.find("nan") != std::string::npos || lower.find("inf") != std::string::npos;
            if (value[0] != '\'' && nonFinite) {
                fuzzsupport::finding("header card holds a non-finite number");
            }
            if (value[0] != '\'' && card[30] != ' ') fuzzsupport::finding("number beyond column 30");
            const std::string key = card.substr(0, 8);
            if (key == "BITPIX  ") bitpix = std::stoi(value);
            for (int axis = 1; axis <= 3; ++axis) {
                if (key == "NAXIS" + std::to_string(axis) + "  ") naxis[axis] = std::stoll(value);
            }
        }
        pos = (pos + 2879) / 2880 * 2880;
        const long long data = (bitpix < 0 ? -bitpix : bitpix) / 8 * naxis[1] * naxis[2] * naxis[3];
        pos += static_cast<size_t>((data + 2879) / 2880 * 2880);
    }
    if (pos != bytes.size()) fuzzsupport::finding("output length differs from its headers");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::getenv("FUZZ_TRACE")) fuzzsupport::silenceStdout();
    if (chdir(fuzzsupport::scratchFolder()) != 0) fuzzsupport::finding("cannot enter the scratch folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    fuzzsupport::ByteReader settings(data, std::min(size, kSettingsBytes));
    const int ampcor = settings.byte() % 4;
    const int flags = settings.byte();
    const int variants = settings.byte();
    const int frames = settings.byte() % 160 * 5;
    const std::int16_t smooth = settings.i16();
    const std::int32_t shift = settings.i32();
    const float sigma = settings.f32();
    const float delta = settings.f32();
    const float valh = settings.f32();
    const float azim = settings.f32();
    const float dspdt = settings.f32();
    const int tail = settings.i16() & 0x3FF;
    const int name = (flags >> 4) & 3;

    const std::uint8_t* rest = data + std::min(size, kSettingsBytes);
    const size_t restSize = size - std::min(size, kSettingsBytes);
    const std::vector<std::string> pieces =
        fuzzsupport::splitAt(rest, restSize, '\n', fuzzsupport::kHeaderPieces + 2);

    testsupport::RecordingBuilder recording = fuzzsupport::sunRecording(frames);
    fuzzsupport::applyHeaderPieces(recording, pieces);
    if (flags & 0x40) recording.appendTail(static_cast<size_t>(tail % 752));
    recording.writeTo(kInputNames[name]);

    fuzzsupport::writeWholeFile("chan.cfg", pieces.size() > fuzzsupport::kHeaderPieces
                                                ? pieces[fuzzsupport::kHeaderPieces]
                                                : channelConfiguration(variants & 3));
    const std::string coefficients =
        pieces.size() > fuzzsupport::kHeaderPieces + 1 ? pieces[fuzzsupport::kHeaderPieces + 1]
                                                       : coefficientTable((variants >> 2) & 3);
    if (!coefficients.empty()) fuzzsupport::writeWholeFile("crab0coef.txt", coefficients);
    fuzzsupport::writeWholeFile("skanvert.ini", "dspdt=" + number(dspdt) + "\n");

    std::vector<std::string> args{"./skanvert",
                                  std::string("-f=") + kInputNames[name],
                                  "-cf=chan.cfg",
                                  "-amp=" + std::to_string(ampcor),
                                  "-s=" + std::to_string(smooth),
                                  "-shift=" + std::to_string(shift),
                                  "-sigma=" + number(sigma),
                                  "-delta=" + number(delta),
                                  "-valh=" + number(valh),
                                  "-azim=" + number(azim),
                                  "-flag_theta=" + std::to_string(flags & 1),
                                  "-onoff=" + std::to_string((flags >> 1) & 1)};
    if (flags & 0x04) args.emplace_back("-debug");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int status = runConversion(static_cast<int>(args.size()), argv.data());
    if (std::getenv("FUZZ_TRACE")) std::fprintf(stderr, "status %d\n", status);
    std::fflush(stdout);

    const std::string output = kOutputNames[name];
    if (status == 0) {
        checkOutput(output);
    } else if (status != 1) {
        fuzzsupport::finding("exit status other than 0 and 1");
    }
    const std::set<std::string> expected{kInputNames[name], "chan.cfg", "crab0coef.txt", "skanvert.ini", output};
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string file = entry.path().filename().string();
        if (!expected.count(file)) fuzzsupport::finding("the run left a file behind");
        if (file == output && status != 0) fuzzsupport::finding("a failed run left an output file");
    }
    std::error_code ec;
    for (const std::string& file : expected) std::filesystem::remove(file, ec);
    return 0;
}
