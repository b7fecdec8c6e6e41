#!/usr/bin/python3
"""The archive's index page and quick-look pictures, checked in a real browser.

    /usr/bin/python3 tests/index_page/check_index_page.py --skanvert build/skanvert \
        --vekgen build/vekgen [--keep DIR] [--screenshot PNG]

Builds a small archive with real runs: vekgen recordings in nested folders
(equal names in two folders, names with a quote, '<', '&', blanks, a leading
dash, a '$' pair, UTF-8 and a byte that is not UTF-8; an object name that is
HTML), some of them damaged so that skanvert fails, scans after local
midnight filed under the UT day (and month) before; converts each with
skanvert, draws its quick look and thumbnail, writes the catalog with the
archive's columns (the UT dates, flags and flag rules too) and builds the
overview OUT/index.html and the month pages OUT/index/*.html. Then headless
Chromium opens every page and the checks read what it shows:

  old catalog  a catalog without the UT and flag columns still files every
               recording under its UT month.
  page        every page loads with no console message and no script error;
              every recording is listed once under its own name, on the page
              of its UT month; failed rows are marked and carry their
              message; every link and thumbnail names an existing file;
              nothing from a name became markup; flag badges with their rules;
              names break only after '/'; summary lines; month links chain.
  view        the address fragment filters (outcome, quality and each flag,
              day, object, part of the path) and sorts; an unknown key or
              value, or other capitals, gives a note on the page.
  overview    the calendar's counts against the catalog (sqlite3), the days
              of a year, colours, links, the summary line, the search by part
              of a name, object, flag and outcome, and where a result leads.
  rebuild     nothing changed: no page written; one month changed: that
              month's page and search file only; a month gone leaves no page;
              no temporary file; a missing catalog or an unwritable folder
              fails with a message and keeps the old page.
  workflow    the real workflow (snakemake) on a few recordings: one page
              per UT month, counts, every link of every page.
  units       escaping of URL segments, texts and JSON, the UT date of an
              observation whose UT hour wrapped back over midnight, how
              months are cut into pages, the thumbnail's orientation.

Prints one line per check, then "N passed, M failed"; exits 1 when a check
failed, 2 when the checks could not run (a tool missing).
"""

import argparse
import html.parser
import importlib.util
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import types
import urllib.parse

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
QUICKLOOK = os.path.join(REPO, "tools", "quicklook", "skanvert_quicklook.py")
INDEX_PAGE = os.path.join(REPO, "workflow", "scripts", "index_page.py")
PYTHON = "/usr/bin/python3"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--enable-logging=stderr", "--v=0"]

# The archive: relative path (bytes), what happens to the recording, vekgen
# options, the object the catalog gives, how the page must show the path.
# "ok" converts; "short" and "empty" are cut below the header, "nostop" has
# its stop stamp wiped: skanvert fails on those three.
ARCHIVE = [
    (b"2006/04/rec1.dat", "ok", ["--channels=1-8", "--date=2006-04-12"], "sun"),
    (b"2006/05/midnight.dat", "ok", ["--channels=1-3", "--date=2006-05-01", "--start=02:10:00"],
     "sun"),
    (b"2007/06/rec1.dat", "ok", ["--channels=1-4", "--date=2007-06-01", "--object=moon"], "moon"),
    (b"2008/05/it's <b>&amp; \"x\".dat", "ok", ["--channels=1-6", "--date=2008-05-02"],
     '"><img src=x>'),
    ("2008/05/blank ü name.dat".encode(), "ok", ["--channels=1-3", "--date=2008-05-03"],
     "Sonne ü <&>"),
    (b"2008/05/-s=5.dat", "ok", ["--channels=1-2", "--date=2008-05-04", "--start=01:59:00"],
     "sun"),
    (b"2009/01/caf\xe9.dat", "ok", ["--channels=1-5", "--date=2009-01-20"], "sun"),
    (b"2009/01/d$x^$.dat", "ok", ["--channels=1-3", "--dead=1-3", "--date=2009-01-21"], "sun"),
    (b"2008/06/short <&>'\".dat", "short", ["--date=2008-06-01"], None),
    (b"2008/06/nostop.dat", "nostop", ["--date=2008-06-02"], "sun"),
    (b"2008/06/ok.dat", "ok", ["--channels=1-2", "--date=2008-06-03"], "sun"),
    (b"2006/04/empty.dat", "empty", [], None),
]
NO_THUMBNAIL = b"2007/06/rec1.dat"       # its thumbnail is removed before the page is built
EARLY = b"2008/05/-s=5.dat"               # observed 01:59 local: the UT day is the day before
SHOWN_AS = {b"2009/01/caf\xe9.dat": "2009/01/caf\\xE9.dat"}  # a byte that is not UTF-8
# The UT date of each recording (None: its stamps cannot be read); two scans
# started after local midnight were observed the UT day before, one of them
# in the month before.
DATE_UT = {b"2006/04/rec1.dat": "2006-04-12", b"2006/05/midnight.dat": "2006-04-30",
           b"2007/06/rec1.dat": "2007-06-01", ARCHIVE[3][0]: "2008-05-02",
           ARCHIVE[4][0]: "2008-05-03", EARLY: "2008-05-03", b"2009/01/caf\xe9.dat": "2009-01-20",
           b"2009/01/d$x^$.dat": "2009-01-21", ARCHIVE[8][0]: None,
           b"2008/06/nostop.dat": "2008-06-02", b"2008/06/ok.dat": "2008-06-03",
           b"2006/04/empty.dat": None}
# Flags the catalog gives (as the workflow's quality rules would), and the
# rules with text that must stay text in a tooltip.
FLAGS = {b"2007/06/rec1.dat": "truncated,sun_outside_scan", b"2009/01/d$x^$.dat": "no_channels",
         EARLY: "summer_time_guess"}
FLAG_RULES = [("truncated", "fewer whole frames than the header's sample count <says> & \"more\""),
              ("sun_outside_scan", "the Sun's centre lies outside the scan"),
              ("no_channels", "no configured channel kept"),
              ("few_channels", "fewer than the configured share of channels kept"),
              ("summer_time_guess", "the year lies outside the summer-time table")]
FRAMES = 3000                            # 23 s: the Sun's centre crosses 11 s after the start

CATALOG_COLUMNS = [
    ("path", "TEXT PRIMARY KEY"), ("status", "TEXT"), ("exit_status", "INTEGER"),
    ("message", "TEXT"), ("fits", "TEXT"), ("log", "TEXT"), ("pixels", "INTEGER"),
    ("channels_accepted", "INTEGER"), ("channels_configured", "INTEGER"),
    ("overflow_channels", "INTEGER"), ("size", "INTEGER"), ("frames", "INTEGER"),
    ("trailing_bytes", "INTEGER"), ("object", "TEXT"), ("time_local", "TEXT"),
    ("ut_hour", "INTEGER"), ("time_ut", "TEXT"), ("date_obs", "TEXT"), ("start_stamp", "TEXT"),
    ("stop_stamp", "TEXT"), ("start_obs", "TEXT"), ("stop_obs", "TEXT"), ("azimuth", "INTEGER"),
    ("altitude", "REAL"), ("duration", "REAL"), ("nsamples", "INTEGER"), ("gain_words", "TEXT"),
    ("gain_changes", "INTEGER"), ("read_error", "TEXT"), ("cdelt1", "REAL"), ("crpix1", "REAL"),
    ("channels_file", "TEXT"), ("smooth", "INTEGER"), ("ampcor", "INTEGER"), ("shift", "INTEGER"),
    ("sigma", "REAL"), ("layout", "TEXT"), ("skanvert_build", "TEXT"),
]


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, group, name, ok, detail=""):
        label = f"{group}: {name}"
        if ok:
            self.passed += 1
            print(f"ok    {label}")
        else:
            self.failed.append(label)
            print(f"FAIL  {label}: {detail}")
        return ok


class Stop(Exception):
    """The checks cannot go on."""


def load(path, name):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run(cmd, timeout=120, **kw):
    try:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout, **kw)
    except subprocess.TimeoutExpired as err:
        raise Stop(f"{cmd[0]} did not finish in {timeout} s") from err


# ----------------------------------------------------------------------------
# The archive

def stem(rel):
    return rel[:-4]


def build_archive(skanvert, vekgen, work):
    """Simulates, converts and draws every recording; returns the catalog rows."""
    archive, out = os.path.join(work, b"archive"), os.path.join(work, b"out")
    rows = []
    pictures = []
    for rel, kind, options, obj in ARCHIVE:
        src = os.path.join(archive, rel)
        folder = os.path.dirname(src)
        os.makedirs(folder, exist_ok=True)
        os.makedirs(os.path.dirname(os.path.join(out, rel)), exist_ok=True)
        cfg = stem(src) + b".cfg"
        if kind == "empty":
            open(src, "wb").close()
            shutil.copy(os.path.join(archive, ARCHIVE[0][0][:-4] + b".cfg"), cfg)
        else:
            done = run([vekgen, f"--frames={FRAMES}", "--crossing=11", *options, src])
            if done.returncode != 0:
                raise Stop(f"vekgen failed for {rel!r}: {done.stderr.decode(errors='replace')}")
        if kind == "short":
            os.truncate(src, 2000)
        elif kind == "nostop":
            with open(src, "r+b") as f:
                f.seek(3072)
                f.write(bytes(40))
        done = run([skanvert, b"-in=" + folder + b"/", b"-f=" + os.path.basename(src),
                    b"-cf=" + cfg, b"-out=" + os.path.dirname(os.path.join(out, rel)) + b"/"],
                   cwd=work)
        log = stem(rel) + b".log"
        with open(os.path.join(out, log), "wb") as f:
            f.write(done.stdout + done.stderr)
        fits = stem(rel) + b".fits"
        converted = done.returncode == 0 and os.path.isfile(os.path.join(out, fits))
        if (kind == "ok") != converted:
            raise Stop(f"skanvert on {rel!r} gave exit {done.returncode}, expected "
                       f"{'success' if kind == 'ok' else 'failure'}")
        lines = [ln for ln in done.stdout.decode(errors="replace").splitlines() if ln.strip()]
        configured = configured_channels(cfg)
        row = dict(path=rel, status="converted" if converted else "failed",
                   exit_status=done.returncode, message="" if converted else lines[-1],
                   fits=fits if converted else b"", log=log, channels_configured=configured,
                   object=obj, size=os.path.getsize(src), smooth=20, ampcor=1, shift=0, sigma=1.0,
                   layout="default")
        if converted:
            from astropy.io import fits as pyfits
            h = pyfits.getheader(os.fsdecode(os.path.join(out, fits)))
            row.update(pixels=h["NAXIS1"], channels_accepted=h["NAXIS3"],
                       overflow_channels=sum(1 for k in h if k.startswith("OVER") and h[k]),
                       time_ut=h["TIME-OBS"], date_obs=h["DATE-OBS"].replace("/", "-"),
                       start_obs=h["STARTOBS"], stop_obs=h["STOPOBS"], cdelt1=h["CDELT1"],
                       crpix1=h["CRPIX1"])
            pictures.append(os.path.join(out, fits))
        elif obj is not None:  # the header could be read: what the reader of recordings gives
            date = next(o.split("=", 1)[1] for o in options if o.startswith("--date="))
            row.update(date_obs=date, time_ut="08:00:11", start_obs="12:00:00.050")
        else:
            row.update(read_error="shorter than the 4096-byte header")
        rows.append(row)

    # Quick looks, two at a time like the workflow on this machine, by the
    # native renderer the workflow uses (built beside the converter), else
    # by the Python one.
    native = os.path.join(os.path.dirname(os.fsdecode(skanvert)), "skanvert-quicklook")
    draw = [native] if os.access(native, os.X_OK) else [PYTHON, QUICKLOOK]
    running = []
    for path in pictures:
        running.append(subprocess.Popen(draw + [path, "--thumbnail"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE))
        if len(running) == 2:
            wait_pictures(running.pop(0))
    for p in running:
        wait_pictures(p)
    os.unlink(os.path.join(out, stem(NO_THUMBNAIL) + b".thumb.png"))
    return out, rows


def configured_channels(cfg):
    """Channels of a configuration with a nonzero frequency (the heading line skipped)."""
    count = 0
    with open(cfg) as f:
        for line in f:
            fields = line.split()
            try:
                count += len(fields) >= 2 and float(fields[1]) != 0
            except ValueError:
                pass
    return count


def wait_pictures(proc):
    _, err = proc.communicate(timeout=300)
    if proc.returncode != 0:
        raise Stop(f"quick look failed: {err.decode(errors='replace')}")


def write_catalog(path, rows, new_columns=True):
    """The catalog as the workflow writes it; new_columns=False: one from before
    the UT and flag columns (the page then dates by the local date and TIME-OBS)."""
    if os.path.exists(path):
        os.unlink(path)
    columns = list(CATALOG_COLUMNS)
    if new_columns:
        columns += [("date_ut", "TEXT"), ("time_obs_ut", "TEXT"), ("flags", "TEXT")]
        columns += [("flag_" + n, "INTEGER") for n, _ in FLAG_RULES]
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE recordings (" + ", ".join(f"{n} {t}" for n, t in columns) + ")")
    if new_columns:
        con.execute("CREATE TABLE flag_rules (name TEXT PRIMARY KEY, position INTEGER, rule TEXT)")
        con.executemany("INSERT INTO flag_rules VALUES (?, ?, ?)",
                        [(n, i, r) for i, (n, r) in enumerate(FLAG_RULES)])
    names = [n for n, _ in columns]
    for row in rows:
        row = dict(row)
        if new_columns:
            date = DATE_UT[row["path"]]
            row["date_ut"] = date
            if date and row.get("time_ut"):
                row["time_obs_ut"] = date + "T" + row["time_ut"][:8]
            row["flags"] = row.get("flags", FLAGS.get(row["path"], ""))
            for n, _ in FLAG_RULES:
                row["flag_" + n] = int(n in row["flags"].split(","))
        values = []
        for n in names:
            v = row.get(n)
            if isinstance(v, bytes):  # UTF-8 names as text; others only fit as a BLOB
                try:
                    v = v.decode("utf-8")
                except UnicodeDecodeError:
                    pass
            values.append(v)
        con.execute(f"INSERT INTO recordings VALUES ({', '.join('?' * len(names))})", values)
    con.commit()
    con.close()


def build_page(catalog, page):
    return run([PYTHON, INDEX_PAGE, "--catalog", catalog, "--out", page])


# ----------------------------------------------------------------------------
# The browser

def chromium(args, url, work):
    """Runs headless Chromium on url; returns (stdout, console lines)."""
    profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
    proc = subprocess.Popen(["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *args, url],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired as e:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise Stop("chromium did not finish in 120 s") from e
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    console = [ln for ln in err.decode(errors="replace").splitlines() if ":CONSOLE" in ln]
    return out.decode("utf-8", errors="replace"), console


class Dom(html.parser.HTMLParser):
    """What the checks read from a dumped page: rows, links, tags, handlers,
    the calendar's cells, search results and the view's note."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = {}
        self.rows = []
        self.handlers = []
        self.tags = {}
        self.links = []
        self.cells = []      # calendar and day cells: their attributes
        self.results = []    # search results: (data-path, href)
        self.titles = []     # tooltips of flag badges
        self.summary = self.note = ""
        self.note_hidden = True
        self._row = self._cell = None
        self._in = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags[tag] = self.tags.get(tag, 0) + 1
        self.handlers += [n for n, _ in attrs if n.startswith("on")]
        if tag == "html":
            self.root = a
        elif tag == "tr" and "data-outcome" in a:
            self._row = dict(attrs=a, cells=[], links=[], images=[])
            self.rows.append(self._row)
        elif tag == "td" and self._row is not None:
            self._cell = []
            self._row["cells"].append(self._cell)
        elif tag == "td" and ("data-month" in a or "data-date" in a):
            self.cells.append(a)
        elif tag == "li" and "data-path" in a:
            self.results.append([a["data-path"], None])
        if tag == "a":
            self.links.append(a.get("href", ""))
            if self._row is not None:
                self._row["links"].append(a.get("href", ""))
            if self.results and self.results[-1][1] is None:
                self.results[-1][1] = a.get("href", "")
        elif tag == "img" and self._row is not None:
            self._row["images"].append(a.get("src", ""))
        elif tag == "span" and a.get("class") == "flag":
            self.titles.append(a.get("title"))
        elif tag == "p" and a.get("id") in ("summary", "view-note"):
            self._in = a["id"]
            if self._in == "view-note":
                self.note_hidden = "hidden" in a

    def handle_endtag(self, tag):
        if tag == "tr":
            self._row = self._cell = None
        elif tag == "td":
            self._cell = None
        elif tag == "p":
            self._in = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)
        if self._in == "summary":
            self.summary += data
        elif self._in == "view-note":
            self.note += data


def text(cell):
    return "".join(cell)


def shown_path(rel):
    return SHOWN_AS.get(rel) or rel.decode("utf-8")


def file_url(path):
    return "file://" + urllib.parse.quote(path)


def month_of(rel):
    date = DATE_UT[rel]
    return date[:7] if date else "undated"


def resolves(base, href):
    """True when a relative link (fragment aside) names an existing file under base."""
    parsed = urllib.parse.urlsplit(href)
    if parsed.scheme or parsed.netloc or not parsed.path:
        return False
    return os.path.isfile(os.path.normpath(os.path.join(os.fsencode(base), urllib.parse.unquote_to_bytes(
        parsed.path))))


class Pages:
    """Every page of the built archive as the browser shows it."""

    def __init__(self, out, work):
        self.out, self.work = out, work
        self.dir = os.path.join(out, "index")
        self.names = sorted(n for n in os.listdir(self.dir) if n.endswith(".html"))
        self.doms, self.console = {}, []
        for name in self.names:
            dom_text, console = chromium(["--dump-dom"], file_url(os.path.join(self.dir, name)), work)
            self.doms[name] = Dom(dom_text)
            self.console += [f"{name}: {c}" for c in console]

    def rows(self):
        return [(name, r) for name in self.names for r in self.doms[name].rows]


# ----------------------------------------------------------------------------
# Checks

def check_page(res, pages, out, rows):
    g = "page"
    res.check(g, "no console message on any page", not pages.console, "; ".join(pages.console[:3]))
    bad = [n for n, d in pages.doms.items()
           if d.root.get("data-ready") != "1" or "data-errors" in d.root]
    res.check(g, "every page's script ran to its end without error", not bad, str(bad))
    listed = [text(r["cells"][2]) for _, r in pages.rows()]
    want = [shown_path(r["path"]) for r in rows]
    res.check(g, "every recording listed once under its name", sorted(listed) == sorted(want),
              f"listed {listed}, want {want}")
    where = {text(r["cells"][2]): name for name, r in pages.rows()}
    wrong = [(shown_path(r["path"]), where.get(shown_path(r["path"]))) for r in rows
             if where.get(shown_path(r["path"])) != month_of(r["path"]) + ".html"]
    res.check(g, "each recording on the page of its UT month (undated ones on undated.html)",
              not wrong, str(wrong))
    by_path = {text(r["cells"][2]): r for _, r in pages.rows()}
    bad_fail = []
    for row in rows:
        r = by_path.get(shown_path(row["path"]))
        if r is None:
            continue
        failed = row["status"] == "failed"
        marked = r["attrs"].get("class") == "failed" and r["attrs"]["data-outcome"] == "=failed"
        if failed != marked or (failed and row["message"] not in text(r["cells"][3])):
            bad_fail.append((shown_path(row["path"]), text(r["cells"][3])))
    res.check(g, "failed rows marked with their message, converted ones not", not bad_fail,
              str(bad_fail))
    broken, wrong = [], []
    for row in rows:
        r = by_path.get(shown_path(row["path"]))
        if r is None:
            continue
        targets = []
        for link in r["links"] + r["images"]:
            target = os.path.normpath(os.path.join(b"index", urllib.parse.unquote_to_bytes(link)))
            if not resolves(os.path.join(out, b"index"), link):
                broken.append(link)
            targets.append(target)
        expect = {stem(row["path"]) + b".log"}
        if row["status"] == "converted":
            expect |= {stem(row["path"]) + b".fits", stem(row["path"]) + b".png"}
            if row["path"] != NO_THUMBNAIL:
                expect.add(stem(row["path"]) + b".thumb.png")
        if set(targets) != expect:
            wrong.append((shown_path(row["path"]), targets))
    res.check(g, "every link and thumbnail names an existing file of its recording",
              not broken and not wrong, f"broken {broken}, wrong {wrong}")
    thumbs = sum(1 for row in rows if row["status"] == "converted" and row["path"] != NO_THUMBNAIL)
    tags = {}
    for d in pages.doms.values():
        for k, v in d.tags.items():
            tags[k] = tags.get(k, 0) + v
    res.check(g, "no markup from names: no handler attribute, one script a page, "
              "one image a thumbnail",
              not any(d.handlers for d in pages.doms.values()) and tags.get("script") == len(pages.names)
              and tags.get("img") == thumbs and tags.get("b", 0) == 0 and tags.get("i", 0) == 0,
              f"tags {tags}")
    lazy = all('loading="lazy"' in open(os.path.join(pages.dir, n), encoding="utf-8").read()
               for n in pages.names if pages.doms[n].tags.get("img"))
    res.check(g, "thumbnails load lazily", lazy)
    r = by_path.get(shown_path(NO_THUMBNAIL))
    res.check(g, "a missing thumbnail leaves a link to the picture",
              r is not None and not r["images"] and "picture" in text(r["cells"][6]),
              r and text(r["cells"][6]))
    r = by_path.get(shown_path(EARLY))
    res.check(g, "an observation at 01:59 local time is dated the day before in UT",
              r is not None and text(r["cells"][0]).startswith("2008-05-03 21:59"),
              r and text(r["cells"][0]))
    bad = []
    for row in rows:
        r = by_path.get(shown_path(row["path"]))
        want = [f for f in FLAGS.get(row["path"], "").split(",") if f]
        badges = text(r["cells"][4]) if r else None
        if r is None or badges != "".join(want) or r["attrs"]["data-flags"].split() != want:
            bad.append((shown_path(row["path"]), badges))
    rules = dict(FLAG_RULES)
    titles = [t for d in pages.doms.values() for t in d.titles]
    want_titles = [rules[f] for p in FLAGS.values() for f in p.split(",")]
    res.check(g, "flag badges on their rows with the rule (as text) as tooltip",
              not bad and sorted(titles) == sorted(want_titles), f"{bad}, titles {titles}")
    raw = open(os.path.join(pages.dir, "2008-05.html"), encoding="utf-8").read()
    res.check(g, "file names break only after '/'",
              '<span class="seg">blank ü name.dat</span>' in raw
              and "2008</span>/<wbr><span" in raw)
    month = pages.doms["2008-05.html"]
    res.check(g, "a month's summary line counts its flagged recordings per flag",
              month.summary.strip() == "3 recordings: 3 converted, 0 failed, 1 flagged "
              "(1 summer_time_guess); observed 2008-05-02 to 2008-05-03 (UT)", month.summary)
    obj = by_path.get(shown_path(ARCHIVE[3][0]))
    res.check(g, "an object name that is HTML shown as text",
              obj is not None and text(obj["cells"][1]) == ARCHIVE[3][3], obj and obj["cells"][1])
    nav = [(n, link) for n, d in pages.doms.items() for link in d.links
           if not resolves(pages.dir, link)]
    res.check(g, "every link of every month page resolves", not nav, str(nav[:5]))
    months = [n for n in pages.names if n != "undated.html"]
    chain = []
    for i, n in enumerate(months):
        links = pages.doms[n].links
        want = ([months[i - 1]] if i else []) + ([months[i + 1]] if i + 1 < len(months) else [])
        if [lk for lk in links if lk in months] != want:
            chain.append((n, links))
    res.check(g, "previous and next month links chain the months in order", not chain, str(chain))


def visible(dom):
    return sorted(text(r["cells"][2]) for r in dom.rows if "hidden" not in r["attrs"])


def check_views(res, pages, rows, work):
    g = "view"

    def view(name, fragment):
        url = file_url(os.path.join(pages.dir, name)) + "#" + fragment
        return Dom(chromium(["--dump-dom"], url, work)[0])

    def paths(pred):
        return sorted(shown_path(r["path"]) for r in rows if pred(r))
    failed_june = paths(lambda r: r["status"] == "failed" and month_of(r["path"]) == "2008-06")
    flagged = lambda r: FLAGS.get(r["path"], "")  # noqa: E731
    in_month = lambda m: lambda r: month_of(r["path"]) == m  # noqa: E731
    cases = [  # page, fragment, the rows it must leave, the note it must give (a part of it)
        ("2008-06.html", "outcome=failed", failed_june, None),
        ("2009-01.html", "quality=no_channels", [shown_path(b"2009/01/d$x^$.dat")], None),
        ("2009-01.html", "quality=clean", [shown_path(b"2009/01/caf\xe9.dat")], None),
        ("2008-05.html", "quality=flagged", [shown_path(EARLY)], None),
        ("2007-06.html", "quality=problem", [shown_path(b"2007/06/rec1.dat")], None),
        ("2008-06.html", "quality=problem", failed_june, None),
        ("2008-05.html", "day=03", paths(lambda r: DATE_UT[r["path"]] == "2008-05-03"), None),
        ("2008-05.html", "object=" + urllib.parse.quote(ARCHIVE[3][3], safe=""),
         [shown_path(ARCHIVE[3][0])], None),
        ("2008-05.html", "path=" + urllib.parse.quote("BLANK ü"), [shown_path(ARCHIVE[4][0])],
         None),
        ("2008-05.html", "quality=Flagged", [shown_path(EARLY)], "capitals"),
        ("2008-05.html", "object=moon", paths(in_month("2008-05")), "no recording on this page"),
        ("2008-05.html", "colour=red", paths(in_month("2008-05")), "not a view"),
        ("2008-05.html", "quality=flagged&object=sun", paths(lambda r: flagged(r)
                                                             and in_month("2008-05")(r)), None),
    ]
    for name, fragment, want, note in cases:
        dom = view(name, fragment)
        ok = visible(dom) == want and (
            (note is None and dom.note_hidden) or (note is not None and note in dom.note
                                                   and not dom.note_hidden))
        res.check(g, f"{name}#{fragment}", ok, f"shown {visible(dom)}, want {want}, note "
                  f"{dom.note!r}")
    dom = view("2008-05.html", "sort=-channels")
    kept = [text(r["cells"][5]) for r in dom.rows]
    numbers = [int(k.split()[0]) for k in kept]
    res.check(g, "#sort=-channels: most channels first",
              numbers == sorted(numbers, reverse=True) and len(numbers) == 3, f"order {kept}")
    order = []
    for name in ("2008-06.html", "2007-06.html"):
        dom = view(name, "sort=outcome")
        order.append([r["attrs"]["data-quality"] for r in dom.rows])
    res.check(g, "#sort=outcome puts failed rows first, then flagged ones",
              order == [["=failed", "=clean"], ["=flagged"]], str(order))


def check_overview(res, out, catalog, rows, work):
    g = "overview"
    page = os.path.join(out, "index.html")
    dom_text, console = chromium(["--dump-dom"], file_url(page) + "#year=2008", work)
    dom = Dom(dom_text)
    res.check(g, "loads with no console message and its script ran",
              not console and dom.root.get("data-ready") == "1" and "data-errors" not in dom.root,
              f"{console[:3]} {dom.root}")
    con = sqlite3.connect(catalog)
    want = {}
    for month, status, flags, n in con.execute(
            "SELECT substr(date_ut, 1, 7), status, flags != '', count(*) FROM recordings "
            "WHERE date_ut IS NOT NULL GROUP BY 1, 2, 3"):
        c = want.setdefault(month, [0, 0, 0])
        if status == "failed":
            c[2] += n
        else:
            c[0] += n
            c[1] += n if flags else 0
    days = {}
    for day, status, n in con.execute("SELECT date_ut, status, count(*) FROM recordings "
                                      "WHERE date_ut LIKE '2008-%' GROUP BY 1, 2"):
        days[day] = days.get(day, 0) + n
    undated = con.execute("SELECT count(*) FROM recordings WHERE date_ut IS NULL").fetchone()[0]
    con.close()
    got = {a["data-month"]: [int(a["data-converted"]), int(a["data-flagged"]),
                             int(a["data-failed"])]
           for a in dom.cells if "data-month" in a and "data-converted" in a}
    res.check(g, "the calendar's counts per month equal the catalog's (sqlite3)", got == want,
              f"calendar {got}, catalog {want}")
    colours = {a["data-month"]: a.get("class") for a in dom.cells if "data-converted" in a}
    res.check(g, "a month of failures stands out, a clean one does not",
              colours.get("2008-06") == "q3" and colours.get("2006-04") == "q0"
              and colours.get("2007-06") == "q3", str(colours))
    got_days = {a["data-date"]: a for a in dom.cells if "data-date" in a}
    res.check(g, "#year=2008: its days drawn with the catalog's counts",
              sorted(got_days) == sorted(days), f"days {sorted(got_days)}, want {days}")
    bad = [link for link in dom.links if not resolves(out, link)
           and not link.startswith("#year=")]
    res.check(g, "every link of the overview resolves (calendar, undated page)",
              not bad and any(link.endswith("undated.html") for link in dom.links), str(bad))
    res.check(g, "the summary line counts flagged recordings per flag",
              dom.summary.strip() == f"{len(rows)} recordings: 9 converted, 3 failed, 3 flagged "
              "(1 truncated, 1 sun_outside_scan, 1 no_channels, 1 summer_time_guess); "
              "observed 2006-04-12 to 2009-01-21 (UT)", dom.summary)
    res.check(g, "the undated recordings counted", f'data-failed="{undated}"' in dom_text
              and f"{undated} recordings without a UT date" in dom_text)

    def search(q):
        d = Dom(chromium(["--dump-dom"], file_url(page) + "#" + urllib.parse.urlencode({"q": q}),
                         work)[0])
        return d, sorted(p for p, _ in d.results)
    cases = [  # query, what it must find
        ("blank", [shown_path(ARCHIVE[4][0])]),
        ("CAF\\xe9", [shown_path(b"2009/01/caf\xe9.dat")]),
        ("rec1", sorted(shown_path(p) for p in (b"2006/04/rec1.dat", b"2007/06/rec1.dat"))),
        ("moon", [shown_path(b"2007/06/rec1.dat")]),
        ("flag:truncated", [shown_path(b"2007/06/rec1.dat")]),
        ("flagged 2009", [shown_path(b"2009/01/d$x^$.dat")]),
        ("outcome:failed", sorted(shown_path(r["path"]) for r in rows if r["status"] == "failed")),
        ("<&>", sorted([shown_path(ARCHIVE[8][0]), shown_path(ARCHIVE[4][0])])),  # name, object
        ("object:sonne", [shown_path(ARCHIVE[4][0])]),
        ("nothing-like-this", []),
    ]
    for q, want in cases:
        d, found = search(q)
        res.check(g, f"search {q!r}", found == want and d.root.get("data-searched") == q,
                  f"found {found}, want {want}")
    d, _ = search("2008/05")
    targets = []
    for path, href in d.results:
        target = Dom(chromium(["--dump-dom"], file_url(os.path.join(out, "")) + href, work)[0])
        targets.append((path, visible(target)))
    res.check(g, "a search result opens its month page showing that recording",
              len(targets) == 3 and all(v == [p] for p, v in targets), str(targets))


def check_old_catalog(res, catalog, page, rows):
    """A catalog from before the UT and flag columns: dated by the local date and TIME-OBS."""
    write_catalog(catalog, rows, new_columns=False)
    done = build_page(catalog, page)
    index = os.path.join(os.path.dirname(page), "index")
    where = {}
    for name in (os.listdir(index) if done.returncode == 0 else []):
        if name.endswith(".html"):
            with open(os.path.join(index, name), encoding="utf-8") as f:
                for r in Dom(f.read()).rows:
                    where[text(r["cells"][2])] = name
    wrong = [(shown_path(r["path"]), where.get(shown_path(r["path"]))) for r in rows
             if where.get(shown_path(r["path"])) != month_of(r["path"]) + ".html"]
    res.check("old catalog", "without date_ut each recording is still on its UT month's page",
              done.returncode == 0 and not wrong, f"exit {done.returncode} {done.stderr!r} {wrong}")


def stamps(folder):
    """Each page's inode and time: a page written again (by a rename) gets a new inode."""
    return {n: (os.stat(os.path.join(folder, n)).st_ino, os.stat(os.path.join(folder, n)).st_mtime_ns)
            for n in os.listdir(folder) if not n.startswith(".")}


def check_rebuild(res, out, rows, catalog, page):
    g = "rebuild"
    index = os.path.join(os.fsdecode(out), "index")
    before = stamps(index)
    done = build_page(catalog, page)
    res.check(g, "a rebuild with nothing changed writes no month page",
              done.returncode == 0 and stamps(index) == before, f"exit {done.returncode}")
    changed = [dict(r) for r in rows]
    for r in changed:
        if r["path"] == ARCHIVE[4][0]:
            r["flags"] = "few_channels"
    write_catalog(catalog, changed)
    done = build_page(catalog, page)
    after = stamps(index)
    touched = sorted(n for n in after if after[n] != before.get(n))
    res.check(g, "a change in one month rewrites that month's page and search file only",
              done.returncode == 0 and touched == ["2008-05.html", "2008-05.js"],
              f"exit {done.returncode}, touched {touched}")
    gone = rows[0]["path"]
    write_catalog(catalog, [r for r in rows if r["path"] not in (gone, b"2006/05/midnight.dat")])
    done = build_page(catalog, page)
    names = sorted(os.listdir(index))
    res.check(g, "a month that left the catalog leaves no page behind",
              done.returncode == 0 and "2006-04.html" not in names and "2006-04.js" not in names
              and "2007-06.html" in names, f"exit {done.returncode}, {names}")
    with open(os.path.join(index, "2007-06.html"), encoding="utf-8") as f:
        first = f.read()
    res.check(g, "the first month then has no previous month",
              "no earlier month" in first and 'href="2006-' not in first)
    write_catalog(catalog, rows)
    done = build_page(catalog, page)
    with open(page, encoding="utf-8") as f:
        before = f.read()
    res.check(g, "and back when they return", done.returncode == 0 and
              os.path.isfile(os.path.join(index, "2006-04.html")), f"exit {done.returncode}")
    leftovers = [n for n in os.listdir(out) + os.listdir(os.fsencode(index))
                 if n.startswith(b".") and n != b".pages.json"]
    res.check(g, "no temporary file left beside the pages", not leftovers, str(leftovers))
    for name, catalog_arg, page_arg in [
            ("a missing catalog", catalog + ".none", page),
            ("an output folder that does not exist", catalog, os.path.join(os.path.dirname(page),
                                                                         "none", "index.html"))]:
        done = build_page(catalog_arg, page_arg)
        with open(page, encoding="utf-8") as f:
            kept = f.read() == before
        res.check(g, f"{name}: exit 1 with a message, old page kept",
                  done.returncode == 1 and b"index_page:" in done.stderr and kept,
                  f"exit {done.returncode}, {done.stderr[-200:]!r}")


# The real workflow on a few recordings: (path, vekgen options or None for a
# file cut below the header, UT month it belongs to).
WORKFLOW_ARCHIVE = [
    ("2006/04/a.dat", ["--date=2006-04-12"], "2006-04"),
    ("2006/05/after midnight.dat", ["--date=2006-05-01", "--start=02:10:00"], "2006-04"),
    ("2007/01/b <&>.dat", ["--date=2007-01-05", "--channels=1-4"], "2007-01"),
    ("2007/01/short.dat", None, "undated"),
]


def check_workflow(res, skanvert, vekgen, work):
    """The pages as the archive workflow builds them (snakemake, its index rule)."""
    g = "workflow"
    if shutil.which("snakemake") is None:
        res.check(g, "snakemake found", False, "snakemake is not installed")
        return
    vekinfo = os.path.join(os.path.dirname(vekgen), "vekinfo")
    if not os.access(vekinfo, os.X_OK):
        res.check(g, "vekinfo beside vekgen", False, f"{vekinfo} missing: build the vekinfo target")
        return
    tree, out = os.path.join(work, "wf-tree"), os.path.join(work, "wf-out")
    for rel, options, _ in WORKFLOW_ARCHIVE:
        path = os.path.join(tree, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        done = run([vekgen, f"--frames={FRAMES}", "--crossing=11", *(options or []), path])
        if done.returncode != 0:
            raise Stop(f"vekgen failed: {done.stderr.decode(errors='replace')}")
        if options is None:
            os.truncate(path, 2000)
    done = run(["snakemake", "-s", os.path.join(REPO, "workflow", "Snakefile"), "-j", "2", "--quiet",
                "all", "--config", f"input={tree}", f"output={out}", f"skanvert={skanvert}",
                f"vekinfo={vekinfo}"],
               timeout=600)
    res.check(g, "the workflow ran", done.returncode == 0, done.stderr.decode(errors="replace")[-800:])
    index = os.path.join(out, "index")
    want = sorted({m for _, _, m in WORKFLOW_ARCHIVE})
    pages = sorted(n for n in os.listdir(index) if n.endswith(".html")) if os.path.isdir(index) else []
    res.check(g, "one page per UT month and one for the undated recordings",
              pages == [m + ".html" for m in want], str(pages))
    dom_text, console = chromium(["--dump-dom"], file_url(os.path.join(out, "index.html")), work)
    dom = Dom(dom_text)
    con = sqlite3.connect(os.path.join(out, "catalog.sqlite"))
    rows = con.execute("SELECT path, status, flags, date_ut FROM recordings").fetchall()
    con.close()
    total, failed = len(rows), sum(status == "failed" for _, status, _, _ in rows)
    # The catalog files each recording under its UT month; the calendar
    # counts, per month, the converted (flagged ones too), the flagged and
    # the failed recordings of the catalog.
    months = {path: (date[:7] if date else "undated") for path, _, _, date in rows}
    want_months = {rel: month for rel, _, month in WORKFLOW_ARCHIVE}
    res.check(g, "the catalog files each recording under its UT month", months == want_months,
              f"{months}, want {want_months}")
    counts = {}
    for _, status, flags, date in rows:
        if date:
            cell = counts.setdefault(date[:7], [0, 0, 0])
            if status == "converted":
                cell[0] += 1
                cell[1] += bool(flags)
            else:
                cell[2] += 1
    got = {a["data-month"]: [int(a["data-converted"]), int(a["data-flagged"]), int(a["data-failed"])]
           for a in dom.cells if "data-converted" in a}
    res.check(g, "the overview's calendar counts each recording in its UT month, as the catalog",
              not console and got == counts and total == len(WORKFLOW_ARCHIVE) and failed == 1,
              f"{console[:2]} calendar {got}, want {counts}, catalog {total} rows")
    broken = [link for link in dom.links if not link.startswith("#") and not resolves(out, link)]
    for name in os.listdir(index) if os.path.isdir(index) else []:
        if name.endswith(".html"):
            d, console = chromium(["--dump-dom"], file_url(os.path.join(index, name)), work)
            broken += [f"{name}: {c}" for c in console]
            broken += [f"{name}: {link}" for link in Dom(d).links if not resolves(index, link)]
    res.check(g, "every link of every page resolves, no console message", not broken, str(broken))


def check_units(res):
    g = "units"
    page = load(INDEX_PAGE, "index_page")
    look = load(QUICKLOOK, "skanvert_quicklook")
    cases = [
        ("2008/05/it's <b>&amp; \"x\".png", "2008/05/it%27s%20%3Cb%3E%26amp%3B%20%22x%22.png"),
        ("a#b?c:d/e%f.fits", "a%23b%3Fc%3Ad/e%25f.fits"),
        ("blank ü.log", "blank%20%C3%BC.log"),
        (os.fsdecode(b"caf\xe9.png"), "caf%E9.png"),
        ("javascript:alert(1).png", "javascript%3Aalert%281%29.png"),
    ]
    bad = [(p, page.url_of(p), w) for p, w in cases if page.url_of(p) != w]
    res.check(g, "URL path segments percent-encoded from their bytes", not bad, str(bad))
    cases = [
        ('<script>"&\'', "&lt;script&gt;&quot;&amp;&#x27;"),
        ("tab\tbell\x07", "tab\\x09bell\\x07"),
        (os.fsdecode(b"caf\xe9"), "caf\\xE9"),
    ]
    bad = [(t, page.shown(t), w) for t, w in cases if page.shown(t) != w]
    res.check(g, "texts escaped for HTML, unshowable characters as \\xNN", not bad, str(bad))
    cases = [  # file date, UT time, local start -> page's UT date and time / picture's UT date
        ("2008-05-04", "21:59:11", "01:59:00.050", "2008-05-03 21:59:11"),
        ("2006/03/01", "23:30:00", "02:29:00.000", "2006-02-28 23:30:00"),
        ("2006-04-12", "08:05:00", "12:00:00.050", "2006-04-12 08:05:00"),
        ("2008-05-03", "20:03:00", "23:58:00.000", "2008-05-03 20:03:00"),
        (None, "08:05:00", "12:00:00", None),
        ("2006-02-30", "08:05:00", "12:00:00", None),
    ]
    bad = []
    for date, t, start, want in cases:
        got = page.observed_ut(date, t, start)
        got_picture = look.ut_date(date, t, start) if want else None
        if got != want or (want and got_picture != want[:10]):
            bad.append((date, t, start, got, got_picture, want))
    res.check(g, "UT date of the observation (page and picture)", not bad, str(bad))
    def entries(dates):
        out = []
        for i, d in enumerate(dates):
            e = page.Entry()
            e.date, e.path = d, f"r{i}"
            out.append(e)
        return out
    dates = ["2006-04-01"] * 3 + ["2006-04-02", "2006-04-03", "2006-05-01", None, None, None]
    cases = [  # dates, page size, largest page, [(page, its dates' days, siblings, prev, next)]
        (dates, 2, 3, [("2006-04", ["01"] * 3, 2, None, "2006-05.html"),
                       ("2006-04.p2", ["02", "03"], 2, None, "2006-05.html"),
                       ("2006-05", ["01"], 1, "2006-04.html", None),
                       ("undated", [None, None], 2, None, None),
                       ("undated.p2", [None], 2, None, None)]),
        (["2006-04-01"] * 5, 1, 2, [("2006-04", ["01"] * 2, 3, None, None),
                                    ("2006-04.p2", ["01"] * 2, 3, None, None),
                                    ("2006-04.p3", ["01"], 3, None, None)]),
        (dates[:5], 10, 10, [("2006-04", ["01", "01", "01", "02", "03"], 1, None, None)]),
        ([], 10, 10, []),
    ]
    bad = []
    for ds, size, most, want in cases:
        got = [(p.name, [e.date and e.date[8:] for e in p.entries], len(p.siblings), p.prev, p.next)
               for p in page.layout(entries(ds), size, most)]
        if got != want:
            bad.append((ds, size, got))
    res.check(g, "pages: a month cut between days where it can, undated ones last, neighbours",
              not bad,
              str(bad))
    text = page.json_text({"a": "</script><!--&\u2028", "b": [1]})
    res.check(g, "JSON in a page holds no '<', '>' or '&' and reads back the same",
              not set("<>&") & set(text) and json.loads(text) == {"a": "</script><!--&\u2028",
                                                                   "b": [1]}, text)
    freqs = np.array([5.0, 1.0, 3.0])
    for npix in (1000, 7):
        scan = types.SimpleNamespace(nchan=3, npix=npix, freqs=freqs,
                                     values=np.repeat(freqs, 2 * npix).reshape(3, 2, npix))
        px = look.thumbnail_pixels(scan)
        res.check(g, f"thumbnail of {npix} pixels: 160 x 320, highest frequency on top",
                  px.shape == (160, 320) and px[0, 0] == 5.0 and px[-1, -1] == 1.0
                  and px[80, 160] == 3.0, f"shape {px.shape}, corners {px[0, 0]} {px[-1, -1]}")


# ----------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--skanvert", required=True, help="the skanvert program")
    parser.add_argument("--vekgen", required=True, help="the recording simulator")
    parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep the files")
    parser.add_argument("--screenshot", metavar="PNG", help="also save the page's screenshot here")
    args = parser.parse_args()

    res = Results()
    work = args.keep or tempfile.mkdtemp(prefix="skanvert-index-")
    try:
        if shutil.which("chromium") is None:
            raise Stop("chromium not found: bash scripts/setup.sh chromium")
        for tool in (args.skanvert, args.vekgen):
            if not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
                raise Stop(f"{tool} is not an executable file (build it first)")
        os.makedirs(work, exist_ok=True)
        work = os.path.abspath(work)
        # A private copy of skanvert: no settings file beside it can change a run.
        skanvert = os.path.join(work, "skanvert")
        shutil.copy2(args.skanvert, skanvert)
        check_units(res)
        out, rows = build_archive(os.fsencode(skanvert), os.fsencode(os.path.abspath(args.vekgen)),
                                  os.fsencode(work))
        out = os.fsdecode(out)
        catalog, page = os.path.join(out, "catalog.sqlite"), os.path.join(out, "index.html")
        check_old_catalog(res, catalog, page, rows)
        write_catalog(catalog, rows)
        done = build_page(catalog, page)
        if done.returncode != 0:
            raise Stop(f"index_page failed: {done.stderr.decode(errors='replace')}")
        pages = Pages(out, work)
        check_page(res, pages, os.fsencode(out), rows)
        check_views(res, pages, rows, work)
        check_overview(res, out, catalog, rows, work)
        shot = os.path.join(work, "index.png")
        _, console = chromium([f"--screenshot={shot}", "--window-size=1400,1100",
                               "--hide-scrollbars"], file_url(page), work)
        ok = os.path.isfile(shot) and os.path.getsize(shot) > 10000
        res.check("page", "screenshot taken", ok and not console, "; ".join(console[:3]))
        if ok and args.screenshot:
            shutil.copy(shot, args.screenshot)
        check_rebuild(res, os.fsencode(out), rows, catalog, page)
        check_workflow(res, skanvert, os.path.abspath(args.vekgen), work)
    except Stop as err:
        print(f"cannot check: {err}", file=sys.stderr)
        print(f"{res.passed} passed, {len(res.failed) + 1} failed")
        return 2
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{res.passed} passed, {len(res.failed)} failed")
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
