// Scan geometry: the sky axis of the recording as it stands in the output
// (pixel count, the Sun's centre pixel, pixel size), the antenna position
// written with the scan, and the window and threshold of the channel test.
#pragma once

#include <cstdint>
#include <string>

#include "astro/ephemeris.h"
#include "platform/report.h"
#include "processing/scan_settings.h"
#include "recording/recording.h"
#include "recording/samples.h"

namespace skanvert {

struct ScanGeometry {
    std::int32_t naxis1 = 0;   // N, pixels per series
    double dt = 0;             // seconds from the recording start to the observation
    float crpix1 = 0;          // the Sun's centre pixel, output order, from 0
    float cdelt1 = 0;          // arcseconds per pixel
    float azimuth = 0;         // degrees
    float altitude = 0;        // degrees
    std::int32_t windowCentre = 0;     // recording order, for the channel test
    std::int32_t windowHalfWidth = 0;  // pixels
    float sigma = 1;           // effective test threshold
};

// computeScanGeometry
//   Given: the settings, the recording's header values (object, local time
//          of observation, start time, azimuth, altitude), the data area (its
//          frame clamp is set here), the Sun's ephemeris and where to report.
//   Does: reports the geometry lines (always): pixel count, Sun centre (with
//         the overfull warning when it lies outside 0..N), the solar scale,
//         the scale of other objects (name without "sun"), the unpacked
//         altitude.
//   Returns: false, after reporting "\nScan geometry undefined: cdelt1 = %f",
//          when the pixel size is not a finite number above 0 (a declination
//          and azimuth whose tangents multiply beyond 1, a frame time of 0 or
//          less); true with `geometry` filled otherwise.
//   Notes: a smoothing number of 0 or less counts as 20 here too.
bool computeScanGeometry(const ScanSettings& settings, const RecordingHeader& inputs, SampleArea& area,
                         const SolarEphemeris& ephemeris, ScanGeometry& geometry, Report& report);

}  // namespace skanvert
