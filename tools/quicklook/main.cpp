// skanvert-quicklook: the quick-look picture, thumbnail or text summary of
// a skanvert FITS file.
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "quicklook/picture.h"
#include "quicklook/png_output.h"
#include "quicklook/scan.h"

namespace {

constexpr const char* kUsage =
    "usage: skanvert-quicklook FILE.fits [-o FILE.png] [--thumbnail [FILE.thumb.png]] [--flags NAME,NAME...]\n"
    "       skanvert-quicklook --summary FILE.fits\n"
    "       skanvert-quicklook --batch LIST\n";

constexpr const char* kHelp =
    "Draws the quick-look picture of a skanvert FITS file (default: the FITS name\n"
    "with .png), with --thumbnail also the 320 x 160 thumbnail (default: .thumb.png),\n"
    "or prints a one-screen text summary with --summary. --flags names the quality\n"
    "flags shown in the heading. Thumbnail colours: each channel's excess over its\n"
    "own sky level (its 20th-percentile value along the scan), logarithmic from\n"
    "black at 10 ADC units or less to pale yellow at 2,000 or more, the same scale\n"
    "for every file. Pictures are written whole under a temporary name\n"
    "and put in place in one step. --batch draws many files in one process: each\n"
    "line of LIST (- for standard input) is FITS[<tab>PICTURE[<tab>THUMBNAIL\n"
    "[<tab>FLAGS]]], empty fields taking the defaults; both pictures are drawn\n"
    "for every line, a file that fails is reported as \"line N: message\" and\n"
    "the others are still drawn. Exit status 0, 1 for a file that is not a\n"
    "skanvert FITS file or a picture that cannot be written (in a batch: any\n"
    "line), 2 for a usage error.\n";

int usage(const std::string& problem) {
    std::fprintf(stderr, "skanvert-quicklook: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

bool endsWithFits(const std::string& name) {
    if (name.size() < 5) return false;
    std::string tail = name.substr(name.size() - 5);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".fits";
}

// The FITS path with its extension (.fits in any case, else the last one)
// replaced by suffix.
std::string defaultName(const std::string& fits, const std::string& suffix) {
    if (endsWithFits(fits)) return fits.substr(0, fits.size() - 5) + suffix;
    const size_t slash = fits.find_last_of('/');
    const size_t dot = fits.find_last_of('.');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    // a leading dot names a hidden file, not an extension
    if (dot != std::string::npos && dot > base && fits.find_first_not_of('.', base) < dot)
        return fits.substr(0, dot) + suffix;
    return fits + suffix;
}

// Whether writing `picture` would replace the FITS file being shown (under
// any of its names).
bool replacesInput(const std::string& fits, const std::string& picture) {
    std::error_code error;
    return std::filesystem::equivalent(fits, picture, error) && !error;
}

std::vector<std::string> splitFlags(const std::string& list) {
    std::vector<std::string> flags;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        std::string name = list.substr(start, comma - start);
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (!name.empty()) flags.push_back(name);
        start = comma + 1;
    }
    return flags;
}

// Draws the picture of fits (and its thumbnail when wanted) and adds the
// written paths to `written`; empty names take the defaults. Throws
// QuicklookError for a file that cannot be read or a picture that cannot
// be written (or would replace the FITS file).
void drawFile(const std::string& fits, const std::string& output, const std::string& thumbnail, bool wantThumbnail,
              const std::vector<std::string>& flags, std::vector<std::string>& written) {
    const quicklook::Scan scan = quicklook::readScan(fits);
    const std::string picture = output.empty() ? defaultName(fits, ".png") : output;
    const std::string thumb = thumbnail.empty() ? defaultName(fits, ".thumb.png") : thumbnail;
    for (const std::string& target : {picture, thumb})
        if ((target == picture || wantThumbnail) && replacesInput(fits, target))
            throw quicklook::QuicklookError{"cannot write " + quicklook::plainText(target) +
                                            ": it is the FITS file being drawn"};
    {
        const quicklook::Drawing drawing = quicklook::drawPicture(scan, flags);
        quicklook::writePng(drawing.surface, drawing.colours, picture);
    }
    written.push_back(picture);
    if (wantThumbnail) {
        const quicklook::Drawing drawing = quicklook::drawThumbnail(scan);
        quicklook::writePng(drawing.surface, drawing.colours, thumb);
        written.push_back(thumb);
    }
}

// The tab-separated fields of a batch line (a trailing CR dropped).
std::vector<std::string> splitTabs(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

// Draws every line of the batch list: the start-up (program, fonts) is paid
// once for all files. Status 1 when the list cannot be read or any line
// failed, else 0.
int runBatch(const std::string& list) {
    std::FILE* in = list == "-" ? stdin : std::fopen(list.c_str(), "r");
    if (!in) {
        std::fprintf(stderr, "skanvert-quicklook: cannot read %s: %s\n", quicklook::plainText(list).c_str(),
                     std::strerror(errno));
        return 1;
    }
    int status = 0;
    long number = 0;
    std::string line;
    bool more = true;
    while (more) {
        line.clear();
        int c = 0;
        while ((c = std::fgetc(in)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
        more = c != EOF;
        ++number;
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> fields = splitTabs(line);
        std::vector<std::string> written;
        try {
            if (fields.size() > 4 || fields[0].empty())
                throw quicklook::QuicklookError{"not FITS[<tab>PICTURE[<tab>THUMBNAIL[<tab>FLAGS]]]"};
            drawFile(fields[0], fields.size() > 1 ? fields[1] : "", fields.size() > 2 ? fields[2] : "", true,
                     splitFlags(fields.size() > 3 ? fields[3] : ""), written);
        } catch (const quicklook::QuicklookError& error) {
            std::fprintf(stderr, "skanvert-quicklook: line %ld: %s\n", number, error.message.c_str());
            status = 1;
        }
        for (const std::string& path : written) std::printf("wrote %s\n", quicklook::plainText(path).c_str());
    }
    const bool readError = std::ferror(in) != 0;
    if (in != stdin) std::fclose(in);
    if (readError) {
        std::fprintf(stderr, "skanvert-quicklook: cannot read %s\n", quicklook::plainText(list).c_str());
        status = 1;
    }
    return std::fflush(stdout) == 0 ? status : 1;
}

int run(int argc, char** argv) {
    std::string fits, output, thumbnail, flagList, batch;
    bool wantThumbnail = false, summary = false, haveFlags = false, haveBatch = false;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](const std::string& option, std::string& out) {
            if (a.size() > option.size() && a.compare(0, option.size() + 1, option + "=") == 0) {
                out = a.substr(option.size() + 1);
                return true;
            }
            if (a != option) return false;
            if (i + 1 >= args.size()) throw std::string(option + " needs a value");
            out = args[++i];
            return true;
        };
        try {
            if (a == "-h" || a == "--help") {
                std::printf("%s%s", kUsage, kHelp);
                return 0;
            } else if (a == "--summary") {
                summary = true;
            } else if (a == "--thumbnail") {
                wantThumbnail = true;
                if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-' && !endsWithFits(args[i + 1]))
                    thumbnail = args[++i];
            } else if (a.rfind("--thumbnail=", 0) == 0) {
                wantThumbnail = true;
                thumbnail = a.substr(12);
            } else if (value("-o", output) || value("--output", output)) {
                if (output.empty()) return usage("-o needs a file name");
            } else if (value("--flags", flagList)) {
                haveFlags = true;
            } else if (value("--batch", batch)) {
                if (batch.empty()) return usage("--batch needs a list file (- for standard input)");
                haveBatch = true;
            } else if (!a.empty() && a[0] == '-' && a != "-") {
                return usage("unknown option " + a);
            } else if (fits.empty()) {
                fits = a;
            } else {
                return usage("more than one FITS file given (" + a + ")");
            }
        } catch (const std::string& problem) {
            return usage(problem);
        }
    }
    if (haveBatch) {
        if (!fits.empty() || summary || wantThumbnail || !output.empty() || haveFlags)
            return usage("--batch takes its files and names from the list only");
        return runBatch(batch);
    }
    if (fits.empty()) return usage("no FITS file given");
    if (summary && (wantThumbnail || !output.empty() || haveFlags))
        return usage("--summary draws nothing: it takes no -o, --thumbnail or --flags");

    std::vector<std::string> written;
    try {
        if (summary) {
            const quicklook::Scan scan = quicklook::readScan(fits);
            std::printf("%s\n", quicklook::summaryText(scan).c_str());
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        drawFile(fits, output, thumbnail, wantThumbnail, splitFlags(flagList), written);
    } catch (const quicklook::QuicklookError& error) {
        std::fprintf(stderr, "skanvert-quicklook: %s\n", error.message.c_str());
        return 1;
    }
    for (const std::string& path : written) std::printf("wrote %s\n", quicklook::plainText(path).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv);
    // cairo's and fontconfig's caches go back to the system, so leak
    // checkers see only what this program itself keeps.
    cairo_debug_reset_static_data();
    FcFini();
    return status;
}
