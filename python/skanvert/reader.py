"""Reading skanvert FITS files of either layout into one object.

The default layout stores the values x100 without BSCALE, counts CRPIX1 from 0
and gives the recorder's local date (DATE-OBS 'YYYY/MM/DD') and clock texts
(STARTOBS, STOPOBS); the time of each pixel follows from them by the rule the
standard layout writes into its alternate description A. The standard layout
carries BSCALE, CRPIX1 counted from 1, world coordinates of all three axes and
ISO 8601 UT times. Both give the same arrays here.
"""

import datetime
import re
import warnings

import numpy as np
from astropy import units as u
from astropy.io import fits
from astropy.table import Table
from astropy.time import Time, TimeDelta
from astropy.utils.exceptions import AstropyWarning

# The default layout stores the physical values times this.
DEFAULT_LAYOUT_SCALE = 100.0
# Frames per pixel when the smoothing number was set to 0 or less.
DEFAULT_SMOOTHING = 20
SCAN_PARAMS = "SCAN_PARAMS"
WCS_TABLE = "WCS-TAB"

# FITS polarisation codes and their labels.
STOKES_LABELS = {1: "I", 2: "Q", 3: "U", 4: "V", -1: "RR", -2: "LL", -3: "RL", -4: "LR"}

_HISTORY_SMOOTHING = re.compile(r"Smoothing pixels number is\s*(-?\d+)")
_LOCAL_DATE = re.compile(r"^\s*(\d{1,4})[/-](\d{1,2})[/-](\d{1,2})\s*$")
_CLOCK = re.compile(r"^\s*([-+]?[\d.]+).([-+]?[\d.]+).([-+]?[\d.]+)")


class NotSkanvertFile(ValueError):
    """The file is not a FITS file that skanvert wrote (or is damaged)."""


def _last_sunday(year, month):
    day = datetime.date(year, month, 31)
    return day - datetime.timedelta(days=(day.weekday() + 1) % 7)


def recorder_offset_hours(day):
    """Hours the recorder's clock runs ahead of UT on a local date.

    Four from the last Sunday of March through the last Sunday of October
    (both days whole), three otherwise: the rule skanvert applies to TIME-OBS.
    """
    summer = _last_sunday(day.year, 3) <= day <= _last_sunday(day.year, 10)
    return 4 if summer else 3


def clock_seconds(text):
    """Seconds of the day of a clock text 'hh:mm:ss[.fff]' (any one separator)."""
    m = _CLOCK.match(text or "")
    if not m:
        raise ValueError(f"not a clock time: {text!r}")
    h, mi, s = (float(g) for g in m.groups())
    return h * 3600 + mi * 60 + s


def _local_date(text):
    """The recorder's date of a DATE-OBS 'YYYY/MM/DD' (month 13: January of the next year)."""
    m = _LOCAL_DATE.match(text or "")
    if not m:
        raise ValueError(f"not a date: {text!r}")
    year, month, day = (int(g) for g in m.groups())
    if month == 13:
        year, month = year + 1, 1
    return datetime.date(year, month, day)


def _card(header, key, path, kind=float):
    if key not in header:
        raise NotSkanvertFile(f"{path}: no {key} card: not a skanvert FITS file")
    try:
        return kind(header[key])
    except (TypeError, ValueError) as err:
        raise NotSkanvertFile(f"{path}: {key} = {header[key]!r} is not a {kind.__name__}") from err


def _identify(header, names, path):
    """Raises NotSkanvertFile unless the cards and units are skanvert's."""
    if header.get("NAXIS") != 3 or header.get("NAXIS2") != 2 or header.get("BITPIX") != 32:
        raise NotSkanvertFile(
            f"{path}: not a skanvert FITS file (expected a 32-bit image of 3 axes with 2 series, "
            f"found BITPIX={header.get('BITPIX')}, NAXIS={header.get('NAXIS')}, "
            f"NAXIS2={header.get('NAXIS2')})")
    if str(header.get("DATANAME", "")).strip() != "newvek" or str(header.get("ORIGIN", "")).strip() != "VEK-64":
        raise NotSkanvertFile(f"{path}: not a skanvert FITS file (DATANAME 'newvek' and ORIGIN 'VEK-64' missing)")
    if SCAN_PARAMS not in names:
        raise NotSkanvertFile(f"{path}: not a skanvert FITS file (no Scan_params extension)")


class ScanHeader:
    """The header values of one skanvert FITS file, with units; no image data.

    Attributes (astropy Quantity where a unit applies):
      path, layout ('default' or 'standard'), header (the primary header),
      npix, nchan, object, telescope,
      frequency (GHz, per plane), overflow (bool per plane), polarisation
      (labels of the two series: 'RR', 'LL' or 'I', 'V'),
      offset (arcsec per pixel from the Sun's centre), crpix (the Sun's
      centre as a pixel index counted from 0), cdelt (arcsec per pixel),
      time (astropy Time per pixel, UT: the time of the pixel's first frame),
      start, stop, crossing (Time, UT: recording start and stop, Sun-centre
      crossing), local_date (the recorder's date of the start stamp),
      solar_radius (arcsec), solar_p, solar_b, ra, dec, azimuth, altitude
      (deg), dspdt (s per frame), smoothing (frames per pixel), shift,
      nsamples, and the card texts date_obs, time_obs, start_obs, stop_obs.
    """

    def __init__(self, path, header, names):
        _identify(header, names, path)
        self.path = str(path)
        self.header = header
        self.layout = "standard" if "BSCALE" in header else "default"
        self.npix = _card(header, "NAXIS1", path, int)
        self.nchan = _card(header, "NAXIS3", path, int)
        standard = self.layout == "standard"

        self.object = str(header.get("OBJECT", "")).strip()
        self.telescope = str(header.get("TELESCOP", "")).strip()
        self.date_obs = str(header.get("DATE-OBS", "")).strip()
        self.time_obs = str(header.get("TIME-OBS", "")).strip()
        self.start_obs = str(header.get("STARTOBS", "")).strip()
        self.stop_obs = str(header.get("STOPOBS", "")).strip()
        self.nsamples = int(header.get("NSAMPLES", 0))
        self.shift = int(header.get("SHIFT", 0))

        freqs, over = [], []
        for j in range(1, self.nchan + 1):
            freqs.append(_card(header, f"FREQ{j:03d}", path))
            over.append(_card(header, f"OVER{j:03d}", path, int) != 0)
        self.frequency = np.array(freqs, dtype=np.float64) * u.GHz
        self.overflow = np.array(over, dtype=bool)
        self.flag_iv = int(header.get("FLAG_IV", 1))
        self.polarisation = ("I", "V") if self.flag_iv == 0 else ("RR", "LL")
        if standard and str(header.get("CTYPE2", "")).strip() == "STOKES":
            # The standard layout's own polarisation axis.
            codes = [float(header.get("CRVAL2", 0)) + (i + 1 - float(header.get("CRPIX2", 1)))
                     * float(header.get("CDELT2", 1)) for i in range(2)]
            self.polarisation = tuple(STOKES_LABELS.get(int(round(c)), f"{c:g}") for c in codes)

        crpix = _card(header, "CRPIX1", path)
        self.crpix = crpix - 1.0 if standard else crpix
        self.cdelt = _card(header, "CDELT1", path) * u.arcsec
        self.offset = (np.arange(self.npix) - self.crpix) * self.cdelt

        self.solar_radius = float(header.get("SOLAR_R", np.nan)) * u.arcsec
        self.solar_p = float(header.get("SOLAR_P", np.nan)) * u.deg
        self.solar_b = float(header.get("SOLAR_B", np.nan)) * u.deg
        self.ra = float(header.get("SOL_RA", np.nan)) * u.deg
        self.dec = float(header.get("SOL_DEC", np.nan)) * u.deg
        self.azimuth = float(header.get("AZIMUTH", np.nan)) * u.deg
        self.altitude = float(header.get("ALTITUDE", np.nan)) * u.deg
        self.dspdt = float(header.get("DSPDT", np.nan)) * u.s
        self.smoothing = self._smoothing(header)

        if standard and "CTYPE1A" in header:
            self._times_from_standard_cards(header, path)
        else:
            self._times_from_local_cards(path)

    @staticmethod
    def _smoothing(header):
        for text in header.get("HISTORY", []):
            m = _HISTORY_SMOOTHING.search(str(text))
            if m:
                n = int(m.group(1))
                return n if n > 0 else DEFAULT_SMOOTHING
        return DEFAULT_SMOOTHING

    def _times_from_standard_cards(self, header, path):
        """The times of description A: DATEREF + CRVAL1A + (pixel - CRPIX1A) x CDELT1A."""
        if str(header.get("TIMESYS", "UTC")).strip().upper() not in ("UTC", "UT"):
            raise NotSkanvertFile(f"{path}: TIMESYS {header.get('TIMESYS')!r} is not UTC")
        reference = Time(_card(header, "MJDREF", path), format="mjd", scale="utc")
        seconds = _card(header, "CRVAL1A", path) + (
            np.arange(1, self.npix + 1) - _card(header, "CRPIX1A", path)) * _card(header, "CDELT1A", path)
        self.time = reference + TimeDelta(seconds, format="sec")
        self.start = Time(_card(header, "DATE-BEG", path, str), format="isot", scale="utc")
        self.stop = Time(_card(header, "DATE-END", path, str), format="isot", scale="utc")
        self.crossing = Time(_card(header, "DATE-SUN", path, str), format="isot", scale="utc")
        # The recorder's date of the start stamp: UT plus its offset, which
        # depends on that local date.
        utc = self.start.to_datetime()
        local = utc + datetime.timedelta(hours=3)
        local = utc + datetime.timedelta(hours=recorder_offset_hours(local.date()))
        self.local_date = local.date().isoformat()

    def _times_from_local_cards(self, path):
        """The default layout's times: DATE-OBS and STARTOBS in the recorder's
        local time less its offset; pixel p of recording order (the image
        runs backwards) at start + p x n x DSPDT; the stop the same day, or
        the next when its clock is earlier; the crossing at start + (TIME-OBS
        in local time - STARTOBS)."""
        try:
            day = _local_date(self.date_obs)
            start = clock_seconds(self.start_obs)
            stop = clock_seconds(self.stop_obs)
            crossing_ut = clock_seconds(self.time_obs)
        except ValueError as err:
            raise NotSkanvertFile(f"{path}: {err}") from err
        self.local_date = day.isoformat()
        offset = recorder_offset_hours(day)
        midnight = Time(day.isoformat(), format="iso", scale="utc")
        start_ut = start - 3600.0 * offset
        if stop < start:
            stop += 86400.0
        # TIME-OBS has its hour in UT and the rest as recorded.
        hour = int(crossing_ut // 3600)
        crossing_local = crossing_ut + 3600.0 * ((hour + offset) % 24 - hour)
        step = self.smoothing * self.dspdt.to_value(u.s)
        recording_order = self.npix - 1 - np.arange(self.npix)
        self.time = midnight + TimeDelta(start_ut + recording_order * step, format="sec")
        self.start = midnight + TimeDelta(start_ut, format="sec")
        self.stop = midnight + TimeDelta(stop - 3600.0 * offset, format="sec")
        self.crossing = midnight + TimeDelta(start_ut + (crossing_local - start), format="sec")

    def __repr__(self):
        return (f"<skanvert {self.layout} scan {self.path!r}: {self.object}, "
                f"{self.npix} pixels x {'/'.join(self.polarisation)} x {self.nchan} channels, "
                f"start {self.start.isot} UT>")


class Scan(ScanHeader):
    """A whole skanvert FITS file: the header values (see ScanHeader) and

      image        numpy float64, channels x 2 x pixels, physical values (ADC units)
      scan_params  the "Scan_params" rows as an astropy Table
      wcs          astropy WCS of all three axes (offset, polarisation, frequency)

    to_ndcube() gives an ndcube.NDCube of the image with that WCS and the
    pixel times as an extra coordinate.
    """

    def __init__(self, path, hdus):
        super().__init__(path, hdus[0].header.copy(), [h.name.upper() for h in hdus])
        raw = hdus[0].data
        shape = (self.nchan, 2, self.npix)
        if raw is None or raw.size == 0:
            raw = np.zeros(shape, dtype=">i4")
        if raw.shape != shape:
            raise NotSkanvertFile(f"{path}: image of shape {raw.shape}, header says {shape}")
        raw = np.asarray(raw, dtype=np.float64)
        h = self.header
        if self.layout == "default" or (h["BSCALE"] == 0.01 and h.get("BZERO", 0) == 0):
            self.image = raw / DEFAULT_LAYOUT_SCALE  # the stored hundredths, exactly as /100
        else:
            self.image = raw * float(h["BSCALE"]) + float(h.get("BZERO", 0.0))
        self.scan_params = Table.read(hdus[SCAN_PARAMS], format="fits", character_as_bytes=False)
        self.wcs = self._wcs(hdus)

    def _wcs(self, hdus):
        from astropy.wcs import WCS  # noqa: PLC0415 (only the full read needs it)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", AstropyWarning)
            if self.layout == "standard" and self.header.get("CTYPE3") == "FREQ-TAB":
                return WCS(self.header, fobj=hdus)
            return WCS(*self._built_wcs_units())

    def _built_wcs_units(self):
        """The standard layout's primary world coordinates, for a default-layout file."""
        h = fits.Header()
        h["NAXIS"], h["NAXIS1"], h["NAXIS2"], h["NAXIS3"] = 3, self.npix, 2, self.nchan
        h["CTYPE1"], h["CUNIT1"] = "OFFSET", "arcsec"
        h["CRPIX1"], h["CDELT1"], h["CRVAL1"] = self.crpix + 1.0, self.cdelt.to_value(u.arcsec), 0.0
        first, step = (1, 3) if self.flag_iv == 0 else (-1, -1)
        h["CTYPE2"], h["CRPIX2"], h["CDELT2"], h["CRVAL2"] = "STOKES", 1.0, float(step), float(first)
        h["CRPIX3"], h["CDELT3"], h["CUNIT3"] = 1.0, 1.0, "Hz"
        if self.nchan == 0:
            h["CTYPE3"], h["CRVAL3"] = "FREQ", 0.0
            return h, None
        h["CTYPE3"], h["CRVAL3"] = "FREQ-TAB", 1.0
        h["PS3_0"], h["PS3_1"], h["PV3_3"] = WCS_TABLE, "COORDS", 1
        hz = self.frequency.to_value(u.Hz).reshape(1, self.nchan, 1)
        column = fits.Column(name="COORDS", format=f"{self.nchan}D", dim=f"(1,{self.nchan})", array=hz)
        table = fits.BinTableHDU.from_columns([column], name=WCS_TABLE)
        return h, fits.HDUList([fits.PrimaryHDU(header=h.copy()), table])

    def series(self, channel, polarisation):
        """One series: the plane by index, the row by label ('RR', 'LL', 'I', 'V')."""
        return self.image[channel, self.polarisation.index(polarisation)]

    def channel_at(self, frequency):
        """The plane whose frequency is nearest to a Quantity (or GHz number)."""
        if self.nchan == 0:
            raise ValueError(f"{self.path}: no channel")
        f = u.Quantity(frequency, u.GHz)
        return int(np.argmin(np.abs(self.frequency - f)))

    def select(self, low, high):
        """Planes with low <= frequency <= high (Quantities or GHz): their indices."""
        lo, hi = u.Quantity(low, u.GHz), u.Quantity(high, u.GHz)
        return np.flatnonzero((self.frequency >= lo) & (self.frequency <= hi))

    def centre_pixel(self):
        """The pixel nearest to the Sun's centre (index from 0, within the scan)."""
        return int(np.clip(round(self.crpix), 0, max(self.npix - 1, 0)))

    def to_ndcube(self):
        """The image as an ndcube.NDCube with the WCS of all three axes; the
        pixel times are the extra coordinate 'time' along the scan axis."""
        import ndcube  # noqa: PLC0415 (optional for the rest of the reader)
        cube = ndcube.NDCube(self.image, wcs=self.wcs, unit=u.adu, meta=dict(self.header))
        if self.npix:
            cube.extra_coords.add("time", 2, self.time, physical_types="time")
        return cube


def _open(path):
    try:
        return fits.open(path, memmap=False, lazy_load_hdus=True, do_not_scale_image_data=True)
    except FileNotFoundError:
        raise
    except (OSError, ValueError, TypeError, IndexError) as err:
        raise NotSkanvertFile(f"{path}: not a FITS file ({err})") from err


def _names(hdus, path):
    try:
        return [h.name.upper() for h in hdus]
    except (OSError, ValueError, TypeError, IndexError) as err:
        raise NotSkanvertFile(f"{path}: damaged FITS file ({err})") from err


def read(path):
    """Reads a skanvert FITS file of either layout into a Scan.

    Raises NotSkanvertFile for a file that is not one (or is damaged),
    FileNotFoundError for a path that does not exist."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", AstropyWarning)
        hdus = _open(path)
        with hdus:
            _names(hdus, path)
            try:
                return Scan(path, hdus)
            except NotSkanvertFile:
                raise
            except (OSError, ValueError, TypeError, IndexError, KeyError) as err:
                raise NotSkanvertFile(f"{path}: damaged skanvert FITS file ({err})") from err


def read_header(path):
    """The header values of a skanvert FITS file (a ScanHeader), without reading
    the image or the table rows: for catalogs. Raises as read() does."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", AstropyWarning)
        hdus = _open(path)
        with hdus:
            names = _names(hdus, path)
            try:
                return ScanHeader(path, hdus[0].header.copy(), names)
            except NotSkanvertFile:
                raise
            except (OSError, ValueError, TypeError, IndexError, KeyError) as err:
                raise NotSkanvertFile(f"{path}: damaged skanvert FITS file ({err})") from err
