#!/usr/bin/python3
"""Quick look at a skanvert FITS file.

    skanvert_quicklook.py FITS [-o OUT.png] [--thumbnail [THUMB.png]]
    skanvert_quicklook.py --summary FITS        one-screen text summary

The picture holds one small panel per accepted channel (its two series in ADC
units against the offset from the Sun's centre in arcseconds, titled by
frequency, framed in red where the overflow flag is set) and, below them, the
two series of all channels as images of frequency against position with a
colour bar in ADC units. The title gives the observation time in UT (TIME-OBS)
and the recording's start and stop in the recorder's local time (STARTOBS,
STOPOBS). Its texts stay legible with the picture shown at half its size.

--thumbnail also writes a small picture (320 x 160 pixels) of both series'
mean, frequency upwards against position, for index pages; its default name
is the FITS name with .thumb.png. Pictures are written to a temporary file
beside their name and renamed into place, so an interrupted run leaves the
old picture or none, never a part of one.

Both layouts that skanvert writes are read: the default one (values stored
x100, CRPIX1 counted from 0, DATE-OBS as YYYY/MM/DD) and the standard one
(BSCALE=0.01 and BZERO=0 present, CRPIX1 counted from 1).
"""

import argparse
import datetime
import math
import os
import re
import sys
import tempfile

import numpy as np

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import gridspec  # noqa: E402
from matplotlib import ticker  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

try:
    import skanvert  # noqa: E402
except ImportError:
    # Run from the source tree (the reader in python/) or installed under a
    # prefix that python3 does not search (the reader beside bin/).
    _here = os.path.dirname(os.path.realpath(__file__))
    _prefix = os.path.dirname(_here)
    sys.path[:0] = [os.path.join(os.path.dirname(_prefix), "python"),
                    os.path.join(_prefix, "lib", "python3", "dist-packages"),
                    os.path.join(_prefix, "lib", "python%d.%d" % sys.version_info[:2], "dist-packages")]
    import skanvert  # noqa: E402

SERIES_COLOURS = ("#1f5fa8", "#d9771e")  # first row (R or I), second row (L or V)
OVERFLOW_COLOUR = "#c8102e"
VALUE_UNIT = "ADC units"
OFFSET_LABEL = "arcsec from Sun centre"
MAP_COLOURS = "inferno"

# Text sizes in points at 100 dots per inch: the smallest (tick labels) is
# about 9 pixels high when the picture is shown at half its size.
TICK_PT = 13
LABEL_PT = 14
TITLE_PT = 15
HEADING_PT = 21
DPI = 100

THUMBNAIL_SIZE = (320, 160)  # width, height in pixels


class QuicklookError(Exception):
    """A file that cannot be shown; the message is for the user."""


class Scan:
    """What the quick look needs from one skanvert FITS file, read through
    the skanvert reader."""

    def __init__(self, path):
        self.path = path
        try:
            scan = skanvert.read(path)
        except skanvert.NotSkanvertFile as err:
            raise QuicklookError(str(err)) from err
        except OSError as err:
            raise QuicklookError(f"{path}: cannot be read as FITS ({err})") from err

        self.scan = scan
        self.header = scan.header
        self.table = scan.scan_params
        self.npix = scan.npix
        self.nchan = scan.nchan
        self.standard = scan.layout == "standard"
        self.values = scan.image
        self.crpix0 = scan.crpix
        self.cdelt = float(scan.cdelt.to_value("arcsec"))
        self.offsets = scan.offset.to_value("arcsec")
        self.freqs = scan.frequency.to_value("GHz")
        self.overflow = scan.overflow
        self.series_names = ("I", "V") if scan.flag_iv == 0 else ("R", "L")
        self.object = scan.object or "?"
        # The recorder's date as the file gives it (the default layout's
        # DATE-OBS text; the standard layout's start stamp date).
        self.date = scan.date_obs if not self.standard else scan.local_date
        self.time = scan.time_obs
        radius = float(scan.solar_radius.to_value("arcsec"))
        self.solar_r = radius if math.isfinite(radius) else None
        self.start = scan.start_obs
        self.stop = scan.stop_obs

    @property
    def layout_name(self):
        return "standard" if self.standard else "default"

    def date_iso(self):
        return self.date.replace("/", "-")

    def date_ut(self):
        """The UT date of the observation (the Sun-centre crossing) as YYYY-MM-DD."""
        return self.scan.crossing.isot[:10]

    def value_note(self):
        if self.standard:
            return f"values in {VALUE_UNIT} (standard layout, BSCALE {self.header['BSCALE']:g})"
        return f"values in {VALUE_UNIT} (default layout, stored x100)"

    def heading(self):
        """First title line: object, UT date and time, file name."""
        name = os.path.basename(self.path)
        return f"{self.object}   {self.date_ut()} {self.time} UT   {name}"

    def subheading(self):
        """Second title line: recording span (local time), geometry, value unit."""
        span = f"recording {self.start} - {self.stop} local time   |   " if (
            self.start or self.stop) else ""
        return (f"{span}{self.npix} x 2 x {self.nchan}, {self.cdelt:.3f} arcsec/pixel   |   "
                f"{self.value_note()}")


_CLOCK = re.compile(r"^\s*(\d{1,2})[:.]")
_DAY = re.compile(r"^\s*(\d{4})[-/](\d{1,2})[-/](\d{1,2})\s*$")


def ut_date(date, time_ut, start_local):
    """UT date (YYYY-MM-DD) of an observation given its file date, UT time and local start.

    Returns the file's date with '/' as '-' when any text cannot be read.
    """
    d, t, s = _DAY.match(date or ""), _CLOCK.match(time_ut or ""), _CLOCK.match(start_local or "")
    if not d:
        return (date or "").replace("/", "-")
    try:
        day = datetime.date(int(d.group(1)), int(d.group(2)), int(d.group(3)))
    except ValueError:
        return date.replace("/", "-")
    if t and s and int(t.group(1)) > int(s.group(1)):
        day -= datetime.timedelta(days=1)
    return day.isoformat()


_UNDRAWABLE = re.compile(r"[\x00-\x1f\x7f\udc80-\udcff]")


def plain(text):
    """Text drawn as it is.

    A '$' would otherwise start matplotlib's math mode; control characters
    and the bytes of a file name that is not UTF-8 (escaped by Python as
    lone surrogates) are drawn as \\xNN.
    """
    text = _UNDRAWABLE.sub(lambda m: "\\x%02X" % (ord(m.group(0)) & 0xFF), text)
    return text.replace("$", r"\$")


# ----------------------------------------------------------------------------
# Text summary

def summary_text(scan):
    h = scan.header
    lines = []
    add = lines.append
    add(f"skanvert FITS  {scan.path}")
    if scan.standard:
        add("  layout      standard (BSCALE=%g, CRPIX1 counted from 1)" % h["BSCALE"])
    else:
        add("  layout      default (values x100, CRPIX1 counted from 0; "
            "astropy reads it, cfitsio does not)")
    add(f"  image       {scan.npix} x 2 x {scan.nchan}   "
        f"(pixels x series {'/'.join(scan.series_names)} x channels)")
    add(f"  object      {scan.object}")
    span = (f"   recording {scan.start} - {scan.stop} local time"
            if scan.start or scan.stop else "")
    add(f"  observed    {scan.date} {scan.time} UT{span}")
    add(f"  Sun centre  CRPIX1 = {h.get('CRPIX1', float('nan')):.3f}  "
        f"(pixel {scan.crpix0:.3f} counted from 0)   CDELT1 = {scan.cdelt:.4f} arcsec/pixel")
    if scan.npix:
        radius = f";  solar radius {scan.solar_r:.1f} arcsec" if scan.solar_r else ""
        add(f"  scan        {scan.offsets[0]:+.1f} .. {scan.offsets[-1]:+.1f} arcsec "
            f"from the centre{radius}")
    if scan.nchan:
        parts = []
        for i, name in enumerate(scan.series_names):
            s = scan.values[:, i, :]
            parts.append(f"{name} {s.min():.2f} .. {s.max():.2f}")
        add("  values      " + "    ".join(parts) + f"   ({VALUE_UNIT})")
    else:
        add("  values      none (no accepted channel)")
    if scan.table is None:
        add("  table       no Scan_params extension")
    else:
        add(f"  table       Scan_params, {len(scan.table)} rows")
    nover = int(scan.overflow.sum())
    add(f"  channels    {scan.nchan} accepted, "
        + (f"{nover} with overflow" if nover else "no overflow")
        + ("   (plane: GHz, * overflow)" if scan.nchan else ""))
    cells = [f"{i + 1:3d}:{f:6.2f}{'*' if o else ' '}"
             for i, (f, o) in enumerate(zip(scan.freqs, scan.overflow))]
    per_line = 7
    for start_cell in range(0, len(cells), per_line):
        add("  " + " ".join(cells[start_cell:start_cell + per_line]).rstrip())
    return "\n".join(lines)


# ----------------------------------------------------------------------------
# Picture

def _grid_shape(n):
    """Columns and rows of the panel grid for n channels."""
    if n <= 1:
        return 1, 1
    if n <= 3:
        return n, 1
    if n <= 4:
        return 2, 2
    cols = min(8, max(3, math.ceil(math.sqrt(n * 1.6))))
    return cols, math.ceil(n / cols)


def _frequency_cells(freqs):
    """Lower and upper edge of each channel's row on the frequency axis.

    A row reaches halfway to its neighbours, except across a gap of more
    than one and a half usual channel spacings (channels missing from the
    file), where it stops half a usual spacing from its channel and the gap
    stays visible instead of stretching the neighbours.
    """
    f = np.asarray(freqs, dtype=float)
    if f.size == 1:
        return f - 0.25, f + 0.25
    gaps = np.abs(np.diff(f))
    usual = np.median(gaps[gaps > 0]) if np.any(gaps > 0) else 1.0
    reach = np.where(gaps > 1.5 * usual, usual, gaps) / 2.0
    half_below = np.concatenate([[usual / 2.0], reach])
    half_above = np.concatenate([reach, [usual / 2.0]])
    return f - half_below, f + half_above


def _compact_number(value, _pos=None):
    """Tick label: 12k for 12000 so that wide values fit a small panel."""
    if abs(value) >= 10000:
        return f"{value / 1000:g}k"
    return f"{value:g}"


def _mark_sun(ax, scan):
    ax.axvline(0.0, color="0.45", lw=0.8, ls=":", zorder=1)
    if scan.solar_r:
        for x in (-scan.solar_r, scan.solar_r):
            ax.axvline(x, color="0.65", lw=0.7, ls="--", zorder=1)


def _draw_panels(fig, area, scan, small):
    cols, rows = _grid_shape(scan.nchan)
    grid = gridspec.GridSpecFromSubplotSpec(rows, cols, subplot_spec=area,
                                            hspace=0.42 if small else 0.3,
                                            wspace=0.34 if small else 0.18)
    first = None
    axes = []
    for c in range(scan.nchan):
        ax = fig.add_subplot(grid[c // cols, c % cols], sharex=first)
        first = first or ax
        axes.append(ax)
        _mark_sun(ax, scan)
        for i, name in enumerate(scan.series_names):
            ax.plot(scan.offsets, scan.values[c, i], color=SERIES_COLOURS[i],
                    lw=0.8 if small else 1.0, label=name)
        title = f"{scan.freqs[c]:.2f} GHz"
        if scan.overflow[c]:
            title += "  OVERFLOW"
            for spine in ax.spines.values():
                spine.set_edgecolor(OVERFLOW_COLOUR)
                spine.set_linewidth(2.0)
            ax.set_facecolor("#fdecee")
        ax.set_title(title, fontsize=TITLE_PT if not small else LABEL_PT, pad=3,
                     color=OVERFLOW_COLOUR if scan.overflow[c] else "black",
                     fontweight="bold" if scan.overflow[c] else "normal")
        ax.tick_params(labelsize=TICK_PT, length=3, pad=2)
        ax.yaxis.set_major_locator(ticker.MaxNLocator(nbins=3 if small else 5))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(_compact_number))
        ax.grid(True, lw=0.4, color="0.85")
        if c % cols == 0:
            ax.set_ylabel(VALUE_UNIT, fontsize=LABEL_PT, labelpad=2)
        # x tick labels only on the lowest panel of each column
        if c + cols < scan.nchan:
            ax.tick_params(labelbottom=False)
        else:
            ax.set_xlabel(OFFSET_LABEL, fontsize=LABEL_PT, labelpad=2)
    if axes:
        if scan.npix > 1:  # the scan only; the limb marks may lie beyond it
            axes[0].set_xlim(scan.offsets[0], scan.offsets[-1])
        axes[0].xaxis.set_major_locator(
            ticker.MaxNLocator(nbins=3 if small else 6, symmetric=True))
        axes[0].xaxis.set_major_formatter(ticker.FuncFormatter(_compact_number))
        # one key for all panels, in the top right corner of the picture
        handles, labels = axes[0].get_legend_handles_labels()
        key = fig.legend(handles, [f"series {lab}" for lab in labels], loc="upper right",
                         ncol=len(labels), fontsize=LABEL_PT, frameon=False,
                         borderaxespad=0.5, handlelength=1.6)
        for line in key.get_lines():
            line.set_linewidth(3.0)


def _map_rows(scan, series, lows, highs):
    """Row edges and masked values of one series' map; gaps between channels stay masked."""
    edges = [lows[0]]
    rows = []
    for c in range(scan.nchan):
        if lows[c] > edges[-1] + 1e-9:  # frequencies without a channel
            rows.append(None)
            edges.append(lows[c])
        rows.append(c)
        edges.append(max(highs[c], edges[-1] + 1e-9))
    values = np.ma.masked_all((len(rows), scan.npix))
    for r, c in enumerate(rows):
        if c is not None:
            values[r] = scan.values[c, series]
    return np.asarray(edges), values


def _draw_maps(fig, area, scan):
    grid = gridspec.GridSpecFromSubplotSpec(1, 3, subplot_spec=area, wspace=0.06,
                                            width_ratios=[1, 1, 0.035])
    edges_x = (np.arange(scan.npix + 1) - 0.5 - scan.crpix0) * scan.cdelt
    finite = scan.values[np.isfinite(scan.values)]
    vmin, vmax = (np.percentile(finite, [1, 99.5]) if finite.size else (0, 1))
    if vmax <= vmin:
        vmax = vmin + 1
    ascending = bool(np.all(np.diff(scan.freqs) > 0))
    if ascending:
        lows, highs = _frequency_cells(scan.freqs)
    else:  # one row per plane in file order, labelled with its frequency
        lows, highs = np.arange(scan.nchan) - 0.5, np.arange(scan.nchan) + 0.5
    axes = []
    for i, name in enumerate(scan.series_names):
        ax = fig.add_subplot(grid[0, i], sharey=axes[0] if axes else None)
        axes.append(ax)
        ax.set_facecolor("0.82")  # frequencies without a channel
        edges_y, values = _map_rows(scan, i, lows, highs)
        mesh = ax.pcolormesh(edges_x, edges_y, values, shading="flat", cmap=MAP_COLOURS,
                             vmin=vmin, vmax=vmax, rasterized=True)
        for c in np.flatnonzero(scan.overflow):
            ax.plot([edges_x[0]], [(lows[c] + highs[c]) / 2], marker=">", ls="none",
                    color=OVERFLOW_COLOUR, ms=10, clip_on=False, zorder=5)
        ax.set_ylim(lows.min(), highs.max())
        ax.set_xlim(edges_x[0], edges_x[-1])
        ax.xaxis.set_major_formatter(ticker.FuncFormatter(_compact_number))
        if i > 0:  # the frequency axis is labelled once, on the left
            ax.tick_params(labelleft=False)
        elif ascending:
            ax.set_ylabel("frequency, GHz", fontsize=LABEL_PT)
        else:
            step = max(1, math.ceil(scan.nchan / 14))  # labels no closer than a line
            ax.set_yticks(range(0, scan.nchan, step))
            ax.set_yticklabels([f"{f:.2f}" for f in scan.freqs[::step]])
            ax.set_ylabel("frequency, GHz (file order)", fontsize=LABEL_PT)
        ax.set_title(f"{name}: all channels", fontsize=TITLE_PT + 1)
        ax.set_xlabel(OFFSET_LABEL, fontsize=LABEL_PT)
        ax.tick_params(labelsize=TICK_PT)
        if scan.solar_r:
            for x in (-scan.solar_r, 0.0, scan.solar_r):
                ax.axvline(x, color="white", lw=0.7, ls=":" if x == 0 else "--", alpha=0.7)
        keys = []
        if np.any(highs[:-1] < lows[1:] - 1e-9):
            keys.append(Patch(facecolor="0.82", label="no channel"))
        if scan.overflow.any():
            keys.append(Line2D([], [], marker=">", ls="none", color=OVERFLOW_COLOUR, ms=9,
                               label="overflow"))
        if keys:
            ax.legend(handles=keys, fontsize=TICK_PT, loc="lower left", bbox_to_anchor=(0, 1.0),
                      frameon=False, ncol=2, handletextpad=0.3, borderaxespad=0.1)
    bar = fig.colorbar(mesh, cax=fig.add_subplot(grid[0, 2]))
    bar.set_label(VALUE_UNIT, fontsize=LABEL_PT)
    bar.ax.tick_params(labelsize=TICK_PT)


def _save_atomically(path, save):
    """Calls save(temporary path) in path's folder, then renames the result to path.

    A failure (or a kill) leaves the old file or none, never a part of one,
    and no temporary file behind when Python can still clean up.
    """
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".quicklook-", suffix=".png", dir=folder)
    os.close(fd)
    try:
        save(tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _heading(fig, scan, height):
    fig.text(0.012, 1 - 0.18 / height, plain(scan.heading()), fontsize=HEADING_PT,
             ha="left", va="top", fontweight="bold", wrap=True)
    fig.text(0.012, 1 - 0.62 / height, plain(scan.subheading()), fontsize=LABEL_PT,
             ha="left", va="top", color="0.2", wrap=True)


def render(scan, out_path):
    """Writes the quick-look PNG of one scan (atomically)."""
    if scan.nchan == 0:
        height = 5.0
        fig = plt.figure(figsize=(14, height), dpi=DPI)
        _heading(fig, scan, height)
        fig.text(0.5, 0.5, "No accepted channel in this file\n(NAXIS3 = 0)",
                 ha="center", va="center", fontsize=24, color="0.3")
        fig.text(0.5, 0.18,
                 f"{scan.npix} pixels along the scan, Sun centre at pixel "
                 f"{scan.crpix0:.2f} (from 0), {scan.cdelt:.3f} arcsec/pixel",
                 ha="center", fontsize=LABEL_PT, color="0.3")
        _save_atomically(out_path, lambda p: fig.savefig(p, facecolor="white", format="png"))
        plt.close(fig)
        return

    cols, rows = _grid_shape(scan.nchan)
    small = scan.nchan > 4
    panel_w, panel_h = (2.75, 2.1) if small else (5.5, 3.4)
    width = max(14.0, cols * panel_w + 1.2)
    panels_h = rows * panel_h
    maps_h = 5.6 if scan.nchan > 1 else 3.2
    top, gap, bottom = 1.35, 1.25, 0.75  # inches: title lines, panels to maps, below maps
    height = top + panels_h + gap + maps_h + bottom
    fig = plt.figure(figsize=(width, height), dpi=DPI)
    panels = gridspec.GridSpec(1, 1, figure=fig, left=0.95 / width, right=1 - 0.25 / width,
                               top=1 - top / height, bottom=(bottom + maps_h + gap) / height)
    maps = gridspec.GridSpec(1, 1, figure=fig, left=0.95 / width, right=1 - 1.1 / width,
                             top=(bottom + maps_h) / height, bottom=bottom / height)
    _heading(fig, scan, height)
    _draw_panels(fig, panels[0], scan, small)
    _draw_maps(fig, maps[0], scan)
    _save_atomically(out_path, lambda p: fig.savefig(p, facecolor="white", format="png"))
    plt.close(fig)


def thumbnail_pixels(scan, size=THUMBNAIL_SIZE):
    """The thumbnail's image: both series' mean, highest frequency on top.

    Returns a (height, width) array: pixels along the scan averaged into
    the width (or repeated when fewer), channels in ascending frequency
    stretched over the height; None when the scan has no channel or pixel.
    """
    width, height = size
    if scan.nchan == 0 or scan.npix == 0:
        return None
    order = np.argsort(scan.freqs, kind="stable") if np.all(np.isfinite(scan.freqs)) else \
        np.arange(scan.nchan)
    mean = scan.values[order].mean(axis=1)  # channels x pixels
    if scan.npix >= width:
        starts = (np.arange(width) * scan.npix) // width
        counts = np.diff(np.append(starts, scan.npix))
        cols = np.add.reduceat(mean, starts, axis=1) / counts
    else:
        cols = mean[:, (np.arange(width) * scan.npix) // width]
    rows = (np.arange(height) * scan.nchan) // height
    return cols[rows][::-1]


def render_thumbnail(scan, out_path, size=THUMBNAIL_SIZE):
    """Writes the thumbnail PNG of one scan (atomically); grey when there is no channel."""
    pixels = thumbnail_pixels(scan, size)
    if pixels is None:
        pixels = np.full((size[1], size[0]), 0.5)
        vmin, vmax, cmap = 0.0, 1.0, "gray"
    else:
        finite = pixels[np.isfinite(pixels)]
        vmin, vmax = (np.percentile(finite, [1, 99.5]) if finite.size else (0, 1))
        if vmax <= vmin:
            vmax = vmin + 1
        cmap = MAP_COLOURS
    _save_atomically(out_path, lambda p: plt.imsave(p, pixels, cmap=cmap, vmin=vmin, vmax=vmax,
                                                    format="png"))


def _default_name(fits_path, suffix):
    stem = fits_path[:-5] if fits_path.lower().endswith(".fits") else \
        os.path.splitext(fits_path)[0]
    return stem + suffix


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Quick look at a skanvert FITS file: a PNG picture (and a thumbnail), "
                    "or a text summary.")
    parser.add_argument("fits", metavar="FITS", help="skanvert FITS file")
    parser.add_argument("-o", "--output", metavar="OUT.png",
                        help="picture to write (default: the FITS name with .png)")
    parser.add_argument("--thumbnail", nargs="?", const="", default=None, metavar="THUMB.png",
                        help="also write a small thumbnail (default name: the FITS name "
                             "with .thumb.png)")
    parser.add_argument("--summary", action="store_true",
                        help="print a one-screen text summary instead of drawing")
    args = parser.parse_args(argv)
    for stream in (sys.stdout, sys.stderr):  # file names need not be UTF-8
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")

    written = []
    try:
        scan = Scan(args.fits)
        if args.summary:
            print(summary_text(scan))
            return 0
        out = args.output or _default_name(args.fits, ".png")
        render(scan, out)
        written.append(out)
        if args.thumbnail is not None:
            thumb = args.thumbnail or _default_name(args.fits, ".thumb.png")
            render_thumbnail(scan, thumb)
            written.append(thumb)
    except (QuicklookError, OSError) as err:
        print(f"skanvert_quicklook: {err}", file=sys.stderr)
        return 1
    for path in written:
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
