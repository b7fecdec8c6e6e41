// vekgen: writes realistic synthetic VEK recordings of a solar drift scan,
// deterministic from a seed, together with their channel configuration and,
// on request, a coefficient table "crab0coef.txt".
//
// The model of one recording: the Sun, a uniform disc of the apparent solar
// radius of the date convolved with a Gaussian antenna beam whose width
// shrinks with frequency, drifts through the beam at 15 arcsec per second of
// time times cos(declination). Each chosen channel (1 to 56) carries in its
// word of every block a reference level (blocks 1 and 3), the reference plus
// a quiet-sky offset plus the Sun (blocks 0 and 2, with their own levels and
// gains per block pair), and Gaussian noise. Channels can be made dead
// (constant samples), noise-only (no Sun) or overflowing (a few samples beyond
// +-8190); the gain status words 83..90 can switch steps at chosen frames, the
// samples then carrying the level times 2^N so that the converter's factor
// 2^-N recovers it. Words the converter does not read hold random values.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace vekgen {

// From `frame` on every stepping gain status word carries a code of step
// `step` (0: code 0, factor 1; 1..4: 0x0N03..0x0N11, factor 2^-N).
struct GainStep {
    std::int64_t frame = 0;
    int step = 0;
};

// Everything one run of vekgen needs; the defaults are the default scan.
struct VekgenOptions {
    std::uint64_t seed = 1;
    std::int64_t frames = 78571;                           // ten minutes
    double dspdt = 0.0076365;                              // seconds per frame
    std::vector<int> channels;                             // ascending, unique, 1..56
    double fminGHz = 1.0, fmaxGHz = 25.0;                  // spread over `channels` in order
    int year = 2006, month = 4, day = 12;                  // date of the recording start
    int startHour = 12, startMinute = 0, startSecond = 0;  // local time
    std::optional<double> crossingSeconds;  // Sun's centre crosses at start + this; unset: crossingSecondsOf
    std::string object = "sun";
    std::int32_t azimuth = 0;
    double altitude = 45.0;
    bool packedAltitude = false;                 // write DDMMSS.s instead of degrees
    double noiseSigma = 20.0;                    // counts per sample
    std::vector<int> dead, noiseOnly, overflow;  // subsets of `channels`
    std::vector<GainStep> gainSteps;             // ascending frames
    std::vector<int> stepWords;                  // status words 83..90 that step, ascending
    bool writeCoefficients = false;
    std::string coefficientPath;  // empty: crab0coef.txt beside the recording
    std::string recordingPath;

    VekgenOptions();
};

enum class ParseStatus { Run, Help, Error };

struct ParseResult {
    ParseStatus status = ParseStatus::Error;
    VekgenOptions options;
    std::string error;  // one line, set for ParseStatus::Error
};

// parseVekgenArguments
//   Purpose: reads vekgen's command line into options.
//   Given: the arguments without the program's name.
//   Returns: Run with the checked options; Help when --help or -h appears;
//         Error with a one-line message for an unknown option, a value that
//         does not parse or lies out of range, a dead/noise-only/overflow
//         channel that is not among --channels, a dead channel also listed as
//         noise-only or overflowing, gain steps out of order or beyond the
//         recording, and a missing or second RECORDING.
//   Notes: an option with a value is given as --name=value or --name value
//         (the next argument, even one starting with '-', as getopt does);
//         --coef takes its optional path only as --coef=PATH and
//         --packed-altitude takes none. "--" ends the options: every later
//         argument is the RECORDING, and --help after it is a file name. A
//         later repetition overrides an earlier one. --crossing takes
//         fractional seconds.
ParseResult parseVekgenArguments(const std::vector<std::string>& args);

// vekgenUsage
//   Purpose: the --help text, one option per line, ending in a line feed.
std::string vekgenUsage();

// parseChannelList
//   Purpose: reads a channel list such as "1-12,20,30-33".
//   Given: the text; the list it fills.
//   Returns: true with the channels ascending and without repeats; false for
//         an empty list or item, a channel outside 1..56 or a range a-b with
//         a > b.
bool parseChannelList(const std::string& text, std::vector<int>& channels);

// configPathFor
//   Purpose: the channel configuration's path beside a recording.
//   Given: the recording's path.
//   Returns: the path with the file name's extension replaced by ".cfg", or
//         ".cfg" appended when it has none (scan.dat -> scan.cfg,
//         scan -> scan.cfg, dir.d/scan -> dir.d/scan.cfg).
std::string configPathFor(const std::string& recordingPath);

// coefficientPathFor
//   Purpose: where --coef writes the coefficient table.
//   Returns: the given --coef path, or crab0coef.txt in the recording's folder.
std::string coefficientPathFor(const VekgenOptions& options);

// channelFrequencies
//   Purpose: the frequency of each chosen channel, in the order of
//         options.channels.
//   Returns: GHz rounded to hundredths, spread evenly from fmin (first chosen
//         channel) to fmax (last); a single channel gets fmin.
std::vector<double> channelFrequencies(const VekgenOptions& options);

// parseStatusWordList
//   Purpose: reads a list of gain status words such as "84,86-88".
//   Given: the text; the list it fills.
//   Returns: true with the words ascending and without repeats; false for
//         an empty list or item, a word outside 83..90 or a range a-b with
//         a > b.
bool parseStatusWordList(const std::string& text, std::vector<int>& words);

// packAltitude
//   Purpose: the recorder's packed form of an altitude, DDMMSS.s.
//   Given: degrees, 0 or more.
//   Returns: DD*10000 + MM*100 + SS.s with the seconds rounded to tenths
//         (45.504166 gives 453015.0).
double packAltitude(double degrees);

// crossingSecondsOf
//   Purpose: when the Sun's centre crosses the beam, in seconds after the
//         start's whole second (the --start clock time).
//   Given: options (crossingSeconds set or not).
//   Returns: the explicit --crossing when given; else the middle of the
//         recording: half its duration (frames * dspdt) rounded to whole
//         seconds, so that the header's observation time is exact, or, when
//         that second lies outside the recording (shorter than about 3 s,
//         which starts at the start stamp's milliseconds), the exact middle
//         of the recording. The default scan gives 300.
double crossingSecondsOf(const VekgenOptions& options);

// crossingWarning
//   Purpose: tells a user whose recording will hold no crossing of the Sun.
//   Given: checked options.
//   Returns: a one-line warning when the Sun's centre crosses before the
//         first frame or after the end of the recording (the start stamp's
//         milliseconds plus frames * dspdt); empty when it crosses within.
std::string crossingWarning(const VekgenOptions& options);

// recordingHeader
//   Purpose: the 4096 header bytes of the recording.
//   Given: checked options.
//   Returns: random bytes, overwritten by: the time field (offset 18, the
//         local clock time of the crossing, "hh:mm:ss", a fractional
//         crossing rounded to the nearest second), the object (34), the
//         azimuth (int32 at 52), the altitude (float32 at 56, packed when
//         asked), the sample-count text "Samples: <4*frames>" (2761), the
//         stop stamp (3072) and the start stamp (4032), e.g.
//         "Wed Apr 12 12:00:00 2006 45"; texts are zero-terminated and
//         followed by random bytes, the 32-byte sample count and stop stamp
//         are padded with blanks.
//   Notes: the start's milliseconds (0..999) come from the seed; the stop
//         stamp is the start plus frames*dspdt and may fall on a later day.
std::vector<unsigned char> recordingHeader(const VekgenOptions& options);

// channelConfigText
//   Purpose: the channel configuration: the heading "chan freq use", then
//         one line "%d %.2f 1" per chosen channel.
std::string channelConfigText(const VekgenOptions& options);

// coefficientTableText
//   Purpose: the coefficient table: the heading "freq tqsun kflux theta",
//         then one row per distinct channel frequency, ascending: the
//         quiet-Sun brightness temperature (K), the quiet-Sun flux (sfu) per
//         count of the channel's solar amplitude, and the beam theta.
std::string coefficientTableText(const VekgenOptions& options);

// writeRecording
//   Purpose: writes the recording, its channel configuration and, when asked,
//         the coefficient table.
//   Given: checked options (from parseVekgenArguments or filled in code).
//   Returns: true on success; false with `error` set when a file cannot be
//         created or written, or when two of the outputs would share a path.
//   Notes: the frames are generated and written in chunks of a few megabytes.
bool writeRecording(const VekgenOptions& options, std::string& error);

// runVekgen
//   Purpose: the whole program: parse, then help or write.
//   Given: the arguments without the program's name; the streams for the help
//         text and for messages.
//   Returns: the exit status: 0 on success and for --help, 2 for a bad
//         command line or a failed write (one message on `err`).
//   Notes: a recording whose Sun's centre crosses outside it is still
//         written, with crossingWarning's line on `err` (status 0).
int runVekgen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vekgen
