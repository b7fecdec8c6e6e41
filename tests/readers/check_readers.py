#!/usr/bin/python3
"""End-to-end checks of skanvert's FITS files by real FITS readers.

    /usr/bin/python3 tests/readers/check_readers.py --skanvert build/skanvert --vekgen build/vekgen

Simulates a few recordings with vekgen, converts each in several modes and
layouts with skanvert (in a temporary folder) and checks the results:

  recording   astropy opens the default layout; the image shape, the table
              rows and the header values follow from the recording (pixel
              count, the Sun's centre pixel, pixel size, frequencies from the
              channel configuration, overflow flags exactly where injected,
              date, object, antenna position); the solar disc in the data is
              centred on CRPIX1.
  gain        gain steps injected into the recording: visible without
              correction (-amp=0, the control), undone with -amp=1 (on the
              disc, where the automatic estimate is well conditioned) and
              -amp=2 (everywhere): no jump beyond a few noise levels.
  standard    the standard layout holds the same data and table bytes as the
              default one; fitsverify reports 0 errors and 0 warnings; cfitsio
              reads the scaled image and filters the table; fpack and
              funpack keep the image.
  world       astropy.wcs on the standard layout, both descriptions: each
              plane's frequency from its FREQ card and the configuration,
              the series' polarisation codes, the offsets, and the UT of the
              first, centre and last pixel from the stamps, dspdt and n
              (also across UT midnight); DATE-BEG/END/SUN from the stamps.
  checksum    astropy verifies every unit's CHECKSUM and DATASUM; one
              changed byte in any header or data unit fails astropy's and
              fitsverify's test.
  reader      python/skanvert reads both layouts into the same arrays and
              values (image, offsets, times, frequencies, table rows,
              ndcube); files of the wrong kind raise NotSkanvertFile.
  quicklook   tools/quicklook/skanvert_quicklook.py draws a PNG from either
              layout (and from a file without channels) and prints a summary;
              it reads the same values from both layouts.

Prints one line per check, then "N passed, M failed"; exits 1 when a check
failed, 2 when the checks could not run.
"""

import argparse
import importlib.util
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from datetime import date, datetime, timedelta

import numpy as np
from astropy.io import fits
from astropy.utils.exceptions import AstropyWarning

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
QUICKLOOK = os.path.join(REPO, "tools", "quicklook", "skanvert_quicklook.py")
sys.path.insert(0, os.path.join(REPO, "python"))
import skanvert  # noqa: E402  (the reader under test, from the source tree)
PYTHON = "/usr/bin/python3"

FRAME_SECONDS = 0.0076365  # vekgen's default frame time, which skanvert assumes too
DEFAULT_SMOOTHING = 20
TABLE_COLUMNS = ["date", "time", "object", "freq", "cdelt", "crpix", "tqsun", "theta",
                 "kflux", "solar_b", "solar_p", "solar_r", "azimuth", "altitude", "fiv",
                 "fcalibr"]

# The simulated recordings. 20000 frames (about 153 s); the Sun's centre
# crosses 70 s after the start, so with 20 frames a pixel it sits near pixel
# 540 of 1000 and the disc (a radius of 420-450 pixels) lies inside the scan
# with some quiet sky on either side.
RECORDINGS = {
    "mixed": dict(
        frames=20000, crossing=70, channels=list(range(1, 13)),
        dead=[2], noise_only=[5], overflow=[3, 12], gain_steps=[],
        date="2011-06-21", start="10:30:00", object="sun-e2e", altitude=52.5, seed=11,
        noise=20.0),
    # Steps at frames 3000 (x4) and 12000 (back to x1) fall on the disc,
    # 19000 (x2) on the quiet sky past the limb.
    "gain": dict(
        frames=20000, crossing=70, channels=list(range(1, 9)),
        dead=[], noise_only=[], overflow=[], gain_steps=[(3000, 2), (12000, 0), (19000, 1)],
        date="2006-04-12", start="12:00:00", object="sun", altitude=45.0, seed=3,
        noise=20.0),
    # Winter time (UT = local - 3 h): the start is 23:58:30 UT of the day
    # before the recorder's date and the Sun crosses just after UT midnight;
    # 30000 frames hold December's wider disc.
    "midnight": dict(
        frames=30000, crossing=110, channels=[1, 2, 3, 4],
        dead=[], noise_only=[], overflow=[], gain_steps=[],
        date="2009-12-02", start="02:58:30", object="sun", altitude=45.0, seed=7,
        noise=20.0),
    "nochannel": dict(
        frames=8000, crossing=30, channels=[1, 2, 3],
        dead=[1, 2, 3], noise_only=[], overflow=[], gain_steps=[],
        date="2009-12-01", start="09:00:00", object="sun", altitude=20.0, seed=5,
        noise=20.0),
}
ON_DISC_STEPS = {3000, 12000}

# The conversions: name, recording, -amp, -s (None: not given), layout.
CONVERSIONS = [
    ("mixed-amp0", "mixed", 0, None, "default"),
    ("mixed-amp1", "mixed", 1, None, "default"),
    ("mixed-amp2", "mixed", 2, None, "default"),
    ("mixed-amp1-s25", "mixed", 1, 25, "default"),
    ("mixed-amp1-std", "mixed", 1, None, "standard"),
    ("mixed-amp1-s25-std", "mixed", 1, 25, "standard"),
    ("gain-amp0", "gain", 0, None, "default"),
    ("gain-amp1", "gain", 1, None, "default"),
    ("gain-amp2", "gain", 2, None, "default"),
    ("gain-amp2-std", "gain", 2, None, "standard"),
    ("midnight-amp1", "midnight", 1, None, "default"),
    ("midnight-amp1-std", "midnight", 1, None, "standard"),
    ("nochannel-amp1", "nochannel", 1, None, "default"),
    ("nochannel-amp1-std", "nochannel", 1, None, "standard"),
]

# Tolerances.
CRPIX_PIXELS = 0.5          # header centre against the simulated crossing
DISC_CENTRE_PIXELS = 3.0    # half-power midpoint of the disc against CRPIX1
CONTROL_NOISE_LEVELS = 20   # an uncorrected step on the disc is at least this
AUTO_RESIDUAL_SHARE = 0.08  # -amp=1 leaves at most this share of the step
TABLE_RESIDUAL_NOISE = 5.0  # -amp=2 leaves no jump beyond this many noise levels


class Results:
    def __init__(self, verbose):
        self.passed = 0
        self.failed = []
        self.verbose = verbose

    def check(self, group, name, ok, detail=""):
        label = f"{group}: {name}"
        if ok:
            self.passed += 1
            print(f"ok    {label}" + (f"  ({detail})" if detail and self.verbose else ""))
        else:
            self.failed.append(label)
            print(f"FAIL  {label}: {detail}")
        return ok

    def note(self, text):
        print(f"note  {text}")


class Stop(Exception):
    """The checks cannot go on (a tool missing or not running at all)."""


# ----------------------------------------------------------------------------
# Running the tools

def run(cmd, cwd, timeout=60):
    try:
        return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, errors="replace", timeout=timeout)
    except subprocess.TimeoutExpired as err:
        raise Stop(f"{' '.join(cmd)} did not finish in {timeout} s") from err


def simulate(vekgen, folder, plan):
    os.makedirs(folder, exist_ok=True)
    cmd = [vekgen, f"--seed={plan['seed']}", f"--frames={plan['frames']}",
           f"--crossing={plan['crossing']}",
           "--channels=" + ",".join(map(str, plan["channels"])),
           f"--date={plan['date']}", f"--start={plan['start']}",
           f"--object={plan['object']}", f"--altitude={plan['altitude']}",
           f"--noise={plan['noise']}"]
    for option, key in (("--dead", "dead"), ("--noise-only", "noise_only"),
                        ("--overflow", "overflow")):
        if plan[key]:
            cmd.append(f"{option}=" + ",".join(map(str, plan[key])))
    if plan["gain_steps"]:
        cmd.append("--gain-step=" + ",".join(f"{f}:{n}" for f, n in plan["gain_steps"]))
    cmd.append("scan.dat")
    done = run(cmd, folder)
    if done.returncode != 0:
        raise Stop(f"vekgen failed ({done.returncode}): {' '.join(cmd)}\n{done.stderr.strip()}")
    return (read_channel_config(os.path.join(folder, "scan.cfg")),
            read_stamps(os.path.join(folder, "scan.dat")))


def read_stamps(path):
    """The recording's own times: the observation (crossing) clock time at
    byte 18 and the start stamp at byte 4032 ("Wed Apr 12 12:00:00 2006 315",
    the last field in milliseconds)."""
    with open(path, "rb") as f:
        head = f.read(4096)
    obs = head[18:26].decode("ascii", "replace")
    start = re.search(rb"(\d\d:\d\d:\d\d) \d{4} (\d{1,3})\b", head[4032:4064])
    stop = re.search(rb"(\d\d:\d\d:\d\d) \d{4} (\d{1,3})\b", head[3072:3104])
    if not re.fullmatch(r"\d\d:\d\d:\d\d", obs) or start is None or stop is None:
        raise Stop(f"{path}: no observation time or start and stop stamps where expected")
    return dict(obs=obs, start=start.group(1).decode(), start_ms=int(start.group(2)),
                stop=stop.group(1).decode(), stop_ms=int(stop.group(2)))


def seconds_of_day(clock):
    h, m, s = map(float, clock.split(":"))
    return h * 3600 + m * 60 + s


def read_channel_config(path):
    """Channel number -> frequency (GHz) from vekgen's .cfg."""
    table = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].isdigit():
                table[int(parts[0])] = float(parts[1])
    return table


def convert(skanvert, folder, out_name, amp, smooth, layout):
    out = os.path.join(folder, out_name)
    os.makedirs(out, exist_ok=True)
    cmd = [skanvert, "-f=scan.dat", "-cf=scan.cfg", f"-amp={amp}", f"-out={out_name}/"]
    if smooth is not None:
        cmd.append(f"-s={smooth}")
    if layout == "standard":
        cmd.append("-layout=standard")
    done = run(cmd, folder)
    return done, os.path.join(out, "scan.fits"), " ".join(cmd)


# ----------------------------------------------------------------------------
# Reading with astropy

class Fits:
    """One converted file read with astropy: raw stored integers and values."""

    def __init__(self, path):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", AstropyWarning)
            with fits.open(path, do_not_scale_image_data=True, memmap=False) as hdus:
                self.names = [h.name for h in hdus]
                self.header = hdus[0].header.copy()
                data = hdus[0].data
                self.raw = np.zeros((0,), dtype=">i4") if data is None else np.array(data)
                table = next((h for h in hdus[1:] if h.name.upper() == "SCAN_PARAMS"), None)
                self.table_header = None if table is None else table.header.copy()
                self.table = None if table is None else np.array(table.data)
                self.table_raw = None
                if table is not None:
                    self.table_raw = b"" if table.data is None else table.data.tobytes()
            with fits.open(path, memmap=False) as hdus:
                data = hdus[0].data
                self.scaled = None if data is None else np.array(data, dtype=np.float64)
        h = self.header
        self.npix = h["NAXIS1"]
        self.nchan = h["NAXIS3"]
        self.standard = "BSCALE" in h
        self.values = (self.raw.astype(np.float64) / 100.0 if not self.standard
                       else self.raw.astype(np.float64) * h["BSCALE"] + h.get("BZERO", 0))
        self.crpix0 = h["CRPIX1"] - (1 if self.standard else 0)
        self.freqs = [h.get(f"FREQ{i:03d}") for i in range(1, self.nchan + 1)]
        self.over = [h.get(f"OVER{i:03d}") for i in range(1, self.nchan + 1)]


def summer_time(day):
    """The recorder's summer time: last Sunday of March through the last of October."""
    def last_sunday(month):
        d = date(day.year, month, 31)
        while d.weekday() != 6:
            d = d.replace(day=d.day - 1)
        return d
    return last_sunday(3) <= day <= last_sunday(10)


def stamp_utc(plan, clock, ms=0):
    """A local clock time of the recording's day in UT: less 3 h (4 h in summer)."""
    day = date.fromisoformat(plan["date"])
    local = datetime.combine(day, datetime.strptime(clock, "%H:%M:%S").time()) + timedelta(milliseconds=ms)
    return local - timedelta(hours=4 if summer_time(day) else 3)


def start_utc(plan, stamp):
    """The recording's start in UT."""
    return stamp_utc(plan, stamp["start"], stamp["start_ms"])


def pixel_times(plan, stamp, smooth, npix):
    """UT of every image pixel, computed from the stamps, the frame time and n:
    pixel p of recording order starts at start + p * n * dspdt, and the image
    holds the pixels in reverse order."""
    step = (smooth or DEFAULT_SMOOTHING) * FRAME_SECONDS
    start = start_utc(plan, stamp)
    return [start + timedelta(seconds=(npix - 1 - q) * step) for q in range(npix)]


def approx_declination(iso):
    """The Sun's declination in degrees to within about a degree."""
    d = date.fromisoformat(iso)
    day = d.timetuple().tm_yday
    return 23.44 * math.sin(2 * math.pi * (day - 81) / 365.0)


def local_clock(start, seconds):
    h, m, s = map(int, start.split(":"))
    total = h * 3600 + m * 60 + s + seconds
    return f"{total // 3600 % 24:02d}:{total // 60 % 60:02d}:{total % 60:02d}"


def sun_channels(plan):
    return [c for c in plan["channels"] if c not in plan["dead"] and c not in plan["noise_only"]]


def plane_channels(f, config):
    """The channel of each plane, found by its frequency (None if none fits)."""
    found = []
    for freq in f.freqs:
        match = [c for c, g in config.items() if freq is not None and abs(g - freq) < 0.006]
        found.append(match[0] if len(match) == 1 else None)
    return found


# ----------------------------------------------------------------------------
# Check groups

def check_recording(res, name, f, plan, config, stamp, smooth):
    """Header, table and data against what the recording implies."""
    g = f"recording {name}"
    h = f.header
    n = smooth or DEFAULT_SMOOTHING
    N = plan["frames"] // n
    expected_planes = [c for c in plan["channels"] if c not in plan["dead"]]
    k_bounds = (len(sun_channels(plan)), len(expected_planes))

    res.check(g, "primary image: BITPIX 32, 3 axes, NAXIS1 = frames // n, NAXIS2 = 2",
              h["BITPIX"] == 32 and h["NAXIS"] == 3 and f.npix == N and h["NAXIS2"] == 2,
              f"BITPIX={h['BITPIX']} NAXIS={h['NAXIS']} NAXIS1={f.npix} (want {N}) "
              f"NAXIS2={h['NAXIS2']}")
    shape_ok = (f.raw.shape == (f.nchan, 2, N)) or (f.nchan == 0 and f.raw.size == 0)
    res.check(g, "image data shape is NAXIS3 x 2 x NAXIS1", shape_ok,
              f"data {f.raw.shape}, header {f.nchan} x 2 x {f.npix}")

    planes = plane_channels(f, config)
    res.check(g, "every FREQnnn is a frequency of the channel configuration",
              None not in planes, f"FREQ {f.freqs} vs .cfg {config}")
    if None not in planes:
        chans = list(planes)
        res.check(g, "planes follow the configuration's channel order, once each",
                  chans == sorted(set(chans)), f"channels {chans}")
        res.check(g, "dead channels are not in the file",
                  not set(chans) & set(plan["dead"]), f"channels {chans}, dead {plan['dead']}")
        res.check(g, "every channel that carries the Sun is in the file",
                  set(sun_channels(plan)) <= set(chans),
                  f"channels {chans}, missing {sorted(set(sun_channels(plan)) - set(chans))}")
        want_over = [1 if c in plan["overflow"] else 0 for c in chans]
        res.check(g, "OVERnnn = 1 exactly on the channels with injected overflow",
                  f.over == want_over, f"OVER {f.over}, want {want_over} for channels {chans}")
    res.check(g, "accepted channel count within the expected bounds",
              k_bounds[0] <= f.nchan <= k_bounds[1], f"NAXIS3={f.nchan}, want {k_bounds}")

    # Geometry: the Sun's centre and the pixel size. The crossing lies
    # `crossing` seconds after the start's whole second, so the start stamp's
    # milliseconds come off; output pixels run backwards in time.
    since_start = (seconds_of_day(stamp["obs"]) - seconds_of_day(stamp["start"])
                   - stamp["start_ms"] / 1000.0)
    centre = N - (since_start / FRAME_SECONDS) / n - 1
    res.check(g, "CRPIX1 at the simulated crossing (+-%g pixels)" % CRPIX_PIXELS,
              abs(f.crpix0 - centre) <= CRPIX_PIXELS,
              f"CRPIX1={h['CRPIX1']} ({'1' if f.standard else '0'}-based), crossing "
              f"{since_start:.3f} s after the start, at pixel {centre:.3f} from 0")
    dec = h.get("SOL_DEC", float("nan"))
    res.check(g, "SOL_DEC is the Sun's declination on the recording's date (+-1 deg)",
              abs(dec - approx_declination(plan["date"])) < 1.0,
              f"SOL_DEC={dec}, about {approx_declination(plan['date']):.2f} expected")
    res.check(g, "SOLAR_R is an apparent solar radius in arcsec (944..976)",
              944 <= h.get("SOLAR_R", 0) <= 976, f"SOLAR_R={h.get('SOLAR_R')}")
    drift = 15.0 * math.cos(math.radians(dec)) * FRAME_SECONDS * n
    res.check(g, "CDELT1 = 15 arcsec/s x cos(SOL_DEC) x frame time x n (0.1%)",
              abs(h["CDELT1"] / drift - 1) < 1e-3, f"CDELT1={h['CDELT1']}, drift {drift:.6f}")

    # Identification of the observation.
    want_date = start_utc(plan, stamp).isoformat(timespec="milliseconds") if f.standard \
        else plan["date"].replace("-", "/")
    res.check(g, "DATE-OBS is the recording's date (default) or its start in UT (standard)",
              h.get("DATE-OBS") == want_date, f"DATE-OBS={h.get('DATE-OBS')!r}, want {want_date!r}")
    local = local_clock(plan["start"], plan["crossing"])
    res.check(g, "TIME-OBS is the crossing's clock time (zones differ by whole hours)",
              str(h.get("TIME-OBS", ""))[2:] == local[2:],
              f"TIME-OBS={h.get('TIME-OBS')!r}, crossing at {local} local")
    want_start = f"{stamp['start']}.{stamp['start_ms']:03d}"
    res.check(g, "STARTOBS is the recording's start stamp with milliseconds",
              h.get("STARTOBS") == want_start and stamp["start"] == plan["start"],
              f"STARTOBS={h.get('STARTOBS')!r}, stamp {want_start}, asked {plan['start']}")
    res.check(g, "OBJECT and ALTITUDE as recorded",
              h.get("OBJECT") == plan["object"] and abs(h.get("ALTITUDE", -1) - plan["altitude"]) < 1e-4,
              f"OBJECT={h.get('OBJECT')!r} ALTITUDE={h.get('ALTITUDE')}")

    # The table.
    t = f.table
    if not res.check(g, "Scan_params extension present with the 16 columns",
                     t is not None and list(t.dtype.names or []) == TABLE_COLUMNS,
                     f"HDUs {f.names}, columns {None if t is None else t.dtype.names}"):
        return
    res.check(g, "Scan_params has one row per channel", len(t) == f.nchan,
              f"{len(t)} rows, NAXIS3={f.nchan}")
    if len(t) == f.nchan and f.nchan:
        crpix_default = h["CRPIX1"] - (1 if f.standard else 0)
        mismatches = []
        for col, want in (("freq", f.freqs), ("cdelt", [h["CDELT1"]] * f.nchan),
                          ("crpix", [crpix_default] * f.nchan),
                          ("solar_r", [h["SOLAR_R"]] * f.nchan),
                          ("altitude", [h["ALTITUDE"]] * f.nchan)):
            if not np.allclose(t[col].astype(float), want, rtol=1e-5, atol=1e-4):
                mismatches.append(f"{col} {t[col][:3]}.. vs {want[:3]}..")
        for col, want in (("object", h["OBJECT"]), ("time", h["TIME-OBS"]),
                          ("date", plan["date"].replace("-", "/"))):
            texts = [v.decode("ascii", "replace") if isinstance(v, bytes) else str(v) for v in t[col]]
            if any(v.strip() != want for v in texts):
                mismatches.append(f"{col} {t[col][:2]}.. vs {want!r}")
        res.check(g, "table columns agree with the header (crpix counted from 0)",
                  not mismatches, "; ".join(mismatches))


def median_filter(series, width=9):
    half = width // 2
    padded = np.pad(series, half, mode="edge")
    windows = np.lib.stride_tricks.sliding_window_view(padded, width)
    return np.median(windows, axis=1)


def disc_midpoint(series):
    """Midpoint of the two half-power points of the disc, or None.

    The series is median-filtered first (single-pixel spikes such as an
    overflowing sample do not move the edges); each edge is the crossing of
    the half level, interpolated between pixels, outward from the peak.
    """
    s = median_filter(np.asarray(series, dtype=float))
    low, high = np.percentile(s, [2, 98])
    half = (low + high) / 2
    above = np.flatnonzero(s > half)
    if above.size == 0:
        return None
    peak = int(np.argmax(s))
    left = peak
    while left > 0 and s[left - 1] > half:
        left -= 1
    right = peak
    while right < len(s) - 1 and s[right + 1] > half:
        right += 1
    if left == 0 or right == len(s) - 1:
        return None  # the disc runs off the scan

    def crossing(a, b):  # s[a] <= half < s[b] or the reverse
        return a + (half - s[a]) / (s[b] - s[a]) * (b - a)

    return (crossing(left - 1, left) + crossing(right + 1, right)) / 2.0


def check_noise_scale(res, name, f, plan, config, smooth):
    """The stored values are the block differences x100: on the quiet sky
    their noise is the simulated noise per sample x sqrt(2 / n)."""
    n = smooth or DEFAULT_SMOOTHING
    want = plan["noise"] * math.sqrt(2.0 / n)
    radius = f.header["SOLAR_R"] / f.header["CDELT1"]
    # The wider stretch of quiet sky, 40 pixels clear of the limb.
    before = (2, int(f.crpix0 - radius - 40))
    after = (int(f.crpix0 + radius + 40), f.npix - 2)
    lo, hi = max(before, after, key=lambda r: r[1] - r[0])
    planes = plane_channels(f, config)
    diffs = [np.diff(f.values[p, s, lo:hi]) for p, c in enumerate(planes)
             if c in sun_channels(plan) for s in (0, 1)]
    if hi - lo < 20 or not diffs:
        res.check(f"recording {name}", "quiet-sky noise", False, f"no quiet sky ({lo}..{hi})")
        return
    d = np.concatenate(diffs)
    got = 1.4826 * np.median(np.abs(d - np.median(d))) / math.sqrt(2)
    res.check(f"recording {name}",
              "values are counts (stored / 100): quiet-sky noise = noise x sqrt(2/n) (+-15%)",
              abs(got / want - 1) < 0.15, f"noise {got:.2f} over pixels {lo}..{hi}, want {want:.2f}")


def check_disc(res, name, f, plan, config):
    """The solar disc in the data sits where CRPIX1 says."""
    planes = plane_channels(f, config)
    worst, detail = 0.0, []
    for p, c in enumerate(planes):
        if c not in sun_channels(plan):
            continue
        for s in (0, 1):
            mid = disc_midpoint(f.values[p, s])
            off = float("inf") if mid is None else mid - f.crpix0
            if abs(off) > abs(worst):
                worst = off
            if abs(off) > DISC_CENTRE_PIXELS:
                detail.append(f"channel {c} series {s + 1}: disc midpoint {mid}")
    res.check(f"recording {name}",
              "solar disc centred on CRPIX1 in every Sun channel (+-%g pixels)" % DISC_CENTRE_PIXELS,
              not detail, "; ".join(detail) or f"worst offset {worst:+.2f}")


def step_jump(series, p, width=20, gap=2):
    """Level change at pixel p: straight lines fitted to `width` pixels on
    each side (leaving `gap` pixels out) and compared at p; and the noise
    level (residual rms of both fits)."""
    i = int(round(p))
    left = np.arange(i - gap - width, i - gap)
    right = np.arange(i + gap + 1, i + gap + 1 + width)
    if left[0] < 0 or right[-1] >= len(series):
        return None, None
    fl = np.polyfit(left, series[left], 1)
    fr = np.polyfit(right, series[right], 1)
    resid = np.concatenate([series[left] - np.polyval(fl, left),
                            series[right] - np.polyval(fr, right)])
    noise = math.sqrt(float((resid ** 2).sum()) / (len(resid) - 4))
    return float(np.polyval(fr, p) - np.polyval(fl, p)), noise


def check_gain(res, files, plan, config):
    """Gain steps: visible without correction, undone with -amp=1 and 2.

    -amp=1 estimates each step's factor from the two pixels before it and
    three after it. On the disc the level is a hundred noise levels and the
    estimate is good to a few percent; on the quiet sky it is a dozen noise
    levels and the estimate can be off by half, so there only -amp=2, which
    reads the gain status words, is held to continuity."""
    uncorrected = files.get("gain-amp0")
    n = DEFAULT_SMOOTHING
    N = plan["frames"] // n
    for name, amp in (("gain-amp0", 0), ("gain-amp1", 1), ("gain-amp2", 2)):
        f = files.get(name)
        if f is None:
            continue
        g = f"gain {name}"
        planes = plane_channels(f, config)
        for frame, step in plan["gain_steps"]:
            p = N - frame / n - 1          # output order runs backwards
            on_disc = frame in ON_DISC_STEPS
            if amp in (0, 1) and not on_disc:
                continue
            bad, worst = [], 0.0
            for plane, c in enumerate(planes):
                for s in (0, 1):
                    jump, noise = step_jump(f.values[plane, s], p)
                    if jump is None:
                        bad.append(f"channel {c}: step too close to the edge")
                        continue
                    if amp == 0:
                        ratio = abs(jump) / noise
                        worst = ratio if not worst else min(worst, ratio)
                        if ratio < CONTROL_NOISE_LEVELS:
                            bad.append(f"channel {c} s{s + 1}: jump {jump:.1f} = {ratio:.1f} noise")
                    elif amp == 1:
                        ref, _ = step_jump(uncorrected.values[plane, s], p) if uncorrected else (None, None)
                        if not ref:
                            bad.append(f"channel {c}: no uncorrected step to compare")
                            continue
                        share = abs(jump / ref)
                        worst = max(worst, share)
                        if share > AUTO_RESIDUAL_SHARE:
                            bad.append(f"channel {c} s{s + 1}: {jump:.1f} left of {ref:.1f}")
                    else:
                        ratio = abs(jump) / noise
                        worst = max(worst, ratio)
                        if ratio > TABLE_RESIDUAL_NOISE:
                            bad.append(f"channel {c} s{s + 1}: jump {jump:.1f} = {ratio:.1f} noise")
            where = f"step x{2 ** step} at frame {frame} (pixel {p:.0f}, {'disc' if on_disc else 'quiet sky'})"
            if amp == 0:
                res.check(g, f"{where} visible without correction (>= {CONTROL_NOISE_LEVELS} noise)",
                          not bad, "; ".join(bad) or f"smallest {worst:.0f} noise")
            elif amp == 1:
                res.check(g, f"{where} undone (<= {AUTO_RESIDUAL_SHARE:.0%} of the uncorrected jump)",
                          not bad, "; ".join(bad) or f"largest {worst:.1%}")
            else:
                res.check(g, f"{where} undone (<= {TABLE_RESIDUAL_NOISE:g} noise)",
                          not bad, "; ".join(bad) or f"largest {worst:.1f} noise")


def cfitsio_copy(tool, source, target, folder):
    done = run([tool, source, target], folder)
    return done.returncode == 0 and os.path.exists(os.path.join(folder, target)), \
        (done.stdout + done.stderr).strip()


def check_standard(res, name, f, default, path, folder):
    """The standard layout against its default twin and cfitsio."""
    g = f"standard {name}"
    h = f.header
    res.check(g, "BSCALE = 0.01, BZERO = 0",
              h.get("BSCALE") == 0.01 and h.get("BZERO") == 0,
              f"BSCALE={h.get('BSCALE')} BZERO={h.get('BZERO')}")
    if default is not None:
        same = f.raw.shape == default.raw.shape and np.array_equal(f.raw, default.raw)
        res.check(g, "image data bytes equal to the default layout's", same,
                  f"shapes {f.raw.shape} / {default.raw.shape}")
        res.check(g, "table data bytes equal to the default layout's",
                  f.table_raw is not None and f.table_raw == default.table_raw,
                  f"{len(f.table_raw or b'')} / {len(default.table_raw or b'')} bytes")
        res.check(g, "CRPIX1 = default layout's CRPIX1 + 1",
                  abs(h["CRPIX1"] - default.header["CRPIX1"] - 1) < 1e-4,
                  f"{h['CRPIX1']} vs {default.header['CRPIX1']}")
        keys = [k for k in ("CDELT1", "FREQ001", "OVER001", "OBJECT", "TIME-OBS", "SOLAR_R")
                if k in default.header]
        diff = [k for k in keys if h.get(k) != default.header[k]]
        res.check(g, "other header values equal to the default layout's", not diff,
                  ", ".join(f"{k}: {h.get(k)!r} vs {default.header[k]!r}" for k in diff))
    if f.nchan and f.scaled is not None:
        res.check(g, "astropy applies BSCALE: scaled data = stored / 100",
                  np.allclose(f.scaled, f.raw / 100.0, atol=1e-9),
                  f"first scaled {f.scaled.ravel()[:3]}, stored {f.raw.ravel()[:3]}")

    # fitsverify (cfitsio): no error, no warning.
    rel = os.path.relpath(path, folder)
    done = run(["fitsverify", "-q", rel], folder)
    line = (done.stdout + done.stderr).strip()
    ok = done.returncode == 0 and line.startswith("verification OK")
    if not ok:
        full = run(["fitsverify", rel], folder)
        line += "\n" + "\n".join(l for l in full.stdout.splitlines()
                                 if "***" in l or "Error" in l or "Warning" in l)
    res.check(g, "fitsverify -q: 0 errors, 0 warnings", ok, line)

    # cfitsio reads the image with its scaling: a pixel filter writes the
    # physical values as reals.
    if f.nchan:
        target = f"cfitsio-image-{name}.fits"
        ok, msg = cfitsio_copy("imcopy", f"{rel}[pix X * 1.0]", target, folder)
        if ok:
            with fits.open(os.path.join(folder, target), memmap=False) as copy:
                values = np.array(copy[0].data, dtype=np.float64)
            ok = values.shape == f.values.shape and np.allclose(values, f.values, atol=0.005)
            msg = f"cfitsio values {values.shape}, first {values.ravel()[:3]} vs {f.values.ravel()[:3]}"
        res.check(g, "cfitsio (imcopy) reads the image as stored x BSCALE", ok, msg)

    # cfitsio evaluates the table: a row filter on the frequency column.
    if f.table is not None:
        cut = float(np.median(f.table["freq"])) if len(f.table) else 0.0
        target = f"cfitsio-table-{name}.fits"
        ok, msg = cfitsio_copy("fitscopy", f"{rel}[Scan_params][freq > {cut}][col freq;crpix]",
                               target, folder)
        if ok:
            with fits.open(os.path.join(folder, target), memmap=False) as copy:
                rows = copy[1].data
                got = [] if rows is None else list(np.round(rows["freq"].astype(float), 3))
            want = [round(float(v), 3) for v in f.table["freq"] if v > cut]
            ok = got == want
            msg = f"cfitsio rows with freq > {cut}: {got}, astropy: {want}"
        res.check(g, "cfitsio (fitscopy) filters the table rows by frequency", ok, msg)


def seconds_apart(a, b):
    return abs((a - b).total_seconds())


def astropy_datetime(t):
    """An astropy Time (scalar) as a naive datetime in UT."""
    return t.to_datetime()


def check_world(res, name, f, path, plan, config, stamp, smooth):
    """The standard layout's world coordinates against values computed from
    the recording: frequencies, polarisations, offsets and pixel times."""
    from astropy.wcs import WCS
    g = f"world {name}"
    h = f.header
    N, k = f.npix, f.nchan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", AstropyWarning)
        with fits.open(path, memmap=False) as hdus:
            names = [u.name.upper() for u in hdus]
            res.check(g, "units: primary, Scan_params, then the frequency table WCS-TAB",
                      names == (["PRIMARY", "SCAN_PARAMS", "WCS-TAB"] if k else ["PRIMARY", "SCAN_PARAMS"]),
                      f"{names}")
            try:
                w = WCS(h, fobj=hdus)
            except Exception as err:  # no WCS at all is the finding
                res.check(g, "astropy WCS(header, fobj=hdul) of all three axes", False, repr(err))
                return
        try:
            wa = WCS(h, key="A")
        except Exception as err:
            res.check(g, "astropy WCS(header, key='A') (UT time)", False, repr(err))
            return
    res.check(g, "world axis types: offset, Stokes, frequency; time in description A",
              list(w.wcs.ctype) == ["OFFSET", "STOKES", "FREQ-TAB" if k else "FREQ"]
              and wa.world_axis_physical_types[:2] == ["time", "phys.polarization.stokes"],
              f"{list(w.wcs.ctype)} / {wa.world_axis_physical_types}")
    stop = stamp_utc(plan, stamp["stop"], stamp["stop_ms"])
    res.check(g, "DATE-BEG = DATE-OBS and DATE-END: the start and stop stamps in UT",
              h.get("DATE-BEG") == h.get("DATE-OBS") == start_utc(plan, stamp).isoformat(timespec="milliseconds")
              and h.get("DATE-END") == stop.isoformat(timespec="milliseconds") and h.get("TIMESYS") == "UTC",
              f"DATE-BEG {h.get('DATE-BEG')} DATE-END {h.get('DATE-END')} (stop {stop}), TIMESYS {h.get('TIMESYS')}")
    res.check(g, "BUNIT, CREATOR and VERS_SW",
              h.get("BUNIT") == "adu" and h.get("CREATOR") == "skanvert" and bool(h.get("VERS_SW")),
              f"BUNIT {h.get('BUNIT')!r} CREATOR {h.get('CREATOR')!r} VERS_SW {h.get('VERS_SW')!r}")
    if not (k and N):
        return

    # Axis 3: each plane's frequency, the FREQnnn card's and the channel's.
    planes = np.arange(k)
    world = w.pixel_to_world_values(np.zeros(k), np.zeros(k), planes)
    hz = np.asarray(world[2])
    cards = np.array([h[f"FREQ{j:03d}"] for j in range(1, k + 1)]) * 1e9
    res.check(g, "every plane's frequency (Hz) is its FREQnnn card x 1e9",
              np.allclose(hz, cards, rtol=1e-12, atol=0), f"{hz} vs {cards}")
    chans = plane_channels(f, config)
    want = np.array([config[c] * 1e9 if c is not None else np.nan for c in chans])
    res.check(g, "every plane's frequency is its channel's in the configuration (1 MHz)",
              np.allclose(hz, want, atol=1e6), f"{hz} vs {want}")

    # Axis 2: the two series are R and L (FLAG_IV = 1).
    codes = np.asarray(w.pixel_to_world_values([0, 0], [0, 1], [0, 0])[1])
    res.check(g, "the two series are Stokes RR (-1) and LL (-2), as FLAG_IV = 1 says",
              h["FLAG_IV"] == 1 and list(codes) == [-1.0, -2.0], f"codes {codes}, FLAG_IV {h['FLAG_IV']}")

    # Axis 1: offset 0 at the Sun centre, CDELT1 arcsec a pixel.
    n = smooth or DEFAULT_SMOOTHING
    since_start = (seconds_of_day(stamp["obs"]) - seconds_of_day(stamp["start"]) - stamp["start_ms"] / 1000.0)
    centre = N - (since_start / FRAME_SECONDS) / n - 1
    off = np.asarray(w.pixel_to_world_values([0, centre, N - 1], [0, 0, 0], [0, 0, 0])[0])
    drift = 15.0 * math.cos(math.radians(h["SOL_DEC"])) * FRAME_SECONDS * n
    want_off = (np.array([0, centre, N - 1]) - centre) * drift
    res.check(g, "offset (arcsec) of the first, centre and last pixel from the stamps (0.1%, 1 arcsec)",
              np.allclose(off, want_off, rtol=1e-3, atol=1.0), f"{off} vs {want_off}")

    # Description A: UT of the first, centre and last pixel.
    want_t = pixel_times(plan, stamp, smooth, N)
    picks = [0, int(round(centre)), N - 1]
    got = wa.pixel_to_world(picks, [0] * 3, [0] * 3)[0]
    got = [astropy_datetime(t) for t in got]
    worst = max(seconds_apart(a, want_t[p]) for a, p in zip(got, picks))
    res.check(g, "UT of the first, centre and last pixel from the stamps, dspdt and n (1 ms)",
              worst < 1e-3, f"{[t.isoformat() for t in got]} vs {[want_t[p].isoformat() for p in picks]}")
    at_crpix = astropy_datetime(wa.pixel_to_world(h["CRPIX1"] - 1, 0, 0)[0])
    crossing = stamp_utc(plan, stamp["obs"])
    res.check(g, "the time at CRPIX1 is the crossing's UT and DATE-SUN (1 ms)",
              seconds_apart(at_crpix, crossing) < 1e-3
              and h.get("DATE-SUN") == crossing.isoformat(timespec="milliseconds"),
              f"{at_crpix} / DATE-SUN {h.get('DATE-SUN')} vs {crossing}")


def flipped_copy(path, folder, label, position):
    """A copy of the file with one bit of the byte at `position` changed."""
    data = bytearray(open(path, "rb").read())
    data[position] ^= 0x04
    target = os.path.join(folder, f"flipped-{label}.fits")
    with open(target, "wb") as out:
        out.write(data)
    return target


def checksum_failures(path):
    """astropy's checksum verdicts: the messages of its failed verifications."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with fits.open(path, checksum=True, memmap=False) as hdus:
            for unit in hdus:
                unit.data  # noqa: B018  (verification happens as the data are read)
    return [str(c.message) for c in caught if "hecksum" in str(c.message) or "atasum" in str(c.message)]


def check_checksums(res, name, path, folder):
    """CHECKSUM and DATASUM verify, and a changed byte anywhere is caught."""
    g = f"checksum {name}"
    failures = checksum_failures(path)
    res.check(g, "astropy verifies CHECKSUM and DATASUM of every unit", not failures, "; ".join(failures))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", AstropyWarning)
        with fits.open(path, memmap=False) as hdus:
            starts = [u.fileinfo()["datLoc"] for u in hdus]
            sizes = [u.fileinfo()["datSpan"] for u in hdus]
            heads = [u.fileinfo()["hdrLoc"] for u in hdus]
            present = all("CHECKSUM" in u.header and "DATASUM" in u.header for u in hdus)
    res.check(g, "every unit has CHECKSUM and DATASUM cards", present)
    spots = [("primary-header", heads[0] + 80 * 11 + 15)]  # a value in the primary header
    spots += [(f"data-of-unit-{i}", starts[i] + 5) for i in range(len(starts)) if sizes[i]]
    for label, position in spots:
        bad = flipped_copy(path, folder, f"{name}-{label}", position)
        failures = checksum_failures(bad)
        done = run(["fitsverify", "-q", os.path.basename(bad)], folder)
        verdict = (done.stdout + done.stderr).strip()
        res.check(g, f"one changed byte ({label}) fails astropy's and fitsverify's checksum test",
                  bool(failures) and not verdict.startswith("verification OK"),
                  f"astropy: {failures[:1]}; fitsverify: {verdict[:160]}")


def check_fpack(res, name, path, folder):
    """fpack compresses the file and funpack gives the image back."""
    g = f"standard {name}"
    packed = os.path.join(folder, f"fpack-{name}.fits.fz")
    done = run(["fpack", "-O", packed, path], folder)
    ok = done.returncode == 0 and os.path.exists(packed)
    msg = (done.stdout + done.stderr).strip()
    if ok:
        unpacked = os.path.join(folder, f"funpack-{name}.fits")
        done = run(["funpack", "-O", unpacked, packed], folder)
        ok = done.returncode == 0
        if ok:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", AstropyWarning)
                with fits.open(path, do_not_scale_image_data=True) as a, \
                        fits.open(unpacked, do_not_scale_image_data=True) as b:
                    ok = np.array_equal(a[0].data, b[0].data)
        msg = (done.stdout + done.stderr).strip() or "funpack's image differs"
    res.check(g, "fpack and funpack keep the image", ok, msg)


def check_reader_layouts(res, name, default_path, standard_path, smooth, plan, stamp):
    """Both layouts through skanvert.read: the same arrays and values."""
    g = f"reader {name}"
    try:
        a, b = skanvert.read(default_path), skanvert.read(standard_path)
        ha = skanvert.read_header(default_path)
    except Exception as err:  # any failure to read is the finding
        res.check(g, "skanvert.read opens both layouts", False, repr(err))
        return
    res.check(g, "layouts told apart", (a.layout, b.layout) == ("default", "standard"))
    res.check(g, "the same image of physical values (channels x 2 x pixels)",
              a.image.shape == b.image.shape == (a.nchan, 2, a.npix) and np.array_equal(a.image, b.image),
              f"{a.image.shape} / {b.image.shape}")
    res.check(g, "the same offsets (arcsec), frequencies (GHz), polarisations and overflow flags",
              np.allclose(a.offset.to_value("arcsec"), b.offset.to_value("arcsec"), atol=1e-3)
              and np.array_equal(a.frequency.to_value("GHz"), b.frequency.to_value("GHz"))
              and a.polarisation == b.polarisation == ("RR", "LL")
              and np.array_equal(a.overflow, b.overflow),
              f"{a.frequency} / {b.frequency}, {a.polarisation} / {b.polarisation}")
    # The default layout's DSPDT card has six decimals: its times may drift
    # by up to N x n x 5e-7 s from the standard layout's.
    n = smooth or DEFAULT_SMOOTHING
    drift = a.npix * n * 5e-7 + 1e-3
    apart = np.max(np.abs((a.time - b.time).to_value("s"))) if a.npix else 0.0
    res.check(g, "the same pixel times (UT) from both layouts (within DSPDT's six decimals)",
              apart <= drift, f"{apart:.4f} s apart, allowed {drift:.4f} s")
    if a.npix:
        want = pixel_times(plan, stamp, smooth, a.npix)
        worst = max(seconds_apart(astropy_datetime(a.time[q]), want[q]) for q in (0, a.npix // 2, a.npix - 1))
        res.check(g, "the default layout's pixel times from its cards, against the stamps",
                  worst <= drift, f"{worst:.4f} s off, allowed {drift:.4f} s")
    same = all(abs((x - y).to_value("s")) < 1e-3 for x, y in
               ((a.start, b.start), (a.stop, b.stop), (a.crossing, b.crossing)))
    res.check(g, "the same start, stop and crossing (UT)", same,
              f"{a.start.isot} {a.stop.isot} {a.crossing.isot} / {b.start.isot} {b.stop.isot} {b.crossing.isot}")
    values = ["solar_radius", "solar_p", "solar_b", "ra", "dec", "azimuth", "altitude", "cdelt", "dspdt"]
    diff = [v for v in values if getattr(a, v) != getattr(b, v)]
    res.check(g, "the same header values with units", not diff and a.solar_radius.unit == "arcsec"
              and a.dec.unit == "deg", ", ".join(f"{v}: {getattr(a, v)} / {getattr(b, v)}" for v in diff))
    res.check(g, "the same Scan_params rows as astropy Tables",
              len(a.scan_params) == a.nchan and a.scan_params.colnames == TABLE_COLUMNS
              and all(np.array_equal(a.scan_params[c], b.scan_params[c]) for c in TABLE_COLUMNS))
    res.check(g, "read_header gives read's header values",
              ha.npix == a.npix and np.array_equal(ha.frequency, a.frequency)
              and np.array_equal(ha.time.mjd, a.time.mjd) and not hasattr(ha, "image"))
    try:
        cubes = [s.to_ndcube() for s in (a, b)]
        ok = all(c.data.shape == a.image.shape for c in cubes)
        if ok and a.nchan and a.npix:
            worlds = [c.wcs.pixel_to_world_values(0, 1, a.nchan - 1) for c in cubes]
            ok = all(abs(wv[2] - a.frequency[-1].to_value("Hz")) < 1.0 and wv[1] == -2.0 for wv in worlds)
        res.check(g, "to_ndcube: an NDCube with the WCS of all three axes from both layouts", ok,
                  f"{[c.data.shape for c in cubes]}")
    except Exception as err:
        res.check(g, "to_ndcube: an NDCube with the WCS of all three axes from both layouts", False, repr(err))


# The converter's summer-time table (first and last day, March and October).
SUMMER_TIME_TABLE = {
    2005: (27, 30), 2006: (26, 29), 2007: (25, 28), 2008: (30, 26), 2009: (29, 25), 2010: (28, 31),
    2011: (27, 30), 2012: (25, 28), 2013: (31, 27), 2014: (30, 26), 2015: (29, 25), 2016: (27, 30),
    2017: (26, 29), 2018: (25, 28), 2019: (31, 27), 2020: (29, 25)}


def check_reader_rules(res):
    """The reader's clock offset for the default layout is the converter's:
    4 hours on both switch days and between them, 3 the day before and after."""
    wrong = []
    for year, (first, last) in SUMMER_TIME_TABLE.items():
        cases = [(date(year, 3, first) - timedelta(days=1), 3), (date(year, 3, first), 4),
                 (date(year, 10, last), 4), (date(year, 10, last) + timedelta(days=1), 3)]
        wrong += [f"{d}: {skanvert.recorder_offset_hours(d)} h, want {h}" for d, h in cases
                  if skanvert.recorder_offset_hours(d) != h]
    res.check("reader rules", "the recorder's offset from UT on and around every switch day of the table",
              not wrong, "; ".join(wrong))
    clocks = [("10:20:30", 37230.0), ("10:20:30.5", 37230.5), ("10-20-30", 37230.0), ("00:00:00", 0.0)]
    wrong = [f"{c}: {skanvert.clock_seconds(c)}" for c, v in clocks if skanvert.clock_seconds(c) != v]
    res.check("reader rules", "clock texts to seconds of the day as the converter reads them", not wrong,
              "; ".join(wrong))


def check_wrong_kinds(res, folder, recording, good):
    """Files that are not skanvert FITS files raise skanvert.NotSkanvertFile."""
    g = "reader wrong kind"
    plain = os.path.join(folder, "plain-image.fits")
    fits.PrimaryHDU(np.zeros((3, 4), dtype=np.int32)).writeto(plain, overwrite=True)
    cube = os.path.join(folder, "other-cube.fits")
    fits.HDUList([fits.PrimaryHDU(np.zeros((2, 2, 5), dtype=np.int32)),
                  fits.BinTableHDU.from_columns([fits.Column(name="x", format="E", array=[1.0])],
                                                name="Scan_params")]).writeto(cube, overwrite=True)
    cut = os.path.join(folder, "cut-short.fits")
    with open(good, "rb") as src, open(cut, "wb") as out:
        out.write(src.read(2880))
    empty = os.path.join(folder, "empty.fits")
    open(empty, "wb").close()
    cases = [("a VEK recording", recording), ("a FITS image of another kind", plain),
             ("a 3-axis cube with a Scan_params table but not skanvert's cards", cube),
             ("a skanvert file cut after its first block", cut), ("an empty file", empty)]
    for label, path in cases:
        for reader in (skanvert.read, skanvert.read_header):
            try:
                reader(path)
                outcome = "no exception"
            except skanvert.NotSkanvertFile:
                outcome = None
            except Exception as err:  # another class is the finding
                outcome = repr(err)
            res.check(g, f"{reader.__name__}: {label} raises NotSkanvertFile", outcome is None, str(outcome))
    try:
        skanvert.read(os.path.join(folder, "no-such-file.fits"))
        outcome = "no exception"
    except FileNotFoundError:
        outcome = None
    except Exception as err:
        outcome = repr(err)
    res.check(g, "a missing file raises FileNotFoundError", outcome is None, str(outcome))


def load_quicklook():
    found = importlib.util.spec_from_file_location("skanvert_quicklook", QUICKLOOK)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def check_quicklook(res, paths, folder):
    g = "quicklook"
    for label, path in paths:
        png = os.path.join(folder, f"quicklook-{label}.png")
        done = run([PYTHON, QUICKLOOK, path, "-o", png], folder, timeout=120)
        ok = done.returncode == 0 and os.path.exists(png)
        head = b""
        if ok:
            with open(png, "rb") as p:
                head = p.read(8)
        res.check(g, f"PNG from {label}", ok and head == b"\x89PNG\r\n\x1a\n"
                  and os.path.getsize(png) > 5000,
                  f"exit {done.returncode}, {done.stderr.strip()[-300:]}, "
                  f"{os.path.getsize(png) if os.path.exists(png) else 'no'} bytes")
    label, path = paths[0]
    done = run([PYTHON, QUICKLOOK, "--summary", path], folder)
    res.check(g, f"--summary of {label}",
              done.returncode == 0 and "layout" in done.stdout and "Sun centre" in done.stdout,
              f"exit {done.returncode}: {done.stdout[-200:]} {done.stderr[-300:]}")


def check_quicklook_layouts(res, default_path, standard_path):
    """The tool reads the same values and sky axis from both layouts."""
    try:
        module = load_quicklook()
        a, b = module.Scan(default_path), module.Scan(standard_path)
    except Exception as err:  # any failure to load is the finding
        res.check("quicklook", "same values and sky axis from both layouts", False, repr(err))
        return
    ok = (a.values.shape == b.values.shape and np.allclose(a.values, b.values, atol=1e-9)
          and np.allclose(a.offsets, b.offsets, atol=1e-6) and a.standard != b.standard)
    centre = int(round(a.crpix0))
    res.check("quicklook", "same values and sky axis from both layouts", ok,
              f"values {a.values.ravel()[:2]} / {b.values.ravel()[:2]}, "
              f"offset at the centre pixel {a.offsets[centre]:.2f} / {b.offsets[centre]:.2f}")


# ----------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--skanvert", required=True, help="the skanvert program")
    parser.add_argument("--vekgen", required=True, help="the recording simulator")
    parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep the files")
    parser.add_argument("-v", "--verbose", action="store_true", help="show measured values")
    args = parser.parse_args()

    res = Results(args.verbose)
    started = time.monotonic()
    stopped = False
    folder = args.keep or tempfile.mkdtemp(prefix="skanvert-readers-")
    try:
        for tool in (args.skanvert, args.vekgen):
            if not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
                raise Stop(f"{tool} is not an executable file (build it first)")
        for tool in ("fitsverify", "imcopy", "fitscopy"):
            if shutil.which(tool) is None:
                raise Stop(f"{tool} not found (Debian packages fitsverify, libcfitsio-bin)")
        os.makedirs(folder, exist_ok=True)
        # skanvert reads settings from <its path>.ini: a private copy of the
        # program keeps any such file beside the build out of these runs.
        skanvert = os.path.join(folder, "skanvert")
        shutil.copy2(args.skanvert, skanvert)

        configs, stamps = {}, {}
        for rec, plan in RECORDINGS.items():
            configs[rec], stamps[rec] = simulate(os.path.abspath(args.vekgen),
                                                 os.path.join(folder, rec), plan)

        files, paths = {}, {}
        for name, rec, amp, smooth, layout in CONVERSIONS:
            done, path, cmd = convert(skanvert, os.path.join(folder, rec), name, amp, smooth, layout)
            ok = done.returncode == 0 and os.path.exists(path)
            res.check("convert", f"{name}: {cmd}", ok,
                      "" if ok else f"exit {done.returncode}; {done.stderr.strip()[-400:]}")
            if not ok:
                continue
            try:
                files[name] = Fits(path)
                paths[name] = path
                res.check("convert", f"{name}: astropy opens the {layout} layout", True)
            except Exception as err:  # unreadable is the finding
                res.check("convert", f"{name}: astropy opens the {layout} layout", False, repr(err))

        for name, rec, amp, smooth, layout in CONVERSIONS:
            f = files.get(name)
            if f is None:
                continue
            plan = RECORDINGS[rec]
            check_recording(res, name, f, plan, configs[rec], stamps[rec], smooth)
            if f.nchan and not plan["gain_steps"]:
                check_disc(res, name, f, plan, configs[rec])
                if amp in (0, 1):  # -amp=2 median-filters, which lowers the noise
                    check_noise_scale(res, name, f, plan, configs[rec], smooth)
            if layout == "standard":
                twin = files.get(name[:-len("-std")])
                work = os.path.join(folder, rec)
                check_standard(res, name, f, twin, paths[name], work)
                check_world(res, name, f, paths[name], plan, configs[rec], stamps[rec], smooth)
                check_checksums(res, name, paths[name], work)
                check_fpack(res, name, paths[name], work)
                if name[:-len("-std")] in paths:
                    check_reader_layouts(res, name, paths[name[:-len("-std")]], paths[name], smooth, plan,
                                         stamps[rec])
        check_reader_rules(res)
        if "mixed-amp1-std" in paths:
            check_wrong_kinds(res, folder, os.path.join(folder, "mixed", "scan.dat"), paths["mixed-amp1-std"])
        check_gain(res, files, RECORDINGS["gain"], configs["gain"])

        if "mixed-amp1" in paths and "mixed-amp1-std" in paths:
            check_quicklook_layouts(res, paths["mixed-amp1"], paths["mixed-amp1-std"])
        shown = [(n, paths[n]) for n in ("mixed-amp1", "mixed-amp1-std", "nochannel-amp1")
                 if n in paths]
        if shown:
            check_quicklook(res, shown, folder)

        if "mixed-amp1" in paths:
            done = run(["fitsverify", "-q", paths["mixed-amp1"]], folder)
            res.note("default layout: astropy reads it; cfitsio's fitsverify says: "
                     + (done.stdout + done.stderr).strip().splitlines()[0])
    except Stop as err:
        stopped = True
        res.check("setup", "the checks could not go on", False, str(err))
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)

    print(f"({time.monotonic() - started:.1f} s)")
    if res.failed:
        print("failed:\n  " + "\n  ".join(res.failed))
    print(f"{res.passed} passed, {len(res.failed)} failed")
    return 2 if stopped else 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
