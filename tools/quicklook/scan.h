// What the quick look needs from one skanvert FITS file, read with cfitsio.
#pragma once

#include <string>
#include <vector>

namespace quicklook {

// A file that cannot be shown or a picture that cannot be written; the
// message is one line for the user.
struct QuicklookError {
    std::string message;
};

struct Scan {
    std::string path;
    bool standard = false;  // the standard layout (BSCALE present, CRPIX1 counted from 1)
    double bscale = 0.01;   // stored value times this is the value in ADC units
    long npix = 0;          // NAXIS1: pixels along the scan
    long nchan = 0;         // NAXIS3: accepted channels
    std::vector<float> values;  // channel-major: values[(c * 2 + s) * npix + p], ADC units
    std::vector<double> freqs;  // GHz per channel, NaN where the card is missing
    std::vector<bool> overflow;
    double crpix1 = 0.0;  // as written
    double crpix0 = 0.0;  // the Sun centre's pixel counted from 0
    double cdelt = 1.0;   // arcsec per pixel
    double solarR = 0.0;  // arcsec, 0 when unknown
    long tableRows = -1;  // rows of "Scan_params"
    std::string seriesNames[2] = {"R", "L"};
    std::string object, date, time, start, stop;

    // Purpose: one value. Given: channel c < nchan, series s < 2, pixel p < npix.
    float value(long c, int s, long p) const { return values[static_cast<size_t>((c * 2 + s) * npix + p)]; }
    // Purpose: the offset from the Sun's centre of pixel p, in arcsec.
    double offset(double p) const { return (p - crpix0) * cdelt; }
};

// Purpose: reads a skanvert FITS file of either layout.
// Given: the file's path.
// Returned: the scan; throws QuicklookError with "PATH: reason" when the file
//   cannot be read or is not a skanvert scan.
// Notes: a skanvert file is known by its cards (a 3-axis 32-bit image with
//   NAXIS2 = 2, DATANAME 'newvek' or ORIGIN 'VEK-64') and its "Scan_params"
//   table, wherever that stands among the extensions. The default layout
//   writes EXTEND before the NAXIS cards, which cfitsio refuses; the file is
//   then read from memory with that one card moved behind them.
Scan readScan(const std::string& path);

// Purpose: the recorder's local date of the recording's start, YYYY-MM-DD.
// Given: DATE-OBS and STARTOBS (the local start clock). Returned: for the
//   standard layout's DATE-OBS, the start as an ISO 8601 UT date-time, its
//   date, or the next day when the local start clock reads earlier than the
//   UT one (the recorder's clock runs 3 or 4 hours ahead of UT); the default
//   layout's DATE-OBS (already the local date) and any text that is no valid
//   date-time unchanged.
std::string recorderDate(const std::string& dateObs, const std::string& startLocal);

// Purpose: the UT date of the observation as YYYY-MM-DD.
// Given: DATE-OBS (YYYY/MM/DD or YYYY-MM-DD), TIME-OBS (UT), STARTOBS (local).
// Returned: DATE-OBS's day, the day before when the UT hour is later than
//   the local start hour (the recorder's clock runs ahead of UT); the date
//   with '/' as '-' when any text cannot be read.
std::string utDate(const std::string& date, const std::string& timeUt, const std::string& startLocal);

// Purpose: text drawn as it is: control characters and bytes that are not
//   UTF-8 become \xNN, so a file name of any bytes draws and prints safely.
std::string plainText(const std::string& text);

// Purpose: the one-screen text summary of a scan (lines ending in '\n').
std::string summaryText(const Scan& scan);

}  // namespace quicklook
