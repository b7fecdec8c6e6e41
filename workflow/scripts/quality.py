"""Quality flags and UT times of one recording, decided from what the
archive already holds of it: vekinfo's report, the FITS header's cards and
the converter's console log. Nothing here reads the recording itself, and
nothing changes what the converter wrote: the flags are the archive's view.

FLAGS lists every flag in its fixed order with the rule that raises it; the
catalog's flag_rules table, its flag_<name> columns and the order of a
record's "flags" list all follow it, so a flag added here needs no change
anywhere else.
"""

import datetime
import math

# (name, rule) in display order.
FLAGS = [
    ("truncated", "fewer whole frames than the header's sample count says (4 samples per frame), "
                  "or bytes after the last whole frame"),
    ("sun_outside_scan", "the converter replaced the Sun's centre by the middle of the scan (its log's "
                         "\"crpix overfull\" line), or the centre lies within a solar radius of either end"),
    ("no_channels", "no channel of the configuration was kept"),
    ("few_channels", "fewer channels kept than the few_channels share of the configured ones"),
    ("overflow", "at least one kept channel has its OVERnnn card set"),
    ("gain_steps", "the gain status words change during the recording (gain_words names them)"),
    ("stamps_inconsistent", "the time from the start to the stop stamp differs from frames x dspdt by more "
                            "than the larger of 1 s and 1 %, or the stop stamp lies before the start"),
    ("summer_time_guess", "the year lies outside the converter's summer-time table, so the UT hour rests "
                          "on the last-Sunday rule (the log's WARNING line on the year)"),
    ("date_not_ut", "the FITS file's DATE-OBS (the recorder's local date) is not the UT date of its "
                    "TIME-OBS, so the two cards together name a time a day off"),
]
NAMES = [name for name, _ in FLAGS]

# The stamps' duration may differ from frames x dspdt by this much.
STAMPS_TOLERANCE_SECONDS = 1.0
STAMPS_TOLERANCE_SHARE = 0.01
# The share of configured channels below which few_channels is raised.
DEFAULT_FEW_CHANNELS = 0.5

_MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def _clock(text):
    """(hours, minutes, seconds) of a text beginning hh:mm:ss; None when it
    does not hold a valid time of day."""
    if not isinstance(text, str) or len(text) < 8 or text[2] != ":" or text[5] != ":":
        return None
    parts = (text[0:2], text[3:5], text[6:8])
    if not all(part.isdigit() for part in parts):
        return None
    hours, minutes, seconds = (int(part) for part in parts)
    if hours > 23 or minutes > 59 or seconds > 59:
        return None
    return hours, minutes, seconds


def _date(text):
    """A datetime.date of a 'YYYY-MM-DD' text, None when it is not one."""
    try:
        return datetime.date.fromisoformat(text) if isinstance(text, str) and len(text) == 10 else None
    except ValueError:
        return None


def parse_stamp(text):
    """Purpose: the local date and time a recorder stamp names.
    Given: the stamp's text, e.g. "Wed Apr 12 12:00:00 2006 50" (weekday,
    month, day, hh:mm:ss, year, milliseconds). Returned: a naive datetime
    with the milliseconds, or None.
    Notes: a month that is not one of the twelve names, a day the month
    does not have, a clock beyond 23:59:59 or missing items give None."""
    if not isinstance(text, str):
        return None
    items = text.split()
    if len(items) < 5 or items[1] not in _MONTHS:
        return None
    clock = _clock(items[3])
    if clock is None or not items[2].isdigit() or not items[4].isdigit():
        return None
    millis = int(items[5]) if len(items) > 5 and items[5].isdigit() and len(items[5]) <= 3 else 0
    try:
        return datetime.datetime(int(items[4]), _MONTHS.index(items[1]) + 1, int(items[2]), *clock,
                                 millis * 1000)
    except (ValueError, OverflowError):
        return None


def _iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S") if moment is not None else None


def _moved(moment, delta):
    """moment + delta, None when either is None or the sum leaves the
    calendar (years 1 to 9999)."""
    try:
        return moment + delta if moment is not None else None
    except OverflowError:
        return None


def ut_times(info):
    """Purpose: the UT times of a recording.
    Given: vekinfo's fields (time_local, ut_hour, date_obs, start_stamp,
    stop_stamp; any may be None). Returned: dict with date_ut, time_obs_ut,
    start_ut, stop_ut (ISO 8601 texts, seconds cut) or None each.
    Notes: the offset from local time to UT is the converter's own (local
    hour minus its UT hour: 3 h or 4 h in summer), applied to the whole
    date, so a scan at local 02:30 lands on the day before. The observation
    lies on the start stamp's date unless its clock reads more than 12 h
    before the start's, which means the recording ran past local midnight."""
    result = {"date_ut": None, "time_obs_ut": None, "start_ut": None, "stop_ut": None}
    clock = _clock(info.get("time_local"))
    ut_hour = info.get("ut_hour")
    if clock is None or not isinstance(ut_hour, int) or not 0 <= ut_hour <= 23:
        return result
    offset = datetime.timedelta(hours=(clock[0] - ut_hour) % 24)
    start = parse_stamp(info.get("start_stamp"))
    stop = parse_stamp(info.get("stop_stamp"))
    day = _date(info.get("date_obs")) or (start.date() if start else None)
    if day is not None:
        observed = datetime.datetime.combine(day, datetime.time(*clock))
        if start is not None and (start.replace(microsecond=0) - observed).total_seconds() > 12 * 3600:
            observed = _moved(observed, datetime.timedelta(days=1))
        ut = _moved(observed, -offset)
        if ut is not None:
            result["time_obs_ut"] = _iso(ut)
            result["date_ut"] = ut.strftime("%Y-%m-%d")
    result["start_ut"] = _iso(_moved(start, -offset))
    result["stop_ut"] = _iso(_moved(stop, -offset))
    return result


def _number(value):
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) \
        else None


def flags_of(record, header, log_text, dspdt, few_share=DEFAULT_FEW_CHANNELS):
    """Purpose: the quality flags of one converted recording.
    Given: its record (status, channels_accepted, channels_configured,
    overflow_channels, info = vekinfo's fields), the FITS header dict of
    read_fits_header (or None), the converter's log text, the dspdt the run
    used and the few_channels share. Returned: the flag names, in FLAGS
    order; [] for a failed recording.
    Notes: a value that is unknown (vekinfo missing, a card absent) raises
    no flag: a flag says that something was seen, never that something
    could not be checked."""
    if record.get("status") != "converted":
        return []
    info = record.get("info") or {}
    header = header or {}
    raised = set()

    frames, nsamples, trailing = (_number(info.get(k)) for k in ("frames", "nsamples", "trailing_bytes"))
    if (frames is not None and nsamples is not None and frames * 4 < nsamples) or (trailing or 0) > 0:
        raised.add("truncated")

    pixels, crpix, cdelt, radius = (_number(header.get(k)) for k in ("naxis1", "crpix0", "cdelt1", "solar_r"))
    if "crpix overfull" in log_text:
        raised.add("sun_outside_scan")
    elif pixels is not None and crpix is not None and cdelt and radius is not None:
        radius_pixels = radius / abs(cdelt)
        if crpix < radius_pixels or crpix > (pixels - 1) - radius_pixels:
            raised.add("sun_outside_scan")

    kept = _number(record.get("channels_accepted"))
    configured = _number(record.get("channels_configured"))
    if kept == 0:
        raised.add("no_channels")
    elif kept is not None and configured and kept < few_share * configured:
        raised.add("few_channels")

    if (_number(record.get("overflow_channels")) or 0) > 0:
        raised.add("overflow")
    if (_number(info.get("gain_changes")) or 0) > 0:
        raised.add("gain_steps")

    start, stop = parse_stamp(info.get("start_stamp")), parse_stamp(info.get("stop_stamp"))
    duration = (stop - start).total_seconds() if start and stop else _number(info.get("duration"))
    if duration is not None and frames is not None:
        expected = frames * dspdt
        tolerance = max(STAMPS_TOLERANCE_SECONDS, STAMPS_TOLERANCE_SHARE * expected)
        if duration < 0 or abs(duration - expected) > tolerance:
            raised.add("stamps_inconsistent")

    if "outside the summer time table" in log_text:
        raised.add("summer_time_guess")

    date_ut = ut_times(info)["date_ut"]
    if date_ut is not None and isinstance(info.get("date_obs"), str) and date_ut != info["date_obs"]:
        raised.add("date_not_ut")
    return [name for name in NAMES if name in raised]


# vekinfo's errors that say the file holds no readable recording (rather
# than that it could not be opened or read at all).
_UNREADABLE = ("cannot open", "not a regular file", "cannot find its size", "cannot read the whole file",
               "shortened while being read")


def not_a_recording(read_error):
    """Purpose: the failure message for a file vekinfo found no recording in.
    Given: vekinfo's error text (None when it read the recording).
    Returned: "not a recording: <reason>", or None when the error is one of
    access (the converter's or the scan's message then stands)."""
    if not read_error or read_error.startswith(_UNREADABLE):
        return None
    return "not a recording: " + read_error
