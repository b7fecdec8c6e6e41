#!/usr/bin/env python3
"""Lists the tests a ctest run skipped, each with its reason, from the run's
JUnit file (ctest --output-junit FILE):

    python3 scripts/skipped_tests.py FILE

A GoogleTest skip's reason is the text GTEST_SKIP() printed (between the
"FILE:LINE: Skipped" line and "[  SKIPPED ]"), with the place in the source;
a test skipped by ctest itself (disabled, say) gets ctest's own message.
Prints nothing when no test was skipped; exit status 0 unless FILE cannot
be read (1)."""

import os
import re
import sys
import xml.etree.ElementTree as ET

SKIP_LINE = re.compile(r"^(?P<where>\S+:\d+): Skipped$")


def skip_reason(output):
    """The reason GoogleTest printed for a skip, with its FILE:LINE, or ''."""
    reason, where, inside = [], "", False
    for line in output.splitlines():
        match = SKIP_LINE.match(line.strip())
        if match:
            inside, where = True, match.group("where")
            if os.path.isabs(where):  # the source relative to here, where it lies below
                relative = os.path.relpath(where)
                where = where if relative.startswith("..") else relative
            continue
        if inside:
            if line.startswith("[  SKIPPED ]"):
                break
            if line.strip():
                reason.append(line.strip())
    text = " ".join(reason) or ("no reason given" if where else "")
    return f"{text} ({where})" if where else text


def skipped_tests(path):
    """(name, reason) for each skipped test case of the JUnit file, in order."""
    found = []
    for case in ET.parse(path).getroot().iter("testcase"):
        skipped = case.find("skipped")
        if skipped is None:
            continue
        reason = skip_reason(case.findtext("system-out") or "")
        if not reason:
            message = skipped.get("message", "")
            reason = "no reason given" if message in ("", "SKIP_REGULAR_EXPRESSION_MATCHED") else message
        found.append((case.get("name", "?"), reason))
    return found


def main(argv):
    if len(argv) != 2:
        print("usage: skipped_tests.py JUNIT_FILE", file=sys.stderr)
        return 2
    try:
        found = skipped_tests(argv[1])
    except (OSError, ET.ParseError) as error:
        print(f"skipped_tests.py: cannot read the test results {argv[1]}: {error}", file=sys.stderr)
        return 1
    if found:
        print(f"\nSkipped tests ({len(found)}) and why:")
        for name, reason in found:
            print(f"  {name}: {reason}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
