// Fuzz target: the recording reader on arbitrary bytes of any length.
//
// Each input is used twice: as the whole recording file (read, header
// parsed, data area scanned), and as header fields separated by line feeds
// laid onto a small valid recording, so that short inputs reach the time
// texts. The input as a text also goes through the output name rule and
// the clock and month helpers.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "astro/calendar.h"
#include "astro/ephemeris.h"
#include "fuzz_support.h"
#include "recording/recording.h"
#include "recording/samples.h"

using namespace skanvert;

namespace {

std::string recordingPath;

// Everything the run takes from a file image that the reader accepted.
void useImage(const unsigned char* bytes, std::int64_t size) {
    RecordingHeader header;
    if (parseRecordingHeader(bytes, header) != HeaderStatus::Ok) return;
    if (header.year < 1 || header.year > 9999 || header.day < 1 || header.day > 31 || header.month < 1 ||
        header.month > 13 || header.localHour < 0 || header.localHour > 99) {
        fuzzsupport::finding("accepted header with a date or hour out of range");
    }
    const SolarEphemeris e = solarEphemeris(header.year, header.month, header.day);
    if (!std::isfinite(e.solar_r) || !std::isfinite(e.solar_p) || !std::isfinite(e.solar_b) ||
        !std::isfinite(e.sol_ra) || !std::isfinite(e.sol_dec)) {
        fuzzsupport::finding("non-finite ephemeris");
    }
    applyUniversalTime(header);
    // Local hours 0..99 give universal hours 0..96: always two digits.
    if (header.timeObs.size() < 2 || !std::isdigit(static_cast<unsigned char>(header.timeObs[0])) ||
        !std::isdigit(static_cast<unsigned char>(header.timeObs[1]))) {
        fuzzsupport::finding("universal hour is not two digits");
    }
    const long double offset = timeOfDaySeconds(header.timeObsLocal) - timeOfDaySeconds(header.startObs);
    if (!std::isfinite(static_cast<double>(offset))) {
        fuzzsupport::finding("non-finite time offset of an accepted header");
    }
    const SampleArea area{bytes + kHeaderBytes, size - kHeaderBytes, frameCount(size - kHeaderBytes) - 1};
    for (int word = 0; word < kVisitedSlots; ++word) channelOverflows(area.data, area.length, word);
    if (area.lastFrameIndex >= 0) {
        for (std::int64_t frame : {std::int64_t{-1}, std::int64_t{0}, area.lastFrameIndex, area.lastFrameIndex + 7}) {
            for (int block = 0; block < 4; ++block) gainScaledSample(area, frame, block, 79);
        }
    }
}

void readFile(const std::uint8_t* data, size_t size) {
    fuzzsupport::writeWholeFile(recordingPath, data, size);
    std::FILE* file = std::fopen(recordingPath.c_str(), "rb");
    if (!file) fuzzsupport::finding("cannot reopen the scratch recording");
    RecordingImage image;
    const ReadStatus status = readRecording(file, image);
    std::fclose(file);
    if ((status == ReadStatus::TooShort) != (size < kHeaderBytes)) fuzzsupport::finding("short-file test wrong");
    if (status == ReadStatus::Ok) {
        if (image.size() != static_cast<std::int64_t>(size)) fuzzsupport::finding("image size differs from file");
        useImage(image.data(), image.size());
        if (image.dataArea().lastFrameIndex != frameCount(image.size() - kHeaderBytes) - 1) {
            fuzzsupport::finding("frame clamp of the data area");
        }
    }
}

void overlayFields(const std::uint8_t* data, size_t size) {
    testsupport::RecordingBuilder recording = fuzzsupport::sunRecording(4);
    fuzzsupport::applyHeaderPieces(recording, fuzzsupport::splitAt(data, size, '\n', fuzzsupport::kHeaderPieces));
    // An exact-size copy, so that a read past the end is caught.
    const std::vector<unsigned char> bytes = recording.bytes();
    useImage(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

void textHelpers(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string name = outputFileName(text);
    const bool endsFits = name.size() >= 4 && name.compare(name.size() - 4, 4, "fits") == 0;
    if (!(endsFits || (!name.empty() && name.back() == '1')) || name.size() > text.size() + 4) {
        fuzzsupport::finding("output name breaks its rule");
    }
    timeOfDaySeconds(text);
    clockTextFinite(text);
    const int month = monthNumber(text);
    if (month < 1 || month > 13) fuzzsupport::finding("month number out of range");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceStdout();
    recordingPath = std::string(fuzzsupport::scratchFolder()) + "/scan.dat";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    readFile(data, size);
    overlayFields(data, size);
    textHelpers(data, size);
    return 0;
}
