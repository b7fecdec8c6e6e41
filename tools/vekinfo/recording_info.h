// vekinfo: what one VEK recording says about itself, read with the
// converter's own recording reader, and its JSON Lines and CSV forms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recording/samples.h"

namespace vekinfo {

using namespace skanvert;

// Everything vekinfo reports of one recording. An empty optional is a value
// that is not known (the file could not be read that far).
struct RecordingInfo {
    std::string path;   // the argument as given
    bool ok = false;    // the header was read and parsed
    std::string error;  // one line when not ok
    std::optional<std::int64_t> size, frames, trailingBytes;
    std::optional<std::string> object, timeLocal;
    std::optional<int> utHour;
    std::optional<std::string> timeUt, dateObs, startStamp, stopStamp, startObs, stopObs;
    std::optional<std::int32_t> azimuth;
    std::optional<float> altitude;  // degrees, unpacked as the converter writes it
    std::optional<double> duration;
    std::optional<std::int32_t> nsamples;
    std::optional<std::vector<int>> gainWords;
    std::optional<std::int64_t> gainChanges;
};

// inspectRecording
//   Given: a path to a recording.
//   Does: opens it read-only (never blocking on a pipe, never creating or
//         changing anything), checks that it is a regular file, reads it with
//         the converter's reader, scans it (scanImage) and parses its header
//         exactly as a conversion does.
//   Returns: the info; ok=false with `error` set for a file that cannot be
//         opened or read, is not a regular file, is shorter than its header,
//         is shortened while it is read, or whose header a conversion would
//         reject. Fields read before the
//         failure stay filled: size and frames whenever the file was read,
//         the gain words whenever it holds its header, the header values
//         that the parse had reached.
RecordingInfo inspectRecording(const std::string& path);

// unpackedAltitude
//   Given: the header's altitude.
//   Returns: the altitude in degrees as the converter writes its ALTITUDE
//         card: values above 200 are unpacked from DDMMSS.s, others returned
//         unchanged.
float unpackedAltitude(float headerAltitude);

// ImageScan: what one pass over a file image gives: a copy of its header and
// the changes of the gain status words 83..90 of block 0, which the
// gain-step handling compares frame after frame.
struct ImageScan {
    unsigned char header[kHeaderBytes];
    unsigned changedWords = 0;  // bit w set: word 83 + w changes at least once
    std::int64_t changes = 0;   // frame boundaries at which one of them changes
};

// scanImage
//   Given: a file image of at least 4096 bytes (mapped or read) and the
//          number of whole frames after its header.
//   Does: copies the header and compares the status words of each frame
//         with those of the frame before, in one sequential pass with no
//         call to the system. (Whether a mapped image stayed whole under
//         the pass is the image's to tell: RecordingImage::intact.)
void scanImage(const unsigned char* image, std::int64_t frames, ImageScan& scan);

// durationSeconds
//   Given: the "HH:MM:SS.mmm" texts of the start and stop stamps.
//   Returns: stop minus start in seconds (negative when the stamps say so);
//         the clock part is read as the converter reads clock texts, the
//         milliseconds after the last '.' as an integer. Empty when the
//         result is not finite.
std::optional<double> durationSeconds(const std::string& startObs, const std::string& stopObs);

// jsonLine
//   Returns: the info as one JSON object and a line feed, fields in the
//         documented order, unknown values as null. Header texts keep
//         printable ASCII and write every other byte as \u00XX; the path
//         keeps valid UTF-8 and writes control characters as \u00XX and
//         bytes that are no UTF-8 as \udcXX (the escape by which Python
//         decodes file names, so os.fsencode gives the bytes back).
std::string jsonLine(const RecordingInfo& info);

// csvHeading / csvLine
//   Returns: the heading line (field names) or one row, each ending in a
//         line feed; fields that hold a comma, a quote, CR or LF are quoted
//         with inner quotes doubled, unknown values are empty, ok is 1 or 0,
//         the gain words are joined by ';'. Texts are the bytes as recorded.
std::string csvHeading();
std::string csvLine(const RecordingInfo& info);

}  // namespace vekinfo
