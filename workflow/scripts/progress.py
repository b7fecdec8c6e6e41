#!/usr/bin/python3
"""The archive run's progress and its closing summary, for scripts/archive.sh.

    progress.py watch OUT      (until SIGUSR1 or SIGTERM) the recordings done
                               of this run's, failed, flagged, the time left
    progress.py summary OUT    one line per outcome of the catalog and the
                               first few failed and flagged recordings

The plan writes STATE/progress/run.json (how many recordings this run has to
convert or look at again, per batch); each batch job keeps its counts in
STATE/progress/<batch>.json. `watch` sums them: on a terminal as a tqdm bar
updated in place, otherwise as plain lines, at most one a second and only
when something changed. A run.json older than the watcher belongs to an
earlier run and is not shown.
"""

import json
import os
import signal
import sqlite3
import sys
import time

STATE_DIR = ".skanvert-archive"
SHOWN_PATHS = 5  # failed and flagged recordings named in the summary


def _read(path):
    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def counts(out, since_ns):
    """Purpose: this run's counts so far.
    Given: the output folder and the time the watcher started.
    Returned: dict total, done, failed, flagged; None before this run's
    plan is written."""
    folder = os.path.join(out, STATE_DIR, "progress")
    try:
        if os.stat(os.path.join(folder, "run.json")).st_mtime_ns < since_ns:
            return None
    except OSError:
        return None
    run = _read(os.path.join(folder, "run.json"))
    if not isinstance(run, dict):
        return None
    result = {"total": int(run.get("total") or 0), "done": 0, "failed": 0, "flagged": 0}
    for batch in run.get("batches") or {}:
        found = _read(os.path.join(folder, batch + ".json")) or {}
        for key in ("done", "failed", "flagged"):
            value = found.get(key)
            result[key] += value if isinstance(value, int) else 0
    return result


def _clock(seconds):
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


def line(now, started):
    """One plain progress line of counts `now`, `started` seconds since the
    first recording of the run was counted (for the time left)."""
    text = (f"progress: {now['done']} of {now['total']} recordings done, {now['failed']} failed, "
            f"{now['flagged']} flagged")
    left = now["total"] - now["done"]
    if now["done"] and left > 0 and started is not None:
        text += f", about {_clock(left * (time.monotonic() - started) / now['done'])} left"
    return text


def watch(out):
    since = time.time_ns()
    stop = []
    for number in (signal.SIGUSR1, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.append(True))
    parent = os.getppid()
    terminal = sys.stderr.isatty()
    try:
        from tqdm import tqdm
    except ImportError:  # python3-tqdm missing: plain lines on a terminal too
        terminal = False
    bar = None
    shown = None
    started = None  # when the first recording of this run was counted
    last = 0.0
    while True:
        # The wrapper ends the watch; a wrapper gone (interrupted) ends it too.
        ending = bool(stop) or os.getppid() != parent
        now = counts(out, since)
        if now is not None and now["total"]:
            if now["done"] and started is None:
                started = time.monotonic()
            if terminal:
                if bar is None:
                    bar = tqdm(total=now["total"], unit="rec", file=sys.stderr, dynamic_ncols=True,
                               desc="recordings")
                bar.total = now["total"]
                bar.n = now["done"]
                bar.set_postfix(failed=now["failed"], flagged=now["flagged"], refresh=False)
                bar.refresh()
            elif now != shown and (ending or time.monotonic() - last >= 1.0):
                print(line(now, started), file=sys.stderr, flush=True)
                shown, last = now, time.monotonic()
        if ending:
            break
        time.sleep(0.25)
    if bar is not None:
        bar.close()
    return 0


def summary(out):
    """Prints the catalog's outcomes: the count of converted and failed
    recordings, flagged ones per flag, and the first few failed and flagged
    paths with their reason."""
    path = os.path.join(out, "catalog.sqlite")
    if not os.path.isfile(path):
        return 0
    connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        rows = dict(connection.execute("SELECT status, count(*) FROM recordings GROUP BY status"))
        print(f"catalog: {sum(rows.values())} recordings, {rows.get('converted', 0)} converted, "
              f"{rows.get('failed', 0)} failed")
        names = [name for name, in connection.execute("SELECT name FROM flag_rules ORDER BY position")]
        clean = connection.execute("SELECT count(*) FROM clean").fetchone()[0]
        print(f"  converted, no flag: {clean}")
        print(f"  converted, flagged: {rows.get('converted', 0) - clean}")
        for name in names:
            count = connection.execute(f'SELECT count(*) FROM recordings WHERE "flag_{name}" = 1').fetchone()[0]
            if count:
                print(f"    {name}: {count}")
        print(f"  failed: {rows.get('failed', 0)}")
        for status, query in (
                ("failed", "SELECT path, message FROM recordings WHERE status = 'failed' ORDER BY path"),
                ("flagged", "SELECT path, flags FROM recordings WHERE status = 'converted' AND flags != '' "
                            "ORDER BY path")):
            found = connection.execute(query).fetchall()
            for rel, reason in found[:SHOWN_PATHS]:
                print(f"  {status}: {rel}: {reason}")
            if len(found) > SHOWN_PATHS:
                print(f"  {status}: ... and {len(found) - SHOWN_PATHS} more (see the catalog)")
    except sqlite3.Error as error:
        print(f"skanvert archive: cannot read the catalog {path}: {error}", file=sys.stderr)
        return 1
    finally:
        connection.close()
    return 0


def main(argv):
    if len(argv) != 3 or argv[1] not in ("watch", "summary"):
        print("usage: progress.py watch|summary OUT", file=sys.stderr)
        return 2
    return watch(argv[2]) if argv[1] == "watch" else summary(argv[2])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
