#include "fits/output.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/pending_file.h"

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

// Zero bytes that fill a unit of `length` bytes to whole 2880-byte blocks.
std::int64_t fillBytes(std::int64_t length) {
    const std::int64_t rest = length % kFitsBlockBytes;
    return rest == 0 ? 0 : kFitsBlockBytes - rest;
}

}  // namespace

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
    if (values.standardLayout) {
        primary.SetLogical("EXTEND", 'T', "FITS data may contain extensions");
        primary.SetDouble("BSCALE", 0.01, "physical value = stored value / 100");
        primary.SetInt("BZERO", 0);
    }
    primary.SetString("dataname", "newvek");
    primary.SetString("TELESCOP", "KORVAL-90");
    primary.SetString("origin", "VEK-64");
    primary.SetString("date-obs", dateObs);
    primary.SetString("time-obs", values.timeObs);
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
    } else {
        primary.SetFloat("crpix1", values.crpix1);
        primary.SetFloat("cdelt1", values.cdelt1);
    }
    primary.SetInt("flag_iv", 1, "1- data is RL; 0- data is IV");
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
    if (debug) report.outf("\n number of rows = %d", accepted);
    primary.SetInt("naxis3", accepted);
    std::vector<char> header = primary.Render();

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
    if (!values.standardLayout) extension.SetString("EXTNAME", "Scan_params");
    extension.SetInt("naxis", 2);
    extension.SetInt("naxis1", kScanParamsRowBytes, "Number of bytes per row");
    extension.SetInt("naxis2", accepted, "Number of rows");
    extension.SetInt("pcount", 0, "Normally 0 (no varying arrays)");
    extension.SetInt("gcount", 1);
    extension.SetInt("tfields", 16, "Number of columns in table");
    if (values.standardLayout) extension.SetString("EXTNAME", "Scan_params");
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
    const std::vector<char> extensionHeader = extension.Render();
    output.write(extensionHeader.data(), static_cast<std::int64_t>(extensionHeader.size()));

    for (const ChannelRowValues& c : rows) {
        if (debug) {
            report.outf("\n\tfreq=%f fluxkoef=%f Tqsun=%f theta=%f", static_cast<double>(c.frequency),
                        static_cast<double>(c.kflux), static_cast<double>(c.tqsun), static_cast<double>(c.theta));
        }
        const Row row = scanParamsRow(values, c.frequency, c.tqsun, c.theta, c.kflux);
        output.write(row.data(), kScanParamsRowBytes);
    }
    output.writeZeros(fillBytes(static_cast<std::int64_t>(rows.size()) * kScanParamsRowBytes));

    if (!output.commit()) {
        report.outf("\nCan not write output FITS file <%s>", outputPath.c_str());
        return false;
    }
    if (debug) report.out("\nOutput file is created");
    return true;
}

}  // namespace skanvert
