#include "vekinfo/recording_info.h"


#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "astro/calendar.h"
#include "platform/files.h"
#include "recording/recording.h"
#include "recording/samples.h"

namespace vekinfo {

using namespace skanvert;

namespace {

// The two time stamp texts of the header, 32 bytes each.
constexpr std::size_t kStopStampOffset = 3072;
constexpr std::size_t kStartStampOffset = 4032;
constexpr std::size_t kStampLength = 32;
// Altitudes above this value are packed as DDMMSS.s.
constexpr float kPackedAltitude = 200.0f;
constexpr int kStatusWords = 8;  // words 83..90

// A stamp text as recorded: up to its zero, blanks and control characters
// trimmed at both ends.
std::string stampText(const unsigned char* header, std::size_t offset) {
    const char* p = reinterpret_cast<const char*>(header + offset);
    std::string text(p, strnlen(p, kStampLength));
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && blank(text[first])) ++first;
    return text.substr(first);
}

const char* headerFailureText(HeaderStatus status) {
    switch (status) {
        case HeaderStatus::NoStopStamp: return "no valid stop time stamp";
        case HeaderStatus::NoStartStamp: return "no valid start time stamp";
        case HeaderStatus::NoTimeOfObservation: return "no valid time of observation";
        case HeaderStatus::NoAltitude: return "no valid altitude";
        case HeaderStatus::Ok: break;
    }
    return "";
}

// Fills what the header parse delivered: each value only when the parse got
// past the step that checks it.
void takeHeader(const RecordingHeader& header, HeaderStatus status, RecordingInfo& info) {
    info.object = header.object;
    info.azimuth = header.azimuth;
    if (status == HeaderStatus::NoStopStamp) return;
    info.stopObs = header.stopObs;
    info.nsamples = header.nsamples;
    if (status == HeaderStatus::NoStartStamp) return;
    info.startObs = header.startObs;
    std::string date = header.dateObs;
    for (char& c : date) {
        if (c == '/') c = '-';
    }
    info.dateObs = date;
    info.duration = durationSeconds(header.startObs, header.stopObs);
    info.timeLocal = header.timeObsLocal;
    if (status == HeaderStatus::NoTimeOfObservation) return;
    RecordingHeader converted = header;
    applyUniversalTime(converted);
    info.timeUt = converted.timeObs;
    info.utHour = universalHour(header.year, dayNumber(header.year, header.month, header.day), header.localHour);
    if (status == HeaderStatus::NoAltitude) return;
    info.altitude = unpackedAltitude(header.altitude);
}

void appendHex(std::string& out, const char* prefix, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += prefix;
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

// The length of the valid UTF-8 sequence at text[i], or 0 when none starts
// there.
std::size_t utf8Sequence(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (at(i + 1) < low || at(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    }
    return length;
}

// A JSON string of a text: quotes and backslashes escaped, printable ASCII
// kept; other bytes as \u00XX, or, with `keepUtf8`, valid UTF-8 kept and the
// bytes outside it as \udcXX.
std::string jsonString(const std::string& text, bool keepUtf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c < 0x80 || !keepUtf8) {
            appendHex(out, "\\u00", c);
        } else if (const std::size_t n = utf8Sequence(text, i); n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        } else {
            appendHex(out, "\\udc", c);
        }
        ++i;
    }
    return out + '"';
}

std::string shortestReal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// The altitude as the converter's header card writes it ("%f").
std::string altitudeText(float altitude) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(altitude));
    return buffer;
}

// One value of each kind, as JSON and as CSV.
struct Field {
    std::string json, csv;
};

template <typename T>
Field integerField(const std::optional<T>& value) {
    if (!value) return {"null", ""};
    const std::string text = std::to_string(*value);
    return {text, text};
}

Field textField(const std::optional<std::string>& value, bool keepUtf8 = false) {
    if (!value) return {"null", ""};
    return {jsonString(*value, keepUtf8), *value};
}

std::string csvQuoted(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

constexpr const char* kFieldNames[] = {"path",        "ok",         "error",      "size",       "frames",
                                       "trailing_bytes", "object",  "time_local", "ut_hour",    "time_ut",
                                       "date_obs",    "start_stamp", "stop_stamp", "start_obs", "stop_obs",
                                       "azimuth",     "altitude",   "duration",   "nsamples",   "gain_words",
                                       "gain_changes"};

std::vector<Field> fields(const RecordingInfo& info) {
    std::vector<Field> f;
    f.push_back(textField(info.path, true));
    f.push_back(info.ok ? Field{"true", "1"} : Field{"false", "0"});
    f.push_back(info.ok ? Field{"null", ""} : textField(info.error));
    f.push_back(integerField(info.size));
    f.push_back(integerField(info.frames));
    f.push_back(integerField(info.trailingBytes));
    f.push_back(textField(info.object));
    f.push_back(textField(info.timeLocal));
    f.push_back(integerField(info.utHour));
    f.push_back(textField(info.timeUt));
    f.push_back(textField(info.dateObs));
    f.push_back(textField(info.startStamp));
    f.push_back(textField(info.stopStamp));
    f.push_back(textField(info.startObs));
    f.push_back(textField(info.stopObs));
    f.push_back(integerField(info.azimuth));
    if (info.altitude) {
        const std::string text = altitudeText(*info.altitude);
        f.push_back({text, text});
    } else {
        f.push_back({"null", ""});
    }
    if (info.duration) {
        const std::string text = shortestReal(*info.duration);
        f.push_back({text, text});
    } else {
        f.push_back({"null", ""});
    }
    f.push_back(integerField(info.nsamples));
    if (info.gainWords) {
        std::string json = "[", csv;
        for (std::size_t i = 0; i < info.gainWords->size(); ++i) {
            const std::string word = std::to_string((*info.gainWords)[i]);
            json += (i ? "," : "") + word;
            csv += (i ? ";" : "") + word;
        }
        f.push_back({json + "]", csv});
    } else {
        f.push_back({"null", ""});
    }
    f.push_back(integerField(info.gainChanges));
    return f;
}

}  // namespace

void scanImage(const unsigned char* image, std::int64_t frames, ImageScan& scan) {
    std::memcpy(scan.header, image, sizeof scan.header);
    scan.changedWords = 0;
    scan.changes = 0;
    constexpr std::size_t kStatusBytes = 2 * kStatusWords;
    const unsigned char* previous = image + kHeaderBytes + 2 * kFirstStatusWord;  // block 0 of frame 0
    for (std::int64_t f = 1; f < frames; ++f) {
        const unsigned char* current = previous + kFrameBytes;
        if (std::memcmp(current, previous, kStatusBytes) != 0) {
            ++scan.changes;
            for (int w = 0; w < kStatusWords; ++w) {
                if (std::memcmp(current + 2 * w, previous + 2 * w, 2) != 0) scan.changedWords |= 1u << w;
            }
        }
        previous = current;
    }
}

float unpackedAltitude(float headerAltitude) {
    if (!(headerAltitude > kPackedAltitude)) return headerAltitude;
    const double v = headerAltitude;
    const double degrees = std::trunc(v * 0.0001);
    const double minutes = std::trunc(v * 0.01 - 100 * degrees);
    const double seconds = v - 10000 * degrees - 100 * minutes;
    return static_cast<float>(degrees + seconds / 3600 + minutes / 60);
}

std::optional<double> durationSeconds(const std::string& startObs, const std::string& stopObs) {
    // The clock part and the milliseconds after the last '.'.
    struct Split {
        long double clock = 0;
        long long milliseconds = 0;
    };
    const auto split = [](const std::string& text) {
        const std::size_t dot = text.rfind('.');
        if (dot == std::string::npos) return Split{timeOfDaySeconds(text), 0};
        return Split{timeOfDaySeconds(text.substr(0, dot)), std::strtoll(text.c_str() + dot + 1, nullptr, 10)};
    };
    const Split start = split(startObs), stop = split(stopObs);
    // Differences taken part by part and rounded to microseconds, so that
    // stamps a whole number of milliseconds apart give that number exactly.
    const long double difference = (stop.clock - start.clock) +
                                   static_cast<long double>(stop.milliseconds - start.milliseconds) / 1000;
    const auto duration = static_cast<double>(std::round(difference * 1000000) / 1000000);
    if (!std::isfinite(duration)) return std::nullopt;
    return duration;
}

RecordingInfo inspectRecording(const std::string& path) {
    RecordingInfo info;
    info.path = path;
    // Opened without waiting, so that a named pipe is refused, not waited on.
    std::FILE* file = platform::openForReading(path);
    if (!file) {
        info.error = std::string("cannot open: ") + std::strerror(errno);
        return info;
    }
    std::int64_t size = -1;
    const platform::FileKind kind = platform::kindOf(file, size);
    if (kind == platform::FileKind::Directory || kind == platform::FileKind::Other) {
        info.error = "not a regular file";
        std::fclose(file);
        return info;
    }
    if (size < 0) size = platform::sizeBySeeking(file);  // the system did not tell it
    if (size >= 0) info.size = size;
    if (size >= 0 && size < kHeaderBytes) {
        info.error = "shorter than the 4096-byte header (" + std::to_string(size) + " bytes)";
        std::fclose(file);
        return info;
    }
    RecordingImage image;
    const ReadStatus read = readRecording(file, image);
    std::fclose(file);  // a mapping outlives the file
    switch (read) {
        case ReadStatus::Ok: break;
        case ReadStatus::SeekFailed: info.error = "cannot find its size"; return info;
        case ReadStatus::TooShort:  // shrunk since it was opened
            info.error = "shorter than the 4096-byte header";
            return info;
        case ReadStatus::ReadFailed: info.error = "cannot read the whole file"; return info;
    }

    info.size = image.size();
    const std::int64_t dataLength = image.size() - kHeaderBytes;
    info.frames = frameCount(dataLength);
    info.trailingBytes = dataLength - *info.frames * kFrameBytes;
    ImageScan scan;
    scanImage(image.data(), *info.frames, scan);
    // A mapped file cut short by another process meanwhile reads as zeros
    // beyond its new end: such a pass is not trusted.
    if (!image.intact()) {
        info.error = "shortened while being read";
        return info;
    }
    info.gainWords.emplace();
    for (int w = 0; w < kStatusWords; ++w) {
        if (scan.changedWords & (1u << w)) info.gainWords->push_back(kFirstStatusWord + w);
    }
    info.gainChanges = scan.changes;

    info.startStamp = stampText(scan.header, kStartStampOffset);
    info.stopStamp = stampText(scan.header, kStopStampOffset);
    RecordingHeader header;
    const HeaderStatus parsed = parseRecordingHeader(scan.header, header);
    takeHeader(header, parsed, info);
    info.ok = parsed == HeaderStatus::Ok;
    if (!info.ok) info.error = headerFailureText(parsed);
    return info;
}

std::string jsonLine(const RecordingInfo& info) {
    const std::vector<Field> values = fields(info);
    std::string line = "{";
    for (std::size_t i = 0; i < values.size() && i < std::size(kFieldNames); ++i) {
        if (i) line += ',';
        line += '"';
        line += kFieldNames[i];
        line += "\":";
        line += values[i].json;
    }
    return line + "}\n";
}

std::string csvHeading() {
    std::string line;
    for (const char* name : kFieldNames) {
        if (!line.empty()) line += ',';
        line += name;
    }
    return line + '\n';
}

std::string csvLine(const RecordingInfo& info) {
    const std::vector<Field> values = fields(info);
    std::string line;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) line += ',';
        line += csvQuoted(values[i].csv);
    }
    return line + '\n';
}

}  // namespace vekinfo
