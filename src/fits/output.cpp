#include "fits/output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "astro/calendar.h"
#include "fits/checksum.h"
#include "platform/files.h"
#include "platform/pending_file.h"
#include "platform/report.h"

#ifndef SKANVERT_VERSION
#define SKANVERT_VERSION "unknown"
#endif

namespace skanvert {

namespace {

constexpr const char* kWriterComment = "Written by TFitsHdr (XRZ 2005)";

// Columns of the "Scan_params" table: name and format.
constexpr const char* kColumnNames[16] = {"date",  "time",    "object",  "freq",    "cdelt",   "crpix",
                                          "tqsun", "theta",   "kflux",   "solar_b", "solar_p", "solar_r",
                                          "azimuth", "altitude", "fiv",  "fcalibr"};
constexpr const char* kColumnFormats[16] = {"16A", "16A", "16A", "E", "E", "E", "E", "E",
                                            "E",   "E",   "E",   "E", "E", "E", "I", "I"};

// Byte offsets of the row's fields.
constexpr int kRowDate = 0, kRowTime = 16, kRowObject = 32, kRowFreq = 48, kRowCdelt = 52, kRowCrpix = 56,
              kRowTqsun = 60, kRowTheta = 64, kRowKflux = 68, kRowSolarB = 72, kRowSolarP = 76,
              kRowSolarR = 80, kRowAzimuth = 84, kRowAltitude = 88, kRowFiv = 92;
constexpr size_t kRowTextBytes = 16;

using Row = std::array<unsigned char, kScanParamsRowBytes>;

// A text column: at most 16 characters, zero bytes after them; characters
// outside printable ASCII are written as '?', as in the header cards.
void putText(Row& row, int offset, const std::string& text) {
    const size_t n = std::min(text.size(), kRowTextBytes);
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        row[static_cast<size_t>(offset) + i] = static_cast<unsigned char>(c < ' ' || c > '~' ? '?' : c);
    }
}

void putFloat(Row& row, int offset, float value) {
    const std::uint32_t stored = swapFloat32(value);
    std::memcpy(row.data() + offset, &stored, sizeof stored);
}

constexpr double kSecondsPerDay = 86400.0;
constexpr std::int32_t kUnixEpochDay = 40587;  // day number of 1970-01-01
// Day numbers of 0001-01-01 and 9999-12-31: the years an ISO text can hold.
constexpr std::int64_t kFirstIsoDay = -678575, kLastIsoDay = 2973483;

// The lookup table of the frequency axis: its unit name and column.
constexpr const char* kWcsTableName = "WCS-TAB";
constexpr const char* kWcsTableColumn = "COORDS";

// FITS polarisation codes of the first series: RR (-1, then LL -2) for R and
// L series, I (1, then V 4) for I and V.
struct StokesAxis {
    int first;
    int step;
};
StokesAxis stokesAxis(int flagIv) { return flagIv == 0 ? StokesAxis{1, 3} : StokesAxis{-1, -1}; }

// The civil date of a day number (days since 1970-01-01 shifted to MJD),
// by the proleptic Gregorian calendar.
void civilDate(std::int64_t mjd, int& year, int& month, int& day) {
    std::int64_t z = mjd - kUnixEpochDay + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// The frequency of a FREQnnn card in Hz: the card's six-decimal GHz text
// read back, so that the lookup table and the card agree to the digit.
double cardFrequencyHz(float gigahertz) {
    const std::string text = formatText("%f", static_cast<double>(gigahertz));
    return std::strtod(text.c_str(), nullptr) * 1e9;
}

void putDouble(unsigned char* out, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
}

// Zero bytes that fill a unit of `length` bytes to whole 2880-byte blocks.
std::int64_t fillBytes(std::int64_t length) {
    const std::int64_t rest = length % kFitsBlockBytes;
    return rest == 0 ? 0 : kFitsBlockBytes - rest;
}

// DATASUM and CHECKSUM (its placeholder) at the end of a unit's header.
void addChecksumCards(TFitsHdr& header, std::uint32_t dataSum) {
    header.SetString("DATASUM", formatText("%u", static_cast<unsigned>(dataSum)), "data unit checksum");
    header.SetString("CHECKSUM", kChecksumPlaceholder, "HDU checksum");
}

// Renders a header that holds the checksum cards and seals its CHECKSUM.
std::vector<char> renderSealed(TFitsHdr& header, std::uint32_t dataSum) {
    const int card = header.Find("CHECKSUM");
    std::vector<char> bytes = header.Render();
    sealChecksum(bytes, card, dataSum);
    return bytes;
}

// World coordinates of axis 3 in the primary header: the channels'
// frequencies in Hz looked up in the WCS-TAB unit; no channel, a linear axis.
void writeFrequencyAxis(TFitsHdr& primary, bool lookupTable) {
    primary.SetDouble("CRPIX3", 1.0);
    primary.SetDouble("CDELT3", 1.0);
    if (lookupTable) {
        primary.SetDouble("CRVAL3", 1.0, "first element of the lookup table");
        primary.SetString("CTYPE3", "FREQ-TAB", "channel frequencies, looked up");
        primary.SetString("CUNIT3", "Hz");
        primary.SetString("PS3_0", kWcsTableName, "EXTNAME of the lookup table");
        primary.SetString("PS3_1", kWcsTableColumn, "its column of frequencies");
        primary.SetInt("PV3_3", 1, "axis 3 is the table's first axis");
    } else {
        primary.SetDouble("CRVAL3", 0.0, "no channel");
        primary.SetString("CTYPE3", "FREQ");
        primary.SetString("CUNIT3", "Hz");
    }
}

// The WCS-TAB unit: one row, one column of the k frequencies (Hz) as an
// array of 1 x k coordinates, as the -TAB convention lays them out.
std::vector<unsigned char> frequencyTableRow(const std::vector<ChannelRowValues>& rows) {
    std::vector<unsigned char> bytes(rows.size() * 8);
    for (size_t j = 0; j < rows.size(); ++j) putDouble(bytes.data() + 8 * j, cardFrequencyHz(rows[j].frequency));
    return bytes;
}

void writeFrequencyTableHeader(TFitsHdr& table, std::int32_t count, std::uint32_t dataSum) {
    table.Start("BINTABLE");
    table.SetInt("NAXIS", 2);
    table.SetInt("NAXIS1", 8 * count, "Number of bytes per row");
    table.SetInt("NAXIS2", 1, "Number of rows");
    table.SetInt("PCOUNT", 0);
    table.SetInt("GCOUNT", 1);
    table.SetInt("TFIELDS", 1, "Number of columns in table");
    table.SetString("EXTNAME", kWcsTableName, "lookup table of the frequency axis");
    table.SetString("TTYPE1", kWcsTableColumn, "channel frequencies, image plane order");
    table.SetString("TFORM1", formatText("%dD", static_cast<int>(count)));
    table.SetString("TDIM1", formatText("(1,%d)", static_cast<int>(count)));
    table.SetString("TUNIT1", "Hz");
    addChecksumCards(table, dataSum);
}

}  // namespace

std::string isoDateTime(std::int32_t day, double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e12) return {};
    const auto millis = static_cast<std::int64_t>(std::llround(seconds * 1000.0));
    constexpr std::int64_t kMillisPerDay = 86400000;
    std::int64_t days = millis / kMillisPerDay;
    std::int64_t rest = millis % kMillisPerDay;
    if (rest < 0) {
        rest += kMillisPerDay;
        --days;
    }
    const std::int64_t mjd = std::int64_t{day} + days;
    if (mjd < kFirstIsoDay || mjd > kLastIsoDay) return {};
    int year = 0, month = 0, dayOfMonth = 0;
    civilDate(mjd, year, month, dayOfMonth);
    const auto ms = static_cast<int>(rest % 1000);
    const auto s = static_cast<int>(rest / 1000 % 60);
    const auto m = static_cast<int>(rest / 60000 % 60);
    const auto h = static_cast<int>(rest / 3600000);
    return formatText("%04d-%02d-%02dT%02d:%02d:%02d.%03d", year, month, dayOfMonth, h, m, s, ms);
}

ScanTimes scanTimes(int year, int month, int day, const std::string& startClock, const std::string& stopClock,
                    double crossingSeconds, int framesPerPixel, double frameSeconds) {
    ScanTimes times;
    if (!clockTextFinite(startClock) || !clockTextFinite(stopClock) || !std::isfinite(crossingSeconds)) return times;
    const std::int32_t localDay = dayNumber(year, month, day);
    // The offset of the recorder's clock on that date: the hour of noon in UT.
    constexpr int kNoon = 12;
    const int offsetHours = kNoon - universalHour(year, localDay, kNoon);
    const double start = static_cast<double>(timeOfDaySeconds(startClock));
    double stop = static_cast<double>(timeOfDaySeconds(stopClock));
    if (stop < start) stop += kSecondsPerDay;
    const double utcStart = start - 3600.0 * offsetHours;
    const double dayShift = std::floor(utcStart / kSecondsPerDay);
    const double startDay = static_cast<double>(localDay) + dayShift;
    if (!std::isfinite(utcStart) || startDay < static_cast<double>(kFirstIsoDay) ||
        startDay > static_cast<double>(kLastIsoDay))
        return times;
    times.startDay = static_cast<std::int32_t>(startDay);
    times.startSeconds = utcStart - dayShift * kSecondsPerDay;
    times.stopSeconds = times.startSeconds + (stop - start);
    times.crossingSeconds = times.startSeconds + crossingSeconds;
    times.pixelSeconds = static_cast<double>(framesPerPixel) * frameSeconds;
    times.known = std::isfinite(times.pixelSeconds) && !isoDateTime(times.startDay, times.startSeconds).empty() &&
                  !isoDateTime(times.startDay, times.stopSeconds).empty() &&
                  !isoDateTime(times.startDay, times.crossingSeconds).empty();
    return times;
}

void startHeaders(TFitsHdr& primary, TFitsHdr& extension) {
    primary.Start("");
    extension.Start("BINTABLE");
}

void writeScanCards(TFitsHdr& primary, const ScanCardValues& values) {
    std::string dateObs = values.dateObs;
    if (values.standardLayout) {
        // The mandatory keywords first, in the standard's order; EXTEND and
        // the scaling that turns the stored hundredths into values follow.
        primary.Clear();
        primary.SetLogical("SIMPLE", 'T', kWriterComment);
        primary.SetInt("BITPIX", 0);
        primary.SetInt("NAXIS", 0);
        std::replace(dateObs.begin(), dateObs.end(), '/', '-');
    }
    primary.SetInt("bitpix", 32);
    primary.SetInt("naxis", 3);
    primary.SetInt("naxis1", values.naxis1);
    primary.SetInt("naxis2", 2);
    primary.SetInt("naxis3", 56);  // replaced by the accepted channel count
    const ScanTimes& times = values.times;
    const bool timed = values.standardLayout && times.known;
    if (values.standardLayout) {
        primary.SetLogical("EXTEND", 'T', "FITS data may contain extensions");
        primary.SetDouble("BSCALE", 0.01, "physical value = stored value / 100");
        primary.SetInt("BZERO", 0);
        primary.SetString("BUNIT", "adu", "physical values in ADC units");
    }
    primary.SetString("dataname", "newvek");
    primary.SetString("TELESCOP", "KORVAL-90");
    primary.SetString("origin", "VEK-64");
    if (values.standardLayout) {
        primary.SetString("CREATOR", "skanvert", "program that wrote the file");
        primary.SetString("VERS_SW", SKANVERT_VERSION, "its version");
    }
    if (timed) {
        const std::int32_t day = times.startDay;
        auto mjd = [day](double seconds) { return static_cast<double>(day) + seconds / kSecondsPerDay; };
        primary.SetLongString("DATE-OBS", isoDateTime(day, times.startSeconds), "UT of the recording start");
        primary.SetString("time-obs", values.timeObs);
        primary.SetLongString("DATE-BEG", isoDateTime(day, times.startSeconds), "UT of the recording start");
        primary.SetLongString("DATE-END", isoDateTime(day, times.stopSeconds), "UT of the recording stop");
        primary.SetLongString("DATE-SUN", isoDateTime(day, times.crossingSeconds), "UT of the Sun centre crossing");
        primary.SetDouble("MJD-OBS", mjd(times.startSeconds), "MJD of DATE-OBS");
        primary.SetDouble("MJD-BEG", mjd(times.startSeconds), "MJD of DATE-BEG");
        primary.SetDouble("MJD-END", mjd(times.stopSeconds), "MJD of DATE-END");
        primary.SetString("TIMESYS", "UTC", "time scale of every time");
        primary.SetString("DATEREF", isoDateTime(day, 0.0).substr(0, 10), "times are counted from its 0h UT");
        primary.SetInt("MJDREF", day, "MJD of DATEREF");
    } else {
        primary.SetString("date-obs", dateObs);
        primary.SetString("time-obs", values.timeObs);
    }
    primary.SetString("startobs", values.startObs);
    primary.SetString("stopobs", values.stopObs);
    primary.SetInt("nsamples", values.nsamples, "NAXIS1 = NSAMPLES / (4*SMOTH_Number)");
    primary.SetString("object", values.object);
    primary.SetDouble("solar_r", values.ephemeris.solar_r, "arcsec");
    primary.SetDouble("solar_p", values.ephemeris.solar_p);
    primary.SetDouble("solar_b", values.ephemeris.solar_b);
    primary.SetDouble("sol_ra", values.ephemeris.sol_ra);
    primary.SetDouble("sol_dec", values.ephemeris.sol_dec);
    primary.SetFloat("azimuth", values.azimuth);
    primary.SetFloat("altitude", values.altitude);
    if (values.standardLayout) {
        // World coordinates of the scan axis: arcseconds from the Sun's
        // centre, reference pixel counted from 1 as standard readers count.
        primary.SetFloat("crpix1", values.crpix1 + 1.0f, "Sun centre, pixels counted from 1");
        primary.SetFloat("cdelt1", values.cdelt1, "arcsec per pixel");
        primary.SetInt("CRVAL1", 0, "offset at the Sun centre");
        primary.SetString("CTYPE1", "OFFSET", "scan offset from the Sun centre");
        primary.SetString("CUNIT1", "arcsec");
        const StokesAxis stokes = stokesAxis(values.flagIv);
        primary.SetDouble("CRPIX2", 1.0);
        primary.SetDouble("CDELT2", stokes.step);
        primary.SetDouble("CRVAL2", stokes.first, values.flagIv == 0 ? "I, V" : "RR, LL");
        primary.SetString("CTYPE2", "STOKES", "polarisation of the two series");
        if (timed) {
            // Pixel N (from 1) holds the first frames of the recording: the
            // time runs backwards along the axis.
            primary.SetString("WCSNAMEA", "UT time");
            primary.SetDouble("CRPIX1A", static_cast<double>(values.naxis1), "first recorded pixel");
            primary.SetDouble("CDELT1A", -times.pixelSeconds, "s per pixel, -n * dspdt");
            primary.SetDouble("CRVAL1A", times.startSeconds, "s from DATEREF at the recording start");
            primary.SetString("CTYPE1A", "UTC", "time of the pixel's first frame");
            primary.SetString("CUNIT1A", "s");
            primary.SetDouble("CRPIX2A", 1.0);
            primary.SetDouble("CDELT2A", stokes.step);
            primary.SetDouble("CRVAL2A", stokes.first);
            primary.SetString("CTYPE2A", "STOKES");
        }
    } else {
        primary.SetFloat("crpix1", values.crpix1);
        primary.SetFloat("cdelt1", values.cdelt1);
    }
    primary.SetInt("flag_iv", values.flagIv, "1- data is RL; 0- data is IV");
    primary.SetInt("Calibr", 0);
    char history[64];
    std::snprintf(history, sizeof history, "Smoothing pixels number is %d", values.smooth);
    primary.AddHistory(history);
    primary.SetFloat("dspdt", values.dspdt);
    primary.SetInt("shift", values.shift);
    primary.AddComment("*** Frequencies and overflows***");
}

void writeChannelCards(TFitsHdr& primary, int j, float frequency, int overflow) {
    char keyword[32];
    std::snprintf(keyword, sizeof keyword, "FREQ%03d", j);
    primary.SetFloat(keyword, frequency, "GHz");
    std::snprintf(keyword, sizeof keyword, "OVER%03d", j);
    primary.SetInt(keyword, overflow);
}

Row scanParamsRow(const ScanCardValues& values, float frequency, float tqsun, float theta, float kflux) {
    Row row{};
    putText(row, kRowDate, values.dateObs);
    putText(row, kRowTime, values.timeObs);
    putText(row, kRowObject, values.object);
    putFloat(row, kRowFreq, frequency);
    putFloat(row, kRowCdelt, values.cdelt1);
    putFloat(row, kRowCrpix, values.crpix1);
    putFloat(row, kRowTqsun, tqsun);
    putFloat(row, kRowTheta, theta);
    putFloat(row, kRowKflux, kflux);
    putFloat(row, kRowSolarB, static_cast<float>(values.ephemeris.solar_b));
    putFloat(row, kRowSolarP, static_cast<float>(values.ephemeris.solar_p));
    putFloat(row, kRowSolarR, static_cast<float>(values.ephemeris.solar_r));
    putFloat(row, kRowAzimuth, values.azimuth);
    putFloat(row, kRowAltitude, values.altitude);
    const std::uint16_t fiv = swapInt16(1);
    std::memcpy(row.data() + kRowFiv, &fiv, sizeof fiv);
    return row;  // "fcalibr" stays 0
}

bool writeFitsFile(TFitsHdr& primary, TFitsHdr& extension, TMemStream& image,
                   const std::vector<ChannelRowValues>& rows, const ScanCardValues& values,
                   const std::string& inputPath, const std::string& channelsPath, const std::string& outputPath,
                   int debug, Report& report) {
    const auto accepted = static_cast<std::int32_t>(rows.size());
    const bool standard = values.standardLayout;
    if (debug) report.outf("\n number of rows = %d", accepted);
    primary.SetInt("naxis3", accepted);
    std::vector<char> header;
    if (standard) {
        writeFrequencyAxis(primary, accepted > 0);
        const std::uint32_t imageSum =
            image.Size() > 0 ? onesComplementSum(image.Data(), static_cast<size_t>(image.Size())) : 0;
        addChecksumCards(primary, imageSum);
        header = renderSealed(primary, imageSum);
    } else {
        header = primary.Render();
    }

    // The inputs are never overwritten, by whatever path the output names them.
    const char* input = platform::sameFile(inputPath, outputPath)      ? "the input file"
                        : platform::sameFile(channelsPath, outputPath) ? "the channel configuration"
                                                                       : nullptr;
    if (input) {
        report.outf("\nOutput FITS file <%s> is %s", outputPath.c_str(), input);
        return false;
    }
    // An existing output that may not be written is not replaced either.
    platform::PendingFile output(outputPath);
    if (platform::existsButNotWritable(outputPath) || !output.open()) {
        report.outf("\nCan not open output FITS file <%s>", outputPath.c_str());
        return false;
    }
    if (debug) report.outf("\nOpen output file <%s>", outputPath.c_str());

    // Primary unit: header, image, fill.
    output.write(header.data(), static_cast<std::int64_t>(header.size()));
    header = std::vector<char>();
    const std::int64_t imageBytes = image.Size();
    if (imageBytes > 0 && !image.WriteTo(output.file())) output.markFailed();
    image.Reset();
    output.writeZeros(fillBytes(imageBytes));

    // Extension: the "Scan_params" table.
    if (debug) report.out("\nCreating BINTABLE extension");
    std::vector<unsigned char> tableRows;
    tableRows.reserve(rows.size() * kScanParamsRowBytes);
    for (const ChannelRowValues& c : rows) {
        if (debug) {
            report.outf("\n\tfreq=%f fluxkoef=%f Tqsun=%f theta=%f", static_cast<double>(c.frequency),
                        static_cast<double>(c.kflux), static_cast<double>(c.tqsun), static_cast<double>(c.theta));
        }
        const Row row = scanParamsRow(values, c.frequency, c.tqsun, c.theta, c.kflux);
        tableRows.insert(tableRows.end(), row.begin(), row.end());
    }
    if (!standard) extension.SetString("EXTNAME", "Scan_params");
    extension.SetInt("naxis", 2);
    extension.SetInt("naxis1", kScanParamsRowBytes, "Number of bytes per row");
    extension.SetInt("naxis2", accepted, "Number of rows");
    extension.SetInt("pcount", 0, "Normally 0 (no varying arrays)");
    extension.SetInt("gcount", 1);
    extension.SetInt("tfields", 16, "Number of columns in table");
    if (standard) extension.SetString("EXTNAME", "Scan_params");
    extension.AddComment("*** Column names ***");
    char keyword[32];
    for (int i = 1; i <= 16; ++i) {
        std::snprintf(keyword, sizeof keyword, "TTYPE%d", i);
        extension.SetString(keyword, kColumnNames[i - 1]);
    }
    extension.AddComment("*** Column formats ***");
    for (int i = 1; i <= 16; ++i) {
        std::snprintf(keyword, sizeof keyword, "TFORM%d", i);
        extension.SetString(keyword, kColumnFormats[i - 1]);
    }
    std::vector<char> extensionHeader;
    if (standard) {
        const std::uint32_t rowSum = onesComplementSum(tableRows.data(), tableRows.size());
        addChecksumCards(extension, rowSum);
        extensionHeader = renderSealed(extension, rowSum);
    } else {
        extensionHeader = extension.Render();
    }
    output.write(extensionHeader.data(), static_cast<std::int64_t>(extensionHeader.size()));
    output.write(tableRows.data(), static_cast<std::int64_t>(tableRows.size()));
    output.writeZeros(fillBytes(static_cast<std::int64_t>(tableRows.size())));

    // Standard layout: the lookup table of the frequency axis.
    if (standard && accepted > 0) {
        const std::vector<unsigned char> lookup = frequencyTableRow(rows);
        const std::uint32_t lookupSum = onesComplementSum(lookup.data(), lookup.size());
        TFitsHdr table;
        writeFrequencyTableHeader(table, accepted, lookupSum);
        const std::vector<char> tableHeader = renderSealed(table, lookupSum);
        output.write(tableHeader.data(), static_cast<std::int64_t>(tableHeader.size()));
        output.write(lookup.data(), static_cast<std::int64_t>(lookup.size()));
        output.writeZeros(fillBytes(static_cast<std::int64_t>(lookup.size())));
    }

    if (!output.commit()) {
        report.outf("\nCan not write output FITS file <%s>", outputPath.c_str());
        return false;
    }
    if (debug) report.out("\nOutput file is created");
    return true;
}

}  // namespace skanvert
