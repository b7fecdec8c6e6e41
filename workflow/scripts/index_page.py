#!/usr/bin/python3
"""Builds the archive's browsable index pages from its catalog.

    index_page.py --catalog OUT/catalog.sqlite --out OUT/index.html [--title T]

Writes, beside the catalog:
  OUT/index.html                 the overview: a calendar of the archive by UT
                                 date (years down, months across; the days of
                                 a chosen year below it), each cell counting
                                 the recordings converted, flagged and failed
                                 and coloured by the share of trouble, the
                                 summary line, and a search over the whole
                                 archive by path, object, flag and outcome;
  OUT/index/YYYY-MM.html         one page per month of UT dates: the table of
                                 its recordings with filters (day, object,
                                 outcome, quality, part of the path) and sort,
                                 thumbnails loaded lazily, links to the
                                 previous and next month; a month of more than
                                 PART_ROWS recordings is cut, between days
                                 (within one only past PART_MOST), into
                                 YYYY-MM.html, YYYY-MM.p2.html, ...;
  OUT/index/undated.html         recordings without a UT date (those that
                                 failed before their stamps could be read);
  OUT/index/<page>.js            beside each page the compact search data of
                                 its recordings, a file that only hands its
                                 data to the overview's search (loaded by a
                                 <script src> when the reader first searches:
                                 a browser reads no JSON through fetch() from
                                 file://);
  OUT/index/.pages.json          what each page was built from (a hash), so a
                                 run rewrites only the pages whose recordings,
                                 neighbours or files changed.

Dates and times are UT: the catalog's `date_ut` and `time_obs_ut` where it
has them, otherwise the date of the recorder's local date and TIME-OBS with
the wrap over midnight undone (observed_ut). Flags come from the `flags`
column, their names, order and rules from the table `flag_rules`; a catalog
without them reads as one with no flag. Columns are read by name, so older
catalogs work.

Links are relative: FITS and log paths come from the `fits` and `log`
columns, the pictures from the FITS path with `.fits` replaced by `.png` and
`.thumb.png`. A file that is not there when the page is built is shown as
missing instead of linked.

Every text taken from the catalog is escaped for where it goes (HTML text,
attribute, percent-encoded URL path segment, JSON in a data element); the
pages' scripts read their rows from the page or from data elements and data
files and never receive data as code. A content security policy lets no
other script run. Every file is written to a temporary file beside it and
renamed over the old one, so a reader never sees half a page.

Exit status: 0 when the pages were written, 1 when the catalog cannot be read
or a page cannot be written (the message says which), 2 for a usage error.
"""

import argparse
import base64
import datetime
import hashlib
import html
import json
import marshal
import os
import re
import sqlite3
import sys
import tempfile
import urllib.parse

# The sentence under each month's table that says what a thumbnail shows.
THUMBNAIL_LEGEND = ("Thumbnails: the mean of both series, frequency upwards and position across. "
                    "The colour is each channel's excess over its own sky level (its 20th-percentile "
                    "value along the scan) on one logarithmic scale for the whole archive, from black "
                    "at 10 ADC units or less to pale yellow at 2,000 ADC units or more, so a scan "
                    "without the Sun stays dark; click one for the whole quick-look picture.")

PROGRAM = "index_page"
PART_ROWS = 300          # a page ends at the first change of day past this many recordings
PART_MOST = 400          # and at this many recordings even within a day
MANIFEST = ".pages.json"
UNDATED = "undated"
_PAGE_FILE = re.compile(r"^(?:\d{4}-\d{2}|undated)(?:\.p\d+)?\.(?:html|js)$")
with open(os.path.abspath(__file__), "rb") as _own:
    CODE_HASH = hashlib.sha256(_own.read()).hexdigest()[:16]   # a changed builder rebuilds all


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


def _code(match):
    c = ord(match.group(0))
    return "\\x%02X" % (c - 0xDC00 if 0xDC80 <= c <= 0xDCFF else c & 0xFF)


def plain(text):
    """Purpose: a catalog text as it is shown, before any escaping.
    Given: a str or None. Returned: the str with control characters and the
    escaped bytes of a name that is not UTF-8 as \\xNN ('' for None).
    Notes: what the search data holds, so a search matches what the pages show."""
    return "" if text is None else _UNSHOWABLE.sub(_code, text)


def shown(text):
    """HTML text for a catalog text: escaped, unshowable characters as \\xNN.

    Control characters and the escaped bytes of a name that is not UTF-8
    cannot stand in a page as they are; they are shown as \\xNN with their
    byte value, so two names that differ only there stay distinguishable.
    """
    return html.escape(plain(text), quote=True)


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
    """One recording as the pages show it."""

    __slots__ = ("path", "status", "exit_status", "message", "fits", "log", "accepted",
                 "configured", "object", "when", "date", "flags", "picture", "thumbnail", "key")
    # key: everything a page shows of the recording (its catalog values and
    # which of its files exist), for the pages' hashes.


def _int_or_none(value):
    try:
        return None if value is None or value == "" else int(as_text(value))
    except ValueError:
        return None


_TIME = re.compile(r"^\s*(\d{1,2})[:.](\d{2})(?:[:.](\d{2}))?")
_DATE = re.compile(r"^\s*(\d{4})[-/](\d{2})[-/](\d{2})\s*$")
_ISO = re.compile(r"^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2}):(\d{2})")


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


def _valid_date(text):
    """Purpose: a catalog date_ut checked. Given: a text or None.
    Returned: 'YYYY-MM-DD' when it names a real day, else None."""
    m = _DATE.match(text or "")
    if not m:
        return None
    try:
        return datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3))).isoformat()
    except ValueError:
        return None


def ut_of(date_ut, time_obs_ut, date_obs, time_ut, start_local):
    """Purpose: the UT date and the UT date and time a page shows for one row.
    Given: the row's date_ut, time_obs_ut, date_obs, time_ut and local start
    time (start_obs or time_local), each a text or None.
    Returned: (date 'YYYY-MM-DD' or None, when 'YYYY-MM-DD HH:MM:SS' or None).
    Notes: `date_ut` and `time_obs_ut` win where the catalog has valid ones;
    otherwise both come from observed_ut. A time whose day differs from
    date_ut is shown as it is: date_ut decides where the row is filed."""
    date = _valid_date(date_ut)
    iso = _ISO.match(time_obs_ut or "")
    when = None
    if iso and _valid_date("-".join(iso.group(1, 2, 3))):
        when = "%s-%s-%s %s:%s:%s" % iso.groups()
    when = when or observed_ut(date_obs, time_ut, start_local)
    if date is None:
        date = when[:10] if when else None
    return date, when


class Files:
    """The files of the output folder, each folder listed once.

    Checking some 160,000 paths one by one costs more than the page itself;
    a folder's listing answers for all its files.
    """

    def __init__(self, root):
        self.root = os.fsdecode(root)
        self.folders = {}

    def has(self, rel):
        """True when rel is a safe relative path of a regular file (or a link to one)."""
        if not rel:
            return False
        folder, _, name = rel.rpartition("/")
        names = self.folders.get(folder)
        if names is None:
            names = set()
            if folder and not safe_relative(folder):
                self.folders[folder] = names  # never linked: nothing there counts
                return False
            try:
                with os.scandir(os.path.join(self.root, folder)) as it:
                    for d in it:
                        try:
                            if d.is_file():
                                names.add(d.name)
                        except OSError:
                            pass
            except OSError:
                pass
            self.folders[folder] = names
        return name not in ("", ".", "..") and "\\" not in name and name in names


def _stem_of_fits(fits):
    return fits[:-5] if fits.endswith(".fits") else fits


_WANTED = ("path", "status", "exit_status", "message", "read_error", "fits", "log",
           "channels_accepted", "channels_configured", "object", "date_obs", "time_ut",
           "start_obs", "time_local", "date_ut", "time_obs_ut", "flags")


def read_catalog(catalog, out_dir):
    """Reads every row of the catalog's `recordings` table and its flag rules.

    Given the catalog file and the folder the links are relative to (the
    archive's output folder, where the files are looked for). Returns
    (entries sorted by UT date and time, unknown last, then path; the flags
    as a list of (name, rule) in display order). Raises PageError when the
    file is missing, is not an SQLite database or has no `recordings` table.
    Columns missing from an older catalog read as unknown, a missing or
    unreadable `flag_rules` table as no rule; the catalog is opened read-only
    and never changed.
    """
    if not os.path.isfile(catalog):
        raise PageError(f"catalog {catalog} does not exist")
    uri = "file:" + urllib.parse.quote(os.path.abspath(catalog)) + "?mode=ro"
    try:
        con = sqlite3.connect(uri, uri=True)
    except sqlite3.Error as err:
        raise PageError(f"cannot open catalog {catalog}: {err}") from err
    rules = []
    try:
        have = [r[1].lower() for r in con.execute("PRAGMA table_info(recordings)")]
        if not have:
            raise sqlite3.OperationalError("no such table: recordings")
        # Every wanted column in a fixed order; one the catalog lacks reads as NULL.
        query = "SELECT %s FROM recordings" % ", ".join(
            f'"{n}"' if n in have else f'NULL AS "{n}"' for n in _WANTED)
        try:
            records = con.execute(query).fetchall()
        except sqlite3.OperationalError:
            # A text that is not UTF-8 (a file name may hold such bytes): read
            # every text as bytes; as_text decodes them as the file system does.
            con.text_factory = bytes
            records = con.execute(query).fetchall()
        con.text_factory = bytes
        try:
            for name, rule in con.execute(
                    "SELECT name, rule FROM flag_rules ORDER BY position, name"):
                if as_text(name):
                    rules.append((as_text(name), as_text(rule) or ""))
        except sqlite3.Error:
            rules = []
    except sqlite3.Error as err:
        raise PageError(f"cannot read table recordings of catalog {catalog}: {err}") from err
    finally:
        con.close()

    files = Files(out_dir)
    entries = []

    def t(v):
        return v if v is None or v.__class__ is str else as_text(v)

    def number(v):
        return v if v.__class__ is int else _int_or_none(v)
    for rec in records:
        (path, status, exit_status, message, read_error, fits, log, accepted, configured,
         obj, date_obs, time_ut, start_obs, time_local, date_ut, time_obs_ut, flags) = rec
        e = Entry()
        e.path = t(path) or ""
        e.status = t(status) or "unknown"
        e.exit_status = number(exit_status)
        e.message = t(message) or ""
        if e.status != "converted" and not e.message:
            e.message = t(read_error) or ""
        fits = t(fits) or ""
        log = t(log) or ""
        e.fits = fits if files.has(fits) else None
        e.log = log if files.has(log) else None
        e.accepted = number(accepted)
        e.configured = number(configured)
        e.object = t(obj)
        e.date, e.when = ut_of(t(date_ut), t(time_obs_ut), t(date_obs), t(time_ut),
                               t(start_obs) or t(time_local))
        flags = t(flags)
        e.flags = tuple(f.strip() for f in flags.split(",") if f.strip()) if flags else ()
        e.picture = e.thumbnail = None
        if fits:
            stem = _stem_of_fits(fits)
            e.picture = stem + ".png" if files.has(stem + ".png") else None
            e.thumbnail = stem + ".thumb.png" if files.has(stem + ".thumb.png") else None
        e.key = (rec, e.fits is None, e.log is None, e.picture is None, e.thumbnail is None)
        entries.append(e)
    entries.sort(key=lambda e: (e.date is None, e.date or "", e.when or "", e.path))
    return entries, rules


# ----------------------------------------------------------------------------
# The pages' layout: months, their parts, the undated page

class Part:
    """One page: a month's recordings (or a share of them, whole days) or the undated ones."""

    __slots__ = ("month", "number", "entries", "name", "siblings", "prev", "next")

    def file(self):
        return self.name + ".html"

    def search_file(self):
        return self.name + ".js"


def layout(entries, part_rows=PART_ROWS, most=PART_MOST):
    """Purpose: the pages the entries go on.
    Given: entries sorted by date (undated last); the size past which a page
    ends at the next change of day, and the size at which it ends anyway.
    Returned: the parts in order: every month's parts, then the undated ones.
    Notes: a month is cut between days where it can, so a day lies on one
    page; only a day of more than `most` recordings spreads over pages (the
    calendar's day links to the first of them). prev and
    next name the first page of the month before and after (None at the
    ends); siblings are the file names of the month's parts."""
    groups = []
    for e in entries:
        key = e.date[:7] if e.date else UNDATED
        if not groups or groups[-1][0] != key:
            groups.append((key, []))
        groups[-1][1].append(e)
    parts = []
    months = [g[0] for g in groups if g[0] != UNDATED]
    for key, group in groups:
        chunks = [[]]
        for i, e in enumerate(group):
            size = len(chunks[-1])
            if size >= most or (size >= part_rows and (key == UNDATED or e.date != group[i - 1].date)):
                chunks.append([])
            chunks[-1].append(e)
        names = [key if n == 0 else f"{key}.p{n + 1}" for n in range(len(chunks))]
        at = months.index(key) if key != UNDATED else None
        for n, chunk in enumerate(chunks):
            p = Part()
            p.month, p.number, p.entries, p.name = key, n + 1, chunk, names[n]
            p.siblings = [x + ".html" for x in names]
            p.prev = months[at - 1] + ".html" if at is not None and at > 0 else None
            p.next = months[at + 1] + ".html" if at is not None and at + 1 < len(months) else None
            parts.append(p)
    return parts


# ----------------------------------------------------------------------------
# Shared pieces

STYLE = """
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.2em; color: #1b1b1b; background: #fff; }
h1 { font-size: 1.5em; margin: 0 0 .2em; }
h2 { font-size: 1.2em; margin: 1.2em 0 .4em; }
nav { margin: .2em 0 .6em; display: flex; gap: 1.2em; flex-wrap: wrap; }
#summary { font-size: 1.1em; margin: .2em 0 .8em; }
#filters { margin: 0 0 .8em; display: flex; gap: 1.2em; flex-wrap: wrap; align-items: center; }
#filters label { font-weight: 600; }
#filters select, #filters input { font-size: 1em; margin-left: .3em; max-width: 22em; }
#view-note { background: #fff4ce; border: 1px solid #d9b300; padding: .3em .6em; }
table { border-collapse: collapse; }
#recordings { width: 100%; }
th, td { border-bottom: 1px solid #d0d0d0; padding: .35em .6em; text-align: left;
         vertical-align: top; }
th { background: #eef1f5; position: sticky; top: 0; z-index: 1; }
th button { font: inherit; font-weight: 700; border: 0; background: none; padding: 0;
            cursor: pointer; }
th[aria-sort=ascending] button::after { content: " \\25B2"; }
th[aria-sort=descending] button::after { content: " \\25BC"; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.when { white-space: nowrap; font-variant-numeric: tabular-nums; }
td.object { overflow-wrap: anywhere; }
td.path .seg { white-space: nowrap; }
td.files { white-space: nowrap; }
tr.failed { background: #fde8e8; }
tr.failed td.outcome { color: #a40e26; font-weight: 700; }
tr.flagged { background: #fff6dc; }
.message { display: block; font-weight: 400; color: #6b0e1c; margin-top: .2em; }
.flag { display: inline-block; font-size: .8em; padding: 0 .4em; margin: 0 .2em .2em 0;
        border: 1px solid #b07800; border-radius: .6em; background: #ffe9a8; cursor: help;
        white-space: nowrap; }
td.picture img { display: block; width: 200px; height: 100px; border: 1px solid #c8c8c8; }
.missing { color: #777; font-style: italic; }
.note { color: #555; font-size: .9em; }
#calendar td, #calendar th, #days td, #days th { text-align: center; padding: .25em .4em;
         font-variant-numeric: tabular-nums; }
#calendar td { min-width: 4.5em; }
#calendar a, #days a { text-decoration: none; color: inherit; display: block; }
.q0 { background: #d9f2d9; } .q1 { background: #fff2b3; } .q2 { background: #ffc680; }
.q3 { background: #f59a9a; }
.cnt-f { color: #8a5a00; } .cnt-x { color: #a40e26; font-weight: 700; }
#results li { margin: .2em 0; }
"""


def _hash_source(text):
    return base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode()


def _head(title, script, extra_script_src=False):
    """The page's head: its content security policy lets only its own script run
    (and, for the overview, the search data files of its pages' folder)."""
    src = " 'self'" if extra_script_src else ""
    csp = (f"default-src 'none'; img-src 'self' file:; style-src 'unsafe-inline'; "
           f"script-src 'sha256-{_hash_source(script)}'{src}")
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            f'<meta http-equiv="Content-Security-Policy" content="{csp}">\n'
            '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            f"<title>{shown(title)}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n")


def json_text(value):
    """Purpose: JSON that may stand in a data element or a data file.
    Given: a value of str, int, list, dict. Returned: ASCII JSON in which
    '<', '>' and '&' are \\u escapes, so no text of it can close an element
    or start markup; a JSON reader gets the same value back."""
    return (json.dumps(value, ensure_ascii=True, separators=(",", ":"))
            .replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026"))


def summary_line(entries, rules=()):
    """Purpose: the line at the top of a page.
    Given: the entries it counts, the flag rules (for the flags' order).
    Returned: recordings, converted, failed, flagged (with a count per flag in
    the rules' order, unknown flags after them by name) and the UT date range."""
    total = len(entries)
    converted = sum(1 for e in entries if e.status == "converted")
    failed = total - converted
    flagged = sum(1 for e in entries if e.flags)
    per = {}
    for e in entries:
        for f in e.flags:
            per[f] = per.get(f, 0) + 1
    order = [n for n, _ in rules if n in per] + sorted(set(per) - {n for n, _ in rules})
    detail = (" (" + ", ".join(f"{per[f]} {f}" for f in order) + ")") if order else ""
    dates = sorted(e.date for e in entries if e.date)
    span = (f"observed {dates[0]} to {dates[-1]} (UT)" if dates and dates[0] != dates[-1]
            else f"observed {dates[0]} (UT)" if dates else "no observation date known")
    word = "recording" if total == 1 else "recordings"
    return (f"{total} {word}: {converted} converted, {failed} failed, "
            f"{flagged} flagged{detail}; {span}")


# ----------------------------------------------------------------------------
# A month's page

# Reads everything from the table itself; no data is ever handed to it.
MONTH_SCRIPT = r"""
(function () {
  "use strict";
  var root = document.documentElement;
  window.addEventListener("error", function (ev) {
    root.setAttribute("data-errors", (root.getAttribute("data-errors") || "") + ev.message + ";");
  });
  var body = document.getElementById("rows");
  var rows = Array.prototype.slice.call(body.rows);
  var heads = Array.prototype.slice.call(document.querySelectorAll("#recordings thead th"));
  var keys = ["day", "object", "outcome", "quality"];
  var select = {};
  keys.forEach(function (k) { select[k] = document.getElementById("filter-" + k); });
  var pathBox = document.getElementById("filter-path");
  var count = document.getElementById("shown");
  var note = document.getElementById("view-note");
  var sorted = null;  // [column, descending] once sorted by the reader

  function qualityOk(r, v) {
    var q = r.getAttribute("data-quality");
    if (v === "=clean") { return q === "=clean"; }
    if (v === "=flagged") { return q === "=flagged"; }
    if (v === "=problem") { return q === "=flagged" || q === "=failed"; }
    return r.getAttribute("data-flags").indexOf(" " + v.slice(1) + " ") >= 0;
  }
  function filter() {
    var n = 0, part = pathBox.value.toLowerCase();
    rows.forEach(function (r) {
      var ok = keys.every(function (k) {
        var v = select[k].value;
        if (v === "") { return true; }
        return k === "quality" ? qualityOk(r, v) : r.getAttribute("data-" + k) === v;
      }) && (part === "" || r.getAttribute("data-path").toLowerCase().indexOf(part) >= 0);
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
  // The address fragment holds the view: #quality=flagged&object=moon&sort=-when.
  // A key or value the page does not know is said on the page, not dropped quietly.
  function fromAddress() {
    var p = new URLSearchParams(location.hash.replace(/^#/, "")), notes = [];
    p.forEach(function (v, k) {
      if (keys.indexOf(k) < 0 && k !== "sort" && k !== "path") {
        notes.push("\u201c" + k + "\u201d is not a view of this page (views: " +
                   keys.concat(["path", "sort"]).join(", ") + ")");
      }
    });
    keys.forEach(function (k) {
      var v = p.get(k), s = select[k];
      s.value = "";
      if (v === null) { return; }
      var opts = Array.prototype.slice.call(s.options, 1);
      var exact = opts.filter(function (o) { return o.value === "=" + v; });
      var like = opts.filter(function (o) { return o.value.toLowerCase() === "=" + v.toLowerCase(); });
      if (exact.length) {
        s.value = exact[0].value;
      } else if (like.length) {
        s.value = like[0].value;
        notes.push(k + " \u201c" + v + "\u201d differs in capitals from \u201c" +
                   like[0].value.slice(1) + "\u201d: showing \u201c" + like[0].value.slice(1) + "\u201d");
      } else {
        notes.push("no recording on this page has " + k + " \u201c" + v + "\u201d (known: " +
                   opts.map(function (o) { return o.value.slice(1); }).join(", ") + "): showing all");
      }
    });
    pathBox.value = p.get("path") || "";
    filter();
    var by = p.get("sort");
    if (by) {
      var descending = by.charAt(0) === "-", name = descending ? by.slice(1) : by, found = false;
      heads.forEach(function (h, i) {
        if (h.getAttribute("data-col") === name) { sortBy(i, descending); found = true; }
      });
      if (!found) { notes.push("cannot sort by \u201c" + name + "\u201d"); }
    }
    note.textContent = notes.join("; ");
    note.hidden = notes.length === 0;
  }
  function toAddress() {
    var p = new URLSearchParams();
    keys.forEach(function (k) {
      if (select[k].value !== "") { p.set(k, select[k].value.slice(1)); }
    });
    if (pathBox.value !== "") { p.set("path", pathBox.value); }
    if (sorted) {
      p.set("sort", (sorted[1] ? "-" : "") + heads[sorted[0]].getAttribute("data-col"));
    }
    var hash = p.toString();
    note.hidden = true;
    try { history.replaceState(null, "", hash ? "#" + hash : location.pathname + location.search); }
    catch (e) { location.hash = hash; }
  }
  keys.forEach(function (k) {
    select[k].addEventListener("change", function () { filter(); toAddress(); });
  });
  pathBox.addEventListener("input", function () { filter(); toAddress(); });
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
    return "".join(f'<option value="={shown(v)}">{shown(label_of(v))}</option>' for v in values)


def _link(rel, text):
    if rel is None:
        return f'<span class="missing">{text} missing</span>'
    return f'<a href="{html.escape(url_of(rel), quote=True)}">{text}</a>'


def _path_cell(path):
    # Long names break only after a '/', never inside a folder or file name.
    segs = [f'<span class="seg">{shown(s)}</span>' for s in path.split("/")]
    return f'<td class="path">{"/<wbr>".join(segs)}</td>'


def quality_of(e):
    """'failed', 'flagged' or 'clean': what the quality filter and the calendar count."""
    if e.status != "converted":
        return "failed"
    return "flagged" if e.flags else "clean"


def _row(e, prefix, rule_of):
    failed = e.status != "converted"
    obj = e.object if e.object is not None else ""
    quality = quality_of(e)
    cells = [f'<td class="when" data-key="{shown(e.when or "")}">'
             f'{shown(e.when) if e.when else "<span class=missing>unknown</span>"}</td>',
             f'<td class="object">{shown(obj)}</td>', _path_cell(e.path)]
    outcome = shown(e.status)
    if e.exit_status is not None and (failed or e.exit_status != 0):
        outcome += f" (exit {e.exit_status})"
    if failed and e.message:
        outcome += f'<span class="message">{shown(e.message)}</span>'
    # Sorting by outcome puts the failed ones first, then the flagged ones.
    rank = {"failed": 0, "flagged": 1}.get(quality, 2)
    cells.append(f'<td class="outcome" data-key="{rank}{shown(e.status)}">{outcome}</td>')
    badges = "".join(f'<span class="flag" title="{shown(rule_of.get(f, "no rule known for this flag"))}">'
                     f"{shown(f)}</span>" for f in e.flags)
    cells.append(f'<td class="flags" data-key="{shown(",".join(e.flags))}">{badges}</td>')
    if e.accepted is None:
        kept = "" if e.configured is None else f"&ndash; of {e.configured}"
        cells.append(f'<td class="num" data-key="">{kept}</td>')
    else:
        of = "?" if e.configured is None else str(e.configured)
        cells.append(f'<td class="num" data-key="{e.accepted}">{e.accepted} of {of}</td>')

    def at(rel):
        return None if rel is None else prefix + rel
    if e.thumbnail is not None:
        target = at(e.picture if e.picture is not None else e.thumbnail)
        alt = shown("quick look of " + e.path)
        pic = (f'<a href="{html.escape(url_of(target), quote=True)}">'
               f'<img src="{html.escape(url_of(at(e.thumbnail)), quote=True)}" alt="{alt}" '
               f'loading="lazy" width="200" height="100"></a>')
    elif e.picture is not None:
        pic = _link(at(e.picture), "picture")
    elif failed:
        pic = '<span class="missing">none</span>'
    else:
        pic = '<span class="missing">picture missing</span>'
    cells.append(f'<td class="picture">{pic}</td>')
    files = []
    if e.fits is not None:
        files.append(_link(at(e.fits), "FITS"))
    elif not failed:
        files.append(_link(None, "FITS"))
    files.append(_link(at(e.log), "log"))
    cells.append(f'<td class="files">{" &middot; ".join(files)}</td>')
    day = e.date[8:10] if e.date else ""
    attrs = (f' data-path="{shown(e.path)}" data-day="={day}" data-object="={shown(obj)}"'
             f' data-outcome="={shown(e.status)}"'
             f' data-quality="={quality}" data-flags=" {shown(" ".join(e.flags))} "')
    cls = f' class="{quality}"' if quality != "clean" else ""
    return f"<tr{cls}{attrs}>{''.join(cells)}</tr>"


_MONTHS = ["January", "February", "March", "April", "May", "June", "July", "August",
           "September", "October", "November", "December"]


def part_title(part):
    """'April 2006', 'April 2006, part 2 of 3' or 'Recordings without a UT date'."""
    if part.month == UNDATED:
        name = "Recordings without a UT date"
    else:
        name = f"{_MONTHS[int(part.month[5:7]) - 1]} {part.month[:4]}"
    if len(part.siblings) > 1:
        name += f", part {part.number} of {len(part.siblings)}"
    return name


def month_html(part, rules, title, overview, prefix):
    """Purpose: one month's page (or one part of it, or the undated page).
    Given: the part, the flag rules, the archive's title, the overview's file
    name and the prefix from the pages' folder to the output folder ('../').
    Returned: the whole page as a str.
    Notes: every flag of the rules is a quality choice, present on this page
    or not, so a link such as #quality=truncated means the same everywhere;
    flags that the rules do not name get a choice too."""
    entries = part.entries
    rule_of = dict(rules)
    objects = sorted({e.object if e.object is not None else "" for e in entries},
                     key=lambda s: (s.lower(), s))
    outcomes = sorted({e.status for e in entries})
    days = sorted({e.date[8:10] for e in entries if e.date})
    names = [n for n, _ in rules]
    names += sorted({f for e in entries for f in e.flags} - set(names))
    heading = f"{title}: {part_title(part)}"
    nav = [f'<a href="{html.escape(url_of(prefix + overview), quote=True)}">Overview</a>']
    nav.append(f'<a href="{part.prev}" rel="prev">&larr; previous month</a>' if part.prev
               else '<span class="missing">no earlier month</span>')
    nav.append(f'<a href="{part.next}" rel="next">next month &rarr;</a>' if part.next
               else '<span class="missing">no later month</span>')
    if len(part.siblings) > 1:
        nav.append("parts: " + " ".join(
            f"<strong>{i + 1}</strong>" if i + 1 == part.number else f'<a href="{s}">{i + 1}</a>'
            for i, s in enumerate(part.siblings)))
    parts = [
        _head(heading + ": recordings", MONTH_SCRIPT),
        f"<h1>{shown(heading)}</h1>\n<nav>{''.join(nav)}</nav>\n",
        f'<p id="summary">{shown(summary_line(entries, rules))}</p>\n',
        ('<p class="note">These recordings have no UT date: they failed before their '
         "start and stop stamps could be read, or the catalog gives no date for them.</p>\n"
         if part.month == UNDATED else ""),
        '<p id="view-note" role="status" hidden></p>\n',
        '<div id="filters">',
        '<label>Day<select id="filter-day"><option value="">all</option>',
        _options(days, lambda d: d), "</select></label>",
        '<label>Object<select id="filter-object"><option value="">all</option>',
        _options(objects, lambda o: o if o != "" else "(none)"), "</select></label>",
        '<label>Outcome<select id="filter-outcome"><option value="">all</option>',
        _options(outcomes, lambda s: s), "</select></label>",
        '<label>Quality<select id="filter-quality"><option value="">all</option>',
        _options(["clean", "flagged", "problem"] + names,
                 lambda q: {"problem": "failed or flagged"}.get(q, q)), "</select></label>",
        '<label>Path<input id="filter-path" type="search" placeholder="part of the path"></label>',
        f'<span id="shown">{len(entries)} of {len(entries)} shown</span>',
        "</div>\n",
        '<p class="note">Times are UT; click a column heading to sort (Outcome puts failed, '
        "then flagged recordings first), a thumbnail to see the whole picture; "
        "hover over a flag for the rule that raised it.</p>\n",
        '<table id="recordings">\n<thead><tr>',
        '<th data-col="when" aria-sort="ascending"><button type="button">'
        "Date and time (UT)</button></th>",
        '<th data-col="object" aria-sort="none"><button type="button">Object</button></th>',
        '<th data-col="path" aria-sort="none"><button type="button">Recording</button></th>',
        '<th data-col="outcome" aria-sort="none"><button type="button">Outcome</button></th>',
        '<th data-col="flags" aria-sort="none"><button type="button">Flags</button></th>',
        '<th data-col="channels" data-type="num" aria-sort="none"><button type="button">'
        "Channels kept</button></th>",
        "<th>Quick look</th><th>Files</th>",
        '</tr></thead>\n<tbody id="rows">\n',
    ]
    parts.extend(_row(e, prefix, rule_of) + "\n" for e in entries)
    parts.append("</tbody>\n</table>\n")
    if not entries:
        parts.append('<p class="missing">No recording on this page.</p>\n')
    parts.append(f'<p class="note" id="legend">{shown(THUMBNAIL_LEGEND)}</p>\n')
    parts.append(f"<script>{MONTH_SCRIPT}</script>\n</body>\n</html>\n")
    return "".join(parts)


def search_data(part):
    """Purpose: the compact search data of one page's recordings, as a script file.
    Given: the part. Returned: the text of PAGE.js, one call
    skanvertSearch({"page":..., "folders":[...], "objects":[...], "flags":[...],
    "rows":[[folder, name, object, status, flags], ...]}) with status 0 for
    converted, 1 for failed and flags a list of indices into "flags".
    Notes: the folders, objects and flag names are stored once each, which
    keeps a month of 500 recordings in about 20 kB; texts are shown text
    (plain), JSON-escaped so that nothing in a name is code."""
    folders, objects, flags, rows = {}, {}, {}, []
    for e in part.entries:
        folder, _, name = plain(e.path).rpartition("/")
        fi = folders.setdefault(folder, len(folders))
        oi = objects.setdefault(plain(e.object), len(objects))
        fl = [flags.setdefault(f, len(flags)) for f in e.flags]
        rows.append([fi, name, oi, 0 if e.status == "converted" else 1, fl])
    data = {"page": part.file(), "folders": list(folders), "objects": list(objects),
            "flags": list(flags), "rows": rows}
    return "skanvertSearch(" + json_text(data) + ");\n"


# ----------------------------------------------------------------------------
# The overview

# Reads the calendar's data from the page's data element and the search data
# from the files it names; builds every element with textContent, never markup.
OVERVIEW_SCRIPT = r"""
(function () {
  "use strict";
  var root = document.documentElement;
  window.addEventListener("error", function (ev) {
    root.setAttribute("data-errors", (root.getAttribute("data-errors") || "") + ev.message + ";");
  });
  var data = JSON.parse(document.getElementById("archive-data").textContent);
  var MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"];
  var yearSel = document.getElementById("year"), daysBox = document.getElementById("days");
  var box = document.getElementById("search"), status = document.getElementById("search-status");
  var list = document.getElementById("results");
  var LIMIT = 200;

  function el(tag, text, cls) {
    var e = document.createElement(tag);
    if (text !== undefined && text !== null) { e.textContent = text; }
    if (cls) { e.className = cls; }
    return e;
  }
  function level(c) {  // c = [converted, flagged, failed]
    var total = c[0] + c[2], bad = c[1] + c[2];
    return bad === 0 ? "q0" : bad < 0.1 * total ? "q1" : bad < 0.5 * total ? "q2" : "q3";
  }
  function showYear(y) {
    daysBox.textContent = "";
    yearSel.value = y;
    if (!y) { return; }
    var t = el("table"), head = el("tr");
    t.id = "days-table";
    head.appendChild(el("th", y));
    for (var d = 1; d <= 31; d++) { head.appendChild(el("th", String(d))); }
    t.appendChild(head);
    for (var m = 1; m <= 12; m++) {
      var tr = el("tr"), mm = (m < 10 ? "0" : "") + m;
      tr.appendChild(el("th", MONTHS[m - 1]));
      for (d = 1; d <= 31; d++) {
        var dd = (d < 10 ? "0" : "") + d, c = data.days[y + "-" + mm + "-" + dd], td = el("td");
        if (c) {
          var a = el("a", String(c[0] + c[2]));
          a.href = data.dir + data.pages[c[3]] + "#day=" + dd;
          a.title = y + "-" + mm + "-" + dd + ": " + c[0] + " converted (" + c[1] +
                    " flagged), " + c[2] + " failed";
          td.className = level(c);
          td.setAttribute("data-date", y + "-" + mm + "-" + dd);
          td.appendChild(a);
        }
        tr.appendChild(td);
      }
      t.appendChild(tr);
    }
    daysBox.appendChild(t);
  }

  // Search: the pages' data files are read once, at the first search.
  var rows = null, pending = 0, failedFiles = 0, waiting = [];
  window.skanvertSearch = function (d) {
    d.rows.forEach(function (r) {
      var folder = d.folders[r[0]], path = folder === "" ? r[1] : folder + "/" + r[1];
      var flags = r[4].map(function (i) { return d.flags[i]; });
      rows.push({page: d.page, path: path, low: path.toLowerCase(), object: d.objects[r[2]],
                 lowObject: d.objects[r[2]].toLowerCase(), failed: r[3] === 1, flags: flags});
    });
  };
  function withRows(then) {
    if (rows !== null && pending === 0) { then(); return; }
    waiting.push(then);
    if (rows !== null) { return; }
    rows = [];
    pending = data.search.length;
    var loading = performance.now();
    waiting.unshift(function () {
      root.setAttribute("data-search-load-ms", String(Math.round(performance.now() - loading)));
    });
    if (pending === 0) { waiting.splice(0).forEach(function (f) { f(); }); return; }
    data.search.forEach(function (file) {
      var s = document.createElement("script");
      s.src = data.dir + file;
      s.onload = s.onerror = function (ev) {
        if (ev.type === "error") { failedFiles++; }
        if (--pending === 0) { waiting.splice(0).forEach(function (f) { f(); }); }
      };
      document.head.appendChild(s);
    });
  }
  function matcher(term) {
    var i = term.indexOf(":"), key = i > 0 ? term.slice(0, i) : "", v = i > 0 ? term.slice(i + 1) : term;
    if (["path", "object", "flag", "outcome"].indexOf(key) < 0) { key = ""; v = term; }
    function outcome(r) {
      return v === "failed" ? r.failed : v === "converted" ? !r.failed :
             v === "flagged" ? r.flags.length > 0 : v === "clean" ? !r.failed && r.flags.length === 0 :
             false;
    }
    function flag(r) { return r.flags.some(function (f) { return f.toLowerCase().indexOf(v) >= 0; }); }
    if (key === "path") { return function (r) { return r.low.indexOf(v) >= 0; }; }
    if (key === "object") { return function (r) { return r.lowObject.indexOf(v) >= 0; }; }
    if (key === "flag") { return flag; }
    if (key === "outcome") { return outcome; }
    return function (r) {
      return r.low.indexOf(v) >= 0 || r.lowObject.indexOf(v) >= 0 || flag(r) || outcome(r);
    };
  }
  function search(query) {
    var started = performance.now();
    var terms = query.toLowerCase().split(/\s+/).filter(function (t) { return t !== ""; });
    list.textContent = "";
    if (terms.length === 0) { status.textContent = ""; root.setAttribute("data-searched", ""); return; }
    status.textContent = "searching\u2026";
    withRows(function () {
      var tests = terms.map(matcher), found = 0, frag = document.createDocumentFragment();
      rows.forEach(function (r) {
        if (!tests.every(function (t) { return t(r); })) { return; }
        found++;
        if (found > LIMIT) { return; }
        var li = el("li"), a = el("a", r.path), p = new URLSearchParams();
        p.set("path", r.path);
        a.href = data.dir + r.page + "#" + p.toString();
        li.appendChild(a);
        li.appendChild(el("span", " \u2014 " + (r.object || "(no object)") + ", " +
                          (r.failed ? "failed" : "converted") +
                          (r.flags.length ? ", flags: " + r.flags.join(", ") : ""), "note"));
        li.setAttribute("data-path", r.path);
        frag.appendChild(li);
      });
      list.textContent = "";
      list.appendChild(frag);
      var ms = Math.round(performance.now() - started);
      status.textContent = found + " of " + rows.length + " recordings found" +
          (found > LIMIT ? " (the first " + LIMIT + " listed)" : "") + " in " + ms + " ms" +
          (failedFiles ? "; " + failedFiles + " search files could not be read" : "");
      root.setAttribute("data-searched", query);
      root.setAttribute("data-search-ms", String(ms));
    });
  }
  function fromAddress() {
    var p = new URLSearchParams(location.hash.replace(/^#/, ""));
    var y = p.get("year");
    if (y !== null && !Object.prototype.hasOwnProperty.call(data.years, y)) {
      document.getElementById("year-note").textContent = "no recording in year \u201c" + y + "\u201d";
      y = null;
    } else {
      document.getElementById("year-note").textContent = "";
    }
    showYear(y || "");
    var q = p.get("q");
    if (q !== null && q !== box.value) { box.value = q; search(q); }
  }
  function toAddress() {
    var p = new URLSearchParams();
    if (yearSel.value) { p.set("year", yearSel.value); }
    if (box.value) { p.set("q", box.value); }
    var hash = p.toString();
    try { history.replaceState(null, "", hash ? "#" + hash : location.pathname + location.search); }
    catch (e) { location.hash = hash; }
  }
  var timer = null;
  box.addEventListener("input", function () {
    clearTimeout(timer);
    timer = setTimeout(function () { search(box.value); toAddress(); }, 150);
  });
  // The search files are read at the reader's first move, before the first query.
  function preload() { withRows(function () {}); }
  ["pointermove", "keydown", "touchstart", "focusin"].forEach(function (ev) {
    document.addEventListener(ev, preload, {once: true, passive: true});
  });
  yearSel.addEventListener("change", function () { showYear(yearSel.value); toAddress(); });
  window.addEventListener("hashchange", fromAddress);
  fromAddress();
  root.setAttribute("data-ready", "1");
})();
"""


def _level(converted, flagged, failed):
    total, bad = converted + failed, flagged + failed
    return "q0" if bad == 0 else "q1" if bad < 0.1 * total else "q2" if bad < 0.5 * total else "q3"


def _counts(entries):
    c = [0, 0, 0]
    for e in entries:
        q = quality_of(e)
        if q == "failed":
            c[2] += 1
        else:
            c[0] += 1
            c[1] += q == "flagged"
    return c


def _cell(c, href, label, attrs):
    if c[0] + c[2] == 0:
        return f"<td{attrs}></td>"
    title = f"{label}: {c[0]} converted ({c[1]} flagged), {c[2]} failed"
    text = (f'{c[0]}<span class="cnt-f"> &middot; {c[1]}</span>'
            f'<span class="cnt-x"> &middot; {c[2]}</span>')
    inner = f'<a href="{href}">{text}</a>' if href else text
    return (f'<td class="{_level(*c)}"{attrs} data-converted="{c[0]}" data-flagged="{c[1]}" '
            f'data-failed="{c[2]}" title="{title}">{inner}</td>')


def overview_html(entries, parts, rules, title, pages_dir_url):
    """Purpose: the archive's overview page.
    Given: all entries, the pages (layout()), the flag rules, the archive's
    title and the pages' folder as a relative URL ending in '/'.
    Returned: the whole page as a str.
    Notes: a year row's cells are its months, each linking to the month's
    first page; the days of the chosen year (#year=2006 or the selector)
    are drawn by the script from the data element; the search reads the
    pages' search files only when the reader first searches."""
    # One pass over the recordings: counts per day; months and years add them up.
    page_index, days, months, years = {}, {}, {}, {}
    pages = [p.file() for p in parts]
    for i, p in enumerate(parts):
        if p.month == UNDATED:
            continue
        page_index.setdefault(p.month, i)
        for e in p.entries:
            c = days.get(e.date)
            if c is None:
                c = days[e.date] = [0, 0, 0, i]
            if e.status != "converted":
                c[2] += 1
            else:
                c[0] += 1
                if e.flags:
                    c[1] += 1
    for d, c in days.items():
        for key, table in ((d[:7], months), (d[:4], years)):
            s = table.setdefault(key, [0, 0, 0])
            s[0] += c[0]
            s[1] += c[1]
            s[2] += c[2]
    undated = [e for p in parts if p.month == UNDATED for e in p.entries]
    data = {"dir": pages_dir_url, "pages": pages, "search": [p.search_file() for p in parts],
            "days": days, "years": {y: c[0] + c[2] for y, c in years.items()}}
    out = [_head(f"{title}: overview", OVERVIEW_SCRIPT, extra_script_src=True),
           f"<h1>{shown(title)}: overview</h1>\n",
           f'<p id="summary">{shown(summary_line(entries, rules))}</p>\n',
           '<div id="filters"><label for="search">Search the archive</label>'
           '<input id="search" type="search" size="40" '
           'placeholder="part of a path, an object, a flag, failed, flagged"></div>\n',
           '<p class="note">Terms are ANDed; each matches the path, the object, a flag '
           "name or the outcome (failed, converted, flagged, clean); "
           "<code>path:</code>, <code>object:</code>, <code>flag:</code> and "
           "<code>outcome:</code> limit a term to one of them.</p>\n",
           '<p id="search-status" role="status"></p>\n<ol id="results"></ol>\n',
           "<h2>Recordings by UT date</h2>\n",
           '<p class="note">Each cell: converted <span class="cnt-f">&middot; of them flagged</span>'
           ' <span class="cnt-x">&middot; failed</span>. Colour: share of flagged or failed '
           'recordings <span class="q0">&nbsp;none&nbsp;</span> <span class="q1">&nbsp;under 10%'
           '&nbsp;</span> <span class="q2">&nbsp;under half&nbsp;</span> <span class="q3">'
           "&nbsp;half or more&nbsp;</span>. A year shows its days below.</p>\n",
           '<table id="calendar">\n<thead><tr><th>Year</th>',
           "".join(f"<th>{m[:3]}</th>" for m in _MONTHS), "<th>Year</th></tr></thead>\n<tbody>\n"]
    for y in sorted(years):
        out.append(f'<tr data-year="{y}"><th><a href="#year={y}">{y}</a></th>')
        for m in range(1, 13):
            key = f"{y}-{m:02d}"
            href = (html.escape(pages_dir_url + pages[page_index[key]], quote=True)
                    if key in page_index else None)
            out.append(_cell(months.get(key, [0, 0, 0]), href, key, f' data-month="{key}"'))
        out.append(_cell(years[y], f"#year={y}", y, ' data-total="1"') + "</tr>\n")
    out.append("</tbody>\n</table>\n")
    if not years:
        out.append('<p class="missing">No recording with a UT date.</p>\n')
    out.append('<h2>Days of a year</h2>\n<p><label>Year <select id="year"><option value="">'
               "choose</option>" + "".join(f'<option value="{y}">{y}</option>' for y in sorted(years))
               + '</select></label> <span id="year-note" class="note"></span></p>\n'
               '<div id="days"></div>\n')
    if undated:
        first = next(i for i, p in enumerate(parts) if p.month == UNDATED)
        c = _counts(undated)
        out.append(f'<p id="undated" data-converted="{c[0]}" data-flagged="{c[1]}" '
                   f'data-failed="{c[2]}"><a href="{html.escape(pages_dir_url + pages[first], quote=True)}">'
                   f"{len(undated)} recording{'s' if len(undated) != 1 else ''} without a UT date"
                   "</a> (their stamps could not be read).</p>\n")
    out.append(f'<script type="application/json" id="archive-data">{json_text(data)}</script>\n')
    out.append(f"<script>{OVERVIEW_SCRIPT}</script>\n</body>\n</html>\n")
    return "".join(out)


# ----------------------------------------------------------------------------
# Writing

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


def write_if_changed(path, text):
    """Purpose: writes a file only when its text differs from what is on disk.
    Given: the path and the new text. Returned: True when it was written.
    Notes: an unreadable old file counts as different; the write is atomic."""
    try:
        with open(path, "rb") as f:
            if f.read() == text.encode("utf-8"):
                return False
    except OSError:
        pass
    write_atomically(path, text)
    return True


def _part_hash(part, rules, title, overview, prefix):
    # marshal: the fastest exact serialisation of these plain values (another
    # Python version may serialise differently: its first run rebuilds all).
    source = marshal.dumps((CODE_HASH, title, tuple(rules), overview, prefix, part.name,
                            part.number, tuple(part.siblings), part.prev, part.next,
                            tuple(e.key for e in part.entries)))
    return hashlib.sha256(source).hexdigest()


def pages_folder(out):
    """The folder of the month pages for an overview file: OUT/index.html -> OUT/index."""
    folder, name = os.path.split(os.path.abspath(out))
    return os.path.join(folder, name[:-5] if name.endswith(".html") and len(name) > 5
                        else name + ".pages")


def build(catalog, out, title):
    """Purpose: writes the overview, the month pages and their search files.
    Given: the catalog, the overview's path, the archive's title.
    Returned: the names of the files written (pages' folder first, then the
    overview), for the caller's report.
    Notes: a page whose inputs (its recordings as shown, its neighbours, the
    files it links to, this builder's own code) have the same hash as when
    it was last written, and that is still on disk, is not built again; a
    built page whose text equals the file's is not rewritten. Pages of
    months that left the archive are removed. Raises PageError."""
    out_dir = os.path.dirname(os.path.abspath(catalog))
    page_dir = os.path.dirname(os.path.abspath(out))
    pages_dir = pages_folder(out)
    entries, rules = read_catalog(catalog, out_dir)
    parts = layout(entries)
    prefix = os.path.relpath(out_dir, pages_dir).replace(os.sep, "/") + "/"
    overview = os.path.relpath(os.path.abspath(out), out_dir).replace(os.sep, "/")
    if not os.path.isdir(page_dir):
        raise PageError(f"cannot write {out}: the folder {page_dir} does not exist")
    try:
        if not os.path.isdir(pages_dir):
            os.mkdir(pages_dir)
    except OSError as err:
        raise PageError(f"cannot make the pages' folder {pages_dir}: {err.strerror}") from err
    manifest_path = os.path.join(pages_dir, MANIFEST)
    try:
        with open(manifest_path, encoding="utf-8") as f:
            old = json.load(f)
        old = old if isinstance(old, dict) else {}
    except (OSError, ValueError):
        old = {}
    new, written = {}, []
    for p in parts:
        h = _part_hash(p, rules, title, overview, prefix)
        new[p.file()] = h
        html_path = os.path.join(pages_dir, p.file())
        js_path = os.path.join(pages_dir, p.search_file())
        if old.get(p.file()) == h and os.path.isfile(html_path) and os.path.isfile(js_path):
            continue
        if write_if_changed(html_path, month_html(p, rules, title, overview, prefix)):
            written.append(p.file())
        if write_if_changed(js_path, search_data(p)):
            written.append(p.search_file())
    wanted = {p.file() for p in parts} | {p.search_file() for p in parts}
    try:
        names = os.listdir(pages_dir)
    except OSError as err:
        raise PageError(f"cannot list {pages_dir}: {err.strerror}") from err
    for name in names:
        if _PAGE_FILE.match(name) and name not in wanted:
            try:
                os.unlink(os.path.join(pages_dir, name))
            except OSError as err:
                raise PageError(f"cannot remove the old page {name}: {err.strerror}") from err
    if new != old:
        write_atomically(manifest_path, json.dumps(new, indent=0, sort_keys=True) + "\n")
    dir_url = url_of(os.path.relpath(pages_dir, page_dir).replace(os.sep, "/")) + "/"
    if write_if_changed(out, overview_html(entries, parts, rules, title, dir_url)):
        written.append(os.path.basename(out))
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Builds the archive's index pages (static HTML files) from its catalog.")
    parser.add_argument("--catalog", required=True, metavar="OUT/catalog.sqlite",
                        help="the archive's catalog; links are relative to its folder")
    parser.add_argument("--out", required=True, metavar="OUT/index.html",
                        help="the overview to write; the month pages go to the folder of "
                             "its name without .html (OUT/index/)")
    parser.add_argument("--title", default=None,
                        help="heading of the pages (default: the output folder's name)")
    args = parser.parse_args(argv)

    out_dir = os.path.dirname(os.path.abspath(args.catalog))
    title = args.title or os.path.basename(out_dir) or "Archive"
    try:
        build(args.catalog, args.out, title)
    except PageError as err:
        print(f"{PROGRAM}: {err}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
