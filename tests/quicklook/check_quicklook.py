#!/usr/bin/python3
"""skanvert-quicklook on conversions of simulated recordings: both layouts,
overflow, 0, 1, 56 and 80 channels, files of the wrong kind, usage errors and
pictures that cannot be written. The pictures are read back with PIL: their
pixel dimensions, that the text areas hold text, that both layouts draw the
same data, and that a noise-only thumbnail is dark beside a Sun's.

    check_quicklook.py --quicklook PROG --skanvert PROG --vekgen PROG
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from astropy.io import fits
from PIL import Image

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PY_QUICKLOOK = os.path.join(TOP, "tools", "quicklook", "skanvert_quicklook.py")
ARGS = None
RED = (0xC8, 0x10, 0x2E)


def run(*args):
    return subprocess.run([ARGS.quicklook, *args], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          errors="backslashreplace")


def convert(folder, name, *vekgen_options, layout=None):
    """A recording simulated with the options and converted; its FITS path."""
    recording = os.path.join(folder, name + ".dat")
    subprocess.run([ARGS.vekgen, *vekgen_options, recording], check=True, stdout=subprocess.DEVNULL)
    out = os.path.join(folder, layout or "default")
    os.makedirs(out, exist_ok=True)
    extra = [f"-layout={layout}"] if layout else []
    subprocess.run([ARGS.skanvert, f"-in={folder}/", f"-f={name}.dat", f"-cf={os.path.join(folder, name + '.cfg')}",
                    f"-out={out}/", *extra], cwd=folder, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(out, name + ".fits")


def widened(source, target, channels):
    """A standard-layout file with `channels` planes made from source's (the
    converter keeps at most 56): planes repeated, FREQnnn rising, OVER002 set."""
    with fits.open(source, do_not_scale_image_data=True) as hdus:
        header = hdus[0].header.copy()
        raw = np.asarray(hdus[0].data)
        table = hdus["Scan_params"].copy()
    planes = np.concatenate([raw] * (channels // raw.shape[0] + 1))[:channels]
    for i in range(1, raw.shape[0] + 1):
        del header[f"FREQ{i:03d}"], header[f"OVER{i:03d}"]
    for i in range(1, channels + 1):
        header[f"FREQ{i:03d}"] = 1.0 + 0.3 * i
        header[f"OVER{i:03d}"] = 1 if i == 2 else 0
    primary = fits.PrimaryHDU(planes, header=header, do_not_scale_image_data=True)
    primary.header["BSCALE"], primary.header["BZERO"] = header["BSCALE"], header["BZERO"]
    fits.HDUList([primary, table]).writeto(target, overwrite=True)
    return target


def dark_fraction(image, box):
    """The share of pixels in box (left, top, right, bottom) darker than mid-grey."""
    grey = np.asarray(image.convert("L").crop(box))
    return float((grey < 128).mean())


def count_colour(image, colour, box=None):
    rgb = np.asarray((image.crop(box) if box else image).convert("RGB")).reshape(-1, 3)
    return int(np.all(rgb == colour, axis=1).sum())


class Quicklook(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.dir = cls.scratch.name
        options = ("--frames=3000", "--channels=1-12,20,30-33", "--overflow=3")
        cls.default = convert(cls.dir, "gaps", *options)
        cls.standard = convert(cls.dir, "gaps", *options, layout="standard")
        cls.full = convert(cls.dir, "full", "--frames=3000")
        cls.one = convert(cls.dir, "one", "--frames=3000", "--channels=7")
        cls.none = convert(cls.dir, "none", "--frames=3000", "--dead=1-56")
        cls.sun = convert(cls.dir, "sun", "--frames=3000", "--dspdt=0.1", "--crossing=150", "--channels=1-8")
        cls.noise = convert(cls.dir, "noise", "--frames=3000", "--dspdt=0.1", "--crossing=150", "--channels=1-8",
                            "--noise-only=1-8")
        cls.eighty = widened(convert(cls.dir, "base", "--frames=3000", layout="standard"),
                             os.path.join(cls.dir, "eighty.fits"), 80)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def draw(self, path, *extra):
        stem = os.path.join(self.dir, "pictures", os.path.relpath(path, self.dir).replace("/", "_"))
        os.makedirs(os.path.dirname(stem), exist_ok=True)
        done = run(path, "-o", stem + ".png", "--thumbnail", stem + ".thumb.png", *extra)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.splitlines(), [f"wrote {stem}.png", f"wrote {stem}.thumb.png"])
        return Image.open(stem + ".png"), Image.open(stem + ".thumb.png")

    def test_dimensions_and_text(self):
        """Picture size by channel count; heading, panel titles and map titles hold text."""
        cases = [  # file, channels, picture size
            ("none", 0, (1400, 500)),
            ("one", 1, (1300, 800)),
            ("default", 17, (1300, 882)),
            ("full", 56, (1668, 1298)),
            ("eighty", 80, (1668, 1610)),
        ]
        for name, channels, size in cases:
            with self.subTest(name):
                picture, thumbnail = self.draw(getattr(self, name))
                self.assertEqual(picture.size, size)
                self.assertEqual(thumbnail.size, (320, 160))
                self.assertEqual(picture.mode, "P", "an indexed-colour PNG")
                width, height = size
                self.assertGreater(dark_fraction(picture, (0, 8, width // 2, 42)), 0.05, "heading")
                self.assertGreater(dark_fraction(picture, (0, 50, width // 2, 75)), 0.02, "second line")
                if channels:
                    self.assertGreater(dark_fraction(picture, (100, 96, width - 20, 120)), 0.01, "panel titles")
                    maps_top = height - 400
                    self.assertGreater(dark_fraction(picture, (100, maps_top + 10, width - 200, maps_top + 32)),
                                       0.005, "map titles")
                    self.assertGreater(dark_fraction(picture, (width - 330, 8, width, 42)), 0.02, "series key")
                else:
                    self.assertGreater(dark_fraction(picture, (400, 190, 1000, 290)), 0.02, "no-channel note")

    def test_both_layouts_draw_the_same_data(self):
        default, default_thumb = self.draw(self.default)
        standard, standard_thumb = self.draw(self.standard)
        self.assertEqual(default.size, standard.size)
        # Everything below the heading (whose second line names the layout).
        below = (0, 90, default.size[0], default.size[1])
        self.assertTrue(np.array_equal(np.asarray(default.convert("RGB").crop(below)),
                                       np.asarray(standard.convert("RGB").crop(below))))
        self.assertTrue(np.array_equal(np.asarray(default_thumb.convert("RGB")),
                                       np.asarray(standard_thumb.convert("RGB"))))

    def test_overflow_and_flags_in_red(self):
        """Overflowing channels are framed and marked in red, flags named in red in the heading."""
        cases = [  # file, flags option, red in panels, red in heading
            (self.default, [], True, False),
            (self.full, [], False, False),
            (self.full, ["--flags", "truncated,few_channels"], False, True),
            (self.eighty, ["--flags="], True, False),
        ]
        for path, flags, panels, heading in cases:
            with self.subTest(os.path.basename(path), flags=flags):
                picture, _ = self.draw(path, *flags)
                width, height = picture.size
                self.assertEqual(count_colour(picture, RED, (0, 90, width, height)) > 50, panels)
                self.assertEqual(count_colour(picture, RED, (0, 0, width, 45)) > 50, heading)

    def test_thumbnails_share_one_scale(self):
        """A noise-only scan is dark, the Sun bright, on the same colours."""
        _, noise = self.draw(self.noise)
        _, sun = self.draw(self.sun)
        noise_grey = np.asarray(noise.convert("L"), dtype=float)
        sun_grey = np.asarray(sun.convert("L"), dtype=float)
        self.assertLess(noise_grey.mean(), 40)
        self.assertGreater(sun_grey.mean(), noise_grey.mean() + 60)

    def test_summary_matches_the_python_quick_look(self):
        for path in (self.default, self.standard, self.none):
            with self.subTest(os.path.basename(os.path.dirname(path)) + "/" + os.path.basename(path)):
                native = run("--summary", path)
                python = subprocess.run(["/usr/bin/python3", PY_QUICKLOOK, "--summary", path],
                                        capture_output=True, text=True)
                self.assertEqual(native.returncode, 0, native.stderr)
                self.assertEqual(native.stdout, python.stdout)

    def test_files_of_the_wrong_kind(self):
        text = os.path.join(self.dir, "notes.fits")
        with open(text, "w") as handle:
            handle.write("not a FITS file\n" * 300)
        image = os.path.join(self.dir, "image.fits")
        fits.PrimaryHDU(np.zeros((4, 5), dtype=np.int32)).writeto(image, overwrite=True)
        no_table = os.path.join(self.dir, "no_table.fits")
        with fits.open(self.standard, do_not_scale_image_data=True) as hdus:
            fits.HDUList([hdus[0].copy()]).writeto(no_table, overwrite=True)
        cut = os.path.join(self.dir, "cut.fits")
        with open(self.default, "rb") as handle:
            data = handle.read()
        with open(cut, "wb") as handle:
            handle.write(data[:2880 * 2])
        cases = [  # file, words of the message
            (text, "not a FITS file"),
            (image, "not a skanvert scan"),
            (no_table, "no \"Scan_params\" table"),
            (cut, "image data"),
            (os.path.join(self.dir, "missing.fits"), "cannot be read"),
            (self.dir, "cannot be read"),
        ]
        for path, words in cases:
            with self.subTest(os.path.basename(path)):
                picture = os.path.join(self.dir, "wrong.png")
                done = run(path, "-o", picture, "--thumbnail")
                self.assertEqual(done.returncode, 1)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(words, done.stderr)
                self.assertIn(path, done.stderr)
                self.assertFalse(os.path.exists(picture))

    def test_batch(self):
        """One process draws every line; a failing line is named and the others are still drawn."""
        folder = os.path.join(self.dir, "batch")
        os.makedirs(folder, exist_ok=True)
        text = os.path.join(folder, "notes.fits")
        with open(text, "w") as handle:
            handle.write("not a FITS file\n" * 300)
        named = [os.path.join(folder, name) for name in ("a.png", "a.thumb.png")]
        lines = [  # line, pictures it writes, words of its message ("" when drawn)
            ("\t".join([self.default, *named, "CLIPPED"]), named, ""),
            (text, [], "not a FITS file"),
            ("", [], ""),
            (self.standard + "\t" + os.path.join(folder, "b.png"),
             [os.path.join(folder, "b.png"), self.standard[:-5] + ".thumb.png"], ""),
            ("\t".join([self.default, os.path.join(folder, "missing", "c.png")]), [], "cannot write"),
            ("\t".join([self.default, "", "", "", "extra"]), [], "not FITS"),
        ]
        listing = os.path.join(folder, "list")
        with open(listing, "w") as handle:
            handle.write("".join(line + "\n" for line, _, _ in lines))
        for source in (["--batch", listing], ["--batch=-"]):
            with self.subTest(source=source[-1]):
                for _, written, _ in lines:
                    for path in written:
                        if os.path.exists(path):
                            os.remove(path)
                with open(listing) as handle:
                    done = subprocess.run([ARGS.quicklook, *source], stdin=handle, capture_output=True, text=True)
                self.assertEqual(done.returncode, 1, done.stderr)
                expected = [f"skanvert-quicklook: line {n}: " for n, (_, _, words) in enumerate(lines, 1) if words]
                self.assertEqual([m[:len(e)] for m, e in zip(done.stderr.splitlines(), expected)], expected)
                self.assertEqual(len(done.stderr.splitlines()), len(expected), done.stderr)
                for n, (_, written, words) in enumerate(lines, 1):
                    if words:
                        self.assertIn(words, done.stderr.splitlines()[expected.index(
                            f"skanvert-quicklook: line {n}: ")])
                    for path in written:
                        self.assertIn(f"wrote {path}", done.stdout.splitlines())
                        self.assertEqual(Image.open(path).size[1] in (160, 1298, 882, 800, 500), True)
        self.assertGreater(count_colour(Image.open(named[0]), RED, (0, 0, 1300, 45)), 50, "flags in the heading")
        self.assertEqual(run("--batch", listing, self.default).returncode, 2)

    def test_usage_errors(self):
        cases = [[], ["--bogus", self.default], [self.default, self.standard], [self.default, "-o"],
                 ["--summary", self.default, "--thumbnail"], ["--batch", "-", "--thumbnail"]]
        for args in cases:
            with self.subTest(args=args):
                done = run(*args)
                self.assertEqual(done.returncode, 2)
                self.assertIn("usage: skanvert-quicklook", done.stderr)

    def test_default_names_and_pictures_that_cannot_be_written(self):
        folder = os.path.join(self.dir, "names")
        os.makedirs(folder)
        fits_path = os.path.join(folder, "scan.FITS")
        with open(self.default, "rb") as source, open(fits_path, "wb") as target:
            target.write(source.read())
        done = run(fits_path, "--thumbnail")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(os.listdir(folder)), ["scan.FITS", "scan.png", "scan.thumb.png"])
        # The FITS file itself (by another name too) is never drawn over.
        os.link(fits_path, os.path.join(folder, "alias.fits"))
        for args in (["-o", fits_path], ["--thumbnail=" + os.path.join(folder, "alias.fits")]):
            with self.subTest(args=args):
                done = run(fits_path, *args)
                self.assertEqual(done.returncode, 1)
                self.assertIn("is the FITS file being drawn", done.stderr)
                with open(fits_path, "rb") as handle:
                    self.assertEqual(handle.read(2880)[:9], b"SIMPLE  =")
        os.unlink(os.path.join(folder, "alias.fits"))
        missing = run(fits_path, "-o", os.path.join(folder, "no", "such", "folder.png"))
        self.assertEqual(missing.returncode, 1)
        self.assertIn("cannot write", missing.stderr)
        # A folder that may not be written: the old picture stays, nothing is left beside it.
        old = open(os.path.join(folder, "scan.png"), "rb").read()
        os.chmod(folder, 0o555)
        try:
            if os.access(folder, os.W_OK):
                self.skipTest("running as a user who may write anywhere")  # root ignores the mode
            done = run(fits_path)
            self.assertEqual(done.returncode, 1)
            self.assertIn("cannot write", done.stderr)
        finally:
            os.chmod(folder, 0o755)
        self.assertEqual(open(os.path.join(folder, "scan.png"), "rb").read(), old)
        self.assertEqual(sorted(os.listdir(folder)), ["scan.FITS", "scan.png", "scan.thumb.png"])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--quicklook", required=True)
    parser.add_argument("--skanvert", required=True)
    parser.add_argument("--vekgen", required=True)
    ARGS, rest = parser.parse_known_args()
    for name in ("quicklook", "skanvert", "vekgen"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
