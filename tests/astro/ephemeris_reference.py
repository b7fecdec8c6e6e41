#!/usr/bin/env python3
"""Reference values for tests/astro/ephemeris_test.cpp.

Evaluates the Sun's low-precision theory once more, written out afresh in
Python from its published terms (not translated from the C++ source), and
prints the rows of the test's table with 17 significant digits. Python's
floats are IEEE doubles and its math module calls the C library, so the
values agree with the program's to the last bits; the test asks for
agreement to 5e-13 relative, half a unit of the last of the 13 significant
digits ("%.12E") that the header cards carry.

The day numbers come from the standard library's proleptic Gregorian
calendar (date.toordinal), not from the integer day-number formula, so they
check that formula as well.

Run: python3 tests/astro/ephemeris_reference.py
"""
import datetime
import math

DEG = 0.017453293   # degrees to radians, as the theory uses it
RAD = 57.295778     # radians to degrees, as the theory uses it


def mjd(year, month, day):
    """Modified Julian Day of a calendar date (1858-11-17 is day 0)."""
    return datetime.date(year, month, day).toordinal() - datetime.date(1858, 11, 17).toordinal()


def cyc(x):
    """fmod(x, 360): the truncating remainder, with the sign of x."""
    return math.fmod(x, 360.0)


def sun_position(d):
    """Geometric longitude, right ascension, declination, apparent
    longitude and true obliquity (degrees) for d days after JD 2415020.0."""
    t = d / 36525
    lon = (279.696678 + cyc(36000.768925 * t)) * 3600          # arcseconds
    me = 358.475844 + cyc(35999.04975 * t)
    lon += (6910.1 - 17.2 * t) * math.sin(me * DEG) + 72.3 * math.sin(2 * me * DEG)
    mv = 212.603219 + cyc(58517.803875 * t)
    lon += (4.8 * math.cos((299.1017 + mv - me) * DEG)
            + 5.5 * math.cos((148.3133 + 2 * mv - 2 * me) * DEG)
            + 2.5 * math.cos((315.9433 + 2 * mv - 3 * me) * DEG)
            + 1.6 * math.cos((345.2533 + 3 * mv - 4 * me) * DEG)
            + 1.0 * math.cos((318.15 + 3 * mv - 5 * me) * DEG))
    mm = 319.529425 + cyc(19139.8585 * t)
    lon += 2.0 * math.cos((343.8883 - 2 * mm + 2 * me) * DEG) + 1.8 * math.cos((200.4017 - 2 * mm + me) * DEG)
    mj = 225.328328 + cyc(3034.6920239 * t)
    lon += (7.2 * math.cos((179.5317 - mj + me) * DEG) + 2.6 * math.cos((263.2167 - mj) * DEG)
            + 2.7 * math.cos((87.145 - 2 * mj + 2 * me) * DEG) + 1.6 * math.cos((109.4933 - 2 * mj + me) * DEG))
    dl = 350.7376814 + cyc(445267.11422 * t)
    lon += 6.5 * math.sin(dl * DEG)
    lon += 6.4 * math.sin((231.19 + 20.2 * t) * DEG)
    lon = math.fmod(lon + 2592000, 1296000)
    geometric = lon / 3600
    lon -= 20.5
    omega = 259.183275 - cyc(1934.142008 * t)
    lon -= 17.2 * math.sin(omega * DEG)
    obliquity = 23.452294 - 0.0130125 * t + 9.2 * math.cos(omega * DEG) / 3600
    apparent = lon / 3600
    ra = RAD * math.atan2(math.sin(apparent * DEG) * math.cos(obliquity * DEG), math.cos(apparent * DEG))
    if ra < 0:
        ra += 360
    dec = RAD * math.asin(math.sin(apparent * DEG) * math.sin(obliquity * DEG))
    return geometric, ra, dec, apparent, obliquity


def ephemeris(year, month, day):
    """P, B, apparent radius (arcsec), right ascension, declination."""
    d = mjd(year, month, day) - 15019.5
    geometric, ra, dec, apparent, obliquity = sun_position(d)
    node = 73.666666 + (50.25 / 3600) * (d / 365.25 + 50)
    theta = geometric - 20.5 / 3600 - node
    p = RAD * (math.atan(-math.tan(obliquity * DEG) * math.cos(apparent * DEG))
               + math.atan(-0.12722 * math.cos(theta * DEG)))
    b = RAD * math.asin(0.1262 * math.sin(theta * DEG))
    t = d / 36525
    mv = 212.6 + cyc(58517.8 * t)
    me = 358.476 + cyc(35999.0498 * t)
    mm = 319.5 + cyc(19139.86 * t)
    mj = 225.3 + cyc(3034.69 * t)
    dl = 350.7 + cyc(445267.11 * t)
    r = (1.000141 - (0.016748 - 0.0000418 * t) * math.cos(me * DEG) - 0.00014 * math.cos(2 * me * DEG)
         + 0.000016 * math.cos((58.3 + 2 * mv - 2 * me) * DEG) + 0.000005 * math.cos((209.1 + mv - me) * DEG)
         + 0.000005 * math.cos((253.8 - 2 * mm + 2 * me) * DEG) + 0.000016 * math.cos((89.5 - mj + me) * DEG)
         + 0.000009 * math.cos((357.1 - 2 * mj + 2 * me) * DEG) + 0.000031 * math.cos(dl * DEG))
    radius = (0.2665685 / r) * 3600
    return p, b, radius, ra, dec, r


DATES = [(2005, 1, 1), (2005, 3, 20), (2005, 6, 21), (2005, 9, 23), (2010, 7, 4), (2006, 4, 12), (2020, 12, 31)]

if __name__ == "__main__":
    for y, m, dd in DATES:
        p, b, radius, ra, dec, r = ephemeris(y, m, dd)
        print("{%d, %d, %d, %s, %s, %s, %s, %s},  // r = %.9f AU, day %d" % (
            y, m, dd, *("%.17g" % v for v in (p, b, radius, ra, dec)), r, mjd(y, m, dd)))
