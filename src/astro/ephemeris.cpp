// The Sun's ephemeris by a truncated form of Newcomb's theory of the Sun
// (S. Newcomb, Tables of the Sun, Astronomical Papers of the American
// Ephemeris VI, 1895). Newcomb's mean elements are counted from the epoch
// 1900 January 0.5 (JD 2415020.0) in Julian centuries T; of his series only
// the terms of about an arcsecond and more are kept. The position angle,
// latitude and radius follow the standard formulas for the physical
// ephemeris of the Sun (see below).
// The tests pin the values to the digits the header cards carry; the terms
// left out, and the theory's age, bound how closely they follow the sky.
#include "astro/ephemeris.h"

#include <cmath>

#include "astro/calendar.h"

namespace skanvert {

namespace {

constexpr double D = kDegToRad;
constexpr double R = kRadToDeg;

}  // namespace

SunPosition sunPosition(double d) {
    using std::cos;
    using std::fmod;
    using std::sin;

    const double T = d / 36525;  // Julian centuries from JD 2415020.0

    // Newcomb's mean longitude of the Sun, 279 41' 48.04" + 129 602 768.13" T
    // (here in degrees a century, taken modulo 360), in arcseconds until the
    // apparent longitude is formed.
    double L = (279.696678 + fmod(36000.768925 * T, 360)) * 3600;

    // Equation of the centre from Newcomb's mean anomaly, 358 28' 33.04" +
    // 129 596 579.10" T: (1.91946 - 0.00479 T) degrees sin M + 0.02009
    // degrees sin 2M, in arcseconds.
    const double Me = 358.475844 + fmod(35999.04975 * T, 360);
    L += (6910.1 - 17.2 * T) * sin(Me * D) + 72.3 * sin(2 * Me * D);

    // The largest periodic perturbations of the longitude, in arcseconds,
    // from the mean anomalies of the planets and the Moon's mean elongation.
    // Perturbations by Venus.
    const double Mv = 212.603219 + fmod(58517.803875 * T, 360);
    L += 4.8 * cos((299.1017 + Mv - Me) * D) + 5.5 * cos((148.3133 + 2 * Mv - 2 * Me) * D) +
         2.5 * cos((315.9433 + 2 * Mv - 3 * Me) * D) +
         1.6 * cos((345.2533 + 3 * Mv - 4 * Me) * D) + 1.0 * cos((318.15 + 3 * Mv - 5 * Me) * D);

    // Perturbations by Mars.
    const double Mm = 319.529425 + fmod(19139.8585 * T, 360);
    L += 2.0 * cos((343.8883 - 2 * Mm + 2 * Me) * D) + 1.8 * cos((200.4017 - 2 * Mm + Me) * D);

    // Perturbations by Jupiter.
    const double Mj = 225.328328 + fmod(3034.6920239 * T, 360);
    L += 7.2 * cos((179.5317 - Mj + Me) * D) + 2.6 * cos((263.2167 - Mj) * D) +
         2.7 * cos((87.145 - 2 * Mj + 2 * Me) * D) + 1.6 * cos((109.4933 - 2 * Mj + Me) * D);

    // Perturbation by the Moon, from its mean elongation.
    const double Dl = 350.7376814 + fmod(445267.11422 * T, 360);
    L += 6.5 * sin(Dl * D);

    // Newcomb's long-period term (6.4" with a period of about 1800 years).
    L += 6.4 * sin((231.19 + 20.2 * T) * D);

    L = fmod(L + 2592000, 1296000);

    SunPosition pos{};
    pos.geometricLongitude = L / 3600;

    // Aberration (the constant of aberration, 20.5") and the principal term
    // of the nutation in longitude, -17.2" sin(Omega), Omega the longitude of
    // the Moon's ascending node, 259 10' 59.79" - 1934.142008 degrees T.
    L -= 20.5;
    const double omega = 259.183275 - fmod(1934.142008 * T, 360);
    L -= 17.2 * sin(omega * D);

    // True obliquity: Newcomb's mean obliquity of the ecliptic, 23 27' 08.26"
    // - 46.845" T, plus the principal term of the nutation in obliquity,
    // 9.2" cos(Omega).
    pos.obliquity = 23.452294 - 0.0130125 * T + 9.2 * cos(omega * D) / 3600;
    pos.apparentLongitude = L / 3600;

    const double lambda = pos.apparentLongitude;
    const double eps = pos.obliquity;
    double alpha = R * std::atan2(sin(lambda * D) * cos(eps * D), cos(lambda * D));
    if (alpha < 0) alpha += 360;
    pos.rightAscension = alpha;
    pos.declination = R * std::asin(sin(lambda * D) * sin(eps * D));
    return pos;
}

SolarEphemeris solarEphemeris(int year, int month, int day) {
    using std::cos;
    using std::fmod;
    using std::sin;

    // Days since JD 2415020.0 at 0 h of the date: the Modified Julian Day
    // counts from JD 2400000.5, and 2415020.0 - 2400000.5 = 15019.5.
    const double d = dayNumber(year, month, day) - 15019.5;

    const SunPosition pos = sunPosition(d);
    SolarEphemeris eph{};
    eph.sol_ra = pos.rightAscension;
    eph.sol_dec = pos.declination;

    // Orientation of the solar disc by Carrington's elements of the solar
    // rotation axis: the solar equator is inclined I = 7.25 degrees to the
    // ecliptic (tan I = 0.12722, sin I = 0.1262), its ascending node lay at
    // 73 40' (73.666666 degrees) in 1850 and advances 50.25" a year with the
    // precession (d / 365.25 + 50 is the years since 1850). The standard
    // formulas of the physical ephemeris of the Sun (as in J. Meeus,
    // Astronomical Algorithms, ch. 29): P = arctan(-cos(lambda) tan(eps)) +
    // arctan(-cos(lambda0 - node) tan I), B = arcsin(sin(lambda0 - node) sin I),
    // with lambda0 the longitude corrected for aberration only.
    const double lambda0 = pos.geometricLongitude - 20.5 / 3600;
    const double N = 73.666666 + (50.25 / 3600) * (d / 365.25 + 50);
    const double theta = lambda0 - N;
    eph.solar_p = R * (std::atan(-std::tan(pos.obliquity * D) * cos(pos.apparentLongitude * D)) +
                       std::atan(-0.12722 * cos(theta * D)));
    eph.solar_b = R * std::asin(0.1262 * sin(theta * D));

    // Earth-Sun distance (astronomical units) by Newcomb's radius vector:
    // the elliptic terms with his eccentricity (0.016751 - 0.0000418 T, here
    // rounded to 0.016748 in the constant) and the largest perturbations by
    // Venus, Mars, Jupiter and the Moon, each from its own short set of mean
    // elements.
    const double T = d / 36525;
    const double Mv = 212.6 + fmod(58517.8 * T, 360);
    const double Me = 358.476 + fmod(35999.0498 * T, 360);
    const double Mm = 319.5 + fmod(19139.86 * T, 360);
    const double Mj = 225.3 + fmod(3034.69 * T, 360);
    const double Dl = 350.7 + fmod(445267.11 * T, 360);
    const double r = 1.000141 - (0.016748 - 0.0000418 * T) * cos(Me * D) -
                     0.00014 * cos(2 * Me * D) + 0.000016 * cos((58.3 + 2 * Mv - 2 * Me) * D) +
                     0.000005 * cos((209.1 + Mv - Me) * D) +
                     0.000005 * cos((253.8 - 2 * Mm + 2 * Me) * D) +
                     0.000016 * cos((89.5 - Mj + Me) * D) +
                     0.000009 * cos((357.1 - 2 * Mj + 2 * Me) * D) + 0.000031 * cos(Dl * D);

    // Apparent radius: a semidiameter of 0.2665685 degrees (959.65") at one
    // astronomical unit, scaled by the distance.
    eph.solar_r = (0.2665685 / r) * 3600;
    return eph;
}

}  // namespace skanvert
