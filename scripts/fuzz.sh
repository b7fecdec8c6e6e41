#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer), writes their seed corpora, and runs each
# target for a bounded time. Any finding (a crash, a sanitizer report, a
# leak, a failed oracle, an input that runs too long or takes too much
# memory) fails the script; the input that caused it is kept in
# build-fuzz/findings/ and can be replayed with
#   build-fuzz/fuzz/fuzz_<target> build-fuzz/findings/<file>
#
# Usage: scripts/fuzz.sh [SECONDS [TARGET ...]]
#   SECONDS  fuzzing time per target (default 60, or $FUZZ_SECONDS)
#   TARGET   recording_reader, text_tables, command_line, conversion (default all)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${FUZZ_SECONDS:-60}}"
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(recording_reader text_tables command_line conversion)

# Longest input per target: a recording needs its 4096-byte header and some
# frames; the other inputs are short texts.
declare -A max_len=([recording_reader]=16384 [text_tables]=8192 [command_line]=4096 [conversion]=4096)

# Absolute paths: the conversion target works in a folder of its own.
build="$PWD/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSKANVERT_FUZZ=ON -DSKANVERT_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

rm -rf "$build/seeds" "$build/corpus" "$build/findings"
python3 scripts/fuzz_seeds.py "$build/seeds"
mkdir -p "$build/findings"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
  [ -n "${max_len[$target]:-}" ] || { echo "unknown fuzz target: $target" >&2; exit 2; }
  echo "== fuzz_$target: ${seconds}s"
  mkdir -p "$build/corpus/$target"
  # The targets' own output is closed (-close_fd_mask=3); libFuzzer's and
  # the sanitizers' reports still reach standard error.
  if ! "$build/fuzz/fuzz_$target" "$build/corpus/$target" "$build/seeds/$target" \
      -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=30 -rss_limit_mb=4096 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      2> >(awk '/^###### Recommended dictionary/ { skip = 1 } !skip && !/^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)/
                /^###### End of recommended dictionary/ { skip = 0 }' >&2); then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}; inputs in $build/findings/:" >&2
  ls -l "$build/findings" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, ${seconds}s each, no finding"
