#include "vekgen/generator.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <ostream>
#include <random>
#include <system_error>

namespace vekgen {

namespace {

constexpr std::size_t kHeaderBytes = 4096;
constexpr std::size_t kFrameBytes = 752;
constexpr std::size_t kBlockBytes = 188;
constexpr int kChannelCount = 56;
constexpr int kOverflowBound = 8190;
constexpr int kFirstStatusWord = 83;
constexpr std::size_t kStatusWordCount = 8;  // words 83..90
constexpr std::int64_t kMaxFrames = 10'000'000;
constexpr std::int64_t kChunkFrames = 4096;       // frames synthesised at a time, about 3 MB
constexpr std::size_t kWriteBytes = 4u << 20;  // bytes per write, and their alignment in the file

// Word positions of a block that the converter never reads.
constexpr std::array<int, 30> kFillerWords = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 15, 20, 25, 30,
                                              35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 81, 82, 91, 92, 93};

constexpr std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kWeekdayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

constexpr double kDegree = 0.017453292519943295;

// Separate random streams, so that e.g. the noise does not change when the
// header or a channel's parameters draw differently.
enum Stream : std::uint64_t { kHeaderStream = 1, kNoiseStream = 2, kFillerStream = 3, kChannelStreamBase = 100 };

// ---------------------------------------------------------------------------
// Random numbers: std::mt19937_64 is fully specified by the standard; the
// conversions to reals and the Gaussian deviates are our own (the standard
// distributions differ between libraries), so every standard library yields
// the same recording. Only std::log, and std::erf/std::exp of the beam
// profile, come from the C library; a last-bit difference there would change
// a rounded sample only by a coincidence.

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream) {
    return splitmix64(splitmix64(seed) ^ (stream * 0xD1B54A32D192ED03ULL));
}

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    std::uint64_t bits() { return engine_(); }
    // Uniform in [0, 1) with 53 random bits.
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Uniform integer in [lo, hi] (the modulo bias is far below anything visible).
    std::int64_t integer(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(engine_() % static_cast<std::uint64_t>(hi - lo + 1));
    }
    // Standard normal deviate: the polar form of the Box-Muller transform,
    // which needs only a logarithm and a square root; pairs are used in turn.
    double gaussian() {
        if (hasSpare_) {
            hasSpare_ = false;
            return spare_;
        }
        double u = 0, v = 0, s = 0;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double factor = std::sqrt(-2.0 * std::log(s) / s);
        spare_ = v * factor;
        hasSpare_ = true;
        return u * factor;
    }

private:
    std::mt19937_64 engine_;
    bool hasSpare_ = false;
    double spare_ = 0;
};

// ---------------------------------------------------------------------------
// Calendar: day counts since 1970-01-01 in the proleptic Gregorian calendar.

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
std::int64_t floorMod(std::int64_t a, std::int64_t b) { return a - floorDiv(a, b) * b; }

std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = floorDiv(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct CivilDate {
    std::int64_t year;
    int month, day;
};

CivilDate civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The recorder's time stamp "Wed Apr 12 12:00:00 2006 45" of a moment given
// as a day count and milliseconds of that day (which may exceed one day).
std::string stampText(std::int64_t days, std::int64_t millisecondOfDay) {
    days += floorDiv(millisecondOfDay, 86'400'000);
    const std::int64_t ms = floorMod(millisecondOfDay, 86'400'000);
    const CivilDate date = civilFromDays(days);
    const std::int64_t seconds = ms / 1000;
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %d %02d:%02d:%02d %lld %d", kWeekdayNames[floorMod(days + 4, 7)],
                  kMonthNames[date.month - 1], date.day, static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                  static_cast<long long>(date.year), static_cast<int>(ms % 1000));
    return text;
}

// ---------------------------------------------------------------------------
// The Sun on the date: apparent radius and declination from the low-precision
// solar coordinates (good to a fraction of an arcminute).

struct SunOnDate {
    double radiusArcsec;
    double declinationDeg;
};

SunOnDate sunOnDate(int year, int month, int day) {
    const double n = static_cast<double>(daysFromCivil(year, month, day) - daysFromCivil(2000, 1, 1));
    const double g = std::fmod(357.528 + 0.9856003 * n, 360.0) * kDegree;
    const double meanLongitude = std::fmod(280.460 + 0.9856474 * n, 360.0);
    const double lambda = (meanLongitude + 1.915 * std::sin(g) + 0.020 * std::sin(2 * g)) * kDegree;
    const double epsilon = (23.439 - 0.0000004 * n) * kDegree;
    const double distance = 1.00014 - 0.01671 * std::cos(g) - 0.00014 * std::cos(2 * g);
    return {959.63 / distance, std::asin(std::sin(epsilon) * std::sin(lambda)) / kDegree};
}

// ---------------------------------------------------------------------------
// Channel models.

enum class ChannelKind { Unused, Normal, Dead, NoiseOnly };

struct OverflowEvent {
    std::int64_t frame;
    int block;
    int word;
    int value;
};

struct ChannelModel {
    ChannelKind kind = ChannelKind::Unused;
    double frequency = 0;               // GHz
    std::array<double, 2> reference{};  // blocks 1 and 3
    std::array<double, 2> quiet{};      // quiet sky above the reference, blocks 0 and 2
    std::array<double, 2> amplitude{};  // the Sun's centre above the quiet level, blocks 0 and 2
    std::vector<double> profile;        // normalised response by |offset|, every profileStep arcsec
    double profileStep = 1;
};

int channelWord(int channel) { return 11 + 5 * ((channel - 1) / 4) + (channel - 1) % 4; }

bool contains(const std::vector<int>& list, int value) { return std::binary_search(list.begin(), list.end(), value); }

// Solar amplitude in counts before the per-pair gain: grows with frequency and
// stays below the overflow bound up to gain step 2 (with steps 3 and 4 the
// brightest samples saturate).
double solarAmplitude(double frequency) { return 200.0 + 30.0 * std::min(frequency, 30.0); }

// Half-power beam width in arcsec: diffraction plus a fixed part.
double beamWidth(double frequency) { return 282.0 / frequency + 12.0; }

// The drift-scan response to a uniform disc of `radius` seen with a circular
// Gaussian beam of half-power width `fwhm`, by offset from the disc centre,
// normalised to 1 at the centre. Across the scan the beam integrates each
// chord of the disc: h(u) = erf(chord(u) / (sigma * sqrt 2)); along the scan
// h is convolved with the beam.
std::vector<double> beamSmoothedDisc(double radius, double fwhm, double& step) {
    const double sigma = fwhm / 2.3548200450309493;
    step = std::min(sigma / 5.0, 2.0);
    const int kernelHalf = static_cast<int>(std::ceil(6.0 * sigma / step));
    const int discHalf = static_cast<int>(std::ceil(radius / step));
    std::vector<double> chord(static_cast<std::size_t>(discHalf) + 1);
    for (int j = 0; j <= discHalf; ++j) {
        const double u = j * step;
        const double c2 = radius * radius - u * u;
        chord[static_cast<std::size_t>(j)] = c2 > 0 ? std::erf(std::sqrt(c2) / (sigma * std::sqrt(2.0))) : 0.0;
    }
    std::vector<double> kernel(static_cast<std::size_t>(kernelHalf) + 1);
    for (int k = 0; k <= kernelHalf; ++k) {
        const double x = k * step / sigma;
        kernel[static_cast<std::size_t>(k)] = std::exp(-0.5 * x * x);
    }
    const int size = discHalf + kernelHalf + 2;
    std::vector<double> profile(static_cast<std::size_t>(size), 0.0);
    for (int i = 0; i < size - 1; ++i) {
        double sum = 0;
        for (int j = std::max(-discHalf, i - kernelHalf); j <= std::min(discHalf, i + kernelHalf); ++j) {
            sum += chord[static_cast<std::size_t>(std::abs(j))] * kernel[static_cast<std::size_t>(std::abs(i - j))];
        }
        profile[static_cast<std::size_t>(i)] = sum;
    }
    if (profile[0] > 0) {
        const double peak = profile[0];
        for (double& p : profile) p /= peak;
    }
    return profile;
}

double profileAt(const ChannelModel& model, double offset) {
    const double x = std::fabs(offset) / model.profileStep;
    if (!(x < static_cast<double>(model.profile.size() - 1))) return 0.0;
    const auto i = static_cast<std::size_t>(x);
    const double frac = x - static_cast<double>(i);
    return model.profile[i] + (model.profile[i + 1] - model.profile[i]) * frac;
}

// Models of channels 1..56 (index channel - 1) and the injected overflows.
// Each channel draws its parameters from its own stream, so the choice of the
// other channels does not change them.
std::vector<ChannelModel> channelModels(const VekgenOptions& options, const SunOnDate& sun,
                                        std::vector<OverflowEvent>* overflows) {
    std::vector<ChannelModel> models(kChannelCount);
    const std::vector<double> frequencies = channelFrequencies(options);
    for (std::size_t k = 0; k < options.channels.size(); ++k) {
        const int channel = options.channels[k];
        ChannelModel& m = models[static_cast<std::size_t>(channel - 1)];
        Random random(streamSeed(options.seed, kChannelStreamBase + static_cast<std::uint64_t>(channel)));
        m.frequency = frequencies[k];
        m.kind = contains(options.dead, channel)        ? ChannelKind::Dead
                 : contains(options.noiseOnly, channel) ? ChannelKind::NoiseOnly
                                                        : ChannelKind::Normal;
        for (int pair = 0; pair < 2; ++pair) {
            const auto p = static_cast<std::size_t>(pair);
            m.reference[p] = random.uniform(150.0, 400.0);
            m.quiet[p] = random.uniform(40.0, 120.0);
            const double gain = random.uniform(0.85, 1.15);
            m.amplitude[p] = m.kind == ChannelKind::Normal ? gain * solarAmplitude(m.frequency) : 0.0;
        }
        if (m.kind == ChannelKind::Normal) {
            m.profile = beamSmoothedDisc(sun.radiusArcsec, beamWidth(m.frequency), m.profileStep);
        }
        if (overflows && contains(options.overflow, channel)) {
            const std::int64_t count = random.integer(1, 3);
            for (std::int64_t i = 0; i < count; ++i) {
                OverflowEvent e{};
                e.frame = random.integer(0, options.frames - 1);
                e.block = static_cast<int>(random.integer(0, 3));
                e.word = channelWord(channel);
                e.value = static_cast<int>(random.integer(kOverflowBound + 1, 9999)) * (random.bits() & 1 ? -1 : 1);
                overflows->push_back(e);
            }
        }
    }
    return models;
}

// ---------------------------------------------------------------------------
// Header.

int startMilliseconds(const VekgenOptions& options) {
    Random random(streamSeed(options.seed, kHeaderStream));
    return static_cast<int>(random.integer(0, 999));
}

std::int64_t startSecondOfDay(const VekgenOptions& options) {
    return options.startHour * 3600LL + options.startMinute * 60LL + options.startSecond;
}

// A zero-terminated text in a field of `field` bytes, cut to fit; the bytes
// after the terminator stay as they are.
void putText(std::vector<unsigned char>& bytes, std::size_t offset, std::size_t field, const std::string& text) {
    const std::size_t length = std::min(text.size(), field - 1);
    std::memcpy(&bytes[offset], text.data(), length);
    bytes[offset + length] = 0;
}

void putPadded(std::vector<unsigned char>& bytes, std::size_t offset, std::size_t field, const std::string& text) {
    std::memset(&bytes[offset], ' ', field);
    std::memcpy(&bytes[offset], text.data(), std::min(text.size(), field));
}

void putUint32(std::vector<unsigned char>& bytes, std::size_t offset, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void putWord(unsigned char* block, int word, int value) {
    const auto u = static_cast<std::uint16_t>(value);
    block[2 * word] = static_cast<unsigned char>(u & 0xFF);
    block[2 * word + 1] = static_cast<unsigned char>(u >> 8);
}

// ---------------------------------------------------------------------------
// Command line.

template <typename T>
bool parseInteger(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end && !text.empty();
}

bool parseReal(const std::string& text, double& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end && !text.empty() && std::isfinite(value);
}

bool parseTwoDigits(const std::string& text, std::size_t at, int& value) {
    if (at + 2 > text.size() || text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9')
        return false;
    value = (text[at] - '0') * 10 + (text[at + 1] - '0');
    return true;
}

bool parseDate(const std::string& text, VekgenOptions& o) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    int year = 0;
    if (!parseInteger(text.substr(0, 4), year) || year < 1000) return false;
    int month = 0, day = 0;
    if (!parseTwoDigits(text, 5, month) || !parseTwoDigits(text, 8, day)) return false;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
    o.year = year;
    o.month = month;
    o.day = day;
    return true;
}

bool parseClock(const std::string& text, VekgenOptions& o) {
    int h = 0, m = 0, s = 0;
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
    if (!parseTwoDigits(text, 0, h) || !parseTwoDigits(text, 3, m) || !parseTwoDigits(text, 6, s)) return false;
    if (h > 23 || m > 59 || s > 59) return false;
    o.startHour = h;
    o.startMinute = m;
    o.startSecond = s;
    return true;
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

bool parseGainSteps(const std::string& text, std::vector<GainStep>& steps) {
    std::vector<GainStep> parsed;
    for (const std::string& item : splitCommas(text)) {
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) return false;
        GainStep s;
        if (!parseInteger(item.substr(0, colon), s.frame) || !parseInteger(item.substr(colon + 1), s.step) ||
            s.frame < 0 || s.step < 0 || s.step > 4) {
            return false;
        }
        parsed.push_back(s);
    }
    std::sort(parsed.begin(), parsed.end(), [](const GainStep& a, const GainStep& b) { return a.frame < b.frame; });
    for (std::size_t i = 1; i < parsed.size(); ++i) {
        if (parsed[i].frame == parsed[i - 1].frame) return false;
    }
    steps = parsed;
    return true;
}

bool isSubset(const std::vector<int>& part, const std::vector<int>& whole) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

bool intersects(const std::vector<int>& a, const std::vector<int>& b) {
    for (int v : a) {
        if (contains(b, v)) return true;
    }
    return false;
}

// The options that take a value: name, what a valid value is, and the parse
// into the options (false when the value does not parse or is out of range).
struct ValuedOption {
    const char* name;
    const char* valid;
    bool (*apply)(const std::string& value, VekgenOptions& o);
};

using Text = const std::string&;
using Opts = VekgenOptions&;

const ValuedOption kValuedOptions[] = {
    {"seed", "a whole number, 0 or more", [](Text v, Opts o) { return parseInteger(v, o.seed); }},
    {"frames", "1 to 10000000 frames",
     [](Text v, Opts o) { return parseInteger(v, o.frames) && o.frames >= 1 && o.frames <= kMaxFrames; }},
    {"dspdt", "seconds, above 0 and at most 10",
     [](Text v, Opts o) { return parseReal(v, o.dspdt) && o.dspdt > 0 && o.dspdt <= 10; }},
    {"channels", "channels 1 to 56, e.g. 1-12,20", [](Text v, Opts o) { return parseChannelList(v, o.channels); }},
    {"fmin", "0.01 to 100 GHz",
     [](Text v, Opts o) { return parseReal(v, o.fminGHz) && o.fminGHz >= 0.01 && o.fminGHz <= 100; }},
    {"fmax", "0.01 to 100 GHz",
     [](Text v, Opts o) { return parseReal(v, o.fmaxGHz) && o.fmaxGHz >= 0.01 && o.fmaxGHz <= 100; }},
    {"date", "YYYY-MM-DD, a real date, year 1000 or later", [](Text v, Opts o) { return parseDate(v, o); }},
    {"start", "HH:MM:SS", [](Text v, Opts o) { return parseClock(v, o); }},
    {"crossing", "seconds after the start, fractions allowed, at most 1000000 either way",
     [](Text v, Opts o) {
         double seconds = 0;
         if (!parseReal(v, seconds) || std::fabs(seconds) > 1'000'000) return false;
         o.crossingSeconds = seconds;
         return true;
     }},
    {"object", "1 to 15 characters",
     [](Text v, Opts o) {
         o.object = v;
         return !v.empty() && v.size() <= 15;
     }},
    {"azimuth", "whole degrees, -360 to 360",
     [](Text v, Opts o) { return parseInteger(v, o.azimuth) && o.azimuth >= -360 && o.azimuth <= 360; }},
    {"altitude", "-90 to 90 degrees",
     [](Text v, Opts o) { return parseReal(v, o.altitude) && std::fabs(o.altitude) <= 90; }},
    {"noise", "0 to 1000 counts",
     [](Text v, Opts o) { return parseReal(v, o.noiseSigma) && o.noiseSigma >= 0 && o.noiseSigma <= 1000; }},
    {"dead", "channels 1 to 56, e.g. 3,7-9", [](Text v, Opts o) { return parseChannelList(v, o.dead); }},
    {"noise-only", "channels 1 to 56, e.g. 3,7-9", [](Text v, Opts o) { return parseChannelList(v, o.noiseOnly); }},
    {"overflow", "channels 1 to 56, e.g. 3,7-9", [](Text v, Opts o) { return parseChannelList(v, o.overflow); }},
    {"gain-step", "FRAME:N[,FRAME:N...] with N 0 to 4 and distinct frames",
     [](Text v, Opts o) { return parseGainSteps(v, o.gainSteps); }},
    {"step-words", "status words 83 to 90, e.g. 84,86-88",
     [](Text v, Opts o) { return parseStatusWordList(v, o.stepWords); }},
};

// Whether --name is an option that needs a value.
bool takesValue(const std::string& name) {
    for (const ValuedOption& option : kValuedOptions) {
        if (name == option.name) return true;
    }
    return false;
}

// Applies one --name[=value] option; returns an error text, empty when fine.
std::string applyOption(const std::string& name, bool hasValue, const std::string& value, VekgenOptions& o) {
    if (name == "packed-altitude") {
        if (hasValue) return "option --packed-altitude takes no value";
        o.packedAltitude = true;
        return {};
    }
    if (name == "coef") {
        if (hasValue && value.empty()) return "option --coef= needs a path";
        o.writeCoefficients = true;
        o.coefficientPath = hasValue ? value : std::string();
        return {};
    }
    for (const ValuedOption& option : kValuedOptions) {
        if (name != option.name) continue;
        if (!hasValue) return "option --" + name + " needs a value (--" + name + "=VALUE or --" + name + " VALUE)";
        if (!option.apply(value, o)) return "invalid value '" + value + "' for --" + name + " (" + option.valid + ")";
        return {};
    }
    return "unknown option --" + name;
}

std::string checkOptions(const VekgenOptions& o) {
    if (!isSubset(o.dead, o.channels)) return "--dead names a channel that is not in --channels";
    if (!isSubset(o.noiseOnly, o.channels)) return "--noise-only names a channel that is not in --channels";
    if (!isSubset(o.overflow, o.channels)) return "--overflow names a channel that is not in --channels";
    if (intersects(o.dead, o.noiseOnly) || intersects(o.dead, o.overflow))
        return "a --dead channel cannot also be --noise-only or --overflow";
    if (o.packedAltitude && o.altitude < 0) return "--packed-altitude needs an altitude of 0 or more";
    if (!o.gainSteps.empty() && o.gainSteps.back().frame >= o.frames)
        return "--gain-step frame " + std::to_string(o.gainSteps.back().frame) + " lies beyond the last frame";
    return {};
}

bool writeText(const std::string& path, const std::string& text, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

std::string normalPath(const std::string& path) { return std::filesystem::path(path).lexically_normal().string(); }

// Fills the frames of a recording one after another, in frame order (the
// random streams advance frame by frame, so the frames must be filled in
// order from frame 0).
class FrameSynthesizer {
public:
    explicit FrameSynthesizer(const VekgenOptions& options)
        : options_(options),
          sun_(sunOnDate(options.year, options.month, options.day)),
          models_(channelModels(options, sun_, &overflows_)),
          noise_(streamSeed(options.seed, kNoiseStream)),
          filler_(streamSeed(options.seed, kFillerStream)),
          drift_(15.0 * std::cos(sun_.declinationDeg * kDegree)),
          crossingTime_(crossingSecondsOf(options) - startMilliseconds(options) / 1000.0) {
        std::sort(overflows_.begin(), overflows_.end(),
                  [](const OverflowEvent& a, const OverflowEvent& b) { return a.frame < b.frame; });
        // Step 0 is code 0; step N gives words 83, 84, ... 90 the codes
        // 0x0N03, 0x0N05, ... 0x0N11.
        for (std::size_t n = 1; n < codes_.size(); ++n) {
            for (std::size_t w = 0; w < kStatusWordCount; ++w) codes_[n][w] = static_cast<int>((n << 8) | (3 + 2 * w));
        }
        for (const int word : options.stepWords) steps_[static_cast<std::size_t>(word - kFirstStatusWord)] = true;
        // Dead channels hold their quiet levels, without noise or gain.
        for (std::size_t c = 0; c < models_.size(); ++c) {
            for (std::size_t block = 0; block < 4; ++block) {
                const ChannelModel& m = models_[c];
                const double level = m.reference[block / 2] + (block % 2 == 0 ? m.quiet[block / 2] : 0.0);
                deadLevels_[c][block] = static_cast<int>(std::floor(level + 0.5));
            }
        }
    }

    // Writes the 752 bytes of frame `f` (the next frame in order) to `frame`.
    void fill(std::int64_t f, unsigned char* frame) {
        while (nextStep_ < options_.gainSteps.size() && options_.gainSteps[nextStep_].frame <= f) {
            step_ = static_cast<std::size_t>(options_.gainSteps[nextStep_++].step);
        }
        const double stepScale = static_cast<double>(1 << step_);
        // The Sun's centre moves across the beam at `drift_` arcsec per second.
        const double offset = drift_ * (static_cast<double>(f) * options_.dspdt - crossingTime_);
        std::array<double, kChannelCount> sunLevel{};
        for (std::size_t c = 0; c < models_.size(); ++c) {
            if (models_[c].kind == ChannelKind::Normal) sunLevel[c] = profileAt(models_[c], offset);
        }
        for (int block = 0; block < 4; ++block) {
            unsigned char* b = frame + static_cast<std::size_t>(block) * kBlockBytes;
            for (std::size_t w = 0; w < kFillerWords.size(); w += 4) {
                const std::uint64_t r = filler_.bits();
                for (std::size_t j = 0; j < 4 && w + j < kFillerWords.size(); ++j) {
                    putWord(b, kFillerWords[w + j], static_cast<int>((r >> (16 * j)) & 0xFFFF));
                }
            }
            for (std::size_t w = 0; w < kStatusWordCount; ++w) {
                putWord(b, kFirstStatusWord + static_cast<int>(w), codes_[steps_[w] ? step_ : 0][w]);
            }
            const auto pair = static_cast<std::size_t>(block / 2);
            const bool signal = block % 2 == 0;  // blocks 1 and 3 are the references
            for (std::size_t c = 0; c < models_.size(); ++c) {
                const double z = noise_.gaussian();  // drawn for every channel: the lists do not shift the noise
                const ChannelModel& m = models_[c];
                int value = deadLevels_[c][static_cast<std::size_t>(block)];
                if (m.kind != ChannelKind::Dead) {
                    // Word position p is served by status word 83 + p / 10.
                    const auto statusWord = static_cast<std::size_t>(channelWord(static_cast<int>(c) + 1) / 10);
                    const double scale = steps_[statusWord] ? stepScale : 1.0;
                    double level = m.reference[pair] + options_.noiseSigma * z;
                    if (signal) level += m.quiet[pair] + m.amplitude[pair] * sunLevel[c];
                    value = static_cast<int>(
                        std::clamp(std::floor(level * scale + 0.5), -double(kOverflowBound), double(kOverflowBound)));
                }
                putWord(b, channelWord(static_cast<int>(c) + 1), value);
            }
        }
        for (; nextOverflow_ < overflows_.size() && overflows_[nextOverflow_].frame == f; ++nextOverflow_) {
            const OverflowEvent& e = overflows_[nextOverflow_];
            putWord(frame + static_cast<std::size_t>(e.block) * kBlockBytes, e.word, e.value);
        }
    }

private:
    const VekgenOptions& options_;
    SunOnDate sun_;
    std::vector<OverflowEvent> overflows_;
    std::vector<ChannelModel> models_;
    Random noise_, filler_;
    double drift_, crossingTime_;
    std::array<std::array<int, kStatusWordCount>, 5> codes_{};
    std::array<bool, kStatusWordCount> steps_{};  // which status words step
    std::array<std::array<int, 4>, kChannelCount> deadLevels_{};
    std::size_t nextStep_ = 0, nextOverflow_ = 0, step_ = 0;
};

}  // namespace

VekgenOptions::VekgenOptions() {
    for (int c = 1; c <= kChannelCount; ++c) channels.push_back(c);
    for (int w = 0; w < static_cast<int>(kStatusWordCount); ++w) stepWords.push_back(kFirstStatusWord + w);
}

namespace {

// A list of numbers and ranges a-b within [lowest, highest], ascending and
// without repeats; false for an empty item or a number out of range.
bool parseNumberList(const std::string& text, int lowest, int highest, std::vector<int>& numbers) {
    std::vector<int> list;
    for (const std::string& item : splitCommas(text)) {
        const std::size_t dash = item.find('-');
        int first = 0, last = 0;
        if (dash == std::string::npos) {
            if (!parseInteger(item, first)) return false;
            last = first;
        } else if (!parseInteger(item.substr(0, dash), first) || !parseInteger(item.substr(dash + 1), last)) {
            return false;
        }
        if (first < lowest || last > highest || first > last) return false;
        for (int c = first; c <= last; ++c) list.push_back(c);
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    numbers = list;
    return true;
}

}  // namespace

bool parseChannelList(const std::string& text, std::vector<int>& channels) {
    return parseNumberList(text, 1, kChannelCount, channels);
}

bool parseStatusWordList(const std::string& text, std::vector<int>& words) {
    return parseNumberList(text, kFirstStatusWord, kFirstStatusWord + static_cast<int>(kStatusWordCount) - 1, words);
}

std::string vekgenUsage() {
    return "Usage: vekgen [options] [--] RECORDING\n"
           "Writes a synthetic VEK recording of a solar drift scan to RECORDING and its\n"
           "channel configuration beside it (extension replaced by .cfg).\n"
           "An option's value follows '=' or comes as the next argument (--frames=3000\n"
           "or --frames 3000); '--' ends the options (for a RECORDING starting with '-').\n"
           "Options:\n"
           "  --seed=N             random seed, a whole number 0 or more (default 1);\n"
           "                       equal seeds give equal files\n"
           "  --frames=N           number of frames, 1 to 10000000 (default 78571, ten\n"
           "                       minutes at the default dspdt)\n"
           "  --dspdt=SECONDS      seconds per frame, above 0 and at most 10\n"
           "                       (default 0.0076365)\n"
           "  --channels=LIST      channels carried, 1 to 56, e.g. 1-12,20,30-33\n"
           "                       (default 1-56)\n"
           "  --fmin=GHZ           frequency of the first chosen channel in GHz, 0.01 to\n"
           "                       100 (default 1)\n"
           "  --fmax=GHZ           frequency of the last chosen channel in GHz, 0.01 to\n"
           "                       100 (default 25)\n"
           "  --date=YYYY-MM-DD    date of the recording start (default 2006-04-12)\n"
           "  --start=HH:MM:SS     local clock time of the recording start (default\n"
           "                       12:00:00); the milliseconds are random\n"
           "  --crossing=SECONDS   the Sun's centre crosses the beam at start + SECONDS,\n"
           "                       fractions allowed (305.5), negative before the start,\n"
           "                       at most 1000000 either way; written as the observation\n"
           "                       time to the nearest second (default: the middle of\n"
           "                       the recording, 300 for ten minutes); a crossing\n"
           "                       outside the recording is warned about\n"
           "  --object=TEXT        object name, 1 to 15 characters (default sun)\n"
           "  --azimuth=DEGREES    antenna azimuth, whole degrees -360 to 360 (default 0)\n"
           "  --altitude=DEGREES   antenna altitude, -90 to 90 (default 45.0)\n"
           "  --packed-altitude    write the altitude as DDMMSS.s (no value)\n"
           "  --noise=COUNTS       Gaussian noise per sample in counts, 0 to 1000\n"
           "                       (default 20)\n"
           "  --dead=LIST          channels with constant samples, e.g. 3,7-9\n"
           "  --noise-only=LIST    channels without the Sun, e.g. 3,7-9\n"
           "  --overflow=LIST      channels with one to three samples beyond +-8190\n"
           "  --gain-step=FRAME:N[,FRAME:N...]\n"
           "                       from frame FRAME (0-based, distinct) on the gain status\n"
           "                       words carry step N (0: code 0; 1-4: codes 0x0N03-0x0N11)\n"
           "                       and the samples are 2^N times the level; samples\n"
           "                       saturate at +-8190\n"
           "  --step-words=LIST    the status words that step, 83 to 90, e.g. 84,86\n"
           "                       (default 83-90); word 84 + k serves channels 8k+1 to\n"
           "                       8k+8, the others keep code 0 and their level\n"
           "  --coef[=PATH]        also write a coefficient table (default crab0coef.txt\n"
           "                       beside the recording); its PATH only after '='\n"
           "  --help, -h           show this text\n";
}

std::string configPathFor(const std::string& recordingPath) {
    std::filesystem::path p(recordingPath);
    p.replace_extension(".cfg");
    return p.string();
}

std::string coefficientPathFor(const VekgenOptions& options) {
    if (!options.coefficientPath.empty()) return options.coefficientPath;
    return (std::filesystem::path(options.recordingPath).parent_path() / "crab0coef.txt").string();
}

std::vector<double> channelFrequencies(const VekgenOptions& options) {
    std::vector<double> frequencies;
    const std::size_t count = options.channels.size();
    for (std::size_t k = 0; k < count; ++k) {
        const double t = count > 1 ? static_cast<double>(k) / static_cast<double>(count - 1) : 0.0;
        const double f = options.fminGHz + (options.fmaxGHz - options.fminGHz) * t;
        frequencies.push_back(std::round(f * 100.0) / 100.0);
    }
    return frequencies;
}

double packAltitude(double degrees) {
    const auto tenths = static_cast<std::int64_t>(std::llround(degrees * 36000.0));  // tenths of arcsec
    const std::int64_t d = tenths / 36000, m = tenths / 600 % 60, s = tenths % 600;
    return static_cast<double>(d * 10000 + m * 100) + static_cast<double>(s) / 10.0;
}

ParseResult parseVekgenArguments(const std::vector<std::string>& args) {
    ParseResult result;
    // First the words: options (with the values they take) and positional
    // arguments, so that --help wins over any error and "--" ends the options.
    struct Word {
        std::string name, value;
        bool hasValue = false;
    };
    std::vector<Word> options;
    std::vector<std::string> positional;
    bool help = false, optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded) {
            positional.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a.rfind("--", 0) == 0) {
            Word w;
            const std::size_t eq = a.find('=');
            w.name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            w.hasValue = eq != std::string::npos;
            if (w.hasValue) {
                w.value = a.substr(eq + 1);
            } else if (takesValue(w.name) && i + 1 < args.size()) {
                w.value = args[++i];  // "--frames 3000": the next argument, whatever it starts with
                w.hasValue = true;
            }
            options.push_back(w);
        } else if (a.size() > 1 && a[0] == '-') {
            Word w;
            w.name = a;  // no "--": reported as unknown when its turn comes
            options.push_back(w);
        } else {
            positional.push_back(a);
        }
    }
    if (help) {
        result.status = ParseStatus::Help;
        return result;
    }
    VekgenOptions& o = result.options;
    for (const Word& w : options) {
        std::string e = w.name.rfind("-", 0) == 0 ? "unknown option " + w.name : applyOption(w.name, w.hasValue, w.value, o);
        if (!e.empty()) {
            result.error = e;
            return result;
        }
    }
    if (positional.size() != 1 || positional[0].empty()) {
        result.error = positional.empty() ? "no RECORDING given" : "more than one RECORDING given";
        return result;
    }
    o.recordingPath = positional[0];
    if (std::string e = checkOptions(o); !e.empty()) {
        result.error = e;
        return result;
    }
    result.status = ParseStatus::Run;
    return result;
}

double crossingSecondsOf(const VekgenOptions& options) {
    if (options.crossingSeconds) return *options.crossingSeconds;
    const double first = startMilliseconds(options) / 1000.0;
    const double duration = static_cast<double>(options.frames) * options.dspdt;
    const double whole = std::round(duration / 2);
    if (whole >= first && whole <= first + duration) return whole;
    return first + duration / 2;
}

std::string crossingWarning(const VekgenOptions& options) {
    const double crossing = crossingSecondsOf(options);
    const double first = startMilliseconds(options) / 1000.0;
    const double end = first + static_cast<double>(options.frames) * options.dspdt;
    if (crossing >= first && crossing <= end) return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "warning: the Sun's centre crosses at start %+.10g s, outside the recording "
                  "(start +%.3f s to +%.3f s): it holds no crossing of the Sun",
                  crossing, first, end);
    return text;
}

std::vector<unsigned char> recordingHeader(const VekgenOptions& options) {
    Random random(streamSeed(options.seed, kHeaderStream));
    const auto ms = random.integer(0, 999);  // the same draw as startMilliseconds
    std::vector<unsigned char> header(kHeaderBytes);
    for (std::size_t i = 0; i < kHeaderBytes; i += 8) {
        const std::uint64_t r = random.bits();
        for (std::size_t j = 0; j < 8; ++j) header[i + j] = static_cast<unsigned char>(r >> (8 * j));
    }

    const std::int64_t startDay = daysFromCivil(options.year, options.month, options.day);
    const std::int64_t start = startSecondOfDay(options);
    // The field holds whole seconds: a fractional crossing to the nearest one.
    const auto wholeCrossing = static_cast<std::int64_t>(std::floor(crossingSecondsOf(options) + 0.5));
    const std::int64_t crossing = floorMod(start + wholeCrossing, 86400);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(crossing / 3600),
                  static_cast<int>(crossing / 60 % 60), static_cast<int>(crossing % 60));
    putText(header, 18, 16, text);
    putText(header, 34, 16, options.object);
    putUint32(header, 52, static_cast<std::uint32_t>(options.azimuth));
    const auto altitude =
        static_cast<float>(options.packedAltitude ? packAltitude(options.altitude) : options.altitude);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &altitude, sizeof bits);
    putUint32(header, 56, bits);
    putPadded(header, 2761, 32, "Samples: " + std::to_string(4 * options.frames));

    const std::int64_t startMs = start * 1000 + ms;
    const auto durationMs =
        static_cast<std::int64_t>(std::llround(static_cast<double>(options.frames) * options.dspdt * 1000.0));
    putPadded(header, 3072, 32, stampText(startDay, startMs + durationMs));
    putText(header, 4032, 32, stampText(startDay, startMs));
    return header;
}

std::string channelConfigText(const VekgenOptions& options) {
    std::string text = "chan freq use\n";
    const std::vector<double> frequencies = channelFrequencies(options);
    char line[64];
    for (std::size_t k = 0; k < options.channels.size(); ++k) {
        std::snprintf(line, sizeof line, "%d %.2f 1\n", options.channels[k], frequencies[k]);
        text += line;
    }
    return text;
}

std::string coefficientTableText(const VekgenOptions& options) {
    const SunOnDate sun = sunOnDate(options.year, options.month, options.day);
    VekgenOptions plain = options;  // amplitudes as if every channel carried the Sun
    plain.dead.clear();
    plain.noiseOnly.clear();
    plain.overflow.clear();
    const std::vector<ChannelModel> models = channelModels(plain, sun, nullptr);
    std::vector<std::pair<double, double>> rows;  // frequency, amplitude of blocks 0-1
    for (int channel : options.channels) {
        const ChannelModel& m = models[static_cast<std::size_t>(channel - 1)];
        rows.emplace_back(m.frequency, m.amplitude[0]);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    rows.erase(std::unique(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
               rows.end());

    const double solidAngle = std::numbers::pi * std::pow(sun.radiusArcsec / 206264.806, 2);
    std::string text = "freq tqsun kflux theta\n";
    char line[96];
    for (const auto& [f, amplitude] : rows) {
        // Quiet-Sun brightness temperature (Zirin et al. 1991) and the flux of
        // the disc in solar flux units (1e-22 W m^-2 Hz^-1).
        const double tqsun = 140077.0 * std::pow(f, -2.1) + 10880.0;
        const double hz = f * 1e9;
        const double flux = 2.0 * 1.380649e-23 * tqsun * hz * hz / (299792458.0 * 299792458.0) * solidAngle / 1e-22;
        std::snprintf(line, sizeof line, "%.2f %.0f %.5f %.2f\n", f, tqsun, flux / amplitude, 282.0 / f + 0.2);
        text += line;
    }
    return text;
}

bool writeRecording(const VekgenOptions& options, std::string& error) {
    const std::string& recordingPath = options.recordingPath;
    const std::string configPath = configPathFor(recordingPath);
    const std::string coefPath = coefficientPathFor(options);
    if (normalPath(configPath) == normalPath(recordingPath)) {
        error = "the recording '" + recordingPath +
                "' would be overwritten by its channel configuration; use another extension";
        return false;
    }
    if (options.writeCoefficients &&
        (normalPath(coefPath) == normalPath(recordingPath) || normalPath(coefPath) == normalPath(configPath))) {
        error = "the coefficient table '" + coefPath + "' would overwrite another output";
        return false;
    }

    std::FILE* file = std::fopen(recordingPath.c_str(), "wb");
    if (!file) {
        error = "cannot create '" + recordingPath + "': " + std::strerror(errno);
        return false;
    }
    // The file is written in pieces of kWriteBytes, each starting at a
    // multiple of kWriteBytes in the file: the system's file cache can then
    // hold it in large pages, as it does a file read from disk, and a
    // converter that maps the file pays little for mapping it.
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::vector<unsigned char> pending = recordingHeader(options);
    pending.reserve(kWriteBytes + kChunkFrames * kFrameBytes);
    bool written = true;
    auto writeWholePieces = [&](bool last) {
        std::size_t done = 0;
        while (written && (pending.size() - done >= kWriteBytes || (last && done < pending.size()))) {
            const std::size_t bytes = std::min(kWriteBytes, pending.size() - done);
            written = std::fwrite(pending.data() + done, 1, bytes, file) == bytes;
            done += bytes;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(done));
    };
    FrameSynthesizer synthesizer(options);
    for (std::int64_t first = 0; first < options.frames && written; first += kChunkFrames) {
        const std::int64_t count = std::min(kChunkFrames, options.frames - first);
        const std::size_t start = pending.size();
        pending.resize(start + static_cast<std::size_t>(count) * kFrameBytes);
        for (std::int64_t i = 0; i < count; ++i) {
            synthesizer.fill(first + i, pending.data() + start + static_cast<std::size_t>(i) * kFrameBytes);
        }
        writeWholePieces(false);
    }
    writeWholePieces(true);
    if (std::fclose(file) != 0 || !written) {
        error = "cannot write '" + recordingPath + "'";
        return false;
    }
    if (!writeText(configPath, channelConfigText(options), error)) return false;
    if (options.writeCoefficients && !writeText(coefPath, coefficientTableText(options), error)) return false;
    return true;
}

int runVekgen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const ParseResult parsed = parseVekgenArguments(args);
    if (parsed.status == ParseStatus::Help) {
        out << vekgenUsage();
        return 0;
    }
    if (parsed.status == ParseStatus::Error) {
        err << "vekgen: " << parsed.error << "\nTry 'vekgen --help' for the options.\n";
        return 2;
    }
    if (const std::string warning = crossingWarning(parsed.options); !warning.empty()) {
        err << "vekgen: " << warning << "\n";
    }
    std::string error;
    if (!writeRecording(parsed.options, error)) {
        err << "vekgen: " << error << "\n";
        return 2;
    }
    return 0;
}

}  // namespace vekgen
