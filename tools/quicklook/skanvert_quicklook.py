#!/usr/bin/python3
"""Quick look at a skanvert FITS file.

    skanvert_quicklook.py FITS [-o OUT.png]     picture (default: FITS name with .png)
    skanvert_quicklook.py --summary FITS        one-screen text summary

The picture holds one small panel per accepted channel (its two series against
the offset from the Sun's centre in arcseconds, titled by frequency, framed in
red where the overflow flag is set) and, below them, the two series of all
channels as images of frequency against position.

Both layouts that skanvert writes are read: the default one (values stored
x100, CRPIX1 counted from 0, DATE-OBS as YYYY/MM/DD) and the standard one
(BSCALE=0.01 and BZERO=0 present, CRPIX1 counted from 1).
"""

import argparse
import math
import os
import sys
import warnings

import numpy as np

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import gridspec  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from astropy.io import fits  # noqa: E402
from astropy.utils.exceptions import AstropyWarning  # noqa: E402

# Default layout: the stored integers are the values times this.
DEFAULT_LAYOUT_SCALE = 100.0

SERIES_COLOURS = ("#1f5fa8", "#d9771e")  # first row (R or I), second row (L or V)
OVERFLOW_COLOUR = "#c8102e"


class QuicklookError(Exception):
    """A file that cannot be shown; the message is for the user."""


class Scan:
    """What the quick look needs from one skanvert FITS file."""

    def __init__(self, path):
        self.path = path
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", AstropyWarning)
                with fits.open(path, do_not_scale_image_data=True, memmap=False) as hdus:
                    header = hdus[0].header.copy()
                    raw = hdus[0].data
                    raw = None if raw is None else np.array(raw)
                    table = None
                    for hdu in hdus[1:]:
                        if hdu.name.lower() == "scan_params":
                            table = hdu.data
                            table = None if table is None else np.array(table)
                            break
        except (OSError, ValueError, TypeError) as err:
            raise QuicklookError(f"{path}: cannot be read as FITS ({err})") from err

        self.header = header
        self.table = table
        if header.get("NAXIS", 0) != 3 or header.get("NAXIS2") != 2:
            raise QuicklookError(
                f"{path}: not a skanvert scan (expected a 3-axis image with 2 series, "
                f"found NAXIS={header.get('NAXIS')}, NAXIS2={header.get('NAXIS2')})")
        self.npix = int(header["NAXIS1"])
        self.nchan = int(header["NAXIS3"])

        # The standard layout carries BSCALE and counts CRPIX1 from 1.
        self.standard = "BSCALE" in header
        if self.standard:
            scale = float(header["BSCALE"])
            zero = float(header.get("BZERO", 0.0))
        else:
            scale = 1.0 / DEFAULT_LAYOUT_SCALE
            zero = 0.0

        if raw is None or raw.size == 0 or self.nchan == 0:
            self.values = np.zeros((0, 2, self.npix))
        else:
            self.values = raw.astype(np.float64) * scale + zero
        if self.values.shape != (self.nchan, 2, self.npix):
            raise QuicklookError(
                f"{path}: image data of shape {self.values.shape} does not match "
                f"NAXIS3 x NAXIS2 x NAXIS1 = {self.nchan} x 2 x {self.npix}")

        crpix = float(header.get("CRPIX1", 0.0))
        self.crpix0 = crpix - 1.0 if self.standard else crpix
        self.cdelt = float(header.get("CDELT1", 1.0))
        self.offsets = (np.arange(self.npix) - self.crpix0) * self.cdelt

        self.freqs = np.array([float(header.get(f"FREQ{i:03d}", np.nan))
                               for i in range(1, self.nchan + 1)])
        self.overflow = np.array([int(header.get(f"OVER{i:03d}", 0)) != 0
                                  for i in range(1, self.nchan + 1)], dtype=bool)

        self.series_names = ("I", "V") if header.get("FLAG_IV", 1) == 0 else ("R", "L")
        self.object = str(header.get("OBJECT", "")).strip() or "?"
        self.date = str(header.get("DATE-OBS", "")).strip()
        self.time = str(header.get("TIME-OBS", "")).strip()
        self.solar_r = header.get("SOLAR_R")

    @property
    def layout_name(self):
        return "standard" if self.standard else "default"

    def date_iso(self):
        return self.date.replace("/", "-")

    def title(self):
        name = os.path.basename(self.path)
        return (f"{self.object}   {self.date_iso()} {self.time}   {name}   "
                f"[{self.npix} x 2 x {self.nchan}, {self.cdelt:.3f} arcsec/pixel, "
                f"{self.layout_name} layout]")


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
    start, stop = h.get("STARTOBS", ""), h.get("STOPOBS", "")
    span = f"   recording {start} - {stop}" if start or stop else ""
    add(f"  observed    {scan.date} {scan.time}{span}")
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
        add("  values      " + "    ".join(parts))
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


def _mark_sun(ax, scan):
    ax.axvline(0.0, color="0.45", lw=0.7, ls=":", zorder=1)
    if scan.solar_r:
        for x in (-scan.solar_r, scan.solar_r):
            ax.axvline(x, color="0.65", lw=0.6, ls="--", zorder=1)


def _draw_panels(fig, area, scan, small):
    cols, rows = _grid_shape(scan.nchan)
    grid = gridspec.GridSpecFromSubplotSpec(rows, cols, subplot_spec=area,
                                            hspace=0.55 if small else 0.35,
                                            wspace=0.32 if small else 0.2)
    label_size = 6.5 if small else 9
    title_size = 8 if small else 11
    first = None
    axes = []
    for c in range(scan.nchan):
        ax = fig.add_subplot(grid[c // cols, c % cols], sharex=first)
        first = first or ax
        axes.append(ax)
        _mark_sun(ax, scan)
        for i, name in enumerate(scan.series_names):
            ax.plot(scan.offsets, scan.values[c, i], color=SERIES_COLOURS[i],
                    lw=0.7 if small else 1.0, label=name)
        title = f"{scan.freqs[c]:.2f} GHz"
        if scan.overflow[c]:
            title += "  OVERFLOW"
            for spine in ax.spines.values():
                spine.set_edgecolor(OVERFLOW_COLOUR)
                spine.set_linewidth(1.8)
            ax.set_facecolor("#fdecee")
        ax.set_title(title, fontsize=title_size, pad=2,
                     color=OVERFLOW_COLOUR if scan.overflow[c] else "black",
                     fontweight="bold" if scan.overflow[c] else "normal")
        ax.tick_params(labelsize=label_size, length=2, pad=1)
        ax.yaxis.get_offset_text().set_fontsize(label_size)
        ax.grid(True, lw=0.3, color="0.85")
        if scan.npix > 1:  # the scan only; the limb marks may lie beyond it
            ax.set_xlim(scan.offsets[0], scan.offsets[-1])
        # x tick labels only on the lowest panel of each column
        if c + cols < scan.nchan:
            ax.tick_params(labelbottom=False)
        else:
            ax.set_xlabel("arcsec from Sun centre", fontsize=label_size)
    if axes:  # one key for all panels, in the top right corner of the picture
        handles, labels = axes[0].get_legend_handles_labels()
        fig.legend(handles, [f"series {l}" for l in labels], loc="upper right",
                   ncol=len(labels), fontsize=10, frameon=False, borderaxespad=0.4)


def _draw_maps(fig, area, scan):
    grid = gridspec.GridSpecFromSubplotSpec(1, 2, subplot_spec=area, wspace=0.18)
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
    for i, name in enumerate(scan.series_names):
        ax = fig.add_subplot(grid[0, i])
        ax.set_facecolor("0.82")  # frequencies without a channel
        for c in range(scan.nchan):
            mesh = ax.pcolormesh(edges_x, [lows[c], highs[c]], scan.values[c, i][None, :],
                                 shading="flat", cmap="inferno", vmin=vmin, vmax=vmax,
                                 rasterized=True)
            if scan.overflow[c]:
                ax.plot([edges_x[0]], [(lows[c] + highs[c]) / 2], marker=">", ls="none",
                        color=OVERFLOW_COLOUR, ms=8, clip_on=False, zorder=5)
        ax.set_ylim(lows.min(), highs.max())
        ax.set_xlim(edges_x[0], edges_x[-1])
        if ascending:
            ax.set_ylabel("frequency, GHz", fontsize=9)
        else:
            ax.set_yticks(range(scan.nchan))
            ax.set_yticklabels([f"{f:.2f}" for f in scan.freqs], fontsize=6)
            ax.set_ylabel("frequency, GHz (file order)", fontsize=9)
        ax.set_title(f"{name}: all channels", fontsize=11)
        ax.set_xlabel("arcsec from Sun centre", fontsize=9)
        ax.tick_params(labelsize=8)
        if scan.solar_r:
            for x in (-scan.solar_r, 0.0, scan.solar_r):
                ax.axvline(x, color="white", lw=0.6, ls=":" if x == 0 else "--", alpha=0.7)
        keys = []
        if np.any(highs[:-1] < lows[1:] - 1e-9):
            keys.append(Patch(facecolor="0.82", label="no channel"))
        if scan.overflow.any():
            keys.append(Line2D([], [], marker=">", ls="none", color=OVERFLOW_COLOUR, ms=7,
                               label="overflow"))
        if keys:
            ax.legend(handles=keys, fontsize=7, loc="lower left", bbox_to_anchor=(0, 1.0),
                      frameon=False, ncol=2, handletextpad=0.3, borderaxespad=0.1)
        bar = fig.colorbar(mesh, ax=ax, pad=0.015, fraction=0.04)
        bar.ax.tick_params(labelsize=7)


def render(scan, out_path):
    """Writes the quick-look PNG of one scan."""
    if scan.nchan == 0:
        fig = plt.figure(figsize=(9, 4.5), dpi=100)
        fig.text(0.5, 0.82, scan.title(), ha="center", fontsize=10, wrap=True)
        fig.text(0.5, 0.5, "No accepted channel in this file\n(NAXIS3 = 0)",
                 ha="center", va="center", fontsize=20, color="0.3")
        fig.text(0.5, 0.18,
                 f"{scan.npix} pixels along the scan, Sun centre at pixel "
                 f"{scan.crpix0:.2f} (from 0), {scan.cdelt:.3f} arcsec/pixel",
                 ha="center", fontsize=10, color="0.3")
        fig.savefig(out_path, facecolor="white")
        plt.close(fig)
        return

    cols, rows = _grid_shape(scan.nchan)
    small = scan.nchan > 4
    panel_w, panel_h = (2.25, 1.55) if small else (5.0, 3.2)
    width = max(12.0, cols * panel_w + 1.0)
    panels_h = rows * panel_h
    maps_h = 4.2 if scan.nchan > 1 else 2.6
    height = panels_h + maps_h + 1.3
    fig = plt.figure(figsize=(width, height), dpi=100)
    outer = gridspec.GridSpec(2, 1, figure=fig, height_ratios=[panels_h, maps_h],
                              hspace=0.9 / ((panels_h + maps_h) / 2),
                              left=0.05, right=0.97, top=1 - 0.75 / height,
                              bottom=0.55 / height)
    fig.suptitle(scan.title(), fontsize=13, x=0.04, ha="left", y=1 - 0.22 / height)
    _draw_panels(fig, outer[0], scan, small)
    _draw_maps(fig, outer[1], scan)
    fig.savefig(out_path, facecolor="white")
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Quick look at a skanvert FITS file: a PNG picture, or a text summary.")
    parser.add_argument("fits", metavar="FITS", help="skanvert FITS file")
    parser.add_argument("-o", "--output", metavar="OUT.png",
                        help="picture to write (default: the FITS name with .png)")
    parser.add_argument("--summary", action="store_true",
                        help="print a one-screen text summary instead of drawing")
    args = parser.parse_args(argv)

    try:
        scan = Scan(args.fits)
        if args.summary:
            print(summary_text(scan))
            return 0
        out = args.output or os.path.splitext(args.fits)[0] + ".png"
        render(scan, out)
    except QuicklookError as err:
        print(f"skanvert_quicklook: {err}", file=sys.stderr)
        return 1
    except OSError as err:
        print(f"skanvert_quicklook: {err}", file=sys.stderr)
        return 1
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
