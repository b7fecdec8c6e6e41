#include "processing/geometry.h"

#include <cmath>
#include <limits>
#include <string>

#include "astro/calendar.h"
#include "processing/smoothing.h"

namespace skanvert {

namespace {

// Arcseconds of hour angle per second of time.
constexpr double kArcsecPerSecond = 15.0;
// Header azimuths beyond this bound are replaced for objects other than the Sun.
constexpr float kAzimuthBound = 32.0f;
// Altitudes above this value are packed as DDMMSS.s.
constexpr float kPackedAltitude = 200.0f;

// The integer part of a real, clamped into the 32-bit range (NaN gives 0).
std::int64_t integerPart(long double x) {
    if (std::isnan(x)) return 0;
    constexpr long double kLimit = 4.0e18L;
    if (x > kLimit) return static_cast<std::int64_t>(kLimit);
    if (x < -kLimit) return -static_cast<std::int64_t>(kLimit);
    return static_cast<std::int64_t>(x);
}

// A window bound clamped into the int range: the window test raises a start
// below 2 to 2 and lowers a stop above N to N - 2, so clamping far outside
// keeps the window the same.
std::int32_t clampToInt(std::int64_t x) {
    if (x > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (x < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(x);
}

// Stores a wider real as a 32-bit real; values beyond its range become the
// infinity of their sign instead of an undefined conversion.
float narrowToFloat(long double x) {
    if (x > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (x < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(x);
}

// Unpacks an altitude of the form DDMMSS.s into degrees.
double unpackAltitude(double v) {
    const double degrees = std::trunc(v * 0.0001);
    const double minutes = std::trunc(v * 0.01 - 100 * degrees);
    const double seconds = v - 10000 * degrees - 100 * minutes;
    return degrees + seconds / 3600 + minutes / 60;
}

// Whether the name holds "SUN" in any case within its first 63 characters.
bool namesTheSun(const std::string& name) {
    std::string upper = name.substr(0, 63);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper.find("SUN") != std::string::npos;
}

}  // namespace

bool computeScanGeometry(const ScanSettings& settings, const RecordingHeader& inputs, SampleArea& area,
                         const SolarEphemeris& ephemeris, ScanGeometry& geometry, Report& report) {
    const int n = effectiveSmoothing(settings.smooth);

    // Pixel count, from the query that also sets the frame clamp.
    std::string noLines;
    const std::int64_t pixels = smoothChannel(area, -1, settings.smooth, kAmpNone, 0, noLines).pixels;
    geometry.naxis1 = static_cast<std::int32_t>(pixels);

    // The Sun's centre: the observation time counted in pixels from the
    // recording start, then from the other end since rows are reversed.
    const long double dt = timeOfDaySeconds(inputs.timeObsLocal) - timeOfDaySeconds(inputs.startObs);
    geometry.dt = static_cast<double>(dt);
    const long double centre = static_cast<long double>(pixels) - (dt / settings.dspdt) / n - 1;
    geometry.crpix1 = narrowToFloat(centre);
    if (geometry.crpix1 < 0 || geometry.crpix1 > static_cast<float>(pixels)) {
        report.outf("\n dt = %f", geometry.dt);
        report.outf("\n WARNING! crpix overfull %f", static_cast<double>(geometry.crpix1));
        geometry.crpix1 = static_cast<float>(std::floor(static_cast<double>(pixels) * 0.5));
    }
    report.outf("\n Total points= %d", geometry.naxis1);
    report.outf("\n Sun center x= %f", static_cast<double>(geometry.crpix1));

    // Solar scale: the drift rate at the Sun's declination, widened by the
    // header azimuth.
    const double sunDeclination = ephemeris.sol_dec;
    const double headerAzimuth = inputs.azimuth;
    {
        const double t = std::tan(sunDeclination * kDegToRad) * std::tan(headerAzimuth * kDegToRad);
        geometry.cdelt1 = narrowToFloat(std::cos(sunDeclination * kDegToRad) * kArcsecPerSecond *
                                             settings.dspdt * n * std::sqrt(1 - t * t));
    }
    report.outf("\n delta1= %f", sunDeclination);
    report.outf("\n cdelt1= %f", static_cast<double>(geometry.cdelt1));
    report.outf("\n hdsp.azimuth= %f", headerAzimuth);
    geometry.azimuth = static_cast<float>(headerAzimuth);

    // Other objects: the configured declination and drift, and the fallback
    // azimuth when the header's lies outside the usual range.
    if (inputs.object.find("sun") == std::string::npos) {
        if (geometry.azimuth > kAzimuthBound || geometry.azimuth < -kAzimuthBound) geometry.azimuth = settings.azim;
        const double delta = settings.delta;
        const double t = std::tan(delta * kDegToRad) * std::tan(geometry.azimuth * kDegToRad);
        geometry.cdelt1 = narrowToFloat(kArcsecPerSecond * settings.dspdt * n * std::cos(delta * kDegToRad) *
                                             (1 - settings.valh / 3600.0) * std::sqrt(1 - t * t));
        report.outf("\n valh= %f", static_cast<double>(settings.valh));
        report.outf("\n delta= %f", delta);
        report.outf("\n cdelt= %f", static_cast<double>(geometry.cdelt1));
        report.outf("\n ini azimuth= %f", static_cast<double>(geometry.azimuth));
    }
    if (!std::isfinite(geometry.cdelt1) || !(geometry.cdelt1 > 0)) {
        report.outf("\nScan geometry undefined: cdelt1 = %f", static_cast<double>(geometry.cdelt1));
        return false;
    }

    // Altitude: degrees, or DDMMSS.s when above 200.
    geometry.altitude = inputs.altitude;
    if (inputs.altitude > kPackedAltitude) {
        geometry.altitude = static_cast<float>(unpackAltitude(inputs.altitude));
        report.outf("\naltitude=%f", static_cast<double>(geometry.altitude));
    }

    // Objects whose name lacks "SUN" in any case are tested against 10.
    geometry.sigma = settings.sigma;
    if (!namesTheSun(inputs.object)) geometry.sigma = 10.0f;

    // The channel test's window: two solar radii around the Sun's pixel in
    // recording order.
    geometry.windowCentre = clampToInt(integerPart(static_cast<long double>(pixels) - geometry.crpix1));
    geometry.windowHalfWidth = clampToInt(integerPart(2 * ephemeris.solar_r / geometry.cdelt1));
    return true;
}

}  // namespace skanvert
