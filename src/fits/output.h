// Assembly of the output FITS file: the primary header's cards, the image,
// the "Scan_params" binary-table extension and its rows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "astro/ephemeris.h"
#include "fits/fits_header.h"
#include "fits/mem_stream.h"
#include "platform/report.h"

namespace skanvert {

// The times of a scan in UT, for the standard layout's time keywords and its
// time axis. The recorder's clock runs `utcOffsetHours` ahead of UT on the
// start stamp's date; stop and crossing are counted from the start.
struct ScanTimes {
    bool known = false;            // false: the stamps give no time in years 1..9999
    std::int32_t startDay = 0;     // day number (MJD) of the start in UT
    double startSeconds = 0;       // start: seconds of that UT day, milliseconds
    double stopSeconds = 0;        // stop: seconds from the start day's UT midnight
    double crossingSeconds = 0;    // Sun-centre crossing: the same
    double pixelSeconds = 0;       // seconds from one pixel to the next (n x dspdt)
};

// scanTimes
//   Given: the start stamp's local date (month 1..13, as parsed), its clock
//          text with milliseconds, the stop stamp's clock text, the seconds
//          from the start to the Sun-centre crossing (the scan geometry's dt),
//          frames per pixel n (as the smoothing uses them) and the frame
//          time dspdt in seconds.
//   Returns: the times in UT: the start is the local date and clock less the
//          recorder's offset for that date (the summer-time rule of the
//          time-obs card); the stop is the stop clock on the start's date, or
//          on the next day when its clock is before the start's (a recording
//          is shorter than a day); the crossing is start + dt. A pixel of
//          recording order p (0 first) has the time start + p * n * dspdt, the
//          rule that puts the crossing on the Sun's centre pixel.
//   Notes: `known` is false when a clock text holds no finite time or a
//          time falls outside the years 1..9999.
ScanTimes scanTimes(int year, int month, int day, const std::string& startClock, const std::string& stopClock,
                    double crossingSeconds, int framesPerPixel, double frameSeconds);

// isoDateTime
//   Given: a day number (MJD) and seconds from its midnight (any sign or size).
//   Returns: "YYYY-MM-DDThh:mm:ss.sss", rounded to the millisecond; empty when
//          the time is not finite or falls outside the years 1..9999.
std::string isoDateTime(std::int32_t day, double seconds);

// The scan-wide values of the primary header and of every table row.
struct ScanCardValues {
    std::int32_t naxis1 = 0;
    std::string dateObs, timeObs, startObs, stopObs, object;
    std::int32_t nsamples = 0;
    SolarEphemeris ephemeris{};
    float azimuth = 0, altitude = 0, crpix1 = 0, cdelt1 = 0;
    int smooth = 0;  // the smoothing number as set, for the history card
    float dspdt = 0;
    int shift = 0;
    // The standard layout: mandatory keywords in the standard's order,
    // BSCALE and BZERO for physical values, world coordinates of every axis,
    // times in ISO 8601 UT and checksums.
    bool standardLayout = false;
    ScanTimes times{};  // the standard layout's times
    int flagIv = 1;     // FLAG_IV: 1, the two series are R and L; 0, I and V
};

// One row of the "Scan_params" table: a kept channel's frequency (GHz) and
// its calibration values.
struct ChannelRowValues {
    float frequency = 0;
    float tqsun = 0;
    float theta = 0;
    float kflux = 0;
};

// Bytes of one "Scan_params" row.
inline constexpr int kScanParamsRowBytes = 96;

// startHeaders: starts the primary list (empty extension) and the extension
// list ("BINTABLE").
void startHeaders(TFitsHdr& primary, TFitsHdr& extension);

// writeScanCards
//   Does: writes the scan-wide primary cards after the opening four: NAXIS
//         values (NAXIS3 as a placeholder 56), names, dates and times, sample
//         count, object, ephemeris, antenna and pixel geometry, flags, the
//         smoothing history, dspdt, shift and the comment that heads the
//         channel cards. In the standard layout the list is laid out anew:
//         SIMPLE, BITPIX, NAXIS, NAXIS1..3, EXTEND, BSCALE 0.01, BZERO 0,
//         BUNIT, then the same cards with CRPIX1 counted from 1 and CRVAL1,
//         CTYPE1 and CUNIT1 for the scan axis; CREATOR and VERS_SW; DATE-OBS
//         (= DATE-BEG), DATE-END and DATE-SUN (the Sun-centre crossing) as
//         ISO 8601 UT date-times with their MJD-OBS, MJD-BEG, MJD-END,
//         TIMESYS, DATEREF and MJDREF (the start's UT day); STOKES world
//         coordinates of axis 2 (RR, LL or I, V by FLAG_IV); and the
//         alternate description A: UT time on axis 1, in seconds from
//         DATEREF, running backwards as the pixels do, STOKES on axis 2.
//         Without known times DATE-OBS is the start's local date YYYY-MM-DD
//         and the time cards and description A are left out.
void writeScanCards(TFitsHdr& primary, const ScanCardValues& values);

// writeChannelCards: writes FREQnnn (GHz) and OVERnnn for the j-th accepted
// channel.
void writeChannelCards(TFitsHdr& primary, int j, float frequency, int overflow);

// scanParamsRow
//   Returns: the 96 bytes of the table row of one channel: the three texts
//          (at most 16 characters, zero-filled), then big-endian reals and
//          the two 16-bit flags.
std::array<unsigned char, kScanParamsRowBytes> scanParamsRow(const ScanCardValues& values, float frequency,
                                                             float tqsun, float theta, float kflux);

// writeFitsFile
//   Given: both header lists, the image, the table rows of the kept channels
//          in image order, the scan values, the input and channel
//          configuration paths, the output path, the debug flag and where to
//          report.
//   Does: sets NAXIS3 to the number of rows, renders the primary header and
//         writes header, image, extension header and rows, each unit filled
//         to 2880-byte blocks, into a file that takes the output path only
//         once every byte is written and the file closed (see PendingFile).
//         Reports the debug lines and the failure messages. In the standard
//         layout the primary header also gets axis 3's world coordinates (the
//         channel frequencies in Hz, FREQ-TAB, looked up in a third unit, the
//         binary table "WCS-TAB" after "Scan_params", so that readers which
//         take unit 1 for "Scan_params" keep working; no channel: a linear
//         FREQ axis and no third unit), and every unit DATASUM and CHECKSUM.
//   Returns: true when the file was written. False after "\nOutput FITS file
//          <%s> is the input file" or "... is the channel configuration" (an
//          input reached by any path, nothing written), "\nCan not open output
//          FITS file <%s>" (also for an existing output that may not be
//          written) or "\nCan not write output FITS file <%s>" (the
//          file being written removed, an existing output untouched). A file
//          that replaces an existing one takes over its permissions.
bool writeFitsFile(TFitsHdr& primary, TFitsHdr& extension, TMemStream& image,
                   const std::vector<ChannelRowValues>& rows, const ScanCardValues& values,
                   const std::string& inputPath, const std::string& channelsPath, const std::string& outputPath,
                   int debug, Report& report);

}  // namespace skanvert
