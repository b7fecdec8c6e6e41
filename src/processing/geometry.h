// Scan geometry: the sky axis of the recording as it stands in the output
// (pixel count, the Sun's centre pixel, pixel size), the antenna position
// written with the scan, and the window and threshold of the channel test.
#pragma once

#include <cstdint>
#include <string>

#include "astro/ephemeris.h"
#include "recording/samples.h"

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

// What the geometry needs of the run's settings.
struct GeometrySettings {
    int smooth = 20;
    float dspdt = 0.0076365f;
    float delta = 0;
    float valh = 10;
    float azim = 0;
    float sigma = 1;
};

// What the geometry needs of the recording.
struct GeometryInputs {
    std::string object;
    std::string timeObsLocal;  // observation time as recorded
    std::string startObs;      // recording start with milliseconds
    std::int32_t azimuth = 0;
    float altitude = 0;
};

// computeScanGeometry
//   Given: the settings, the recording's values, the data area (its frame
//          clamp is set here) and the Sun's ephemeris.
//   Does: prints the geometry lines (always): pixel count, Sun centre (with
//         the overfull warning when it lies outside 0..N), the solar scale,
//         the scale of other objects (name without "sun"), the unpacked
//         altitude.
//   Returns: false, after printing "\nScan geometry undefined: cdelt1 = %f",
//          when the pixel size is not a finite number above 0 (a declination
//          and azimuth whose tangents multiply beyond 1, a frame time of 0 or
//          less); true with `geometry` filled otherwise.
//   Notes: a smoothing number of 0 or less counts as 20 here too.
bool computeScanGeometry(const GeometrySettings& settings, const GeometryInputs& inputs, SampleArea& area,
                         const SolarEphemeris& ephemeris, ScanGeometry& geometry);
