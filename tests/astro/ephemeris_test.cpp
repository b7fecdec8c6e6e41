#include "astro/ephemeris.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "astro/calendar.h"

using namespace skanvert;

namespace {

// Earth-Sun distance recovered from the apparent radius.
double distance(const SolarEphemeris& e) { return 0.2665685 * 3600 / e.solar_r; }

}  // namespace

TEST(Ephemeris, KnownDates) {
    struct Case { int y, m, d; double p, b, r, ra, dec; };
    for (const Case c : {Case{2005, 1, 1, 1.998, -3.039, 975.94, 281.599, -23.012},
                         {2005, 3, 20, -25.159, -7.044, 963.66, 359.522, -0.207},
                         {2005, 6, 21, -7.158, 1.737, 944.33, 89.705, 23.441},
                         {2005, 9, 23, 25.232, 7.027, 956.36, 180.059, -0.026},
                         {2010, 7, 4, -1.397, 3.174, 943.89, 102.977, 22.902}}) {
        const SolarEphemeris e = solarEphemeris(c.y, c.m, c.d);
        SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d);
        EXPECT_NEAR(e.solar_p, c.p, 0.0005);
        EXPECT_NEAR(e.solar_b, c.b, 0.0005);
        EXPECT_NEAR(e.solar_r, c.r, 0.005);
        EXPECT_NEAR(e.sol_ra, c.ra, 0.0005);
        EXPECT_NEAR(e.sol_dec, c.dec, 0.0005);
    }
}

TEST(Ephemeris, DistanceDayCountAndMonthThirteen) {
    const SolarEphemeris jan = solarEphemeris(2005, 1, 1);
    EXPECT_NEAR(distance(jan), 0.983306, 5e-7);
    EXPECT_NEAR(distance(solarEphemeris(2005, 6, 21)), 1.016222, 5e-7);
    // 0 h of 2005-01-01 is 38351.5 days after JD 2415020.0.
    EXPECT_EQ(jan.sol_ra, sunPosition(38351.5).rightAscension);
    // Month 13 is January of the next year, down to the last bit.
    const SolarEphemeris a = solarEphemeris(2005, 13, 1), b = solarEphemeris(2006, 1, 1);
    EXPECT_TRUE(a.solar_p == b.solar_p && a.solar_b == b.solar_b && a.solar_r == b.solar_r &&
                a.sol_ra == b.sol_ra && a.sol_dec == b.sol_dec);
}

TEST(Ephemeris, RightAscensionCoversCircleWithoutNegatives) {
    double lowest = 360, highest = 0;
    for (int day = 1; day <= 365; ++day) {
        const double ra = solarEphemeris(2005, 1, day).sol_ra;  // day numbers run on
        ASSERT_GE(ra, 0.0) << day;
        ASSERT_LT(ra, 360.0) << day;
        lowest = std::fmin(lowest, ra);
        highest = std::fmax(highest, ra);
    }
    EXPECT_LT(lowest, 1.0);
    EXPECT_GT(highest, 359.0);
}

TEST(Ephemeris, AbsurdDatesGiveNumbers) {
    for (int v : {INT_MIN, -1, 0, INT_MAX}) {
        const SolarEphemeris e = solarEphemeris(v, v, v);
        for (double x : {e.solar_p, e.solar_b, e.solar_r, e.sol_ra, e.sol_dec})
            EXPECT_TRUE(std::isfinite(x)) << v;
    }
}
