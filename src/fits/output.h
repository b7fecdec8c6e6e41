// Assembly of the output FITS file: the primary header's cards, the image,
// the "Scan_params" binary-table extension and its rows.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "fits/fits_header.h"
#include "fits/mem_stream.h"
#include "tables/ini_file.h"

// The scan-wide values of the primary header and of every table row.
struct ScanCardValues {
    std::int32_t naxis1 = 0;
    std::string dateObs, timeObs, startObs, stopObs, object;
    std::int32_t nsamples = 0;
    double solar_r = 0, solar_p = 0, solar_b = 0, sol_ra = 0, sol_dec = 0;
    float azimuth = 0, altitude = 0, crpix1 = 0, cdelt1 = 0;
    int smooth = 0;  // the smoothing number as set, for the history card
    float dspdt = 0;
    int shift = 0;
    // The standard layout: mandatory keywords in the standard's order,
    // DATE-OBS as YYYY-MM-DD, BSCALE and BZERO for physical values.
    bool standardLayout = false;
};

// The per-channel calibration settings of the table rows.
struct CalibrationSource {
    const TIniFile* coefficients = nullptr;
    int coefficientCount = 0;  // 0: no coefficient table
    int flagTheta = 0;
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
//         then the same cards with DATE-OBS as YYYY-MM-DD, CRPIX1 counted
//         from 1, and CRVAL1, CTYPE1 and CUNIT1 for the scan axis.
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
//   Given: both header lists, the image, the number k of accepted channels,
//          the accepted slots and their frequencies, the scan values, the
//          calibration source, the input path, the output path, the debug
//          flag and a callback that releases the recording's bytes once the
//          image is written.
//   Does: sets NAXIS3, renders the primary header and writes header, image,
//         extension header and rows, each unit filled to 2880-byte blocks,
//         into a temporary file beside the output, which is renamed over the
//         output path only once every byte is written and the file closed.
//         Prints the debug lines and the failure messages.
//   Returns: true when the file was written. False after "\nOutput FITS file
//          <%s> is the input file" or "... is the channel configuration" (an
//          input reached by any path, nothing written), "\nCan not open output
//          FITS file <%s>" (also for an existing output that may not be
//          written) or "\nCan not write output FITS file <%s>" (the
//          temporary file removed, an existing output untouched). A file
//          that replaces an existing one takes over its permissions.
bool writeFitsFile(TFitsHdr& primary, TFitsHdr& extension, TMemStream& image, int accepted,
                   const std::array<bool, 256>& channelUsed, const float* slotFrequencies, int visitedSlots,
                   const ScanCardValues& values, const CalibrationSource& calibration,
                   const std::string& inputPath, const std::string& channelsPath,
                   const std::string& outputPath, int debug,
                   const std::function<void()>& releaseRecording);
