#!/usr/bin/python3
"""Builds the archive's browsable index page from its catalog.

    index_page.py --catalog OUT/catalog.sqlite --out OUT/index.html

The page lists every row of the catalog's `recordings` table: date and time
of the observation (UT), object, recording, outcome (a failed one highlighted
with its message), channels kept of configured, the thumbnail of the quick-look
picture linking to the picture, and links to the FITS file and the console
log. A year, object and outcome filter and sortable columns run on a few lines
of plain JavaScript written into the page; the filter can also be set from the
address, e.g. index.html#outcome=failed&year=2006. The page needs nothing
beyond itself and the files it links to: no network, no other asset.

Links are relative to the catalog's folder (the archive's output folder):
FITS and log paths come from the `fits` and `log` columns, the pictures from
the FITS path with `.fits` replaced by `.png` and `.thumb.png`. A file that is
not there when the page is built is shown as missing instead of linked.

Every text taken from the catalog is escaped for where it goes (HTML text,
attribute, percent-encoded URL path segment); the script reads the rows from
the page itself and never receives data as code. The page is written to a
temporary file beside it and renamed over the old one, so a reader never
sees half a page.

Exit status: 0 when the page was written, 1 when the catalog cannot be read
or the page cannot be written (the message says which), 2 for a usage error.
"""

import argparse
import base64
import datetime
import hashlib
import html
import os
import re
import sqlite3
import sys
import tempfile
import urllib.parse

PROGRAM = "index_page"


class PageError(Exception):
    """A catalog that cannot be read or a page that cannot be written."""


# ----------------------------------------------------------------------------
# Texts from the catalog

def as_text(value):
    """Returns a catalog value as a str (None stays None).

    Text columns are read as bytes so that names holding bytes that are not
    UTF-8 (file names may) survive: they decode with surrogate escapes, as
    the file system's own names do, and encode back to the same bytes.
    """
    if value is None:
        return None
    if isinstance(value, bytes):
        return os.fsdecode(value) if os.name != "nt" else value.decode("utf-8", "replace")
    return str(value)


_UNSHOWABLE = re.compile(r"[\x00-\x1f\x7f\ud800-\udfff]")


def shown(text):
    """HTML text for a catalog text: escaped, unshowable characters as \\xNN.

    Control characters and the escaped bytes of a name that is not UTF-8
    cannot stand in a page as they are; they are shown as \\xNN with their
    byte value, so two names that differ only there stay distinguishable.
    """
    if text is None:
        return ""

    def code(match):
        c = ord(match.group(0))
        return "\\x%02X" % (c - 0xDC00 if 0xDC80 <= c <= 0xDCFF else c & 0xFF)

    return html.escape(_UNSHOWABLE.sub(code, text), quote=True)


def safe_relative(path):
    """True when a catalog path may be linked: relative, no '..', no empty part."""
    if not path or path.startswith("/") or "\\" in path:
        return False
    parts = path.split("/")
    return all(p not in ("", ".", "..") for p in parts)


def url_of(path):
    """Relative URL of a '/'-separated path: each segment percent-encoded.

    Segments are encoded from their file-system bytes, so blanks, quotes,
    '<', '&', '#', '?', ':' and non-ASCII bytes all reach the browser as
    %XX and name exactly the file on disk.
    """
    return "/".join(urllib.parse.quote(os.fsencode(seg), safe="") for seg in path.split("/"))


# ----------------------------------------------------------------------------
# Reading the catalog

class Entry:
    """One recording as the page shows it."""

    __slots__ = ("path", "status", "exit_status", "message", "fits", "log", "accepted",
                 "configured", "object", "when", "year", "picture", "thumbnail")


def _int_or_none(value):
    try:
        return None if value is None or value == "" else int(as_text(value))
    except ValueError:
        return None


_TIME = re.compile(r"^\s*(\d{1,2})[:.](\d{2})(?:[:.](\d{2}))?")
_DATE = re.compile(r"^\s*(\d{4})[-/](\d{2})[-/](\d{2})\s*$")


def observed_ut(date_obs, time_ut, start_local):
    """Date and time of the observation in UT as "YYYY-MM-DD HH:MM:SS", or None.

    The catalog's date is the calendar date of the recorder's start stamp
    (local time) and the UT time has only its hour converted. The recorder's
    clock runs a few hours ahead of UT, so a UT hour later than the local
    start hour means the observation's UT day is the day before.
    """
    d = _DATE.match(date_obs or "")
    t = _TIME.match(time_ut or "")
    if not d or not t:
        return None
    try:
        day = datetime.date(int(d.group(1)), int(d.group(2)), int(d.group(3)))
    except ValueError:
        return None
    hour, minute, second = int(t.group(1)), int(t.group(2)), int(t.group(3) or 0)
    local = _TIME.match(start_local or "")
    if local and hour > int(local.group(1)):
        day -= datetime.timedelta(days=1)
    return "%s %02d:%02d:%02d" % (day.isoformat(), hour, minute, second)


def _stem_of_fits(fits):
    return fits[:-5] if fits.endswith(".fits") else fits


def read_catalog(catalog, out_dir):
    """Reads every row of the catalog's `recordings` table.

    Given the catalog file and the folder the links are relative to (the
    archive's output folder, where the files are looked for). Returns the
    entries sorted by observation time (UT; unknown times last), then path.
    Raises PageError when the file is missing, is not an SQLite database or
    has no `recordings` table. Columns missing from an older catalog read
    as unknown; the catalog is opened read-only and never changed.
    """
    if not os.path.isfile(catalog):
        raise PageError(f"catalog {catalog} does not exist")
    uri = "file:" + urllib.parse.quote(os.path.abspath(catalog)) + "?mode=ro"
    try:
        con = sqlite3.connect(uri, uri=True)
    except sqlite3.Error as err:
        raise PageError(f"cannot open catalog {catalog}: {err}") from err
    try:
        con.text_factory = bytes
        cur = con.execute("SELECT * FROM recordings")
        names = [d[0].lower() for d in cur.description]
        records = [dict(zip(names, row)) for row in cur.fetchall()]
    except sqlite3.Error as err:
        raise PageError(f"cannot read table recordings of catalog {catalog}: {err}") from err
    finally:
        con.close()

    def here(rel):
        return bool(rel) and safe_relative(rel) and os.path.isfile(
            os.path.join(os.fsencode(out_dir), os.fsencode(rel)))

    entries = []
    for rec in records:
        e = Entry()
        get = lambda key: as_text(rec.get(key))  # noqa: E731
        e.path = get("path") or ""
        e.status = get("status") or "unknown"
        e.exit_status = _int_or_none(rec.get("exit_status"))
        e.message = get("message") or ""
        if e.status != "converted" and not e.message:
            e.message = get("read_error") or ""
        fits = get("fits") or ""
        log = get("log") or ""
        e.fits = fits if here(fits) else None
        e.log = log if here(log) else None
        e.accepted = _int_or_none(rec.get("channels_accepted"))
        e.configured = _int_or_none(rec.get("channels_configured"))
        e.object = get("object")
        e.when = observed_ut(get("date_obs"), get("time_ut"),
                             get("start_obs") or get("time_local"))
        e.year = e.when[:4] if e.when else ""
        e.picture = e.thumbnail = None
        if fits:
            stem = _stem_of_fits(fits)
            e.picture = stem + ".png" if here(stem + ".png") else None
            e.thumbnail = stem + ".thumb.png" if here(stem + ".thumb.png") else None
        entries.append(e)
    entries.sort(key=lambda e: (e.when is None, e.when or "", e.path))
    return entries


# ----------------------------------------------------------------------------
# The page

STYLE = """
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.2em; color: #1b1b1b; background: #fff; }
h1 { font-size: 1.5em; margin: 0 0 .2em; }
#summary { font-size: 1.1em; margin: .2em 0 .8em; }
#filters { margin: 0 0 .8em; display: flex; gap: 1.2em; flex-wrap: wrap; align-items: center; }
#filters label { font-weight: 600; }
#filters select { font-size: 1em; margin-left: .3em; max-width: 22em; }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid #d0d0d0; padding: .35em .6em; text-align: left;
         vertical-align: top; }
th { background: #eef1f5; position: sticky; top: 0; z-index: 1; }
th button { font: inherit; font-weight: 700; border: 0; background: none; padding: 0;
            cursor: pointer; }
th[aria-sort=ascending] button::after { content: " \\25B2"; }
th[aria-sort=descending] button::after { content: " \\25BC"; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.when { white-space: nowrap; font-variant-numeric: tabular-nums; }
td.path, td.object { overflow-wrap: anywhere; }
td.files { white-space: nowrap; }
tr.failed { background: #fde8e8; }
tr.failed td.outcome { color: #a40e26; font-weight: 700; }
.message { display: block; font-weight: 400; color: #6b0e1c; margin-top: .2em; }
td.picture img { display: block; max-width: 200px; max-height: 150px; border: 1px solid #c8c8c8; }
.missing { color: #777; font-style: italic; }
.note { color: #555; font-size: .9em; }
"""

# Reads everything from the table itself; no data is ever handed to it.
SCRIPT = r"""
(function () {
  "use strict";
  var root = document.documentElement;
  window.addEventListener("error", function (ev) {
    root.setAttribute("data-errors", (root.getAttribute("data-errors") || "") + ev.message + ";");
  });
  var body = document.getElementById("rows");
  var rows = Array.prototype.slice.call(body.rows);
  var heads = Array.prototype.slice.call(document.querySelectorAll("#recordings thead th"));
  var keys = ["year", "object", "outcome"];
  var select = {};
  keys.forEach(function (k) { select[k] = document.getElementById("filter-" + k); });
  var count = document.getElementById("shown");
  var sorted = null;  // [column, descending] once sorted by the reader

  function filter() {
    var n = 0;
    rows.forEach(function (r) {
      var ok = keys.every(function (k) {
        return select[k].value === "" || r.getAttribute("data-" + k) === select[k].value;
      });
      r.hidden = !ok;
      if (ok) { n++; }
    });
    count.textContent = n + " of " + rows.length + " shown";
  }
  function sortBy(col, descending) {
    var numeric = heads[col].getAttribute("data-type") === "num";
    function key(r) {
      var c = r.cells[col];
      var v = c.hasAttribute("data-key") ? c.getAttribute("data-key") : c.textContent;
      return v === "" ? null : (numeric ? Number(v) : v.toLowerCase());
    }
    var keyed = rows.map(function (r, i) { return [key(r), i, r]; });
    keyed.sort(function (a, b) {
      if (a[0] === b[0]) { return a[1] - b[1]; }
      if (a[0] === null) { return 1; }   // unknown values last either way
      if (b[0] === null) { return -1; }
      var d = a[0] < b[0] ? -1 : 1;
      return descending ? -d : d;
    });
    rows = keyed.map(function (x) { return x[2]; });
    var frag = document.createDocumentFragment();
    rows.forEach(function (r) { frag.appendChild(r); });
    body.appendChild(frag);
    heads.forEach(function (h, i) {
      if (h.hasAttribute("data-col")) {
        h.setAttribute("aria-sort", i === col ? (descending ? "descending" : "ascending") : "none");
      }
    });
    sorted = [col, descending];
  }
  // The address fragment holds the view: #outcome=failed&year=2006&sort=-when
  function fromAddress() {
    var p = new URLSearchParams(location.hash.replace(/^#/, ""));
    keys.forEach(function (k) {
      var v = p.get(k), s = select[k], want = v === null ? "" : "=" + v;
      var known = Array.prototype.some.call(s.options, function (o) { return o.value === want; });
      s.value = known ? want : "";
    });
    filter();
    var by = p.get("sort");
    if (by) {
      var descending = by.charAt(0) === "-", name = descending ? by.slice(1) : by;
      heads.forEach(function (h, i) {
        if (h.getAttribute("data-col") === name) { sortBy(i, descending); }
      });
    }
  }
  function toAddress() {
    var p = new URLSearchParams();
    keys.forEach(function (k) {
      if (select[k].value !== "") { p.set(k, select[k].value.slice(1)); }
    });
    if (sorted) {
      p.set("sort", (sorted[1] ? "-" : "") + heads[sorted[0]].getAttribute("data-col"));
    }
    var hash = p.toString();
    try { history.replaceState(null, "", hash ? "#" + hash : location.pathname + location.search); }
    catch (e) { location.hash = hash; }
  }
  keys.forEach(function (k) {
    select[k].addEventListener("change", function () { filter(); toAddress(); });
  });
  heads.forEach(function (h, i) {
    var b = h.querySelector("button");
    if (b) {
      b.addEventListener("click", function () {
        sortBy(i, h.getAttribute("aria-sort") === "ascending");
        toAddress();
      });
    }
  });
  window.addEventListener("hashchange", fromAddress);
  fromAddress();
  root.setAttribute("data-ready", "1");
})();
"""


def _options(values, label_of):
    out = []
    for v in values:
        out.append(f'<option value="={shown(v)}">{shown(label_of(v))}</option>')
    return "".join(out)


def _link(rel, text):
    if rel is None:
        return f'<span class="missing">{text} missing</span>'
    return f'<a href="{html.escape(url_of(rel), quote=True)}">{text}</a>'


def _row(e):
    failed = e.status != "converted"
    obj = e.object if e.object is not None else ""
    cells = []
    cells.append(f'<td class="when" data-key="{shown(e.when or "")}">'
                 f'{shown(e.when) if e.when else "<span class=missing>unknown</span>"}</td>')
    cells.append(f'<td class="object">{shown(obj)}</td>')
    cells.append(f'<td class="path">{shown(e.path)}</td>')
    outcome = shown(e.status)
    if e.exit_status is not None and (failed or e.exit_status != 0):
        outcome += f" (exit {e.exit_status})"
    if failed and e.message:
        outcome += f'<span class="message">{shown(e.message)}</span>'
    cells.append(f'<td class="outcome" data-key="{shown(e.status)}">{outcome}</td>')
    if e.accepted is None:
        kept = "" if e.configured is None else f"&ndash; of {e.configured}"
        cells.append(f'<td class="num" data-key="">{kept}</td>')
    else:
        of = "?" if e.configured is None else str(e.configured)
        cells.append(f'<td class="num" data-key="{e.accepted}">{e.accepted} of {of}</td>')
    if e.thumbnail is not None:
        target = e.picture if e.picture is not None else e.thumbnail
        alt = shown("quick look of " + e.path)
        pic = (f'<a href="{html.escape(url_of(target), quote=True)}">'
               f'<img src="{html.escape(url_of(e.thumbnail), quote=True)}" alt="{alt}" '
               f'loading="lazy"></a>')
    elif e.picture is not None:
        pic = _link(e.picture, "picture")
    elif failed:
        pic = '<span class="missing">none</span>'
    else:
        pic = '<span class="missing">picture missing</span>'
    cells.append(f'<td class="picture">{pic}</td>')
    files = []
    if e.fits is not None:
        files.append(_link(e.fits, "FITS"))
    elif not failed:
        files.append(_link(None, "FITS"))
    files.append(_link(e.log, "log"))
    cells.append(f'<td class="files">{" &middot; ".join(files)}</td>')
    attrs = (f' data-year="={shown(e.year)}" data-object="={shown(obj)}"'
             f' data-outcome="={shown(e.status)}"')
    cls = ' class="failed"' if failed else ""
    return f"<tr{cls}{attrs}>{''.join(cells)}</tr>"


def summary_line(entries):
    """The line at the top: recordings, converted, failed and the date range (UT)."""
    total = len(entries)
    converted = sum(1 for e in entries if e.status == "converted")
    failed = total - converted
    dates = sorted(e.when[:10] for e in entries if e.when)
    span = (f"observed {dates[0]} to {dates[-1]} (UT)" if dates and dates[0] != dates[-1]
            else f"observed {dates[0]} (UT)" if dates else "no observation date known")
    word = "recording" if total == 1 else "recordings"
    return f"{total} {word}: {converted} converted, {failed} failed; {span}"


def page_html(entries, title="Archive"):
    """The whole page for the given entries, as one str."""
    years = sorted({e.year for e in entries})
    objects = sorted({e.object if e.object is not None else "" for e in entries},
                     key=lambda s: (s.lower(), s))
    outcomes = sorted({e.status for e in entries})
    script_hash = base64.b64encode(hashlib.sha256(SCRIPT.encode("utf-8")).digest()).decode()
    csp = (f"default-src 'none'; img-src 'self' file:; style-src 'unsafe-inline'; "
           f"script-src 'sha256-{script_hash}'")
    parts = [
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n",
        f'<meta http-equiv="Content-Security-Policy" content="{csp}">\n',
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n',
        f"<title>{shown(title)}: recordings</title>\n<style>{STYLE}</style>\n</head>\n<body>\n",
        f"<h1>{shown(title)}: recordings</h1>\n",
        f'<p id="summary">{shown(summary_line(entries))}</p>\n',
        '<div id="filters">',
        '<label>Year<select id="filter-year"><option value="">all</option>',
        _options(years, lambda y: y or "unknown"), "</select></label>",
        '<label>Object<select id="filter-object"><option value="">all</option>',
        _options(objects, lambda o: o if o != "" else "(none)"), "</select></label>",
        '<label>Outcome<select id="filter-outcome"><option value="">all</option>',
        _options(outcomes, lambda s: s), "</select></label>",
        f'<span id="shown">{len(entries)} of {len(entries)} shown</span>',
        "</div>\n",
        '<p class="note">Times are UT (FITS TIME-OBS); click a column heading to sort, '
        "a thumbnail to see the whole picture.</p>\n",
        '<table id="recordings">\n<thead><tr>',
        '<th data-col="when" aria-sort="ascending"><button type="button">'
        "Date and time (UT)</button></th>",
        '<th data-col="object" aria-sort="none"><button type="button">Object</button></th>',
        '<th data-col="path" aria-sort="none"><button type="button">Recording</button></th>',
        '<th data-col="outcome" aria-sort="none"><button type="button">Outcome</button></th>',
        '<th data-col="channels" data-type="num" aria-sort="none"><button type="button">'
        "Channels kept</button></th>",
        "<th>Quick look</th><th>Files</th>",
        '</tr></thead>\n<tbody id="rows">\n',
    ]
    parts.extend(_row(e) + "\n" for e in entries)
    parts.append("</tbody>\n</table>\n")
    if not entries:
        parts.append('<p class="missing">The catalog holds no recording.</p>\n')
    parts.append(f"<script>{SCRIPT}</script>\n</body>\n</html>\n")
    return "".join(parts)


def write_atomically(path, text):
    """Writes text to path through a temporary file in the same folder and a rename.

    A reader sees the old page or the new one, never a part; a failure
    leaves the old page and no temporary file. The page gets the usual
    permissions of a new file (0666 less the umask), so a web server can
    read it.
    """
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".index-", suffix=".tmp", dir=folder)
    except OSError as err:
        raise PageError(f"cannot write in {folder}: {err.strerror}") from err
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except OSError as err:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise PageError(f"cannot write {path}: {err.strerror}") from err


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Builds the archive's index page (one static HTML file) from its catalog.")
    parser.add_argument("--catalog", required=True, metavar="OUT/catalog.sqlite",
                        help="the archive's catalog; links are relative to its folder")
    parser.add_argument("--out", required=True, metavar="OUT/index.html",
                        help="the page to write (replaced atomically)")
    parser.add_argument("--title", default=None,
                        help="heading of the page (default: the output folder's name)")
    args = parser.parse_args(argv)

    out_dir = os.path.dirname(os.path.abspath(args.catalog))
    page_dir = os.path.dirname(os.path.abspath(args.out))
    title = args.title or os.path.basename(out_dir) or "Archive"
    try:
        entries = read_catalog(args.catalog, out_dir)
        if page_dir != out_dir:  # links are written relative to the page
            prefix = os.path.relpath(out_dir, page_dir).replace(os.sep, "/")
            for e in entries:
                for field in ("fits", "log", "picture", "thumbnail"):
                    value = getattr(e, field)
                    if value is not None:
                        setattr(e, field, prefix + "/" + value)
        write_atomically(args.out, page_html(entries, title))
    except PageError as err:
        print(f"{PROGRAM}: {err}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
