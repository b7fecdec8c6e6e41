#!/usr/bin/python3
"""Benchmark of the archive's index pages at archive scale.

    /usr/bin/python3 bench/index_page.py --bin build [--work DIR] [--rows 40000] [--repeats 3]

1. A small real archive: 40 vekgen recordings spread over 2006-2009 (some
   after local midnight, two damaged so that they fail), converted with
   pictures by the real workflow (snakemake). Its pages are the 40-row
   reference.
2. A large catalog: the small archive's rows repeated under other folders
   (copyNNNN/...) up to --rows, each copy's dates moved by a whole number of
   weeks so that the archive spans about twenty years; the FITS, log and
   picture columns keep naming the real files, so every row has its links
   and thumbnail. A second large catalog repeats the rows with their dates
   unchanged (a few months holding thousands of recordings each).
3. For each: the full build time (no pages on disk), a one-month rebuild
   (one recording's message changed), the largest file written, and the
   wall time of headless Chromium loading the overview, the largest month
   page and (for reference) the page the previous one-page builder wrote;
   each the median of --repeats runs. The overview's search time for a part
   of a name is read from the page (data-search-ms).
"""

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import datetime
import re
import resource

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.path.join(REPO, "workflow", "scripts", "index_page.py")
PYTHON = "/usr/bin/python3"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def sh(cmd, **kw):
    done = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, **kw)
    if done.returncode != 0:
        sys.exit(f"{cmd[0]} failed: {done.stderr.decode(errors='replace')[-2000:]}")
    return done


def small_archive(bin_dir, work):
    out = os.path.join(work, "small", "out")
    if os.path.isfile(os.path.join(out, "catalog.sqlite")):
        return out
    tree = os.path.join(work, "small", "tree")
    shutil.rmtree(os.path.join(work, "small"), ignore_errors=True)
    for i in range(40):
        year, month, day = 2006 + i // 10, 1 + (i * 5) % 12, 1 + (i * 7) % 28
        start = "01:30:00" if i % 9 == 4 else "12:00:00"   # after local midnight: UT day before
        folder = os.path.join(tree, f"{year}", f"{month:02d}")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, f"scan{i:02d}.dat")
        sh([os.path.join(bin_dir, "vekgen"), "--frames=3000", "--crossing=11",
            f"--date={year}-{month:02d}-{day:02d}", f"--start={start}", f"--seed={i + 1}", path])
        if i in (13, 27):
            os.truncate(path, 2000)
    sh(["snakemake", "-s", os.path.join(REPO, "workflow", "Snakefile"), "-j", "2", "--quiet", "all",
        "--config", f"input={tree}", f"output={out}",
        f"skanvert={os.path.join(bin_dir, 'skanvert')}"])
    return out


_DATE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})")


def shifted(text, days):
    m = _DATE.match(text or "") if isinstance(text, str) else None
    if not m or days == 0:
        return text
    try:
        d = datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    except ValueError:
        return text
    return (d + datetime.timedelta(days=days)).isoformat() + text[10:]


def large_catalog(small_out, target, rows, spread):
    """A catalog of `rows` rows: the small catalog's rows repeated under copyNNNN/."""
    os.makedirs(target, exist_ok=True)
    path = os.path.join(target, "catalog.sqlite")
    if os.path.exists(path):
        os.unlink(path)
    src = sqlite3.connect(os.path.join(small_out, "catalog.sqlite"))
    schema = [r[0] for r in src.execute("SELECT sql FROM sqlite_master WHERE sql IS NOT NULL")]
    cur = src.execute("SELECT * FROM recordings")
    names = [d[0] for d in cur.description]
    base = cur.fetchall()
    extra = {}
    for table in ("flag_rules",):
        try:
            extra[table] = src.execute(f"SELECT * FROM {table}").fetchall()
        except sqlite3.Error:
            pass
    src.close()
    prefix = os.path.relpath(small_out, target).replace(os.sep, "/") + "/"
    con = sqlite3.connect(path)
    for sql in schema:
        con.execute(sql)
    for table, values in extra.items():
        if values:
            con.executemany(f"INSERT INTO {table} VALUES ({','.join('?' * len(values[0]))})", values)
    out, copy = [], 0
    while len(out) < rows:
        days = 7 * copy * 3 // 2 % 5000 - 2000 if spread else 0
        for row in base:
            if len(out) >= rows:
                break
            r = dict(zip(names, row))
            r["path"] = f"copy{copy:04d}/{r['path']}"
            for k in ("fits", "log"):
                if r.get(k):
                    r[k] = prefix + r[k]
            for k in ("date_obs", "date_ut", "time_obs_ut", "start_ut", "stop_ut"):
                if k in r:
                    r[k] = shifted(r[k], days)
            out.append(tuple(r[n] for n in names))
        copy += 1
    con.executemany(f"INSERT INTO recordings VALUES ({','.join('?' * len(names))})", out)
    con.commit()
    con.close()
    return path


def chromium_time(url, work, repeats, dump=False):
    times, text = [], ""
    for _ in range(repeats):
        profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
        t = time.perf_counter()
        done = subprocess.run(["chromium", *FLAGS, f"--user-data-dir={profile}", "--dump-dom", url],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
        times.append(time.perf_counter() - t)
        text = done.stdout.decode(errors="replace")
        shutil.rmtree(profile, ignore_errors=True)
    return statistics.median(times), text


class Took(float):
    """A wall time in seconds that also carries the processor time (user + system)."""

    def __str__(self):
        return f"{float(self):.2f} s (processor {self.cpu:.2f} s)"


def build(catalog, out):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    sh([PYTHON, PAGE, "--catalog", catalog, "--out", out])
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    took = Took(time.perf_counter() - t)
    took.cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return took


def largest(folder):
    files = [os.path.join(folder, "index.html")]
    files += [os.path.join(folder, "index", n) for n in os.listdir(os.path.join(folder, "index"))]
    return max((os.path.getsize(f), os.path.relpath(f, folder)) for f in files)


def biggest_month(folder):
    pages = [n for n in os.listdir(os.path.join(folder, "index")) if n.endswith(".html")]
    return max(pages, key=lambda n: os.path.getsize(os.path.join(folder, "index", n)))


def url(path):
    return "file://" + path


def measure(name, catalog, work, repeats, old_page, reference):
    folder = os.path.dirname(catalog)
    shutil.rmtree(os.path.join(folder, "index"), ignore_errors=True)
    full = build(catalog, os.path.join(folder, "index.html"))
    con = sqlite3.connect(catalog)
    path, = con.execute("SELECT path FROM recordings WHERE status = 'converted' "
                        "ORDER BY path LIMIT 1 OFFSET 7").fetchone()
    con.execute("UPDATE recordings SET channels_accepted = channels_accepted - 1 WHERE path = ?",
                (path,))
    con.commit()
    con.close()
    before = {n: os.stat(os.path.join(folder, "index", n)).st_ino
              for n in os.listdir(os.path.join(folder, "index"))}
    one = build(catalog, os.path.join(folder, "index.html"))
    rewritten = sorted(n for n in os.listdir(os.path.join(folder, "index"))
                       if os.stat(os.path.join(folder, "index", n)).st_ino != before.get(n))
    size, big = largest(folder)
    month = biggest_month(folder)
    t_over, _ = chromium_time(url(os.path.join(folder, "index.html")), work, repeats)
    t_month, _ = chromium_time(url(os.path.join(folder, "index", month)), work, repeats)
    _, dom = chromium_time(url(os.path.join(folder, "index.html")) + "#q=scan1", work, 1)
    m = re.search(r'data-search-ms="(\d+)"', dom)
    load = re.search(r'data-search-load-ms="(\d+)"', dom)
    found = re.search(r'id="search-status"[^>]*>([^<]*)<', dom)
    rows = sqlite3.connect(catalog).execute("SELECT count(*) FROM recordings").fetchone()[0]
    pages = len([n for n in os.listdir(os.path.join(folder, "index")) if n.endswith(".html")])
    print(f"{name}: {rows} rows, {pages} pages")
    print(f"  full build {full}; one-month rebuild {one} (rewrote "
          f"{', '.join(n for n in rewritten if not n.startswith('.'))} and the overview)")
    print(f"  largest file {size / 1e6:.2f} MB ({big})")
    ratio = lambda t: f"{t / reference:.2f}x" if reference else ""  # noqa: E731
    print(f"  Chromium load: overview {t_over:.2f} s ({ratio(t_over)}), largest month page "
          f"{month} {t_month:.2f} s ({ratio(t_month)})")
    total, reading = (int(m.group(1)), int(load.group(1))) if m and load else (0, 0)
    print(f"  search 'scan1' at the first query: {total} ms in the page, of which reading the "
          f"{len(os.listdir(os.path.join(folder, 'index'))) - pages - 1} search files {reading} ms "
          f"(read at the reader's first move) and matching {total - reading} ms; "
          f"{found.group(1) if found else 'no result'}")
    if old_page:
        t0 = time.perf_counter()
        sh([PYTHON, old_page, "--catalog", catalog, "--out", os.path.join(folder, "old.html")])
        t_build = time.perf_counter() - t0
        t_old, _ = chromium_time(url(os.path.join(folder, "old.html")), work, repeats)
        print(f"  the one-page builder before: build {t_build:.2f} s, "
              f"{os.path.getsize(os.path.join(folder, 'old.html')) / 1e6:.1f} MB, load {t_old:.2f} s")
    return t_over, t_month


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="folder with skanvert and vekgen")
    parser.add_argument("--work", default=os.path.join(REPO, "build-bench", "index_page"))
    parser.add_argument("--rows", type=int, default=40000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--old", help="the previous index_page.py, for a side-by-side load time")
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    small = small_archive(os.path.abspath(args.bin), work)
    t_small, _ = chromium_time(url(os.path.join(small, "index.html")), work, args.repeats)
    month = biggest_month(small)
    t_small_month, _ = chromium_time(url(os.path.join(small, "index", month)), work, args.repeats)
    reference = max(t_small, t_small_month)
    print(f"40-row archive: overview {t_small:.2f} s, month page {month} {t_small_month:.2f} s "
          f"(reference {reference:.2f} s)")
    if args.old:
        sh([PYTHON, args.old, "--catalog", os.path.join(small, "catalog.sqlite"),
            "--out", os.path.join(small, "old.html")])
        t_old, _ = chromium_time(url(os.path.join(small, "old.html")), work, args.repeats)
        print(f"  its one-page index from the builder before: {t_old:.2f} s")
    for name, spread in (("spread over twenty years", True), ("dates unchanged", False)):
        catalog = large_catalog(small, os.path.join(work, "large-spread" if spread else "large-same"),
                                args.rows, spread)
        measure(f"{args.rows}-row catalog, {name}", catalog, work, args.repeats, args.old, reference)


if __name__ == "__main__":
    main()
