#!/usr/bin/python3
"""The archive's index page and quick-look pictures, checked in a real browser.

    /usr/bin/python3 tests/index_page/check_index_page.py --skanvert build/skanvert \
        --vekgen build/vekgen [--keep DIR] [--screenshot PNG]

Builds a small archive with real runs: vekgen recordings in nested folders
(equal names in two folders, names with a quote, '<', '&', blanks, a leading
dash, a '$' pair, UTF-8 and a byte that is not UTF-8; an object name that is
HTML), some of them damaged so that skanvert fails; converts each with
skanvert, draws its quick look and thumbnail, writes the catalog with the
archive's columns and builds OUT/index.html. Then headless Chromium opens the
page and the checks read what it shows:

  page        loads with no console message and no script error; every
              recording is listed once under its own name; failed rows are
              marked and carry their message; every link and thumbnail names
              an existing file; nothing from a name became markup; the summary
              line counts right; a missing thumbnail leaves a picture link.
  view        the address fragment filters (outcome=failed leaves exactly the
              failed rows; year and object too) and sorts (by channels).
  rebuild     the page follows the catalog when rows go and come back; it is
              replaced whole (no temporary file left); a missing catalog or an
              unwritable folder fails with a message and keeps the old page.
  units       escaping of URL segments and texts, the UT date of an
              observation whose UT hour wrapped back over midnight, the
              thumbnail's orientation.

Prints one line per check, then "N passed, M failed"; exits 1 when a check
failed, 2 when the checks could not run (a tool missing).
"""

import argparse
import html.parser
import importlib.util
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
    (b"2006/04/empty.dat", "empty", [], None),
]
NO_THUMBNAIL = b"2007/06/rec1.dat"       # its thumbnail is removed before the page is built
EARLY = b"2008/05/-s=5.dat"               # observed 01:59 local: the UT day is the day before
SHOWN_AS = {b"2009/01/caf\xe9.dat": "2009/01/caf\\xE9.dat"}  # a byte that is not UTF-8
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

    # Quick looks, two at a time like the workflow on this machine.
    running = []
    for path in pictures:
        running.append(subprocess.Popen([PYTHON, QUICKLOOK, path, "--thumbnail"],
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


def write_catalog(path, rows):
    if os.path.exists(path):
        os.unlink(path)
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE recordings (" +
                ", ".join(f"{n} {t}" for n, t in CATALOG_COLUMNS) + ")")
    names = [n for n, _ in CATALOG_COLUMNS]
    for row in rows:
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
    console = [ln for ln in err.decode(errors="replace").splitlines() if ":CONSOLE" in ln]
    return out.decode("utf-8", errors="replace"), console


class Dom(html.parser.HTMLParser):
    """What the checks read from a dumped page: rows, links, tags, handlers."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = {}
        self.rows = []
        self.handlers = []
        self.tags = {}
        self.summary = ""
        self._row = self._cell = None
        self._in_summary = False
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
        elif tag == "a" and self._row is not None:
            self._row["links"].append(a.get("href", ""))
        elif tag == "img" and self._row is not None:
            self._row["images"].append(a.get("src", ""))
        elif tag == "p" and a.get("id") == "summary":
            self._in_summary = True

    def handle_endtag(self, tag):
        if tag == "tr":
            self._row = self._cell = None
        elif tag == "td":
            self._cell = None
        elif tag == "p":
            self._in_summary = False

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)
        if self._in_summary:
            self.summary += data


def text(cell):
    return "".join(cell)


def shown_path(rel):
    return SHOWN_AS.get(rel) or rel.decode("utf-8")


def file_url(path):
    return "file://" + urllib.parse.quote(path)


# ----------------------------------------------------------------------------
# Checks

def check_page(res, dom, console, out, rows):
    g = "page"
    res.check(g, "no console message", not console, "; ".join(console[:3]))
    res.check(g, "the script ran to its end without error",
              dom.root.get("data-ready") == "1" and "data-errors" not in dom.root,
              f"html attributes {dom.root}")
    listed = [text(r["cells"][2]) for r in dom.rows]
    want = [shown_path(r["path"]) for r in rows]
    res.check(g, "every recording listed once under its name", sorted(listed) == sorted(want),
              f"listed {listed}, want {want}")
    by_path = {text(r["cells"][2]): r for r in dom.rows}
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
            parsed = urllib.parse.urlsplit(link)
            target = urllib.parse.unquote_to_bytes(link)
            if parsed.scheme or parsed.netloc or not os.path.isfile(os.path.join(out, target)):
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
    res.check(g, "no markup from names: no handler attribute, one script, one image a thumbnail",
              not dom.handlers and dom.tags.get("script") == 1 and dom.tags.get("img") == thumbs
              and dom.tags.get("b", 0) == 0 and dom.tags.get("i", 0) == 0,
              f"handlers {dom.handlers}, tags {dom.tags}")
    r = by_path.get(shown_path(NO_THUMBNAIL))
    res.check(g, "a missing thumbnail leaves a link to the picture",
              r is not None and not r["images"] and "picture" in text(r["cells"][5]),
              r and text(r["cells"][5]))
    r = by_path.get(shown_path(EARLY))
    res.check(g, "an observation at 01:59 local time is dated the day before in UT",
              r is not None and text(r["cells"][0]).startswith("2008-05-03 21:59"),
              r and text(r["cells"][0]))
    n, nf = len(rows), sum(1 for row in rows if row["status"] == "failed")
    want_summary = (f"{n} recordings: {n - nf} converted, {nf} failed; "
                    "observed 2006-04-12 to 2009-01-21 (UT)")
    res.check(g, "summary line", dom.summary.strip() == want_summary, dom.summary)
    obj = by_path.get(shown_path(ARCHIVE[2][0]))
    res.check(g, "an object name that is HTML shown as text",
              obj is not None and text(obj["cells"][1]) == ARCHIVE[2][3], obj and obj["cells"][1])


def visible(dom):
    return sorted(text(r["cells"][2]) for r in dom.rows if "hidden" not in r["attrs"])


def check_views(res, page, rows, work):
    g = "view"
    url = file_url(page)
    failed = sorted(shown_path(r["path"]) for r in rows if r["status"] == "failed")
    dom = Dom(chromium(["--dump-dom"], url + "#outcome=failed", work)[0])
    res.check(g, "#outcome=failed leaves exactly the failed rows", visible(dom) == failed,
              f"shown {visible(dom)}, failed {failed}")
    of2008 = sorted(shown_path(r["path"]) for r in rows
                    if r["status"] == "converted" and r["path"].startswith(b"2008/"))
    dom = Dom(chromium(["--dump-dom"], url + "#year=2008&outcome=converted", work)[0])
    res.check(g, "#year=2008&outcome=converted", visible(dom) == of2008,
              f"shown {visible(dom)}, want {of2008}")
    obj = ARCHIVE[2][3]
    dom = Dom(chromium(["--dump-dom"], url + "#object=" + urllib.parse.quote(obj, safe=""),
                       work)[0])
    res.check(g, "object filter on an object name that is HTML",
              visible(dom) == [shown_path(ARCHIVE[2][0])], f"shown {visible(dom)}")
    dom = Dom(chromium(["--dump-dom"], url + "#sort=-channels", work)[0])
    kept = [text(r["cells"][4]) for r in dom.rows]
    numbers = [int(k.split()[0]) for k in kept if k and k[0].isdigit()]
    res.check(g, "#sort=-channels: most channels first, unknown last",
              numbers == sorted(numbers, reverse=True) and len(numbers) == len(kept) - 3
              and all(not k[:1].isdigit() for k in kept[len(numbers):]), f"order {kept}")


def check_rebuild(res, out, rows, catalog, page):
    g = "rebuild"
    gone = rows[0]["path"]
    write_catalog(catalog, rows[1:])
    done = build_page(catalog, page)
    with open(page, encoding="utf-8") as f:
        dom = Dom(f.read())
    listed = [text(r["cells"][2]) for r in dom.rows]
    res.check(g, "a recording gone from the catalog is gone from the page",
              done.returncode == 0 and shown_path(gone) not in listed
              and len(listed) == len(rows) - 1, f"exit {done.returncode}, listed {listed}")
    write_catalog(catalog, rows)
    done = build_page(catalog, page)
    with open(page, encoding="utf-8") as f:
        before = f.read()
    res.check(g, "and back when it returns", done.returncode == 0 and
              len(Dom(before).rows) == len(rows), f"exit {done.returncode}")
    leftovers = [n for n in os.listdir(out) if n.startswith(b".")]
    res.check(g, "no temporary file left beside the page", not leftovers, str(leftovers))
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
        write_catalog(catalog, rows)
        done = build_page(catalog, page)
        if done.returncode != 0:
            raise Stop(f"index_page failed: {done.stderr.decode(errors='replace')}")
        dom_text, console = chromium(["--dump-dom"], file_url(page), work)
        check_page(res, Dom(dom_text), console, os.fsencode(out), rows)
        check_views(res, page, rows, work)
        shot = os.path.join(work, "index.png")
        _, console = chromium([f"--screenshot={shot}", "--window-size=1400,1100",
                               "--hide-scrollbars"], file_url(page), work)
        ok = os.path.isfile(shot) and os.path.getsize(shot) > 10000
        res.check("page", "screenshot taken", ok and not console, "; ".join(console[:3]))
        if ok and args.screenshot:
            shutil.copy(shot, args.screenshot)
        check_rebuild(res, os.fsencode(out), rows, catalog, page)
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
