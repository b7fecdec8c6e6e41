#include "driver/run.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "astro/calendar.h"
#include "astro/ephemeris.h"
#include "driver/console.h"
#include "driver/settings.h"
#include "fits/fits_header.h"
#include "fits/mem_stream.h"
#include "fits/output.h"
#include "platform/files.h"
#include "processing/geometry.h"
#include "processing/scan_settings.h"
#include "processing/selection.h"
#include "recording/recording.h"
#include "tables/ini_file.h"
#include "tables/tables.h"

namespace skanvert {

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = -1;

// Loads a text table; a file that cannot be opened is reported on stderr.
int loadTable(TIniFile& table, const std::string& path, Report& report) {
    const int lines = table.Load(path);
    if (!table.Opened()) report.errf("\nCan not open <%s>", path.c_str());
    return lines;
}

// Reports the message of a recording the run cannot use.
void reportHeaderFailure(HeaderStatus status, const std::string& path, Report& report) {
    const char* what = "";
    switch (status) {
        case HeaderStatus::NoStopStamp: what = "no valid stop time stamp"; break;
        case HeaderStatus::NoStartStamp: what = "no valid start time stamp"; break;
        case HeaderStatus::NoTimeOfObservation: what = "no valid time of observation"; break;
        case HeaderStatus::NoAltitude: what = "no valid altitude"; break;
        case HeaderStatus::Ok: return;
    }
    report.outf("\nRecording <%s> has %s", path.c_str(), what);
}

// The scan-wide card values of a run.
ScanCardValues scanCardValues(const RunSettings& settings, const RecordingHeader& header,
                              const SolarEphemeris& ephemeris, const ScanGeometry& geometry) {
    ScanCardValues values;
    values.naxis1 = geometry.naxis1;
    values.dateObs = header.dateObs;
    values.timeObs = header.timeObs;
    values.startObs = header.startObs;
    values.stopObs = header.stopObs;
    values.object = header.object;
    values.nsamples = header.nsamples;
    values.ephemeris = ephemeris;
    values.azimuth = geometry.azimuth;
    values.altitude = geometry.altitude;
    values.crpix1 = geometry.crpix1;
    values.cdelt1 = geometry.cdelt1;
    values.smooth = settings.smooth;
    values.dspdt = settings.dspdt;
    values.shift = settings.shift;
    values.standardLayout = settings.standardLayout;
    if (settings.standardLayout) {
        values.times = scanTimes(header.year, header.month, header.day, header.startObs, header.stopObs,
                                 geometry.dt, effectiveSmoothing(settings.smooth), settings.dspdt);
    }
    return values;
}

// The table rows of the kept channels: each channel's calibration values
// from the coefficient table (or their defaults without one).
std::vector<ChannelRowValues> channelRows(const std::vector<AcceptedChannel>& accepted, const TIniFile& coefficients,
                                          int coefficientCount, const RunSettings& settings,
                                          const std::string& object) {
    const float tqsunDefault = upperName(object).find("MOON") != std::string::npos ? 220.0f : 6000.0f;
    std::vector<ChannelRowValues> rows;
    rows.reserve(accepted.size());
    for (const AcceptedChannel& channel : accepted) {
        const CalibrationValues c =
            calibrationValues(coefficients, coefficientCount, channel.frequency, settings.flag_theta, tqsunDefault);
        rows.push_back(ChannelRowValues{channel.frequency, c.tqsun, c.theta, c.kflux});
    }
    return rows;
}

// The message of a recording whose bytes could not be read whole.
int readFailure(const RunSettings& settings, Report& report) {
    report.outf("\nRead file Error <%s>", settings.inputFile.c_str());
    return kFailure;
}

// Stages 6 to 9: the recording, the geometry, the channels and the file.
// Returns the exit status.
int convert(const RunSettings& settings, const TIniFile& coefficients, int coefficientCount, TFitsHdr& primary,
            TFitsHdr& extension, Report& report) {
    const std::string input = inputPath(settings);
    std::FILE* file = platform::openForReading(input);
    TIniFile channelTable;
    loadTable(channelTable, settings.channels, report);
    if (channelTable.Count() < 1) {
        report.outf("\nCan not open file <%s>", settings.channels.c_str());
        if (file) std::fclose(file);
        return kFailure;
    }
    if (!file) {
        report.outf("\nCan not open file <%s>", input.c_str());
        return kFailure;
    }
    if (settings.debug) {
        report.outf("\nOpen file <%s>", input.c_str());
        report.outf("\ncfile=<%s> shift=%d", settings.channels.c_str(), settings.shift);
    }
    const std::string outputName = outputFileName(settings.inputFile);

    RecordingImage recording;
    ReadStatus read = ReadStatus::ReadFailed;
    try {
        read = readRecording(file, recording);
    } catch (...) {
        std::fclose(file);
        throw;
    }
    std::fclose(file);
    switch (read) {
        case ReadStatus::Ok: break;
        case ReadStatus::SeekFailed:
            report.outf("\nSeek file Error <%s>", settings.inputFile.c_str());
            return kFailure;
        case ReadStatus::TooShort:
            report.outf("\nRecording <%s> is shorter than its 4096-byte header", input.c_str());
            return kFailure;
        case ReadStatus::ReadFailed: return readFailure(settings, report);
    }

    RecordingHeader header;
    const HeaderStatus parsed = parseRecordingHeader(recording.data(), header);
    if (!recording.intact()) return readFailure(settings, report);
    if (parsed != HeaderStatus::Ok) {
        reportHeaderFailure(parsed, input, report);
        return kFailure;
    }
    const SolarEphemeris ephemeris = solarEphemeris(header.year, header.month, header.day);
    if (!summerTimeTableHas(header.year)) {
        report.outf("\n WARNING! year %d is outside the summer time table: last Sundays of March and October used",
                    header.year);
    }
    applyUniversalTime(header);

    // Stage 7: the scan geometry and the scan-wide cards.
    if (settings.debug) report.out("\nCreating output FITS file Header");
    SampleArea area = recording.dataArea();
    ScanGeometry geometry;
    if (!computeScanGeometry(settings, header, area, ephemeris, geometry, report)) return kFailure;
    const ScanCardValues values = scanCardValues(settings, header, ephemeris, geometry);
    writeScanCards(primary, values);

    // Stage 8: the channels: the pass over the recording, whose bytes are
    // then given back while the channels are finished.
    TMemStream image;
    const ChannelPass pass = passOverChannels(area, settings, initialSlotChannelTable(), image);
    if (!recording.intact()) return readFailure(settings, report);
    recording.releaseInBackground();
    const std::vector<AcceptedChannel> accepted =
        finishChannels(pass, settings, geometry, channelTable, coefficientCount > 0, image, report);
    for (size_t j = 0; j < accepted.size(); ++j) {
        writeChannelCards(primary, static_cast<int>(j + 1), accepted[j].frequency, accepted[j].overflow ? 1 : 0);
    }

    // Stage 9: the file.
    const std::vector<ChannelRowValues> rows =
        channelRows(accepted, coefficients, coefficientCount, settings, values.object);
    const bool written = writeFitsFile(primary, extension, image, rows, values, input, settings.channels,
                                       outputPath(settings, outputName), settings.debug, report);
    return written ? kSuccess : kFailure;
}

// Stages 1 to 9; `interactive` is known once the command line is read.
int runStages(int argc, char** argv, bool& interactive, Report& report) {
    RunSettings settings;
    readSettingsFile(argc, argv, settings);

    TIniFile coefficients;
    const int coefficientCount = loadTable(coefficients, kCoefficientFileName, report);

    TFitsHdr primary;
    TFitsHdr extension;
    startHeaders(primary, extension);

    if (!readCommandLine(argc, argv, settings, interactive)) return kUsageError;
    return convert(settings, coefficients, coefficientCount, primary, extension, report);
}

}  // namespace

int runConversion(int argc, char** argv) {
    Console console;
    bool interactive = false;
    int status = kFailure;
    try {
        status = runStages(argc, argv, interactive, console);
    } catch (const std::bad_alloc&) {
        console.out("\nOut of memory");
        status = kFailure;
    }
    if (status == kUsageError) return status;

    if (interactive) {
        std::printf("\n press return to continue ...\n");
        std::fflush(stdout);
        std::string answer;
        readWordFromStdin(answer);
    }
    return status;
}

}  // namespace skanvert
