// Reading a VEK recording: the whole file into memory, the values of its
// header, and the name of the output file derived from the input name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "recording/samples.h"

// The file image of one recording, read whole.
struct RecordingImage {
    std::unique_ptr<unsigned char[]> bytes;
    std::int64_t size = 0;

    // The data area after the header, with no frame clamp set yet.
    SampleArea dataArea() const {
        return SampleArea{bytes.get() + kHeaderBytes, size - kHeaderBytes, frameCount(size - kHeaderBytes) - 1};
    }
    void release() {
        bytes.reset();
        size = 0;
    }
};

enum class ReadStatus { Ok, SeekFailed, TooShort, ReadFailed, OutOfMemory };

// readRecording
//   Given: an open file (binary mode).
//   Does: finds the size by seeking to the end, seeks back and reads the
//         whole file into one buffer with one read. The file stays open.
//   Returns: Ok with `image` filled; SeekFailed when the size cannot be found;
//         TooShort for a file below the 4096-byte header; ReadFailed when the
//         read returns fewer bytes than the size (a directory, an I/O error);
//         OutOfMemory when the buffer cannot be allocated.
ReadStatus readRecording(std::FILE* file, RecordingImage& image);

// The values the rest of the run takes from the header.
struct RecordingHeader {
    std::string dateObs;       // "%04d/%02d/%02d" of the start stamp's date
    std::string timeObs;       // observation time, hour in universal time
    std::string timeObsLocal;  // observation time as recorded (local time)
    std::string startObs;      // start stamp time "%s.%03d" with milliseconds
    std::string stopObs;       // stop stamp time "%s.%03d" with milliseconds
    std::int32_t nsamples = 0;
    std::string object;
    std::int32_t azimuth = 0;
    float altitude = 0.0f;
    int year = 0, month = 0, day = 0;  // date of the start stamp, month 1..13
    int localHour = 0;                 // leading hour of the time field
};

enum class HeaderStatus { Ok, NoStopStamp, NoStartStamp, NoTimeOfObservation, NoAltitude };

// parseRecordingHeader
//   Given: the file image, at least 4096 bytes.
//   Does: reads the header record (date, time and object texts of at most 16
//         characters, azimuth, altitude), the stop stamp at 3072, the sample
//         count at 2761 and the start stamp at 4032 (each a 32-byte text), in
//         that order, and derives the texts above. `timeObs` is left as
//         recorded; applyUniversalTime converts it.
//   Returns: the first failure in reading order: a stop or start stamp with
//         fewer than six items or a non-finite time item, a start stamp whose
//         year lies outside 1..9999 or day outside 1..31; a time field whose
//         hour does not convert with "%d", lies outside 0..99, or whose parts
//         are not finite; an
//         altitude that is not finite or packed (above 200) with 1e9 or more.
//         A sample count that does not convert gives 0; a month name that
//         matches none gives month 13.
HeaderStatus parseRecordingHeader(const unsigned char* bytes, RecordingHeader& header);

// applyUniversalTime
//   Does: replaces the first two characters of `timeObs` by the universal
//         hour ("%02d") of the observation date and local hour. The date is
//         not changed when the hour wraps over midnight.
void applyUniversalTime(RecordingHeader& header);

// outputFileName
//   Given: the input file name as entered (without the input directory).
//   Returns: the name with everything after its last '.' (at the second
//          character or later) replaced by "fits"; a name without such a '.'
//          gets "1" appended (scan.dat -> scan.fits, scan -> scan1,
//          .hidden -> .hidden1, a.b.c -> a.b.fits).
std::string outputFileName(const std::string& inputName);
