#!/usr/bin/env bash
# Benchmark of the archive workflow against the bare parallel loop:
#   bash bench/archive.sh [WORKDIR]        (default: build-bench/archive)
# 1. 1,000 small recordings (2,000 frames, 10 folders): the bare loop
#    find | xargs -P 2 skanvert ..., the workflow with -j 2, and its no-op
#    second run.
# 2. 50 full recordings (80,000 frames, 5 folders): the same two.
# 3. Planning of a 10,000-recording tree of zero-length stand-ins
#    (snakemake --dry-run: the scan, the batches and the job graph).
# Prints wall times and ratios. Needs about 5 GB in WORKDIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/build-bench/archive}
cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKANVERT_TESTS=OFF >/dev/null
cmake --build "$top/build-bench" -j"$(nproc)" --target skanvert vekgen vekinfo >/dev/null
bin=$top/build-bench
mkdir -p "$work"
work=$(cd "$work" && pwd)

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# make_tree DIR FOLDERS PER_FOLDER FRAMES: recordings copied from a few
# generated ones (their bytes do not change the work), a global configuration.
make_tree() {
  local dir=$1 folders=$2 per=$3 frames=$4
  [ -f "$dir/.complete" ] && return 0
  rm -rf "$dir"
  mkdir -p "$dir/seed"
  for s in 1 2 3 4; do "$bin/vekgen" --frames="$frames" --seed=$s "$dir/seed/r$s.dat" >/dev/null; done
  cp "$dir/seed/r1.cfg" "$dir/channels.cfg"
  for f in $(seq -w 1 "$folders"); do
    mkdir -p "$dir/tree/f$f"
    for r in $(seq -w 1 "$per"); do cp "$dir/seed/r$(( (10#$r % 4) + 1 )).dat" "$dir/tree/f$f/rec$r.dat"; done
  done
  touch "$dir/.complete"
}

# bare_loop TREE OUT: the plain parallel loop over the same files, folder by
# folder as a user would type it (skanvert started straight from xargs).
bare_loop() {
  local tree=$1 out=$2 cfg
  cfg="$(dirname "$tree")/channels.cfg"
  for d in "$tree"/*/; do
    d=$(basename "$d")
    mkdir -p "$out/$d"
    (cd "$tree/$d" && find . -name '*.dat' -printf '%f\n' |
      xargs -P 2 -I{} "$bin/skanvert" -f={} -cf="$cfg" -out="$out/$d/" >/dev/null 2>&1)
  done
}

workflow() {
  local tree=$1 out=$2
  shift 2
  snakemake -s "$top/workflow/Snakefile" -j 2 --quiet all \
    --config input="$tree" output="$out" skanvert="$bin/skanvert" channels="$(dirname "$tree")/channels.cfg" "$@" \
    >/dev/null 2>&1
}

compare() {
  local label=$1 dir=$2
  cat "$dir"/tree/*/*.dat > /dev/null  # both runs start with the files cached
  local t0 t1 t2 t3
  rm -rf "$dir/out-bare"
  t0=$(now); bare_loop "$dir/tree" "$dir/out-bare"; t1=$(now)
  rm -rf "$dir/out-workflow"
  t2=$(now); workflow "$dir/tree" "$dir/out-workflow"; t3=$(now)
  local bare flow
  bare=$(elapsed "$t0" "$t1") flow=$(elapsed "$t2" "$t3")
  local t4 t5
  t4=$(now); workflow "$dir/tree" "$dir/out-workflow"; t5=$(now)
  # The share of the catalog's vekinfo columns: the same without vekinfo.
  rm -rf "$dir/out-noinfo"
  local t6 t7
  t6=$(now); workflow "$dir/tree" "$dir/out-noinfo" vekinfo=none; t7=$(now)
  printf '%-22s bare loop %6ss  workflow %6ss  ratio %4s  no-op rerun %5ss  without vekinfo %6ss\n' \
    "$label" "$bare" "$flow" "$(awk -v a="$flow" -v b="$bare" 'BEGIN { printf "%.2f", a / b }')" \
    "$(elapsed "$t4" "$t5")" "$(elapsed "$t6" "$t7")"
  # The same bytes both ways.
  (cd "$dir/out-bare" && find . -name '*.fits' | sort | while read -r f; do
     cmp -s "$f" "$dir/out-workflow/$f" || echo "differs: $f"; done) | head -3
}

echo "machine: $(nproc) cores; snakemake $(snakemake --version)"
make_tree "$work/small" 10 100 2000
compare "1,000 x 2,000 frames" "$work/small"
make_tree "$work/full" 5 10 80000
compare "50 x 80,000 frames" "$work/full"

# Planning: 10,000 zero-length stand-ins in 100 folders.
plan=$work/plan
if [ ! -f "$plan/.complete" ]; then
  rm -rf "$plan"; mkdir -p "$plan/tree"
  for f in $(seq -w 1 100); do
    mkdir -p "$plan/tree/y$f"
    (cd "$plan/tree/y$f" && touch $(seq -f 'rec%03g.dat' 1 100))
  done
  cp "$work/small/channels.cfg" "$plan/channels.cfg"
  touch "$plan/.complete"
fi
rm -rf "$plan/out"
t0=$(now)
snakemake -s "$top/workflow/Snakefile" -j 2 --dry-run --quiet all \
  --config input="$plan/tree" output="$plan/out" skanvert="$bin/skanvert" channels="$plan/channels.cfg" >/dev/null 2>&1
t1=$(now)
printf '%-22s planning (dry run) %ss\n' "10,000 stand-ins" "$(elapsed "$t0" "$t1")"
