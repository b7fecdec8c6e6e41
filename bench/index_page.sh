#!/usr/bin/env bash
# Benchmark of the archive's index pages: a 40,000-row catalog against a
# 40-row archive (see bench/index_page.py for what it measures).
#   bash bench/index_page.sh [--rows N] [--repeats N]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKANVERT_TESTS=OFF >/dev/null
cmake --build "$top/build-bench" -j"$(nproc)" --target skanvert vekgen vekinfo >/dev/null
old=$(mktemp --suffix=.py)
trap 'rm -f "$old"' EXIT
# The one-page builder before the month pages, for the side-by-side load time.
git -C "$top" show 'cc99006:workflow/scripts/index_page.py' >"$old" 2>/dev/null || old=""
/usr/bin/python3 "$top/bench/index_page.py" --bin "$top/build-bench" ${old:+--old "$old"} "$@"
