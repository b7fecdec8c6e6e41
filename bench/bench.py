#!/usr/bin/python3
"""Benchmark of skanvert against the time it takes to read a recording once.

Generates recordings with vekgen (once, kept in the build folder), then in one
run measures the median wall time of `cat FILE > /dev/null` (the floor) and of
skanvert in modes 0, 1 and 2 (smoothing 20, debug off, output to a temporary
folder), prints each median with its ratio to the floor and the peak resident
memory of each mode, the ratio of mode 2 to mode 0 on a recording whose gain
steps are on two status words only (the factors differ by channel group),
and the time per frame at 20,000, 80,000 and 160,000 frames. Run it with
bench/run.sh.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def timed(cmd, repeats, stdout=subprocess.DEVNULL):
    """Median wall time in seconds of `repeats` runs (after one warm-up run)."""
    subprocess.run(cmd, stdout=stdout, stderr=subprocess.DEVNULL, check=False)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(cmd, stdout=stdout, stderr=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak_kib(cmd):
    """Peak resident set size in KiB of one run, from GNU time."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + cmd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        return int(report.read().strip().splitlines()[-1])


def timed_pair(first, second, repeats):
    """Median wall times of two commands run in turn (after one warm-up run
    each), so that both meet the same machine state."""
    for cmd in (first, second):
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    times = ([], [])
    for _ in range(repeats):
        for cmd, kept in zip((first, second), times):
            start = time.perf_counter()
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            kept.append(time.perf_counter() - start)
    return statistics.median(times[0]), statistics.median(times[1])


def generate(vekgen, folder, frames, steps, partial=False):
    """The recording of `frames` frames: plain, with gain steps on every
    status word over the middle third, or (partial) with steps on status
    words 85 and 88 (channels 9-16 and 33-40) over the middle half."""
    kind = "partial" if partial else "steps" if steps else ""
    name = os.path.join(folder, f"bench{frames}{kind}.dat")
    if not os.path.exists(name):
        cmd = [vekgen, f"--frames={frames}", "--channels=1-56", f"--crossing={frames * 0.0076365 / 2:.0f}"]
        if partial:
            cmd += [f"--gain-step={frames // 4}:1,{3 * frames // 4}:0", "--step-words=85,88"]
        elif steps:
            cmd.append(f"--gain-step={frames // 3}:1,{2 * frames // 3}:0")
        subprocess.run(cmd + [name], check=True)
    return name


def skanvert_cmd(skanvert, recording, mode, outdir):
    return [skanvert, f"-f={os.path.basename(recording)}", f"-in={os.path.dirname(recording)}/",
            f"-cf={recording[:-4]}.cfg", f"-amp={mode}", "-s=20", f"-out={outdir}/"]


def print_partial_ratio(args, frames, outdir):
    """Mode 2 against mode 0 on the recording with gain steps on two status
    words, the two run in turn."""
    partial = generate(args.vekgen, args.data, frames, steps=True, partial=True)
    mode0, mode2 = timed_pair(skanvert_cmd(args.skanvert, partial, 0, outdir),
                              skanvert_cmd(args.skanvert, partial, 2, outdir), args.repeats)
    print(f"gain steps on two status words ({frames:,} frames): mode 0 {mode0 * 1e3:.2f} ms, "
          f"mode 2 {mode2 * 1e3:.2f} ms")
    print(f"mode 2 / mode 0: {mode2 / mode0:.2f} (goal: at most 1.15)")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--skanvert", required=True)
    parser.add_argument("--vekgen", required=True)
    parser.add_argument("--data", required=True, help="folder for the generated recordings")
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--ratio-only", action="store_true",
                        help="measure only mode 2 against mode 0 on the recording with partial gain steps")
    args = parser.parse_args()
    os.makedirs(args.data, exist_ok=True)
    outdir = tempfile.mkdtemp(prefix="skanvert-bench-")
    try:
        frames = 80000
        plain = generate(args.vekgen, args.data, frames, steps=False)
        steps = generate(args.vekgen, args.data, frames, steps=True)
        size = os.path.getsize(plain)
        cases = [("mode 0", plain, 0), ("mode 1 (gain steps)", steps, 1), ("mode 2 (gain steps)", steps, 2)]

        if args.ratio_only:
            print_partial_ratio(args, frames, outdir)
            return 0
        print(f"recording: {frames} frames, {size / 1e6:.1f} MB, 56 channels")
        floor = timed(["cat", plain], args.repeats)
        print(f"{'read once (cat)':24s} {floor * 1e3:8.2f} ms   ratio 1.00")
        worst = 0.0
        for label, recording, mode in cases:
            cmd = skanvert_cmd(args.skanvert, recording, mode, outdir)
            t = timed(cmd, args.repeats)
            kib = peak_kib(cmd)
            worst = max(worst, t / floor)
            print(f"{'skanvert ' + label:24s} {t * 1e3:8.2f} ms   ratio {t / floor:4.2f}   peak {kib / 1024:6.1f} MiB")
        image = 56 * 2 * (frames // 20) * 4
        print(f"memory bound: file + 2 x image + 16 MiB = {(size + 2 * image) / 2**20 + 16:.1f} MiB")
        print(f"worst ratio to the floor: {worst:.2f} (goal: at most 1.5)")
        print()
        print_partial_ratio(args, frames, outdir)

        print("\ntime per frame (microseconds):")
        print(f"{'frames':>8s} {'cat':>8s} {'mode 0':>8s} {'mode 1':>8s} {'mode 2':>8s}")
        sizes = (20000, 80000, 160000)
        totals = {}
        for n in sizes:
            p = generate(args.vekgen, args.data, n, steps=False)
            s = generate(args.vekgen, args.data, n, steps=True)
            row = [timed(["cat", p], args.repeats)]
            for recording, mode in ((p, 0), (s, 1), (s, 2)):
                row.append(timed(skanvert_cmd(args.skanvert, recording, mode, outdir), args.repeats))
            totals[n] = row
            print(f"{n:8d} " + " ".join(f"{v / n * 1e6:8.3f}" for v in row))
        # What each further frame costs, the fixed costs of a run (starting
        # the program, writing the file) taken out: the slope between sizes.
        first, last = sizes[0], sizes[-1]
        slope = [(totals[last][i] - totals[first][i]) / (last - first) * 1e6 for i in range(4)]
        print(f"{'added':>8s} " + " ".join(f"{v:8.3f}" for v in slope) +
              f"   (per frame from {first} to {last} frames)")
    finally:
        shutil.rmtree(outdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
