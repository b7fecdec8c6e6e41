#!/usr/bin/python3
"""Benchmark of skanvert against the time it takes to read a recording once.

Generates recordings with vekgen (once, kept in the build folder), then in one
run measures the median wall time of `cat FILE > /dev/null` (the floor) and of
skanvert in modes 0, 1 and 2 (smoothing 20, debug off, output to a temporary
folder), prints each median with its ratio to the floor and the peak resident
memory of each mode, and the time per frame at 20,000, 80,000 and 160,000
frames. Run it with bench/run.sh.
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


def generate(vekgen, folder, frames, steps):
    name = os.path.join(folder, f"bench{frames}{'steps' if steps else ''}.dat")
    if not os.path.exists(name):
        cmd = [vekgen, f"--frames={frames}", "--channels=1-56", f"--crossing={frames * 0.0076365 / 2:.0f}"]
        if steps:
            cmd.append(f"--gain-step={frames // 3}:1,{2 * frames // 3}:0")
        subprocess.run(cmd + [name], check=True)
    return name


def skanvert_cmd(skanvert, recording, mode, outdir):
    return [skanvert, f"-f={os.path.basename(recording)}", f"-in={os.path.dirname(recording)}/",
            f"-cf={recording[:-4]}.cfg", f"-amp={mode}", "-s=20", f"-out={outdir}/"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--skanvert", required=True)
    parser.add_argument("--vekgen", required=True)
    parser.add_argument("--data", required=True, help="folder for the generated recordings")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    os.makedirs(args.data, exist_ok=True)
    outdir = tempfile.mkdtemp(prefix="skanvert-bench-")
    try:
        frames = 80000
        plain = generate(args.vekgen, args.data, frames, steps=False)
        steps = generate(args.vekgen, args.data, frames, steps=True)
        size = os.path.getsize(plain)
        cases = [("mode 0", plain, 0), ("mode 1 (gain steps)", steps, 1), ("mode 2 (gain steps)", steps, 2)]

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
