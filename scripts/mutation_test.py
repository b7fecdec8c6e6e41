#!/usr/bin/env python3
"""Mutation testing: how many small faults planted in src/ do the tests catch?

Each mutant is one change of one line of src/: the line that contains a
given text (its n-th such line), with that text replaced. The mutants are
listed below by the kind of fault they stand for. For each mutant the
script changes the file, builds the tree in its own build folder, runs
every test program of the suite (the developer's suite: the valgrind
memory checks and the FITS readers' check are left out unless asked for),
and puts the file back. A mutant is caught when a test fails, a test
program crashes or exceeds its time; a mutant whose text no longer stands
in the file is reported as stale (the list needs updating), one that does
not build as not built; neither counts.

    python3 scripts/mutation_test.py                 # all mutants
    python3 scripts/mutation_test.py --list          # the mutants, numbered
    python3 scripts/mutation_test.py --only 4,19-21  # some of them

It prints one line per mutant and ends with "caught C of T (P%)". It
restores each mutated file, also when interrupted, but while it runs the
tree holds a mutant: to keep working meanwhile, mutate a copy,

    mkdir -p build-mut/tree && git archive HEAD | tar -x -C build-mut/tree
    python3 scripts/mutation_test.py --source build-mut/tree

(--source DIR also measures an older commit's tests against the same
mutants). Each mutant takes a build of one file and a run of the suite:
about half a minute on two cores.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

# (file under src/, text of the line, replacement[, which matching line, 1 = first])
MUTANTS = [
    # Day numbers and the local-to-universal hour.
    ("astro/calendar.cpp", "const std::int64_t k = (m - 14) / 12;", "const std::int64_t k = (m - 13) / 12;"),
    ("astro/calendar.cpp", "(1461 * (y + k + 4800)) / 4", "(1461 * (y + k + 4801)) / 4"),
    ("astro/calendar.cpp", "(3 * ((y + k + 4900) / 100)) / 4", "(3 * ((y + k + 4800) / 100)) / 4"),
    ("astro/calendar.cpp", "if (hour < 0) hour += 24;", "if (hour <= 0) hour += 24;"),
    ("astro/calendar.cpp", "observationDay >= summer.firstDay", "observationDay > summer.firstDay"),
    ("astro/calendar.cpp", "observationDay <= summer.lastDay", "observationDay < summer.lastDay"),
    ("astro/calendar.cpp", "(summerTime ? 4 : 3)", "(summerTime ? 3 : 4)"),
    ("astro/calendar.cpp", "    return 13;", "    return 12;"),
    ("astro/calendar.cpp", "return m * 60 + s + h * 3600;", "return m * 60 + h * 3600;"),
    # The ephemeris, changed by an arcsecond or less.
    ("astro/ephemeris.cpp", "L += 6.5 * sin(Dl * D);", "L += 6.4 * sin(Dl * D);"),
    ("astro/ephemeris.cpp", "L += 6.4 * sin((231.19", "L += 6.3 * sin((231.19"),
    ("astro/ephemeris.cpp", "L -= 20.5;", "L -= 20.4;"),
    ("astro/ephemeris.cpp", "+ 9.2 * cos(omega * D) / 3600", "+ 9.3 * cos(omega * D) / 3600"),
    ("astro/ephemeris.cpp", "(50.25 / 3600)", "(50.26 / 3600)"),
    ("astro/ephemeris.cpp", "(0.2665685 / r) * 3600", "(0.2665686 / r) * 3600"),
    ("astro/ephemeris.cpp", "0.000031 * cos(Dl * D)", "0.000032 * cos(Dl * D)"),
    ("astro/ephemeris.cpp", "if (alpha < 0) alpha += 360;", "if (alpha < -1) alpha += 360;"),
    ("astro/ephemeris.cpp", "dayNumber(year, month, day) - 15019.5", "dayNumber(year, month, day) - 15019.0"),
    # The recording header: limits of the start stamp and the local hour.
    ("recording/recording.cpp", "start.day > 31", "start.day > 30"),
    ("recording/recording.cpp", "start.day < 1 ||", "start.day < 0 ||"),
    ("recording/recording.cpp", "header.localHour > 99", "header.localHour > 23"),
    ("recording/recording.cpp", "header.localHour < 0 ||", "header.localHour < -1 ||"),
    ("recording/recording.cpp", "start.year > 9999", "start.year > 9998"),
    ("recording/recording.cpp", '"%04d/%02d/%02d", header.year, header.month, header.day',
     '"%04d/%02d/%02d", header.year, header.day, header.month'),
    ("recording/recording.cpp", "dot == std::string::npos || dot == 0", "dot == std::string::npos"),
    ("recording/recording.cpp", "std::min<size_t>(2, local.size())", "std::min<size_t>(3, local.size())"),
    # Samples: overflow bound, blocks tested, gain factors.
    ("recording/samples.cpp", "))) > kOverflowBound) return 1;", "))) >= kOverflowBound) return 1;"),
    ("recording/samples.cpp", "for (int block = 0; block < 4; ++block) {", "for (int block = 0; block < 3; ++block) {"),
    ("recording/samples.cpp", "{1.0, 0.5, 0.25, 0.125, 0.0625}", "{1.0, 0.5, 0.25, 0.125, 0.125}"),
    ("recording/samples.h", "low < 3 || low > 17", "low < 3 || low > 15"),
    # Gain-step correction and the window test.
    ("processing/selection.cpp", "if (j < 2 || j + 3 > count - 1) return;", "if (j < 2 || j + 3 > count - 2) return;"),
    ("processing/selection.cpp", "4 * v[j + 1] + v[j + 2] - 3 * v[j + 3]", "3 * v[j + 1] + v[j + 2] - 3 * v[j + 3]"),
    ("processing/selection.cpp", "(v[j - 2] + v[j - 1]) / den", "(v[j - 2] + v[j - 2]) / den"),
    ("processing/selection.cpp", "v[j] = (v[j - 1] + v[j + 1]) * 0.5;", "v[j] = v[j - 1];"),
    ("processing/selection.cpp", "pixels, d + q, lines);", "pixels, d, lines);"),
    ("processing/selection.cpp", "pixels, d - q, lines);", "pixels, d, lines);"),
    ("processing/selection.cpp", " || here != status.last[static_cast<size_t>(d)][word]", ""),
    ("processing/selection.cpp", "sum / static_cast<double>(length - 3)", "sum / static_cast<double>(length - 2)"),
    ("processing/selection.cpp", "for (std::int64_t i = start; i < stop; ++i) {",
     "for (std::int64_t i = start; i < stop - 1; ++i) {"),
    ("processing/selection.cpp", "if (stop > pixels) stop = pixels - 2;", "if (stop > pixels) stop = pixels - 1;"),
    ("processing/selection.cpp", "if (start < 2) start = 2;", "if (start < 1) start = 1;"),
    # The selection: use flags, onoff, sigma, frequency 0.
    ("processing/selection.cpp", "std::fabs(flag) < 1.0f ? 0 : 1", "std::fabs(flag) <= 1.0f ? 0 : 1"),
    ("processing/selection.cpp", "coefficientCount == 0 || settings.onoff == 0",
     "coefficientCount == 0 && settings.onoff == 0"),
    ("processing/selection.cpp", "!(geometry.sigma > channel.test)", "!(geometry.sigma >= channel.test)"),
    ("processing/selection.cpp", "if (frequency == 0 || !std::isfinite(frequency)) continue;",
     "if (!std::isfinite(frequency)) continue;"),
    # Smoothing: sum widths, overflow of the frames after the last pixel,
    # gain-step mode threshold, units, median.
    ("processing/smoothing.cpp", "n <= 2047 : n <= 32767", "n <= 4095 : n <= 32767"),
    ("processing/smoothing.cpp", "frame = pixels * n; frame < frames; ++frame",
     "frame = pixels * n; frame < frames - 1; ++frame"),
    ("processing/smoothing.cpp", "mode == kAmpAutomatic && smooth > 10", "mode == kAmpAutomatic && smooth > 11", 2),
    ("processing/smoothing.cpp", "result.unit = scaled ? 16.0 : 1.0;", "result.unit = scaled ? 8.0 : 1.0;"),
    ("processing/smoothing.cpp", "return c > high ? high : (c > low ? c : low);",
     "return c > high ? high : (c > low ? low : c);"),
    ("processing/smoothing.cpp", "low[w] < -kOverflowBound;", "low[w] < -kOverflowBound - 1;"),
    ("processing/smoothing.h", "return smooth > 0 ? smooth : kDefaultSmoothing;",
     "return smooth > 1 ? smooth : kDefaultSmoothing;"),
    # Scan geometry.
    ("processing/geometry.cpp", "(dt / settings.dspdt) / n - 1;", "(dt / settings.dspdt) / n;"),
    ("processing/geometry.cpp", "geometry.crpix1 > static_cast<float>(pixels)",
     "geometry.crpix1 >= static_cast<float>(pixels)"),
    ("processing/geometry.cpp", "(1 - settings.valh / 3600.0)", "(1 + settings.valh / 3600.0)"),
    ("processing/geometry.cpp", 'find("SUN") == std::string::npos) geometry.sigma = 10.0f;',
     'find("SUN") == std::string::npos) geometry.sigma = 1.0f;'),
    ("processing/geometry.cpp", "std::trunc(v * 0.01 - 100 * degrees)", "std::trunc(v * 0.01 - 99 * degrees)"),
    ("processing/geometry.cpp", "integerPart(2 * ephemeris.solar_r / geometry.cdelt1)",
     "integerPart(ephemeris.solar_r / geometry.cdelt1)"),
    # Settings: defaults of keys and options.
    ("driver/settings.cpp", 'file.GetFloat("valh", 10)', 'file.GetFloat("valh", 0)'),
    ("driver/settings.cpp", '"-valh", settings.valh, 10)', '"-valh", settings.valh, 0)'),
    ("driver/settings.cpp", 'file.GetFloat("sigma", 1)', 'file.GetFloat("sigma", 2)'),
    # Output: calibration defaults.
    ("fits/output.cpp", '!= std::string::npos ? 220.0f : 6000.0f', '!= std::string::npos ? 6000.0f : 6000.0f'),
    ("tables/tables.cpp", "282.0L / f + 0.2L", "282.0L / f + 0.3L"),
    # Further variants of the faults above.
    ("processing/selection.cpp", "const std::int64_t q = shift / n;", "const std::int64_t q = (shift + n / 2) / n;"),
    ("processing/selection.cpp", "const std::int64_t q = shift / n;", "const std::int64_t q = shift / (n + 1);"),
    ("processing/selection.cpp", "std::fabs(flag) < 1.0f ? 0 : 1", "flag < 1.0f ? 0 : 1"),
    ("processing/smoothing.cpp", "frame = pixels * n; frame < frames; ++frame",
     "frame = pixels * n + 1; frame < frames; ++frame"),
    ("processing/smoothing.cpp", "n <= 2047 : n <= 32767", "n <= 2100 : n <= 32767"),
    ("fits/output.cpp", '.find("MOON") != std::string::npos', '.find("Moon") != std::string::npos'),
    ("fits/output.cpp", '!= std::string::npos ? 220.0f : 6000.0f', '!= std::string::npos ? 221.0f : 6000.0f'),
    ("driver/settings.cpp", 'file.GetFloat("delta", 0)', 'file.GetFloat("delta", 1)'),
]

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_only(text, count):
    chosen = set()
    for part in text.split(","):
        if "-" in part:
            a, b = part.split("-")
            chosen.update(range(int(a), int(b) + 1))
        else:
            chosen.add(int(part))
    return sorted(i for i in chosen if 1 <= i <= count)


def locate(lines, text, nth):
    """Index of the nth line that contains text, or None."""
    seen = 0
    for i, line in enumerate(lines):
        if text in line:
            seen += 1
            if seen == nth:
                return i
    return None


def run(cmd, timeout=None, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout, **kw)


def test_programs(build):
    """The test programs the build's CTest configuration runs (a program left
    from an earlier configuration is not among them)."""
    folder = os.path.join(build, "tests")
    with open(os.path.join(folder, "CTestTestfile.cmake")) as f:
        names = sorted(set(re.findall(r"(test_\w+)\[1\]_include", f.read())))
    return [os.path.join(folder, n) for n in names if os.access(os.path.join(folder, n), os.X_OK)]


def run_suite(build, args, timeouts):
    """Runs the test programs, quickest first, --jobs at a time; stops at the
    first failure. Returns (passed, what failed)."""
    queue = sorted(test_programs(build), key=lambda p: timeouts.get(p, 0))
    running = []  # (process, program, deadline)
    failure = ""
    while (queue or running) and not failure:
        while queue and len(running) < int(args.jobs):
            program = queue.pop(0)
            cmd = [program, "--gtest_brief=1"] + (["--gtest_filter=" + args.gtest_filter] if args.gtest_filter else [])
            process = subprocess.Popen(cmd, cwd=build, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       start_new_session=True)
            running.append((process, program, time.monotonic() + max(60.0, 5 * timeouts.get(program, 60.0))))
        time.sleep(0.05)
        for entry in list(running):
            process, program, deadline = entry
            name = os.path.basename(program)
            if process.poll() is None:
                if time.monotonic() > deadline:
                    failure = name + " timed out"
                continue
            running.remove(entry)
            output = process.stdout.read().decode(errors="replace")
            if process.returncode != 0:
                failed = re.findall(r"\[  FAILED  \] (\S+)", output)
                failure = name + ": " + (failed[0] if failed else "status %d" % process.returncode)
                break
    for process, _, _ in running:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        process.stdout.close()
    if failure:
        return False, failure
    if args.readers:
        r = run(["ctest", "--test-dir", build, "-R", "^readers$", "--output-on-failure"])
        if r.returncode != 0:
            return False, "readers"
    return True, ""


def stop(*_):
    """SIGTERM ends the run like an interrupt, so the mutated file is restored."""
    raise KeyboardInterrupt()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", default=ROOT, help="the tree to mutate (default: this repository)")
    parser.add_argument("--build", help="build folder (default: SOURCE/build-mutation)")
    parser.add_argument("--only", help="mutant numbers, e.g. 1,4-9")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--readers", action="store_true", help="also run the FITS readers' check")
    parser.add_argument("--gtest-filter", help="passed to every test program (e.g. -Runs/Leaks.*)")
    parser.add_argument("--jobs", default="2", help="build jobs and test programs run at once (default 2)")
    args = parser.parse_args()

    if args.list:
        for i, m in enumerate(MUTANTS, 1):
            print("%2d %s: %r -> %r%s" % (i, m[0], m[1], m[2], " (line %d of its kind)" % m[3] if len(m) > 3 else ""))
        return 0
    source = os.path.abspath(args.source)
    build = os.path.abspath(args.build or os.path.join(source, "build-mutation"))
    chosen = parse_only(args.only, len(MUTANTS)) if args.only else list(range(1, len(MUTANTS) + 1))

    # Optimised as usual but without debug information, which makes linking
    # the test programs after every change slower.
    configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG", "-DSKANVERT_FULL_TESTS=OFF"]
    if run(configure).returncode != 0 or run(["cmake", "--build", build, "-j", args.jobs]).returncode != 0:
        print("the unchanged tree does not build")
        return 2
    # The unchanged tree must pass; its times set each program's time limit.
    timeouts = {}
    for program in test_programs(build):
        started = time.monotonic()
        cmd = [program, "--gtest_brief=1"] + (["--gtest_filter=" + args.gtest_filter] if args.gtest_filter else [])
        if run(cmd, cwd=build).returncode != 0:
            print("the unchanged tree fails %s" % os.path.basename(program))
            return 2
        timeouts[program] = time.monotonic() - started
    print("unchanged tree: every test passes (%.0f s)" % sum(timeouts.values()), flush=True)

    caught = total = stale = unbuilt = 0
    survivors = []
    signal.signal(signal.SIGTERM, stop)
    for number in chosen:
        mutant = MUTANTS[number - 1]
        path = os.path.join(source, "src", mutant[0])
        nth = mutant[3] if len(mutant) > 3 else 1
        with open(path) as f:
            original = f.read()
        lines = original.split("\n")
        at = locate(lines, mutant[1], nth)
        if at is None:
            stale += 1
            print("%2d STALE     %s: %r not found" % (number, mutant[0], mutant[1]), flush=True)
            continue
        lines[at] = lines[at].replace(mutant[1], mutant[2], 1)
        started = time.monotonic()
        try:
            with open(path, "w") as f:
                f.write("\n".join(lines))
            built = run(["cmake", "--build", build, "-j", args.jobs]).returncode == 0
            if not built:
                unbuilt += 1
                verdict, why = "NOT BUILT", ""
            else:
                total += 1
                passed, why = run_suite(build, args, timeouts)
                if passed:
                    verdict = "SURVIVED"
                    survivors.append(number)
                else:
                    verdict = "caught"
                    caught += 1
        finally:
            with open(path, "w") as f:
                f.write(original)
            # The restored file must be older than nothing built from it.
            os.utime(path)
        print("%2d %-9s %s:%d %r -> %r  %s (%.0f s)" % (number, verdict, mutant[0], at + 1, mutant[1], mutant[2], why,
                                                       time.monotonic() - started), flush=True)
    run(["cmake", "--build", build, "-j", args.jobs])
    if stale or unbuilt:
        print("%d stale, %d not built (not counted)" % (stale, unbuilt))
    if survivors:
        print("survivors: " + ",".join(str(n) for n in survivors))
    print("caught %d of %d (%.0f%%)" % (caught, total, 100.0 * caught / total if total else 0.0))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
