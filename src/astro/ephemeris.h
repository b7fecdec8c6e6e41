// The Sun's position, orientation and apparent size for 0 h of a calendar
// date, by a truncated form of Newcomb's theory of the Sun (ephemeris.cpp
// names the sources of each part).
#pragma once

namespace skanvert {

// The Sun's ephemeris for one date; angles in degrees, radius in arcseconds.
struct SolarEphemeris {
    double solar_p;  // position angle P of the rotation axis
    double solar_b;  // heliographic latitude B of the disc centre
    double solar_r;  // apparent radius of the disc, arcsec
    double sol_ra;   // right ascension, [0, 360)
    double sol_dec;  // declination
};

// Results of sunPosition, all in degrees.
struct SunPosition {
    double geometricLongitude;  // L0: before aberration and nutation
    double rightAscension;      // alpha, [0, 360)
    double declination;         // delta
    double apparentLongitude;   // lambda
    double obliquity;           // epsilon, true obliquity
};

// Degrees to radians and radians to degrees, as the theory uses them, not
// the exact values: pi/180 (0.0174532925...) rounded to 8 significant
// digits, and a value 1.5e-6 below 180/pi (57.2957795...).
inline constexpr double kDegToRad = 0.017453293;
inline constexpr double kRadToDeg = 57.295778;

// sunPosition
//   Given: d, days since Julian Date 2415020.0.
//   Returns: geometric and apparent longitude, right ascension, declination
//          and true obliquity of the Sun.
SunPosition sunPosition(double d);

// solarEphemeris
//   Given: year, month (1..12; 13 is January of the next year) and day.
//   Returns: P, B, the apparent radius, right ascension and declination of
//          the Sun at 0 h of that date. Every date yields numbers.
SolarEphemeris solarEphemeris(int year, int month, int day);

}  // namespace skanvert
