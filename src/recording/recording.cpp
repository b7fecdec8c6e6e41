#include "recording/recording.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "astro/calendar.h"
#include "platform/files.h"

namespace skanvert {

namespace {

// Header offsets of the texts and fields the conversion reads.
constexpr size_t kTimeField = 18;
constexpr size_t kObjectField = 34;
constexpr size_t kAzimuthField = 52;
constexpr size_t kAltitudeField = 56;
constexpr size_t kHeaderTextLength = 16;
constexpr size_t kSampleCountText = 2761;
constexpr size_t kStopStampText = 3072;
constexpr size_t kStartStampText = 4032;
constexpr size_t kStampTextLength = 32;

// A text field of the header: its bytes up to the first zero, at most `length`.
std::string headerText(const unsigned char* bytes, size_t offset, size_t length) {
    const char* p = reinterpret_cast<const char*>(bytes + offset);
    return std::string(p, strnlen(p, length));
}

std::uint32_t littleEndian32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The six items of a recorder time stamp.
struct TimeStamp {
    char weekday[kStampTextLength + 1] = {};
    char month[kStampTextLength + 1] = {};
    int day = 0;
    char time[kStampTextLength + 1] = {};
    int year = 0;
    int milliseconds = 0;
};

// The integer that "%d" matched in text[begin, end), saturated at the int
// range. sscanf itself may not store a number beyond that range, so the
// integer items of the header texts are matched with a suppressed "%*d"
// between two "%n" and converted here.
int matchedInt(const std::string& text, int begin, int end) {
    const std::string digits = text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
    const long long value = std::strtoll(digits.c_str(), nullptr, 10);  // saturates at the long long range
    return static_cast<int>(std::clamp<long long>(value, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()));
}

// Reads a stamp, "%s %s %d %s %d %d" or, with the milliseconds limited to
// three digits, "%s %s %d %s %d %3d"; true when all six items were read.
// The items are words of a text of at most 32 characters, so the buffers
// always hold them.
bool readTimeStamp(const std::string& text, bool threeDigitMilliseconds, TimeStamp& stamp) {
    int at[6] = {-1, -1, -1, -1, -1, -1};  // start and end of day, year, milliseconds
    const char* format =
        threeDigitMilliseconds ? "%s %s %n%*d%n %s %n%*d%n %n%*3d%n" : "%s %s %n%*d%n %s %n%*d%n %n%*d%n";
    const int words = std::sscanf(text.c_str(), format, stamp.weekday, stamp.month, &at[0], &at[1], stamp.time,
                                  &at[2], &at[3], &at[4], &at[5]);
    if (words != 3 || at[5] < 0) return false;
    stamp.day = matchedInt(text, at[0], at[1]);
    stamp.year = matchedInt(text, at[2], at[3]);
    stamp.milliseconds = matchedInt(text, at[4], at[5]);
    return true;
}

// Reads a leading "%d" from the text; false when none converts.
bool readLeadingInt(const std::string& text, int& value) {
    int begin = -1, end = -1;
    std::sscanf(text.c_str(), "%n%*d%n", &begin, &end);
    if (end < 0) return false;
    value = matchedInt(text, begin, end);
    return true;
}

std::string withMilliseconds(const char* time, int milliseconds) {
    char buffer[kStampTextLength + 32];
    std::snprintf(buffer, sizeof buffer, "%s.%03d", time, milliseconds);
    return buffer;
}

}  // namespace

void RecordingImage::release() {
    mapping_.release();
    buffer_.reset();
    data_ = nullptr;
    size_ = 0;
}

void RecordingImage::releaseInBackground() {
    mapping_.releaseInBackground();
    buffer_.reset();
    data_ = nullptr;
    size_ = 0;
}

ReadStatus readRecording(std::FILE* file, RecordingImage& image) {
    image.release();
    const std::int64_t size = platform::sizeBySeeking(file);
    if (size < 0) return ReadStatus::SeekFailed;
    if (size < kHeaderBytes) return ReadStatus::TooShort;
    // A directory opens and seeks on some systems but has no bytes to read.
    std::int64_t systemSize = -1;
    const platform::FileKind kind = platform::kindOf(file, systemSize);
    if (kind == platform::FileKind::Directory) return ReadStatus::ReadFailed;

    // A regular file of exactly the size found is mapped: no copy is made,
    // and the pages come straight from the system's file cache.
    if (kind == platform::FileKind::Regular && systemSize == size && image.mapping_.map(file, size)) {
        image.data_ = image.mapping_.data();
        image.size_ = size;
        return ReadStatus::Ok;
    }

    if (std::fseek(file, 0, SEEK_SET) != 0) return ReadStatus::SeekFailed;
    if (static_cast<std::uint64_t>(size) > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
    auto bytes = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(size));
    if (std::fread(bytes.get(), 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
        return ReadStatus::ReadFailed;
    }
    image.buffer_ = std::move(bytes);
    image.data_ = image.buffer_.get();
    image.size_ = size;
    return ReadStatus::Ok;
}

HeaderStatus parseRecordingHeader(const unsigned char* bytes, RecordingHeader& header) {
    const std::string timeField = headerText(bytes, kTimeField, kHeaderTextLength);
    header.object = headerText(bytes, kObjectField, kHeaderTextLength);
    header.azimuth = static_cast<std::int32_t>(littleEndian32(bytes + kAzimuthField));
    const std::uint32_t altitudeBits = littleEndian32(bytes + kAltitudeField);
    std::memcpy(&header.altitude, &altitudeBits, sizeof header.altitude);

    // Stop stamp: only its time and milliseconds are used.
    TimeStamp stop;
    if (!readTimeStamp(headerText(bytes, kStopStampText, kStampTextLength), false, stop) ||
        !clockTextFinite(stop.time)) {
        return HeaderStatus::NoStopStamp;
    }
    header.stopObs = withMilliseconds(stop.time, stop.milliseconds);

    // Sample count: a word, then the count.
    {
        const std::string text = headerText(bytes, kSampleCountText, kStampTextLength);
        char word[kStampTextLength + 1];
        int at[2] = {-1, -1};
        const bool read = std::sscanf(text.c_str(), "%s %n%*d%n", word, &at[0], &at[1]) == 1 && at[1] >= 0;
        header.nsamples = read ? matchedInt(text, at[0], at[1]) : 0;
    }

    // Start stamp: the date of the observation and the recording start.
    TimeStamp start;
    if (!readTimeStamp(headerText(bytes, kStartStampText, kStampTextLength), true, start) ||
        !clockTextFinite(start.time) || start.year < 1 || start.year > 9999 || start.day < 1 || start.day > 31) {
        return HeaderStatus::NoStartStamp;
    }
    header.year = start.year;
    header.month = monthNumber(start.month);
    header.day = start.day;
    header.startObs = withMilliseconds(start.time, start.milliseconds);
    char date[64];
    std::snprintf(date, sizeof date, "%04d/%02d/%02d", header.year, header.month, header.day);
    header.dateObs = date;

    // Time of observation: must begin with an hour.
    header.timeObsLocal = timeField;
    header.timeObs = timeField;
    if (!readLeadingInt(timeField, header.localHour) || header.localHour < 0 ||
        header.localHour > 99 || !clockTextFinite(timeField)) {
        return HeaderStatus::NoTimeOfObservation;
    }

    // Altitude: degrees, or DDMMSS.s above 200; either way it must give a
    // finite number of degrees that the header cards can hold.
    const float altitude = header.altitude;
    if (!std::isfinite(altitude) || (altitude > 200.0f && altitude >= 1e9f)) return HeaderStatus::NoAltitude;
    return HeaderStatus::Ok;
}

void applyUniversalTime(RecordingHeader& header) {
    const int hour = universalHour(header.year, dayNumber(header.year, header.month, header.day), header.localHour);
    char text[16];
    std::snprintf(text, sizeof text, "%02d", hour);
    const std::string& local = header.timeObsLocal;
    header.timeObs = text + local.substr(std::min<size_t>(2, local.size()));
}

std::string outputFileName(const std::string& inputName) {
    const size_t dot = inputName.rfind('.');
    if (dot == std::string::npos || dot == 0) return inputName + "1";
    return inputName.substr(0, dot + 1) + "fits";
}

}  // namespace skanvert
