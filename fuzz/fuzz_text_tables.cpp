// Fuzz target: the text reader on arbitrary text.
//
// The input's first line is a key; the rest is the content of a text file
// that TIniFile loads. Every getter runs with that key and with the keys of
// the settings file; the row lookups run for every channel number and for
// frequencies at the edges of the number range, and the calibration values
// are derived from the text taken as a coefficient table.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "fuzz_support.h"
#include "tables/ini_file.h"
#include "tables/tables.h"

using namespace skanvert;

namespace {

std::string textPath;

constexpr const char* kSettingsKeys[] = {"smooth", "debug", "onoff", "ampcor", "dspdt", "shift",    "delta",
                                         "valh",   "azim",  "sigma", "indir",  "outdir", "channels", "flag_theta"};

void getters(const TIniFile& file, const std::string& key) {
    const int index = file.FindKey(key);
    if (index < -1 || index >= file.Count()) fuzzsupport::finding("FindKey index out of range");
    file.GetInt(key, 7);
    file.GetFloat(key, 7.0f);
    std::string text = "unchanged";
    if (!file.GetText(key, text) && text != "unchanged") fuzzsupport::finding("GetText changed its destination");
}

void lookups(const TIniFile& file, float keyNumber) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    for (int channel = 1; channel <= 64; ++channel) {
        ChannelRow row;
        const int n = file.FindChannelRow(static_cast<float>(channel), row, "%.2f");
        if (n != 0 && (n < 2 || n > 9)) fuzzsupport::finding("FindChannelRow count out of range");
    }
    for (const float channel : {keyNumber, 0.0f, -1.0f, 1e30f, kInf, -kInf, std::nanf("")}) {
        ChannelRow row;
        file.FindChannelRow(channel, row, "%.2f");
        file.FindChannelRow(channel, row, nullptr);
        file.FindChannelRow(channel, row, "%g");
    }
    for (const float frequency : {keyNumber, 0.0f, -2.0f, 2.35f, 1e30f, kInf, -kInf, std::nanf("")}) {
        CoefficientRow row;
        const int n = file.FindCoefRow(frequency, row);
        if (n < 0 || n > 8) fuzzsupport::finding("FindCoefRow count out of range");
        for (int flagTheta : {0, 1}) {
            calibrationValues(file, file.Count(), frequency, flagTheta, 6000.0f);
            calibrationValues(file, 0, frequency, flagTheta, 220.0f);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceStdout();
    textPath = std::string(fuzzsupport::scratchFolder()) + "/text.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const auto* text = static_cast<const std::uint8_t*>(std::memchr(data, '\n', size));
    const size_t keyLength = text ? static_cast<size_t>(text - data) : size;
    const std::string key(reinterpret_cast<const char*>(data), keyLength);
    const size_t contentStart = text ? keyLength + 1 : size;
    fuzzsupport::writeWholeFile(textPath, data + contentStart, size - contentStart);

    TIniFile file;
    const int count = file.Load(textPath);
    if ((count == 0) != (contentStart == size)) fuzzsupport::finding("line count of an empty or non-empty file");
    for (int i = 0; i < count; ++i) {
        const std::string& line = file.Line(i);
        if (line.size() > 254 || line.find('\0') != std::string::npos) fuzzsupport::finding("stored line too long");
    }
    getters(file, key);
    for (const char* settingsKey : kSettingsKeys) getters(file, settingsKey);

    float keyNumber = 0;
    std::sscanf(key.c_str(), "%f", &keyNumber);
    lookups(file, keyNumber);

    std::string word;
    for (size_t start : {size_t{0}, keyLength / 2, keyLength, keyLength + 5}) readWord(key, start, word);

    // A second load replaces the first; Clear empties the store.
    file.Load(textPath);
    if (file.Count() != count) fuzzsupport::finding("reloading gives another count");
    file.Clear();
    if (file.Count() != 0 || file.FindKey("") != -1) fuzzsupport::finding("Clear left lines");
    return 0;
}
