#include "quicklook/scan.h"

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string_view>

namespace quicklook {

namespace {

constexpr size_t kCard = 80;
constexpr size_t kBlock = 2880;
// Larger than any recording's conversion by far; a bigger file is not one.
constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{1} << 31;

[[noreturn]] void fail(const std::string& path, const std::string& reason) {
    throw QuicklookError{plainText(path) + ": " + reason};
}

std::string cfitsioReason(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    return text;
}

// The default layout writes one card early: EXTEND as the primary header's
// third card, EXTNAME as the table header's third, both before NAXIS, where
// cfitsio wants the mandatory cards first. The card at `header` + 2 cards is
// moved behind the mandatory run (NAXIS, NAXISn, PCOUNT, GCOUNT, TFIELDS);
// every other byte stays as it is.
void moveEarlyCard(std::vector<char>& bytes, size_t header) {
    if (header + kBlock > bytes.size()) return;
    const auto card = [&](size_t i) { return std::string_view(bytes.data() + header + i * kCard, 8); };
    if ((card(2) != "EXTEND  " && card(2) != "EXTNAME ") || card(3) != "NAXIS   ") return;
    size_t last = 3;
    while ((last + 2) * kCard <= kBlock) {
        const std::string_view next = card(last + 1);
        if (next.substr(0, 5) != "NAXIS" && next != "PCOUNT  " && next != "GCOUNT  " && next != "TFIELDS ") break;
        ++last;
    }
    const auto at = [&](size_t i) { return bytes.begin() + static_cast<std::ptrdiff_t>(header + i * kCard); };
    std::rotate(at(2), at(3), at(last + 1));
}

struct FitsFile {
    fitsfile* file = nullptr;
    ~FitsFile() {
        int status = 0;
        if (file) fits_close_file(file, &status);
    }
};

bool readString(fitsfile* f, const char* key, std::string& out) {
    char value[FLEN_VALUE] = {};
    int status = 0;
    if (fits_read_key(f, TSTRING, key, value, nullptr, &status) != 0) {
        fits_clear_errmsg();
        return false;
    }
    out = value;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return true;
}

bool readDouble(fitsfile* f, const char* key, double& out) {
    int status = 0;
    double value = 0.0;
    if (fits_read_key(f, TDOUBLE, key, &value, nullptr, &status) != 0) {
        fits_clear_errmsg();
        return false;
    }
    out = value;
    return true;
}

std::string trimmed(std::string text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    text.erase(0, first);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

}  // namespace

Scan readScan(const std::string& path) {
    Scan scan;
    scan.path = path;

    std::error_code error;
    if (std::filesystem::is_directory(path, error)) fail(path, "cannot be read (a folder)");
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) fail(path, std::string("cannot be read (") + std::strerror(errno) + ")");
    const std::streamoff size = in.tellg();
    if (size < 0) fail(path, "cannot be read (not a regular file)");
    if (static_cast<std::uintmax_t>(size) > kMaxFileBytes) fail(path, "not a skanvert FITS file (larger than 2 GiB)");
    std::vector<char> bytes(static_cast<size_t>(size));
    in.seekg(0);
    if (size > 0 && !in.read(bytes.data(), size)) fail(path, "cannot be read");
    if (bytes.size() < kBlock || std::memcmp(bytes.data(), "SIMPLE  =", 9) != 0)
        fail(path, "not a FITS file (no SIMPLE card at its start)");
    moveEarlyCard(bytes, 0);

    FitsFile fits;
    int status = 0;
    void* memory = bytes.data();
    size_t memorySize = bytes.size();
    const auto open = [&]() {
        if (fits_open_memfile(&fits.file, "scan", READONLY, &memory, &memorySize, 0, nullptr, &status) != 0) {
            fits.file = nullptr;
            fail(path, "cannot be read as FITS (" + cfitsioReason(status) + ")");
        }
    };
    open();
    // The table header right behind the image, in the default layout's order:
    // put right before cfitsio reads it.
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    if (fits_get_hduaddrll(fits.file, &headStart, &dataStart, &dataEnd, &status) == 0 && dataEnd > 0 &&
        static_cast<std::uintmax_t>(dataEnd) + kBlock <= bytes.size() &&
        std::memcmp(bytes.data() + dataEnd + 2 * kCard, "EXTNAME ", 8) == 0) {
        fits_close_file(fits.file, &status);
        fits.file = nullptr;
        status = 0;
        moveEarlyCard(bytes, static_cast<size_t>(dataEnd));
        open();
    }
    status = 0;
    fits_clear_errmsg();
    fitsfile* f = fits.file;

    int bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    if (fits_get_img_param(f, 3, &bitpix, &naxis, axes, &status) != 0)
        fail(path, "cannot be read as FITS (" + cfitsioReason(status) + ")");
    if (naxis != 3 || axes[1] != 2 || bitpix != LONG_IMG)
        fail(path, format("not a skanvert scan (expected a 3-axis 32-bit image with 2 series, found NAXIS=%d, "
                          "NAXIS2=%ld, BITPIX=%d)", naxis, naxis >= 2 ? axes[1] : 0L, bitpix));
    std::string dataname, origin;
    readString(f, "DATANAME", dataname);
    readString(f, "ORIGIN", origin);
    if (trimmed(dataname) != "newvek" && trimmed(origin) != "VEK-64")
        fail(path, "not a skanvert scan (neither DATANAME 'newvek' nor ORIGIN 'VEK-64')");
    scan.npix = axes[0];
    scan.nchan = axes[2];
    // FREQnnn/OVERnnn cards have three digits.
    if (scan.npix < 0 || scan.nchan < 0 || scan.nchan > 999)
        fail(path, format("not a skanvert scan (%ld channels)", scan.nchan));
    const auto count = static_cast<std::uintmax_t>(scan.npix) * 2u * static_cast<std::uintmax_t>(scan.nchan);
    if (count > bytes.size() / 4) fail(path, "image data shorter than NAXIS1 x NAXIS2 x NAXIS3");

    double bzero = 0.0;
    scan.standard = readDouble(f, "BSCALE", scan.bscale);
    if (!scan.standard) scan.bscale = 0.01;
    readDouble(f, "BZERO", bzero);
    if (!std::isfinite(scan.bscale) || !std::isfinite(bzero)) fail(path, "BSCALE or BZERO is not a number");

    readDouble(f, "CRPIX1", scan.crpix1);
    readDouble(f, "CDELT1", scan.cdelt);
    readDouble(f, "SOLAR_R", scan.solarR);
    if (!std::isfinite(scan.crpix1)) scan.crpix1 = 0.0;
    if (!std::isfinite(scan.cdelt) || scan.cdelt == 0.0) scan.cdelt = 1.0;
    if (!std::isfinite(scan.solarR) || scan.solarR < 0.0) scan.solarR = 0.0;
    scan.crpix0 = scan.standard ? scan.crpix1 - 1.0 : scan.crpix1;
    double flagIv = 1.0;
    if (readDouble(f, "FLAG_IV", flagIv) && flagIv == 0.0) {
        scan.seriesNames[0] = "I";
        scan.seriesNames[1] = "V";
    }
    readString(f, "OBJECT", scan.object);
    scan.object = trimmed(scan.object);
    if (scan.object.empty()) scan.object = "?";
    readString(f, "DATE-OBS", scan.date);
    readString(f, "TIME-OBS", scan.time);
    readString(f, "STARTOBS", scan.start);
    readString(f, "STOPOBS", scan.stop);
    scan.date = trimmed(scan.date);
    scan.time = trimmed(scan.time);
    scan.start = trimmed(scan.start);
    scan.stop = trimmed(scan.stop);
    scan.date = recorderDate(scan.date, scan.start);

    scan.freqs.assign(static_cast<size_t>(scan.nchan), std::numeric_limits<double>::quiet_NaN());
    scan.overflow.assign(static_cast<size_t>(scan.nchan), false);
    for (long c = 0; c < scan.nchan; ++c) {
        char key[32];
        std::snprintf(key, sizeof key, "FREQ%03ld", c + 1);
        readDouble(f, key, scan.freqs[static_cast<size_t>(c)]);
        std::snprintf(key, sizeof key, "OVER%03ld", c + 1);
        double over = 0.0;
        if (readDouble(f, key, over)) scan.overflow[static_cast<size_t>(c)] = over != 0.0;
    }

    if (count > 0) {
        std::vector<int> raw(static_cast<size_t>(count));
        int anyNull = 0;
        fits_set_bscale(f, 1.0, 0.0, &status);
        if (fits_read_img(f, TINT, 1, static_cast<LONGLONG>(count), nullptr, raw.data(), &anyNull, &status) != 0)
            fail(path, "image data cannot be read (" + cfitsioReason(status) + ")");
        scan.values.resize(raw.size());
        const auto scale = static_cast<float>(scan.bscale), zero = static_cast<float>(bzero);
        for (size_t i = 0; i < raw.size(); ++i) scan.values[i] = static_cast<float>(raw[i]) * scale + zero;
    }

    char extname[] = "Scan_params";
    if (fits_movnam_hdu(f, BINARY_TBL, extname, 0, &status) != 0) {
        fits_clear_errmsg();
        fail(path, "not a skanvert scan (no \"Scan_params\" table)");
    }
    long rows = 0;
    if (fits_get_num_rows(f, &rows, &status) == 0) scan.tableRows = rows;
    fits_clear_errmsg();
    return scan;
}

std::string recorderDate(const std::string& dateObs, const std::string& startLocal) {
    int y = 0, m = 0, d = 0, hour = 0, minute = 0, second = 0, n = 0;
    if (dateObs.size() < 19 || dateObs[10] != 'T' ||
        std::sscanf(dateObs.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &m, &d, &hour, &minute, &second, &n) != 6)
        return dateObs;
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const auto leap = [](int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; };
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] || (m == 2 && d == 29 && !leap(y)))
        return dateObs;
    int lh = 0, lm = 0, ls = 0;
    if (std::sscanf(startLocal.c_str(), " %2d:%2d:%2d", &lh, &lm, &ls) == 3 &&
        lh * 3600 + lm * 60 + ls < hour * 3600 + minute * 60 + second) {
        const int last = (m == 2 && !leap(y)) ? 28 : kDays[m - 1];
        if (++d > last) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
    }
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d", y, m, d);
    return out;
}

std::string utDate(const std::string& date, const std::string& timeUt, const std::string& startLocal) {
    std::string plain = date;
    std::replace(plain.begin(), plain.end(), '/', '-');
    int y = 0, m = 0, d = 0, n = 0;
    char sep1 = 0, sep2 = 0;
    if (std::sscanf(date.c_str(), " %4d%c%2d%c%2d %n", &y, &sep1, &m, &sep2, &d, &n) != 5 ||
        static_cast<size_t>(n) != date.size() || (sep1 != '/' && sep1 != '-') || (sep2 != '/' && sep2 != '-'))
        return plain;
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1] || (m == 2 && d == 29 && !leap)) return plain;
    int hourUt = 0, hourLocal = 0;
    char c1 = 0, c2 = 0;
    const bool haveUt = std::sscanf(timeUt.c_str(), " %2d%c", &hourUt, &c1) == 2 && (c1 == ':' || c1 == '.');
    const bool haveLocal = std::sscanf(startLocal.c_str(), " %2d%c", &hourLocal, &c2) == 2 && (c2 == ':' || c2 == '.');
    if (haveUt && haveLocal && hourUt > hourLocal) {
        if (--d == 0) {
            if (--m == 0) {
                m = 12;
                --y;
            }
            d = kDays[m - 1];
            if (m == 2 && !((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) d = 28;
        }
    }
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d", y, m, d);
    return out;
}

std::string plainText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len > 0 && i + len <= n && !(len == 2 && c < 0xC2);
        for (size_t k = 1; valid && k < len; ++k) valid = (s[i + k] & 0xC0) == 0x80;
        if (valid && len == 3) {
            const unsigned cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6);
            valid = cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (valid && len == 4) valid = c <= 0xF4 && !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] > 0x8F);
        if (!valid || (len == 1 && (c < 0x20 || c == 0x7F))) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
            ++i;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

std::string summaryText(const Scan& scan) {
    std::string out;
    const auto add = [&](const std::string& line) { out += line + "\n"; };
    add("skanvert FITS  " + plainText(scan.path));
    if (scan.standard)
        add(format("  layout      standard (BSCALE=%g, CRPIX1 counted from 1)", scan.bscale));
    else
        add("  layout      default (values x100, CRPIX1 counted from 0; astropy reads it, cfitsio does not)");
    add(format("  image       %ld x 2 x %ld   (pixels x series %s/%s x channels)", scan.npix, scan.nchan,
               scan.seriesNames[0].c_str(), scan.seriesNames[1].c_str()));
    add("  object      " + plainText(scan.object));
    const std::string span = scan.start.empty() && scan.stop.empty()
                                 ? ""
                                 : "   recording " + plainText(scan.start) + " - " + plainText(scan.stop) + " local time";
    add("  observed    " + plainText(scan.date) + " " + plainText(scan.time) + " UT" + span);
    add(format("  Sun centre  CRPIX1 = %.3f  (pixel %.3f counted from 0)   CDELT1 = %.4f arcsec/pixel", scan.crpix1,
               scan.crpix0, scan.cdelt));
    if (scan.npix > 0) {
        const std::string radius = scan.solarR > 0 ? format(";  solar radius %.1f arcsec", scan.solarR) : "";
        add(format("  scan        %+.1f .. %+.1f arcsec from the centre", scan.offset(0),
                   scan.offset(static_cast<double>(scan.npix - 1))) +
            radius);
    }
    if (scan.nchan > 0 && scan.npix > 0) {
        std::string line = "  values      ";
        for (int s = 0; s < 2; ++s) {
            float lo = std::numeric_limits<float>::infinity(), hi = -lo;
            for (long c = 0; c < scan.nchan; ++c)
                for (long p = 0; p < scan.npix; ++p) {
                    lo = std::min(lo, scan.value(c, s, p));
                    hi = std::max(hi, scan.value(c, s, p));
                }
            line += format("%s%s %.2f .. %.2f", s ? "    " : "", scan.seriesNames[s].c_str(), static_cast<double>(lo),
                           static_cast<double>(hi));
        }
        add(line + "   (ADC units)");
    } else {
        add("  values      none (no accepted channel)");
    }
    if (scan.tableRows < 0)
        add("  table       no Scan_params extension");
    else
        add(format("  table       Scan_params, %ld rows", scan.tableRows));
    const long over = std::count(scan.overflow.begin(), scan.overflow.end(), true);
    add(format("  channels    %ld accepted, ", scan.nchan) +
        (over ? format("%ld with overflow", over) : std::string("no overflow")) +
        (scan.nchan ? "   (plane: GHz, * overflow)" : ""));
    std::string line;
    for (long c = 0; c < scan.nchan; ++c) {
        if (c % 7 != 0) line += " ";
        line += format("%3ld:%6.2f%c", c + 1, scan.freqs[static_cast<size_t>(c)],
                       scan.overflow[static_cast<size_t>(c)] ? '*' : ' ');
        if (c % 7 == 6 || c + 1 == scan.nchan) {
            while (!line.empty() && line.back() == ' ') line.pop_back();
            add("  " + line);
            line.clear();
        }
    }
    if (!out.empty()) out.pop_back();  // the caller ends the last line
    return out;
}

}  // namespace quicklook
