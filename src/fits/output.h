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
    // DATE-OBS as YYYY-MM-DD, BSCALE and BZERO for physical values.
    bool standardLayout = false;
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
//   Given: both header lists, the image, the table rows of the kept channels
//          in image order, the scan values, the input and channel
//          configuration paths, the output path, the debug flag and where to
//          report.
//   Does: sets NAXIS3 to the number of rows, renders the primary header and
//         writes header, image, extension header and rows, each unit filled
//         to 2880-byte blocks, into a file that takes the output path only
//         once every byte is written and the file closed (see PendingFile).
//         Reports the debug lines and the failure messages.
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
