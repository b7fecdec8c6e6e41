#!/usr/bin/env bash
# Installs what is missing, builds skanvert and runs every test: unit tests,
# whole runs against the reference outputs, the checks by FITS readers and
# vekinfo, the memory checks of whole runs under valgrind and the index page
# in headless Chromium (the last two are slow, so a plain developer build
# leaves them out: SKANVERT_FULL_TESTS). Arguments go to CMake, e.g.
#   bash scripts/test.sh -DSKANVERT_WERROR=ON
# At the end it lists the tests that were skipped, each with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh tests
cmake -S . -B build -DSKANVERT_FULL_TESTS=ON "$@"
cmake --build build -j"$(nproc)"
results="$PWD/build/test-results.xml"   # ctest's JUnit file: the skipped tests' reasons
rm -f "$results"
status=0
ctest --test-dir build --output-on-failure -j"$(nproc)" --output-junit "$results" || status=$?
/usr/bin/python3 scripts/skipped_tests.py "$results" || true
exit "$status"
