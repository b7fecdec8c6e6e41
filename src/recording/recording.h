// Reading a VEK recording: the whole file into memory, the values of its
// header, and the name of the output file derived from the input name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/mapping.h"
#include "recording/samples.h"

namespace skanvert {

enum class ReadStatus { Ok, SeekFailed, TooShort, ReadFailed };

// The file image of one recording: the whole file, mapped into memory where
// the system allows it and read into one buffer otherwise. Either way the
// bytes are one array in file order until release(). A mapped file that
// another process cuts short meanwhile reads as zeros beyond its new end,
// and the image is no longer intact().
class RecordingImage {
public:
    RecordingImage() = default;
    ~RecordingImage() { release(); }
    RecordingImage(const RecordingImage&) = delete;
    RecordingImage& operator=(const RecordingImage&) = delete;

    const unsigned char* data() const { return data_; }
    std::int64_t size() const { return size_; }

    // The data area after the header, its frame clamp at the last whole frame.
    SampleArea dataArea() const {
        return SampleArea{data_ + kHeaderBytes, size_ - kHeaderBytes, frameCount(size_ - kHeaderBytes) - 1};
    }
    // intact: false once the bytes may differ from the file's because the
    // file was cut below the size read (a mapping only; a buffer is always
    // intact). Asked after the bytes were read, it tells whether they can
    // be trusted.
    bool intact() const { return mapping_.intact(); }
    // release: gives the bytes back; data() is null and size() 0 after it.
    // Waits for a release begun in the background.
    void release();
    // releaseInBackground: as release(), but a mapping is given back by a
    // thread of its own (taking back a large mapping costs the system about
    // a millisecond per 50 MB), so that the run goes on meanwhile. Where no
    // thread can be had, the release is done at once.
    void releaseInBackground();

private:
    friend ReadStatus readRecording(std::FILE* file, RecordingImage& image);
    const unsigned char* data_ = nullptr;
    std::int64_t size_ = 0;
    platform::FileMapping mapping_;
    std::unique_ptr<unsigned char[]> buffer_;
};

// readRecording
//   Given: an open file (binary mode).
//   Does: finds the size by seeking to the end, then maps the whole file,
//         or, where it cannot be mapped, seeks back and reads it into one
//         buffer with one read. The file stays open; a mapping outlives it.
//   Returns: Ok with `image` filled; SeekFailed when the size cannot be found;
//         TooShort for a file below the 4096-byte header; ReadFailed when the
//         read returns fewer bytes than the size (a directory, an I/O error).
//         Throws std::bad_alloc when the buffer cannot be allocated.
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
//         matches none gives month 13. An integer item beyond the int range
//         reads as the nearest bound of that range.
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

}  // namespace skanvert
