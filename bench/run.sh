#!/usr/bin/env bash
# Builds skanvert and vekgen optimised, then runs the benchmark:
#   bash bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSKANVERT_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target skanvert vekgen >/dev/null
/usr/bin/python3 bench/bench.py --skanvert build-bench/skanvert --vekgen build-bench/vekgen --data build-bench/recordings "$@"
