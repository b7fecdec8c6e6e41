#!/usr/bin/python3
"""End-to-end tests of the archive workflow with the real snakemake, the
real converter and vekgen recordings in nested folders.

    /usr/bin/python3 tests/workflow/test_archive.py [--build DIR] [--slurm]

Without --slurm: first run, no-op rerun, a changed setting, added, removed
and changed recordings and channel configurations, a kill in the middle and
the resume, environment faults. With --slurm: a single-node Slurm cluster is
started (scripts/slurm_local.sh), the same archive is converted locally and
through the Slurm profile, and outputs and catalogs must be equal.
"""

import csv
import glob
import json
import os
import signal
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

from astropy.io import fits as astrofits

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(TOP, "build")
SKANVERT = VEKGEN = ""


def vekgen(path, *options):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run([VEKGEN, *options, path], check=True, stdout=subprocess.DEVNULL)


def make_archive(root):
    """Nested folders of good recordings (own configurations, one folder-wide
    one, awkward names) and of recordings that must fail, each kind once."""
    good = {
        "2006/04/rec1.dat": ["--frames=1500"],
        "2006/04/rec2.dat": ["--frames=1800", "--seed=2", "--gain-step=700:2"],
        "2006/05/rec1.dat": ["--frames=1600", "--seed=3", "--overflow=3,7"],
        "2008/moon/m1.dat": ["--frames=1500", "--object=moon", "--date=2008-03-01"],
        "odd names/my rec.dat": ["--frames=1500", "--seed=5"],
        "odd names/-s=5.dat": ["--frames=1500", "--seed=6"],
        "odd names/-flag_theta=1.dat": ["--frames=1500", "--seed=7"],
        "odd names/qu'o\"te.dat": ["--frames=1500", "--seed=8"],
        "odd names/é.dat": ["--frames=1500", "--seed=9"],
        os.fsdecode(b"odd names/not-utf8-\xff.dat"): ["--frames=1500", "--seed=12"],
    }
    for rel, options in good.items():
        vekgen(os.path.join(root, rel), *options)
    # A folder-wide configuration for recordings without their own.
    vekgen(os.path.join(root, "shared", "s1.dat"), "--frames=1500", "--seed=10")
    os.rename(os.path.join(root, "shared", "s1.cfg"), os.path.join(root, "shared", "channels.cfg"))
    vekgen(os.path.join(root, "shared", "deeper", "s2.dat"), "--frames=1500", "--seed=11")
    os.unlink(os.path.join(root, "shared", "deeper", "s2.cfg"))
    bad = os.path.join(root, "bad")
    vekgen(os.path.join(bad, "nostop.dat"), "--frames=1000")
    with open(os.path.join(bad, "nostop.dat"), "r+b") as handle:
        handle.seek(3072)
        handle.write(b"garbage, no stamp here")
    vekgen(os.path.join(bad, "short.dat"), "--frames=1000")
    os.truncate(os.path.join(bad, "short.dat"), 3000)
    vekgen(os.path.join(bad, "nocfg.dat"), "--frames=1000")
    os.unlink(os.path.join(bad, "nocfg.cfg"))
    os.makedirs(os.path.join(bad, "folder.dat"))
    os.symlink("nowhere.dat", os.path.join(bad, "dangling.dat"))
    os.symlink("loop2.dat", os.path.join(bad, "loop1.dat"))
    os.symlink("loop1.dat", os.path.join(bad, "loop2.dat"))
    os.symlink("..", os.path.join(bad, "up"))  # a folder loop
    return set(good) | {"shared/s1.dat", "shared/deeper/s2.dat"}, {
        "bad/nostop.dat": "not a recording: no valid stop time stamp",
        "bad/short.dat": "not a recording: shorter than the 4096-byte header (3000 bytes)",
        "bad/nocfg.dat": "no channel configuration",
        "bad/folder.dat": "is a folder",
        "bad/dangling.dat": "cannot open",
        "bad/loop1.dat": "cannot open",
        "bad/loop2.dat": "cannot open",
    }


# A scan long enough that the Sun's whole disk (about 850 pixels of the
# default smoothing across) lies inside it, its centre crossing in the middle.
LONG = ["--frames=20000", "--crossing=76"]
STAMP_BEFORE_START = b"Wed Apr 12 11:58:00 2006 0".ljust(32, b"\0")


def _cut(size):
    return lambda path: os.truncate(path, size)


def _stop_stamp(stamp):
    def write(path):
        with open(path, "r+b") as handle:
            handle.seek(3072)
            handle.write(stamp)
    return write


def _text(data):
    def write(path):
        with open(path, "wb") as handle:
            handle.write(data)
    return write


# One recording per flag, clean ones (awkward names too), scans around UT
# midnight and one per kind of failure: (path, vekgen options or None for a
# file written by `make`, make: a change made after vekgen or the writer of
# a file that is no recording, keep_cfg, expected flags or failure message,
# expected UT columns).
QUALITY_CASES = [
    ("q/clean.dat", LONG, None, True, [],
     {"date_ut": "2006-04-12", "time_obs_ut": "2006-04-12T08:01:16", "start_ut": "2006-04-12T08:00:00"}),
    ("q/odd/a <b&c> 'q\".dat", LONG + ["--seed=2"], None, True, [], {"date_ut": "2006-04-12"}),
    ("q/odd/-lead.dat", LONG + ["--seed=3"], None, True, [], {"date_ut": "2006-04-12"}),
    # Cut inside its last frame: 10 frames short of the sample count, 176 bytes left over.
    ("q/truncated.dat", LONG, _cut(4096 + 752 * 19990 + 176), True, ["truncated"], {}),
    ("q/sun_never_passes.dat", ["--frames=20000", "--crossing=300"], None, True, ["sun_outside_scan"], {}),
    ("q/sun_at_the_edge.dat", ["--frames=20000", "--crossing=10"], None, True, ["sun_outside_scan"], {}),
    ("q/no_channels.dat", LONG + ["--dead=1-56"], None, True, ["no_channels"], {}),
    ("q/few_channels.dat", LONG + ["--dead=1-40"], None, True, ["few_channels"], {}),
    ("q/overflow.dat", LONG + ["--overflow=3,7"], None, True, ["overflow"], {}),
    ("q/gain_steps.dat", LONG + ["--gain-step=10000:1", "--step-words=84"], None, True, ["gain_steps"], {}),
    ("q/stop_before_start.dat", LONG, _stop_stamp(STAMP_BEFORE_START), True, ["stamps_inconsistent"],
     {"start_ut": "2006-04-12T08:00:00", "stop_ut": "2006-04-12T07:58:00"}),
    ("q/year_2022.dat", LONG + ["--date=2022-04-12"], None, True, ["summer_time_guess"], {"date_ut": "2022-04-12"}),
    # Local 02:30 in summer time is 22:30 UT of the day before; in winter 3 h.
    ("q/summer_night.dat", LONG + ["--date=2006-06-30", "--start=02:29:00"], None, True, ["date_not_ut"],
     {"date_ut": "2006-06-29", "time_obs_ut": "2006-06-29T22:30:16", "start_ut": "2006-06-29T22:29:00"}),
    ("q/winter_night.dat", LONG + ["--date=2006-01-10", "--start=02:00:00"], None, True, ["date_not_ut"],
     {"date_ut": "2006-01-09", "time_obs_ut": "2006-01-09T23:01:16", "start_ut": "2006-01-09T23:00:00"}),
    ("q/summer_day_after_midnight.dat", LONG + ["--date=2006-06-30", "--start=04:10:00"], None, True, [],
     {"date_ut": "2006-06-30", "time_obs_ut": "2006-06-30T00:11:16"}),
    # Failures: the reason is in the message, never a traceback.
    ("q/bad/notes.dat", None, _text(b"observing notes, not a recording\n" + b"x" * 9), False,
     "not a recording: shorter than the 4096-byte header (42 bytes)", {"date_ut": None, "start_ut": None}),
    ("q/bad/empty.dat", None, _text(b""), True, "not a recording: shorter than the 4096-byte header (0 bytes)", {}),
    ("q/bad/header_cut.dat", ["--frames=100"], _cut(3000), True,
     "not a recording: shorter than the 4096-byte header (3000 bytes)", {}),
    ("q/bad/text.dat", None, _text(b"line of text\n" * 400), True, "not a recording: no valid stop time stamp", {}),
    ("q/bad/no_cfg.dat", LONG, None, False, "no channel configuration",
     {"date_ut": "2006-04-12", "start_ut": "2006-04-12T08:00:00"}),
    ("q/bad/folder.dat", None, os.makedirs, False, "is a folder", {}),
]


def make_quality_archive(root):
    """Writes QUALITY_CASES under root."""
    for rel, options, make, keep_cfg, _, _ in QUALITY_CASES:
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if options is not None:
            vekgen(path, *options)
        if make:
            make(path)
        cfg = path[:-3] + "cfg"
        if not keep_cfg and os.path.exists(cfg):
            os.unlink(cfg)
        elif keep_cfg and not os.path.exists(cfg):
            vekgen(os.path.join(root, "spare", "x.dat"), "--frames=10")
            os.rename(os.path.join(root, "spare", "x.cfg"), cfg)
            shutil.rmtree(os.path.join(root, "spare"))


def lib_read(path):
    with open(path, encoding="utf-8") as handle:
        return json.load(handle)


def shown(rel):
    """A path as the catalog shows it: bytes that are not UTF-8 as \\xNN."""
    return os.fsencode(rel).decode("utf-8", "backslashreplace")


def run_archive(archive, out, *extra, expect=0, raw=False):
    """Runs the README's archive command (or the bare snakemake command);
    returns its combined output. Fails the test on an unexpected status."""
    if not any(a.startswith("pictures=") for a in extra):
        extra = (*extra, "pictures=false")  # pictures cost seconds each: only where a test asks for them
    settings = [a for a in extra if "=" in a and not a.startswith("-")]
    options = [a for a in extra if a not in settings]
    if raw:
        command = ["snakemake", "-s", os.path.join(TOP, "workflow", "Snakefile"), "-j", "2", *options,
                   "--config", f"input={archive}", f"output={out}", f"skanvert={SKANVERT}", *settings]
    else:
        command = ["bash", os.path.join(TOP, "scripts", "archive.sh"), archive, out, "-j2",
                   f"skanvert={SKANVERT}", *extra]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=TOP)
    if (done.returncode == 0) != (expect == 0):
        raise AssertionError(f"exit status {done.returncode}, expected {expect}:\n{done.stdout[-3000:]}")
    return done.stdout


def direct_fits(recording, channels, *options):
    """The file a direct converter run writes with no settings file and no
    coefficient table present."""
    with tempfile.TemporaryDirectory() as scratch:
        folder, name = os.path.split(recording)
        subprocess.run([SKANVERT, f"-in={folder}/", f"-f={name}", f"-cf={channels}", f"-out={scratch}/", *options],
                       cwd=scratch, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        produced = [f for f in os.listdir(scratch)]
        assert len(produced) == 1, produced
        with open(os.path.join(scratch, produced[0]), "rb") as handle:
            return handle.read()


def snapshot(root, skip=None):
    """Every file under root with its size, time and bytes' hash."""
    import hashlib
    files = {}
    for folder, dirs, names in os.walk(root):
        if skip:
            dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                files[os.path.relpath(path, root)] = os.readlink(path) if os.path.islink(path) else None
                continue
            with open(path, "rb") as handle:
                files[os.path.relpath(path, root)] = (os.stat(path).st_mtime_ns,
                                                      hashlib.sha256(handle.read()).hexdigest())
    return files


def catalog_rows(out):
    connection = sqlite3.connect(os.path.join(out, "catalog.sqlite"))
    connection.row_factory = sqlite3.Row
    rows = {row["path"]: dict(row) for row in connection.execute("SELECT * FROM recordings")}
    connection.close()
    return rows


def output_files(out):
    found = set()
    for folder, dirs, names in os.walk(out):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for name in names:
            if name.endswith((".fits", ".log")):
                found.add(os.path.relpath(os.path.join(folder, name), out))
    return found


class ArchiveCase(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="skv-archive-")
        self.archive = os.path.join(self.scratch.name, "archive")
        # The output folder inside the archive: it must be left out of the scan.
        self.out = os.path.join(self.archive, "converted")
        self.addCleanup(self.scratch.cleanup)

    def check_catalog(self, good, bad, settings=()):
        """Rows against files: one row per recording, converted rows with
        their FITS file equal to a direct run, failed rows with no file and
        the expected message; no output file outside the catalog; the CSV
        equal to the database."""
        rows = catalog_rows(self.out)
        self.assertEqual(set(rows), {shown(rel) for rel in set(good) | set(bad)})
        expected_files = set()
        for rel in good:
            row = rows[shown(rel)]
            self.assertEqual(row["status"], "converted", row)
            self.assertEqual(row["exit_status"], 0)
            self.assertEqual(row["fits"], shown(rel[:-3] + "fits"))
            self.assertEqual(row["log"], shown(rel[:-3] + "log"))
            expected_files |= {rel[:-3] + "fits", rel[:-3] + "log"}
            recording = os.path.join(self.archive, rel)
            channels = recording[:-3] + "cfg"
            if not os.path.exists(channels):
                channels = os.path.join(self.archive, "shared", "channels.cfg")
            with open(os.path.join(self.out, rel[:-3] + "fits"), "rb") as handle:
                self.assertEqual(handle.read(), direct_fits(recording, channels, *settings), rel)
            with astrofits.open(os.path.join(self.out, rel[:-3] + "fits")) as hdus:
                header = hdus[0].header
                self.assertEqual(row["pixels"], header["NAXIS1"])
                self.assertEqual(row["channels_accepted"], header["NAXIS3"])
                self.assertEqual(row["overflow_channels"], sum(1 for k in header if k.startswith("OVER")
                                                               and header[k]))
                self.assertAlmostEqual(row["cdelt1"], header["CDELT1"], places=5)
        for rel, message in bad.items():
            row = rows[shown(rel)]
            self.assertEqual(row["status"], "failed", row)
            self.assertIn(message, row["message"])
            self.assertEqual(row["fits"], "")
            if row["log"]:
                expected_files.add(rel[:-3] + "log")
        self.assertEqual(output_files(self.out), expected_files)
        with open(os.path.join(self.out, "catalog.csv"), newline="", encoding="utf-8") as handle:
            from_csv = {r["path"]: r for r in csv.DictReader(handle)}
        self.assertEqual(set(from_csv), set(rows))
        for rel, row in rows.items():
            self.assertEqual(from_csv[rel]["status"], row["status"])
            self.assertEqual(from_csv[rel]["message"], row["message"])
        return rows

    def test_runs_reruns_and_changes(self):
        good, bad = make_archive(self.archive)
        before = snapshot(self.archive)
        run_archive(self.archive, self.out)
        rows = self.check_catalog(good, bad)
        self.assertEqual(snapshot(self.archive, skip=self.out), before, "the input tree changed")
        self.assertEqual(rows["2008/moon/m1.dat"]["object"], "moon")
        self.assertGreater(rows["2006/05/rec1.dat"]["overflow_channels"], 0)
        self.assertEqual(rows["shared/deeper/s2.dat"]["channels_file"], "shared/channels.cfg")
        self.assertIsNone(rows["bad/dangling.dat"]["exit_status"])
        self.assertEqual(rows["bad/nostop.dat"]["exit_status"], 1)

        # Nothing changed: nothing is converted, no file is touched.
        first = snapshot(self.out)
        log = run_archive(self.archive, self.out, raw=True)
        self.assertIn("Nothing to be done", log)
        self.assertEqual(snapshot(self.out), first)
        # A kill just after an output was renamed into place leaves Snakemake's
        # mark that it was being made; the output is whole and is kept.
        import base64
        marks = os.path.join(self.out, ".snakemake", "incomplete")
        with open(os.path.join(marks, base64.urlsafe_b64encode(b"catalog.csv").decode()), "w"):
            pass
        self.assertIn("Nothing to be done", run_archive(self.archive, self.out, raw=True))

        # One setting changed: every recording again, with that setting.
        run_archive(self.archive, self.out, "smooth=30")
        rows = self.check_catalog(good, bad, settings=("-s=30",))
        self.assertEqual({row["smooth"] for row in rows.values()}, {30})

        # A recording added, one removed, one changed, one configuration
        # changed: those are converted again and only those.
        settled = snapshot(self.out)
        vekgen(os.path.join(self.archive, "2006/06/new.dat"), "--frames=1500", "--seed=20")
        os.unlink(os.path.join(self.archive, "2006/04/rec1.dat"))
        vekgen(os.path.join(self.archive, "2006/04/rec2.dat"), "--frames=1700", "--seed=21")
        with open(os.path.join(self.archive, "shared/channels.cfg"), "a") as handle:
            handle.write("\n")
        good = (good - {"2006/04/rec1.dat"}) | {"2006/06/new.dat"}
        run_archive(self.archive, self.out, "smooth=30")
        self.check_catalog(good, bad, settings=("-s=30",))
        now = snapshot(self.out)
        touched = {rel for rel in now if rel.endswith((".fits", ".log")) and not rel.startswith(".")
                   and now[rel] != settled.get(rel)}
        self.assertEqual(touched, {"2006/06/new.fits", "2006/06/new.log", "2006/04/rec2.fits", "2006/04/rec2.log",
                                   "shared/s1.fits", "shared/s1.log", "shared/deeper/s2.fits",
                                   "shared/deeper/s2.log"})
        self.assertNotIn("2006/04/rec1.fits", now)

    def test_quality_flags_and_ut_times(self):
        make_quality_archive(self.archive)
        before = snapshot(self.archive)
        log = run_archive(self.archive, self.out)
        self.assertEqual(snapshot(self.archive, skip=self.out), before, "the input tree changed")
        self.assertNotIn("Traceback", log)
        connection = sqlite3.connect(os.path.join(self.out, "catalog.sqlite"))
        rules = [name for name, in connection.execute("SELECT name FROM flag_rules ORDER BY position")]
        clean = {path for path, in connection.execute("SELECT path FROM clean")}
        connection.close()
        self.assertEqual(rules[:8], ["truncated", "sun_outside_scan", "no_channels", "few_channels", "overflow",
                                     "gain_steps", "stamps_inconsistent", "summer_time_guess"])
        rows = catalog_rows(self.out)
        self.assertEqual(set(rows), {rel for rel, *_ in QUALITY_CASES})
        for rel, _, _, _, expected, ut in QUALITY_CASES:
            row = rows[rel]
            with self.subTest(rel=rel):
                if isinstance(expected, list):
                    self.assertEqual(row["status"], "converted", row["message"])
                    self.assertEqual(row["flags"], ",".join(expected))
                    self.assertEqual(rel in clean, not expected)
                else:
                    self.assertEqual(row["status"], "failed")
                    self.assertEqual(row["flags"], "")
                    self.assertIn(expected, row["message"])
                self.assertEqual({name for name in rules if row["flag_" + name]}, set(expected)
                                 if isinstance(expected, list) else set())
                for column, value in ut.items():
                    self.assertEqual(row[column], value, column)
                if row["status"] == "converted":  # UT times are all known, and the stamps' order kept
                    self.assertTrue(all(row[c] for c in ("date_ut", "time_obs_ut", "start_ut", "stop_ut")), row)
        # The records carry the same flags, in the same order.
        done = [lib_read(path) for path in
                glob.glob(os.path.join(self.out, ".skanvert-archive", "batches", "*.done"))]
        for record in (r for d in done for r in d["records"]):
            self.assertEqual(",".join(record["flags"]), rows[shown(record["rel"])]["flags"])
        # Progress in plain lines (not a terminal), then one line per outcome.
        self.assertIn(f"progress: {len(QUALITY_CASES)} of {len(QUALITY_CASES)} recordings done, 6 failed, "
                      f"{sum(1 for c in QUALITY_CASES if c[4] and isinstance(c[4], list))} flagged", log)
        self.assertNotIn("\r", log)
        self.assertIn("  converted, no flag: 4", log)
        self.assertIn("  failed: q/bad/empty.dat: not a recording: shorter", log)
        self.assertIn("  flagged: q/few_channels.dat: few_channels", log)

        # Another share: the flags are decided again, nothing is converted again.
        fits_times = {rel: t for rel, t in snapshot(self.out).items() if rel.endswith(".fits")}
        log = run_archive(self.archive, self.out, "few_channels=0.2")
        self.assertEqual(catalog_rows(self.out)["q/few_channels.dat"]["flags"], "")
        self.assertEqual({rel: t for rel, t in snapshot(self.out).items() if rel.endswith(".fits")}, fits_times)
        self.assertIn(f"progress: {len(QUALITY_CASES)} of {len(QUALITY_CASES)} recordings done", log)

    def test_messages_of_the_wrapper(self):
        """A refused setting: one line naming it, no traceback, nothing
        created. A dry run: no catalog line. Snakemake's logs land under
        OUT/.skanvert-archive, not in the folder the run started from."""
        vekgen(os.path.join(self.archive, "a", "rec.dat"), *LONG)
        start = os.path.join(self.scratch.name, "here")
        os.makedirs(start)
        for setting, words in (("smooth=fast", "smooth"), ("few_channels=2", "few_channels"),
                               ("channels=missing.cfg", "channels")):
            with self.subTest(setting=setting):
                done = subprocess.run(["bash", os.path.join(TOP, "scripts", "archive.sh"), self.archive, "out",
                                       f"skanvert={SKANVERT}", setting], cwd=start, capture_output=True, text=True)
                self.assertEqual(done.returncode, 1)
                lines = (done.stdout + done.stderr).strip().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith("skanvert archive: ") and words in lines[0], lines)
                self.assertEqual(os.listdir(start), [])
        done = subprocess.run(["bash", os.path.join(TOP, "scripts", "archive.sh"), self.archive, "out", "-n",
                               f"skanvert={SKANVERT}"], cwd=start, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("catalog:", done.stdout + done.stderr)
        self.assertFalse(os.path.exists(os.path.join(start, "out", "catalog.sqlite")))
        # Relative paths are taken from where the run started.
        done = subprocess.run(["bash", os.path.join(TOP, "scripts", "archive.sh"), os.path.relpath(self.archive, start),
                               "out", "-j2", f"skanvert={os.path.relpath(SKANVERT, start)}", "pictures=false"],
                              cwd=start, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(os.listdir(start)), ["out"])
        self.assertTrue(glob.glob(os.path.join(start, "out", ".skanvert-archive", ".snakemake", "log", "*.log")))
        self.assertEqual(catalog_rows(os.path.join(start, "out"))["a/rec.dat"]["flags"], "")

    def test_kill_and_resume(self):
        # Slowed by a wrapper so the kill falls in the middle; it keeps the
        # name it was started by, so the settings file is still looked for in
        # the private working folder.
        names = [f"day{i:02d}/scan{j}.dat" for i in range(8) for j in range(4)]
        for index, rel in enumerate(names):
            vekgen(os.path.join(self.archive, rel), "--frames=1200", f"--seed={index + 1}")
        wrapper = os.path.join(self.scratch.name, "slow-skanvert")
        with open(wrapper, "w") as handle:
            handle.write(f'#!/bin/bash\nsleep 0.25\nexec -a "$0" {SKANVERT} "$@"\n')
        os.chmod(wrapper, 0o755)
        command = ["snakemake", "-s", os.path.join(TOP, "workflow", "Snakefile"), "-j", "2", "--config",
                   f"input={self.archive}", f"output={self.out}", f"skanvert={wrapper}", "batch_size=8",
                   "pictures=false"]
        process = subprocess.Popen(command, cwd=TOP, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        records = os.path.join(self.out, ".skanvert-archive", "records")
        deadline = time.time() + 120
        while time.time() < deadline:
            done = sum(len(files) for _, _, files in os.walk(records))
            if done >= 6:
                break
            time.sleep(0.05)
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        converted = {rel for rel in output_files(self.out) if rel.endswith(".fits")}
        self.assertTrue(0 < len(converted) < len(names), converted)
        for rel in converted:  # every file there is whole
            with open(os.path.join(self.out, rel), "rb") as handle:
                self.assertEqual(handle.read(), direct_fits(os.path.join(self.archive, rel[:-4] + "dat"),
                                                            os.path.join(self.archive, rel[:-4] + "cfg")))
        halfway = snapshot(self.out)
        # Recordings whose record was written before the kill are finished.
        finished = set()
        for folder, _, files in os.walk(records):
            for name in files:
                if name.startswith(".skv-"):
                    continue  # a record being written when the run was killed: never renamed into place
                with open(os.path.join(folder, name)) as handle:
                    finished.add(json.load(handle)["fits"])
        self.assertTrue(finished)

        # The same bare command again finishes the archive.
        run_archive(self.archive, self.out, f"skanvert={wrapper}", "batch_size=8", raw=True)
        self.check_catalog(set(names), {})
        now = snapshot(self.out)
        for rel in finished:
            self.assertEqual(now[rel], halfway[rel], f"{rel} was converted again")
        leftovers = [n for _, _, files in os.walk(self.out) for n in files if n.startswith(".skv-")]
        self.assertEqual(leftovers, [])

    def test_every_setting_reaches_the_converter(self):
        # The same settings through a settings file beside a copy of the
        # converter (a path with no prefix rules) must give the same bytes.
        vekgen(os.path.join(self.archive, "x", "rec.dat"), "--frames=2500", "--gain-step=900:1",
               f"--coef={self.scratch.name}/crab0coef.txt")
        values = {"smooth": "30", "ampcor": "0", "shift": "3", "sigma": "2.5", "delta": "1.5", "valh": "12",
                  "azim": "5", "onoff": "1", "flag_theta": "1", "dspdt": "0.008", "layout": "standard"}
        run_archive(self.archive, self.out, f"coefficients={self.scratch.name}/crab0coef.txt",
                    *(f"{k}={v}" for k, v in values.items()))
        with tempfile.TemporaryDirectory() as direct:
            program = os.path.join(direct, "skv")
            with open(SKANVERT, "rb") as source, open(program, "wb") as copy:
                copy.write(source.read())
            os.chmod(program, 0o755)
            with open(program + ".ini", "w") as ini:
                ini.write("".join(f"{k}={v}\n" for k, v in values.items()))
            with open(os.path.join(self.scratch.name, "crab0coef.txt"), "rb") as source, \
                    open(os.path.join(direct, "crab0coef.txt"), "wb") as copy:
                copy.write(source.read())
            subprocess.run([program, f"-in={self.archive}/x/", "-f=rec.dat", f"-cf={self.archive}/x/rec.cfg",
                            f"-out={direct}/"], cwd=direct, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(os.path.join(direct, "rec.fits"), "rb") as expected, \
                    open(os.path.join(self.out, "x", "rec.fits"), "rb") as produced:
                self.assertEqual(produced.read(), expected.read())
        row = catalog_rows(self.out)["x/rec.dat"]
        self.assertEqual((row["smooth"], row["shift"], row["layout"], row["dspdt"]), (30, 3, "standard", 0.008))

    def test_rebuilt_converter_converts_again(self):
        vekgen(os.path.join(self.archive, "a", "rec.dat"), "--frames=1000")
        vekgen(os.path.join(self.archive, "b", "rec.dat"), "--frames=1000", "--seed=2")
        program = os.path.join(self.scratch.name, "skanvert")
        with open(SKANVERT, "rb") as source, open(program, "wb") as copy:
            copy.write(source.read())
        os.chmod(program, 0o755)
        run_archive(self.archive, self.out, f"skanvert={program}")
        first = snapshot(self.out)
        build = catalog_rows(self.out)["a/rec.dat"]["skanvert_build"]
        with open(program, "ab") as copy:  # new bytes, same behaviour
            copy.write(b"\0")
        run_archive(self.archive, self.out, f"skanvert={program}")
        now = snapshot(self.out)
        for rel in ("a/rec.fits", "b/rec.fits"):
            self.assertNotEqual(now[rel][0], first[rel][0], f"{rel} was not converted again")
            self.assertEqual(now[rel][1], first[rel][1])
        self.assertNotEqual(catalog_rows(self.out)["a/rec.dat"]["skanvert_build"], build)

    def test_pictures_follow_their_fits(self):
        """Pictures and thumbnails for converted recordings only, remade when
        their FITS file changed and only then, gone with their recording;
        the index page lists every recording of the catalog."""
        if not os.access(os.path.join(BUILD, "skanvert-quicklook"), os.X_OK):
            self.skipTest("no skanvert-quicklook in the build (cairo, cfitsio or libpng missing)")
        vekgen(os.path.join(self.archive, "a", "rec.dat"), "--frames=1000", "--channels=1-4")
        vekgen(os.path.join(self.archive, "b", "it's <x>.dat"), "--frames=1000", "--seed=2", "--channels=1-4")
        vekgen(os.path.join(self.archive, "a", "same.dat"), "--frames=1000", "--seed=3", "--channels=1-4")
        with open(os.path.join(self.archive, "b", "short.dat"), "wb") as handle:
            handle.write(b"\0" * 100)
        shutil.copy(os.path.join(self.archive, "a", "rec.cfg"), os.path.join(self.archive, "b", "short.cfg"))
        pictures = ("a/rec.png", "a/rec.thumb.png", "b/it's <x>.png", "b/it's <x>.thumb.png",
                    "a/same.png", "a/same.thumb.png")

        def picture_times():
            found = snapshot(self.out)
            return {rel: found[rel][0] for rel in found if rel.endswith(".png")}

        run_archive(self.archive, self.out, "pictures=true")
        first = picture_times()
        self.assertEqual(set(first), set(pictures))
        page = ""
        for name in ["index.html"] + [os.path.join("index", n) for n in os.listdir(os.path.join(self.out, "index"))
                                      if n.endswith(".html")]:
            with open(os.path.join(self.out, name), encoding="utf-8") as handle:
                page += handle.read()
        for rel in ("a/rec.dat", "b/it&#x27;s &lt;x&gt;.dat", "b/short.dat"):
            self.assertIn(rel, page)
        run_archive(self.archive, self.out, "pictures=true")
        self.assertEqual(picture_times(), first)
        vekgen(os.path.join(self.archive, "a", "rec.dat"), "--frames=1000", "--channels=1-4", "--seed=9")
        os.remove(os.path.join(self.archive, "b", "it's <x>.dat"))
        run_archive(self.archive, self.out, "pictures=true")
        now = picture_times()
        self.assertEqual(set(now), set(pictures[:2] + pictures[4:]))
        for rel in pictures[:2]:
            self.assertGreater(now[rel], first[rel], f"{rel} was not drawn again")
        for rel in pictures[4:]:  # its FITS file did not change
            self.assertEqual(now[rel], first[rel], f"{rel} was drawn again")

    def test_faults_stop_the_run(self):
        vekgen(os.path.join(self.archive, "a", "rec.dat"), "--frames=1000")
        cases = [
            ([f"skanvert={self.scratch.name}/missing"], "missing or not executable"),
            (["output=/proc/skv-archive-out"], "cannot create the output folder"),
            ([f"output={self.archive}"], "holds the input folder"),
            (["smooth=fast"], "not a whole number"),
        ]
        # A full disk: a small file system of its own, when one can be mounted.
        full = os.path.join(self.scratch.name, "full")
        os.makedirs(full)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=160k", "tmpfs", full],
                                 capture_output=True).returncode == 0
        if mounted:
            self.addCleanup(subprocess.run, ["umount", full])
            for index in range(6):
                vekgen(os.path.join(self.archive, "a", f"more{index}.dat"), "--frames=1000", f"--seed={index + 2}")
            cases.append(([f"output={full}/out"], "cannot write in the output folder"))
        else:
            print("note: no tmpfs could be mounted; the full-disk case is not run", file=sys.stderr)
        for extra, message in cases:
            with self.subTest(extra=extra):
                settings = [f"input={self.archive}", f"output={self.out}", f"skanvert={SKANVERT}",
                            "pictures=false"]
                keys = {e.split("=")[0] for e in extra}
                settings = [s for s in settings if s.split("=")[0] not in keys] + extra
                done = subprocess.run(["snakemake", "-s", os.path.join(TOP, "workflow", "Snakefile"), "-j", "1",
                                       "--config", *settings], cwd=TOP, capture_output=True, text=True)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(message, done.stdout + done.stderr)
                # A refusal is one line, without Snakemake's lines of where it was raised.
                self.assertNotIn('File "', done.stdout + done.stderr)
                self.assertNotIn("Traceback", done.stdout + done.stderr)


class SlurmCase(unittest.TestCase):
    def test_slurm_run_equals_local_run(self):
        with tempfile.TemporaryDirectory(prefix="skv-slurm-") as scratch:
            cluster = os.path.join(scratch, "cluster")
            started = subprocess.run(["bash", os.path.join(TOP, "scripts", "slurm_local.sh"), "start", cluster],
                                     capture_output=True, text=True)
            try:
                self.assertEqual(started.returncode, 0, "the Slurm cluster did not start:\n" + started.stderr)
                os.environ["SLURM_CONF"] = os.path.join(cluster, "slurm.conf")
                archive = os.path.join(scratch, "archive")
                good, bad = make_archive(archive)
                local, remote = os.path.join(scratch, "local"), os.path.join(scratch, "slurm")
                run_archive(archive, local, "batch_size=4")
                log = run_archive(archive, remote, "batch_size=4", "--profile",
                                  os.path.join(TOP, "workflow", "profiles", "slurm"))
                self.assertIn("external jobid", log)
                self.assertEqual(catalog_rows(local), catalog_rows(remote))
                for name in ("catalog.csv",):
                    with open(os.path.join(local, name), "rb") as a, open(os.path.join(remote, name), "rb") as b:
                        self.assertEqual(a.read(), b.read())
                fits = {rel for rel in output_files(local) if rel.endswith(".fits")}
                self.assertEqual(fits, {rel for rel in output_files(remote) if rel.endswith(".fits")})
                self.assertEqual(len(fits), len(good))
                for rel in fits:
                    with open(os.path.join(local, rel), "rb") as a, open(os.path.join(remote, rel), "rb") as b:
                        self.assertEqual(a.read(), b.read(), rel)
            finally:
                subprocess.run(["bash", os.path.join(TOP, "scripts", "slurm_local.sh"), "stop", cluster])


def main():
    global BUILD, SKANVERT, VEKGEN
    args = sys.argv[1:]
    slurm = "--slurm" in args
    if "--build" in args:
        BUILD = os.path.abspath(args[args.index("--build") + 1])
    SKANVERT = os.path.join(BUILD, "skanvert")
    VEKGEN = os.path.join(BUILD, "vekgen")
    if os.path.exists(SKANVERT + ".ini"):
        sys.exit(f"{SKANVERT}.ini exists: the direct runs would read it")
    case = SlurmCase if slurm else ArchiveCase
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
