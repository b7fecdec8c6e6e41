#!/usr/bin/python3
"""End-to-end checks of vekinfo.

    /usr/bin/python3 tests/vekinfo/check_vekinfo.py --vekinfo build/vekinfo \
        --skanvert build/skanvert --vekgen build/vekgen

  agreement   vekgen recordings (summer and winter time, the summer-time
              switch day, an hour that wraps over midnight, a packed altitude,
              another object, a year beyond the summer-time table, a stop
              stamp on the next day): vekinfo's values equal the cards of
              skanvert's FITS file of the same recording, and --csv gives the
              same rows as JSON.
  gains       status word changes in block 0 are counted per frame boundary
              and named by word; changes in other blocks are not.
  broken      empty, truncated, header-only-plus-a-bit, no stop stamp, a
              folder, a named pipe, a missing file, a looping link, an
              unreadable file: one row each, in argument order, with a clear
              error, exit status 1; nothing changed on disk.
  texts       odd object names and file names come out as valid JSON and
              CSV that give the bytes back; names with a leading dash after
              --; usage errors give status 2.
"""

import argparse
import csv
import hashlib
import io
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None

FIELDS = ["path", "ok", "error", "size", "frames", "trailing_bytes", "object", "time_local", "ut_hour",
          "time_ut", "date_obs", "start_stamp", "stop_stamp", "start_obs", "stop_obs", "azimuth", "altitude",
          "duration", "nsamples", "gain_words", "gain_changes"]
HEADER = 4096
FRAME = 752


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, timeout=120, stdin=subprocess.DEVNULL, **kw)


def vekinfo(*paths, csv_mode=False, **kw):
    cmd = [ARGS.vekinfo] + (["--csv"] if csv_mode else []) + ["--"] + list(paths)
    return run(cmd, **kw)


def json_rows(result):
    lines = result.stdout.decode("ascii").splitlines()  # JSON output is pure ASCII for ASCII paths
    rows = [json.loads(line) for line in lines]
    for row in rows:
        assert list(row) == FIELDS, list(row)
    return rows


def vekgen(path, *options):
    result = run([ARGS.vekgen] + list(options) + [path])
    assert result.returncode == 0, result.stderr
    return path


def fits_cards(path):
    """Primary header cards: keyword -> value text (strings without quotes)."""
    data = read(path)
    cards = {}
    for i in range(0, len(data), 80):
        card = data[i:i + 80].decode("ascii")
        key = card[:8].strip()
        if key == "END":
            return cards
        if card[8:10] == "= ":
            value = card[10:]
            if value.lstrip().startswith("'"):
                value = value.lstrip()[1:]
                value = value[:value.index("'")].rstrip()
            else:
                value = value.split("/")[0].strip()
            cards.setdefault(key, value)
    raise AssertionError("no END card in " + path)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vekinfo-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)


class Agreement(Scratch):
    # name, vekgen options, expected universal hour
    CASES = [
        ("summer", ["--date=2006-04-12", "--start=12:00:00", "--crossing=10"], 8),
        ("winter_wrap_packed", ["--date=2008-01-15", "--start=01:29:55", "--crossing=10", "--altitude=52.2541",
                                "--packed-altitude"], 22),
        ("switch_day", ["--date=2006-03-26", "--start=10:00:00", "--crossing=10"], 6),
        ("day_after_summer", ["--date=2006-10-30", "--start=10:00:00", "--crossing=10"], 7),
        ("moon", ["--object=moon", "--azimuth=12", "--altitude=30.5", "--crossing=10"], 8),
        ("beyond_table_next_day", ["--date=2022-07-01", "--start=23:59:50", "--crossing=5"], 19),
        ("gain_steps", ["--gain-step=500:1,1500:0,2500:3", "--crossing=10"], 8),
    ]

    def test_values_equal_the_fits_cards(self):
        frames = 3000
        paths = []
        for name, options, _ in self.CASES:
            paths.append(vekgen(self.path(name + ".dat"), "--frames=%d" % frames, "--channels=1-8", *options))
        result = vekinfo(*paths)
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = json_rows(result)
        self.assertEqual([r["path"] for r in rows], paths)
        for (name, options, ut_hour), row in zip(self.CASES, rows):
            with self.subTest(case=name):
                conversion = run([ARGS.skanvert, "-in=" + self.dir + "/", "-f=" + name + ".dat",
                                  "-cf=" + self.path(name + ".cfg"), "-out=" + self.dir + "/"], cwd=self.dir)
                self.assertEqual(conversion.returncode, 0, conversion.stdout)
                cards = fits_cards(self.path(name + ".fits"))
                self.assertEqual((row["ok"], row["error"]), (True, None))
                got = [row["time_ut"], row["start_obs"], row["stop_obs"], row["object"],
                       row["date_obs"].replace("-", "/"), str(row["nsamples"]), "%f" % row["altitude"],
                       "%f" % row["azimuth"]]
                self.assertEqual(got, [cards[k] for k in ("TIME-OBS", "STARTOBS", "STOPOBS", "OBJECT", "DATE-OBS",
                                                          "NSAMPLES", "ALTITUDE", "AZIMUTH")])
                self.assertEqual((row["ut_hour"], int(row["time_ut"][:2])), (ut_hour, ut_hour))
                self.assertEqual((row["frames"], row["trailing_bytes"]), (frames, 0))
                span = frames * 0.0076365
                if name == "beyond_table_next_day":
                    span -= 86400  # the stop stamp's clock has passed midnight
                self.assertAlmostEqual(row["duration"], span, delta=0.002)
        self.assertAlmostEqual(rows[1]["altitude"], 52.2541, delta=0.0001)  # unpacked
        self.assertEqual((rows[0]["gain_words"], rows[0]["gain_changes"]), ([], 0))
        self.assertEqual((rows[-1]["gain_words"], rows[-1]["gain_changes"]), (list(range(83, 91)), 3))

        # --csv: a heading, then the same values row by row.
        table = vekinfo(*paths, csv_mode=True)
        self.assertEqual(table.returncode, 0)
        lines = list(csv.reader(io.StringIO(table.stdout.decode("ascii"), newline="")))
        self.assertEqual(lines[0], FIELDS)
        as_csv = {type(None): lambda v: "", bool: lambda v: "1" if v else "0", float: lambda v: "%f" % v,
                  list: lambda v: ";".join(map(str, v)), str: str, int: str}
        for row, line in zip(rows, lines[1:]):
            line[FIELDS.index("duration")] = "%f" % float(line[FIELDS.index("duration")])
            self.assertEqual(line, [as_csv[type(row[f])](row[f]) for f in FIELDS])
        self.assertEqual(len(lines), len(paths) + 1)


def put_word(data, frame, block, word, value):
    at = HEADER + frame * FRAME + block * 188 + 2 * word
    data[at:at + 2] = int(value).to_bytes(2, "little", signed=True)


class Gains(Scratch):
    def test_changes_in_block_zero_are_counted_per_frame_boundary(self):
        base = bytearray(read(vekgen(self.path("base.dat"), "--frames=200", "--channels=1-4")))
        # name, edits (frame, block, word, value), gain words, changes
        cases = [
            ("none", [], [], 0),
            ("one_frame_blip", [(100, 0, 85, 259)], [85], 2),
            ("other_block_only", [(100, 1, 85, 259), (50, 3, 90, 515)], [], 0),
            ("two_words_one_boundary", [(f, 0, w, 515) for f in range(150, 200) for w in (83, 90)], [83, 90], 1),
            ("first_and_last_frame", [(0, 0, 84, 7), (199, 0, 89, 7)], [84, 89], 2),
        ]
        paths = []
        for name, edits, _, _ in cases:
            data = bytearray(base)
            for edit in edits:
                put_word(data, *edit)
            with open(self.path(name + ".dat"), "wb") as f:
                f.write(data)
            paths.append(self.path(name + ".dat"))
        # A trailing partial frame is not a frame: its words are never compared.
        data = bytearray(base) + bytes(FRAME - 1)
        with open(self.path("partial.dat"), "wb") as f:
            f.write(data)
        paths.append(self.path("partial.dat"))
        rows = json_rows(vekinfo(*paths))
        for (name, _, words, changes), row in zip(cases, rows):
            with self.subTest(case=name):
                self.assertEqual(row["gain_words"], words)
                self.assertEqual(row["gain_changes"], changes)
        self.assertEqual((rows[-1]["frames"], rows[-1]["trailing_bytes"]), (200, FRAME - 1))
        self.assertEqual(rows[-1]["gain_changes"], 0)


def digest(path):
    st = os.lstat(path)
    if stat.S_ISREG(st.st_mode):
        return (st.st_mode, st.st_mtime_ns, hashlib.sha256(read(path)).hexdigest())
    return (st.st_mode, st.st_mtime_ns)


class Broken(Scratch):
    def test_each_gets_a_row_with_a_clear_error(self):
        good = vekgen(self.path("good.dat"), "--frames=50", "--channels=1-4")
        data = read(good)

        def write(name, content):
            with open(self.path(name), "wb") as f:
                f.write(content)
            return self.path(name)

        nostop = bytearray(data)
        nostop[3072:3104] = bytes(32)
        nostart = bytearray(data)
        nostart[4032:4064] = b"Wed Apr 12 12:00:00\0".ljust(32, b"\0")
        notime = bytearray(data)
        notime[18:34] = b"xx:00:00".ljust(16, b"\0")
        os.mkdir(self.path("folder.dat"))
        if not ARGS.portable:  # without the system's calls an open waits for a pipe's writer
            os.mkfifo(self.path("pipe.dat"))
        os.symlink("loop.dat", self.path("loop.dat"))
        # path, ok, error, fields expected
        cases = [
            (good, True, None, {"frames": 50}),
            (write("empty.dat", b""), False, "shorter than the 4096-byte header (0 bytes)",
             {"size": 0, "frames": None, "object": None}),
            (write("short.dat", data[:123]), False, "shorter than the 4096-byte header (123 bytes)", {"size": 123}),
            (write("bit.dat", data[:HEADER + 1000]), True, None, {"frames": 1, "trailing_bytes": 248}),
            (write("header.dat", data[:HEADER]), True, None, {"frames": 0, "gain_changes": 0}),
            (write("nostop.dat", nostop), False, "no valid stop time stamp",
             {"object": "sun", "stop_stamp": "", "stop_obs": None, "start_obs": None, "frames": 50}),
            (write("nostart.dat", nostart), False, "no valid start time stamp",
             {"stop_obs": json_rows(vekinfo(good))[0]["stop_obs"], "date_obs": None}),
            (write("notime.dat", notime), False, "no valid time of observation",
             {"time_local": "xx:00:00", "time_ut": None, "date_obs": "2006-04-12"}),
            (self.path("folder.dat"), False, "not a regular file", {"size": None}),
            *([] if ARGS.portable else [(self.path("pipe.dat"), False, "not a regular file", {})]),
            (self.path("missing.dat"), False, "cannot open: No such file or directory", {}),
            (self.path("loop.dat"), False, "cannot open: Too many levels of symbolic links", {}),
        ]
        before = {name: digest(self.path(name)) for name in os.listdir(self.dir)}
        result = vekinfo(*[c[0] for c in cases])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"")
        rows = json_rows(result)
        self.assertEqual([r["path"] for r in rows], [c[0] for c in cases])
        for (path, ok, error, expected), row in zip(cases, rows):
            with self.subTest(path=os.path.basename(path)):
                self.assertEqual(row["ok"], ok)
                self.assertEqual(row["error"], error)
                for key, value in expected.items():
                    self.assertEqual(row[key], value, key)
        self.assertEqual(vekinfo(good).returncode, 0)
        after = {name: digest(self.path(name)) for name in os.listdir(self.dir)}
        self.assertEqual(after, before)

    def test_unreadable_file(self):
        path = vekgen(self.path("locked.dat"), "--frames=5", "--channels=1")
        os.chmod(path, 0)
        os.chmod(self.dir, 0o755)
        if os.geteuid() == 0:
            # root reads anything: run as nobody, which may not read it.
            result = vekinfo(path, user=65534, group=65534, extra_groups=[])
        else:
            result = vekinfo(path)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(json_rows(result)[0]["error"], "cannot open: Permission denied")


class Texts(Scratch):
    def test_odd_object_names_and_paths(self):
        good = read(vekgen(self.path("good.dat"), "--frames=10", "--channels=1"))
        objects = [b'a"b\\c,d', b"tab\there\nnl", b"\xe9t\xe9 \x7f\x01", b"'quoted'"]
        names = ["-s=5.dat", "with blank.dat", "naïve.dat", b"bad\xff\xfe.dat", 'q"uote,.dat']
        paths = []
        for i, name in enumerate(names):
            data = bytearray(good)
            data[34:50] = objects[i % len(objects)].ljust(16, b"\0")
            raw = os.path.join(os.fsencode(self.dir), os.fsencode(name) if isinstance(name, str) else name)
            with open(raw, "wb") as f:
                f.write(data)
            paths.append(raw)
        result = run([ARGS.vekinfo, "--"] + paths)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.split(b"\n")
        self.assertEqual(lines[-1], b"")
        self.assertEqual(len(lines), len(paths) + 1)
        for i, (raw, line) in enumerate(zip(paths, lines)):
            with self.subTest(name=raw):
                row = json.loads(line.decode("utf-8"))
                self.assertTrue(row["ok"])
                self.assertEqual(os.fsencode(row["path"]), raw)
                obj = objects[i % len(objects)]
                self.assertEqual(row["object"], obj.decode("latin-1"))
                # Header texts are pure ASCII in the output.
                self.assertTrue(line.split(b'"object":')[1].split(b'","time_local"')[0].isascii())

        table = run([ARGS.vekinfo, "--csv", "--"] + paths)
        self.assertEqual(table.returncode, 0)
        rows = list(csv.reader(io.StringIO(table.stdout.decode("latin-1"), newline="")))
        self.assertEqual(len(rows), len(paths) + 1)
        for i, (raw, row) in enumerate(zip(paths, rows[1:])):
            self.assertEqual(row[0].encode("latin-1"), raw)
            self.assertEqual(row[FIELDS.index("object")].encode("latin-1"), objects[i % len(objects)])

    def test_command_line(self):
        good = vekgen(self.path("good.dat"), "--frames=10", "--channels=1")
        dashed = self.path("-x.dat")
        shutil.copy(good, dashed)
        for args, status in [([], 2), (["--csv"], 2), (["--bogus", good], 2), (["-x.dat"], 2),
                             (["--help"], 0), ([good, "--csv"], 0), (["--", "-x.dat"], 0)]:
            with self.subTest(args=args):
                result = run([ARGS.vekinfo] + args, cwd=self.dir)
                self.assertEqual(result.returncode, status, result.stderr)
                if status == 2:
                    self.assertEqual(result.stdout, b"")
                    self.assertIn(b"Usage: vekinfo", result.stderr)
        self.assertTrue(run([ARGS.vekinfo, good, "--csv"]).stdout.startswith(b"path,ok,error,"))
        # A closed output is a failure, not a success.
        with open("/dev/full", "wb") as full:
            result = subprocess.run([ARGS.vekinfo, good], stdout=full, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 3)
        self.assertIn(b"cannot write the output", result.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--vekinfo", required=True)
    parser.add_argument("--skanvert", required=True)
    parser.add_argument("--vekgen", required=True)
    parser.add_argument("--portable", action="store_true", help="built without the system's calls")
    ARGS, rest = parser.parse_known_args()
    for name in ("vekinfo", "skanvert", "vekgen"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
