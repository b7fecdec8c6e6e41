#!/usr/bin/env bash
# Times vekinfo on a large recording against reading the file once:
#   bash bench/vekinfo.sh [FRAMES]     (default 800000 frames, about 600 MB)
# Builds an optimised copy in build-bench/, writes the recording once (kept in
# build-bench/recordings/) and prints the median of five warm runs of each.
set -euo pipefail
cd "$(dirname "$0")/.."
frames="${1:-800000}"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSKANVERT_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target vekgen vekinfo >/dev/null
mkdir -p build-bench/recordings
rec="build-bench/recordings/vekinfo-$frames.dat"
[ -f "$rec" ] || build-bench/vekgen --frames="$frames" --gain-step=1000:1,$((frames / 2)):2 "$rec" >/dev/null
median() {  # median wall time in seconds of five runs of "$@"
    local t=()
    for _ in 1 2 3 4 5; do
        local s=$EPOCHREALTIME
        "$@" >/dev/null
        t+=("$(awk -v s="$s" -v e="$EPOCHREALTIME" 'BEGIN { print e - s }')")
    done
    printf '%s\n' "${t[@]}" | sort -n | sed -n 3p
}
cat "$rec" >/dev/null
printf 'recording: %s (%s bytes)\n' "$rec" "$(stat -c %s "$rec")"
printf 'cat FILE > /dev/null  %8.3f s\n' "$(median cat "$rec")"
printf 'vekinfo FILE          %8.3f s\n' "$(median build-bench/vekinfo "$rec")"
