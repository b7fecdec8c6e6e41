#!/usr/bin/env bash
# Installs what is missing, builds skanvert and runs every test: unit tests,
# whole runs against the reference outputs, and the checks by FITS readers.
#   bash scripts/test.sh [cmake option ...]   (e.g. -DSKANVERT_WERROR=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build "$@"
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
