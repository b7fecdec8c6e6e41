#include "driver/run.h"

#include <cstdio>
#include <new>
#include <string>

#include "astro/calendar.h"
#include "astro/ephemeris.h"
#include "driver/settings.h"
#include "fits/fits_header.h"
#include "fits/mem_stream.h"
#include "fits/output.h"
#include "processing/geometry.h"
#include "processing/selection.h"
#include "recording/recording.h"
#include "tables/ini_file.h"
#include "tables/tables.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = -1;

// Prints the message of a recording the run cannot use.
void reportHeaderFailure(HeaderStatus status, const std::string& path) {
    const char* what = "";
    switch (status) {
        case HeaderStatus::NoStopStamp: what = "no valid stop time stamp"; break;
        case HeaderStatus::NoStartStamp: what = "no valid start time stamp"; break;
        case HeaderStatus::NoTimeOfObservation: what = "no valid time of observation"; break;
        case HeaderStatus::NoAltitude: what = "no valid altitude"; break;
        case HeaderStatus::Ok: return;
    }
    std::printf("\nRecording <%s> has %s", path.c_str(), what);
}

// Stages 6 to 9: the recording, the geometry, the channels and the file.
// Returns the exit status.
int convert(const RunSettings& settings, const TIniFile& coefficients, int coefficientCount, TFitsHdr& primary,
            TFitsHdr& extension) {
    const std::string input = inputPath(settings);
    std::FILE* file = openForReading(input);
    TIniFile channelTable;
    channelTable.Load(settings.channels);
    if (channelTable.Count() < 1) {
        std::printf("\nCan not open file <%s>", settings.channels.c_str());
        if (file) std::fclose(file);
        return kFailure;
    }
    if (!file) {
        std::printf("\nCan not open file <%s>", input.c_str());
        return kFailure;
    }
    if (settings.debug) {
        std::printf("\nOpen file <%s>", input.c_str());
        std::printf("\ncfile=<%s> shift=%d", settings.channels.c_str(), settings.shift);
    }
    const std::string outputName = outputFileName(settings.inputFile);

    RecordingImage recording;
    const ReadStatus read = readRecording(file, recording);
    std::fclose(file);
    switch (read) {
        case ReadStatus::Ok: break;
        case ReadStatus::SeekFailed:
            std::printf("\nSeek file Error <%s>", settings.inputFile.c_str());
            return kFailure;
        case ReadStatus::TooShort:
            std::printf("\nRecording <%s> is shorter than its 4096-byte header", input.c_str());
            return kFailure;
        case ReadStatus::ReadFailed:
            std::printf("\nRead file Error <%s>", settings.inputFile.c_str());
            return kFailure;
        case ReadStatus::OutOfMemory: throw std::bad_alloc();
    }

    RecordingHeader header;
    const HeaderStatus parsed = parseRecordingHeader(recording.data(), header);
    if (parsed != HeaderStatus::Ok) {
        reportHeaderFailure(parsed, input);
        return kFailure;
    }
    const SolarEphemeris ephemeris = solarEphemeris(header.year, header.month, header.day);
    if (!summerTimeTableHas(header.year)) {
        std::printf("\n WARNING! year %d is outside the summer time table: last Sundays of March and October used",
                    header.year);
    }
    applyUniversalTime(header);

    // Stage 7: the scan geometry and the scan-wide cards.
    if (settings.debug) std::printf("\nCreating output FITS file Header");
    SampleArea area = recording.dataArea();
    GeometrySettings geometrySettings;
    geometrySettings.smooth = settings.smooth;
    geometrySettings.dspdt = settings.dspdt;
    geometrySettings.delta = settings.delta;
    geometrySettings.valh = settings.valh;
    geometrySettings.azim = settings.azim;
    geometrySettings.sigma = settings.sigma;
    GeometryInputs geometryInputs;
    geometryInputs.object = header.object;
    geometryInputs.timeObsLocal = header.timeObsLocal;
    geometryInputs.startObs = header.startObs;
    geometryInputs.azimuth = header.azimuth;
    geometryInputs.altitude = header.altitude;
    ScanGeometry geometry;
    if (!computeScanGeometry(geometrySettings, geometryInputs, area, ephemeris, geometry)) return kFailure;

    ScanCardValues values;
    values.naxis1 = geometry.naxis1;
    values.dateObs = header.dateObs;
    values.timeObs = header.timeObs;
    values.startObs = header.startObs;
    values.stopObs = header.stopObs;
    values.object = header.object;
    values.nsamples = header.nsamples;
    values.solar_r = ephemeris.solar_r;
    values.solar_p = ephemeris.solar_p;
    values.solar_b = ephemeris.solar_b;
    values.sol_ra = ephemeris.sol_ra;
    values.sol_dec = ephemeris.sol_dec;
    values.azimuth = geometry.azimuth;
    values.altitude = geometry.altitude;
    values.crpix1 = geometry.crpix1;
    values.cdelt1 = geometry.cdelt1;
    values.smooth = settings.smooth;
    values.dspdt = settings.dspdt;
    values.shift = settings.shift;
    values.standardLayout = settings.standardLayout;
    writeScanCards(primary, values);

    // Stage 8: the channels.
    SelectionSettings selectionSettings;
    selectionSettings.smooth = settings.smooth;
    selectionSettings.ampcor = settings.ampcor;
    selectionSettings.shift = settings.shift;
    selectionSettings.debug = settings.debug;
    selectionSettings.onoff = settings.onoff;
    ChannelSelection selection;
    selection.slotChannelTable = initialSlotChannelTable();
    TMemStream image;
    if (!selectChannels(area, selectionSettings, geometry, channelTable, coefficientCount, selection, image,
                        primary, [&recording] { recording.releaseInBackground(); })) {
        throw std::bad_alloc();
    }

    // Stage 9: the file.
    CalibrationSource calibration;
    calibration.coefficients = &coefficients;
    calibration.coefficientCount = coefficientCount;
    calibration.flagTheta = settings.flag_theta;
    const bool written = writeFitsFile(primary, extension, image, selection.accepted, selection.channelUsed,
                                       selection.slotChannelTable.data(), kVisitedSlots, values, calibration, input,
                                       settings.channels,
                                       outputPath(settings, outputName), settings.debug,
                                       [&recording] { recording.release(); });
    return written ? kSuccess : kFailure;
}

}  // namespace

namespace {

// Stages 1 to 9; `interactive` is known once the command line is read.
int runStages(int argc, char** argv, bool& interactive) {
    RunSettings settings;
    readSettingsFile(argc, argv, settings);

    TIniFile coefficients;
    const int coefficientCount = coefficients.Load(kCoefficientFileName);

    TFitsHdr primary;
    TFitsHdr extension;
    startHeaders(primary, extension);

    if (!readCommandLine(argc, argv, settings, interactive)) return kUsageError;
    return convert(settings, coefficients, coefficientCount, primary, extension);
}

}  // namespace

int runConversion(int argc, char** argv) {
    bool interactive = false;
    int status = kFailure;
    try {
        status = runStages(argc, argv, interactive);
    } catch (const std::bad_alloc&) {
        std::printf("\nOut of memory");
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
