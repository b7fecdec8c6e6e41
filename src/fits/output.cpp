#include "fits/output.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_EXCHANGE
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tables/tables.h"

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

// True when both paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// The output under construction: a temporary file beside the output path,
// removed unless it was committed by renaming it over the output.
class PendingOutput {
public:
    explicit PendingOutput(const std::string& outputPath) : outputPath_(outputPath) {}
    ~PendingOutput() {
        if (file_) std::fclose(file_);
        if (!tempPath_.empty()) std::remove(tempPath_.c_str());
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Creates the file being written, with the permissions of the file it
    // will replace, or those a new file gets. Where the system allows it the
    // file has no name until it is complete, so a run killed meanwhile
    // leaves nothing behind; otherwise it is a named temporary file.
    bool Open() {
        int fd = openUnnamed();
        if (fd < 0) fd = openNamed();
        if (fd < 0) return false;
        struct stat existing {};
        if (stat(outputPath_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
            fchmod(fd, existing.st_mode & 07777);
        }
        file_ = fdopen(fd, "wb");
        if (!file_) {
            close(fd);
            return false;
        }
        return true;
    }

    std::FILE* File() const { return file_; }

    // Records a failed write; later writes are skipped.
    void Write(const void* bytes, std::int64_t n) {
        if (ok_ && n > 0 && std::fwrite(bytes, 1, static_cast<size_t>(n), file_) != static_cast<size_t>(n)) ok_ = false;
    }
    void WriteZeros(std::int64_t n) {
        static const unsigned char kZeros[kFitsBlockBytes] = {};
        Write(kZeros, n);
    }
    void MarkFailed() { ok_ = false; }

    // Closes the file and puts it in place of the output path (an unnamed
    // file first gets a temporary name beside it); false when a write, the
    // naming, the close or the renaming failed.
    bool Commit() {
        if (std::fflush(file_) != 0 || std::ferror(file_)) ok_ = false;
        if (ok_ && unnamed_) ok_ = nameUnnamed();
        std::FILE* file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) ok_ = false;
        if (!ok_) return false;
        if (!exchangeWithExisting() && std::rename(tempPath_.c_str(), outputPath_.c_str()) != 0) return false;
        tempPath_.clear();
        return true;
    }

private:
    std::string candidateName(int attempt) const {
        return outputPath_ + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(attempt);
    }

    // An unnamed file in the output's folder; -1 where the system has none,
    // or where it could not be given a name afterwards.
    int openUnnamed() {
#ifdef O_TMPFILE
        if (access("/proc/self/fd", X_OK) != 0) return -1;
        const std::filesystem::path parent = std::filesystem::path(outputPath_).parent_path();
        const std::filesystem::path folder = parent.empty() ? std::filesystem::path(".") : parent;
        const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY, 0666);
        if (fd >= 0) unnamed_ = true;
        return fd;
#else
        return -1;
#endif
    }

    int openNamed() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = candidateName(attempt);
            const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
            if (fd >= 0) {
                tempPath_ = std::move(candidate);
                return fd;
            }
            if (errno != EEXIST) return -1;
        }
        return -1;
    }

    // Replaces an existing output file (or symbolic link) by swapping the
    // two names in one step, then removes the old file under its temporary
    // name. Readers see the old file or the new one under the output name,
    // as with a rename over it; unlike that rename, some file systems (ext4)
    // do not then write the new file's blocks at once, which would cost
    // every re-conversion a wait on the disk. True when the output is in
    // place; false, nothing changed, where there is no such file to replace
    // or the system cannot swap names (the caller then renames).
    bool exchangeWithExisting() {
#if defined(RENAME_EXCHANGE)
        struct stat existing {};
        if (lstat(outputPath_.c_str(), &existing) != 0 || !(S_ISREG(existing.st_mode) || S_ISLNK(existing.st_mode))) {
            return false;
        }
        if (renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, outputPath_.c_str(), RENAME_EXCHANGE) != 0) return false;
        if (unlink(tempPath_.c_str()) == 0) return true;
        // The old name could not be removed (it changed meanwhile into
        // something else): swap back and leave it to the rename. Should
        // even that fail, the new file stays the output.
        return renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, outputPath_.c_str(), RENAME_EXCHANGE) != 0;
#else
        return false;
#endif
    }

    // Gives the complete unnamed file a temporary name beside the output.
    bool nameUnnamed() {
        const std::string self = "/proc/self/fd/" + std::to_string(fileno(file_));
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = candidateName(attempt);
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                tempPath_ = std::move(candidate);
                return true;
            }
            if (errno != EEXIST) return false;
        }
        return false;
    }

    std::string outputPath_;
    std::string tempPath_;
    std::FILE* file_ = nullptr;
    bool unnamed_ = false;
    bool ok_ = true;
};

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
    primary.SetDouble("solar_r", values.solar_r, "arcsec");
    primary.SetDouble("solar_p", values.solar_p);
    primary.SetDouble("solar_b", values.solar_b);
    primary.SetDouble("sol_ra", values.sol_ra);
    primary.SetDouble("sol_dec", values.sol_dec);
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
    putFloat(row, kRowSolarB, static_cast<float>(values.solar_b));
    putFloat(row, kRowSolarP, static_cast<float>(values.solar_p));
    putFloat(row, kRowSolarR, static_cast<float>(values.solar_r));
    putFloat(row, kRowAzimuth, values.azimuth);
    putFloat(row, kRowAltitude, values.altitude);
    const std::uint16_t fiv = swapInt16(1);
    std::memcpy(row.data() + kRowFiv, &fiv, sizeof fiv);
    return row;  // "fcalibr" stays 0
}

bool writeFitsFile(TFitsHdr& primary, TFitsHdr& extension, TMemStream& image, int accepted,
                   const std::array<bool, 256>& channelUsed, const float* slotFrequencies, int visitedSlots,
                   const ScanCardValues& values, const CalibrationSource& calibration,
                   const std::string& inputPath, const std::string& channelsPath,
                   const std::string& outputPath, int debug,
                   const std::function<void()>& releaseRecording) {
    if (debug) std::printf("\n number of rows = %d", accepted);
    primary.SetInt("naxis3", accepted);
    std::vector<char> header = primary.Render();

    // The inputs are never overwritten, by whatever path the output names them.
    const char* input = sameFile(inputPath, outputPath)      ? "the input file"
                        : sameFile(channelsPath, outputPath) ? "the channel configuration"
                                                             : nullptr;
    if (input) {
        std::printf("\nOutput FITS file <%s> is %s", outputPath.c_str(), input);
        releaseRecording();
        return false;
    }
    // An existing output that may not be written is not replaced either.
    PendingOutput output(outputPath);
    if ((access(outputPath.c_str(), F_OK) == 0 && access(outputPath.c_str(), W_OK) != 0) || !output.Open()) {
        std::printf("\nCan not open output FITS file <%s>", outputPath.c_str());
        releaseRecording();
        return false;
    }
    if (debug) std::printf("\nOpen output file <%s>", outputPath.c_str());

    // Primary unit: header, image, fill.
    output.Write(header.data(), static_cast<std::int64_t>(header.size()));
    header = std::vector<char>();
    const std::int64_t imageBytes = image.Size();
    if (imageBytes > 0 && !image.WriteTo(output.File())) output.MarkFailed();
    image.Reset();
    output.WriteZeros(fillBytes(imageBytes));
    releaseRecording();

    // Extension: the "Scan_params" table.
    if (debug) std::printf("\nCreating BINTABLE extension");
    const float tqsunDefault = upperName(values.object).find("MOON") != std::string::npos ? 220.0f : 6000.0f;
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
    output.Write(extensionHeader.data(), static_cast<std::int64_t>(extensionHeader.size()));

    std::int64_t rows = 0;
    for (int slot = 0; slot < visitedSlots; ++slot) {
        if (!channelUsed[static_cast<size_t>(slot)]) continue;
        const float f = slotFrequencies[slot];
        const CalibrationValues c = calibrationValues(*calibration.coefficients, calibration.coefficientCount, f,
                                                      calibration.flagTheta, tqsunDefault);
        if (debug) {
            std::printf("\n\tfreq=%f fluxkoef=%f Tqsun=%f theta=%f", static_cast<double>(f),
                        static_cast<double>(c.kflux), static_cast<double>(c.tqsun), static_cast<double>(c.theta));
        }
        const Row row = scanParamsRow(values, f, c.tqsun, c.theta, c.kflux);
        output.Write(row.data(), kScanParamsRowBytes);
        ++rows;
    }
    output.WriteZeros(fillBytes(rows * kScanParamsRowBytes));

    if (!output.Commit()) {
        std::printf("\nCan not write output FITS file <%s>", outputPath.c_str());
        return false;
    }
    if (debug) std::printf("\nOutput file is created");
    return true;
}
