#!/usr/bin/env bash
# Benchmark of the quick-look pictures:
#   bash bench/pictures.sh [WORKDIR] [--full]     (default: build-bench/pictures)
# 1. CPU per picture plus thumbnail (user + system time of the process and its
#    children, best of RUNS runs) at 3,000 and 80,000 frames, both layouts, for
#    the native renderer and the Python one (run as a program, with its start).
#    The native renderer also per picture in one --batch process of ten.
#    Sizes of the pictures beside their FITS files.
# 2. The archive workflow (snakemake -j 2) on 41 recordings (3 of 80,000
#    frames, 38 of 3,000 frames) with pictures=false and pictures=true: wall
#    time and CPU time of the whole run, and their ratio.
# 3. With --full, the same two runs on 50 recordings of 80,000 frames (3 GB).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$top/build-bench/pictures
full=0
for arg in "$@"; do
  case $arg in
    --full) full=1 ;;
    *) work=$arg ;;
  esac
done
RUNS=${RUNS:-5}
cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKANVERT_TESTS=OFF >/dev/null
cmake --build "$top/build-bench" -j"$(nproc)" --target skanvert vekgen vekinfo skanvert-quicklook >/dev/null
bin=$top/build-bench
mkdir -p "$work"
work=$(cd "$work" && pwd)

# cpu COMMAND...: the best user + system seconds of RUNS runs.
cpu() {
  /usr/bin/python3 - "$RUNS" "$@" <<'PY'
import resource, subprocess, sys
runs, command = int(sys.argv[1]), sys.argv[2:]
best = None
for _ in range(runs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    best = used if best is None else min(best, used)
print(f"{best:.3f}")
PY
}

echo "machine: $(nproc) cores; snakemake $(snakemake --version)"
echo "== CPU per picture + thumbnail (best of $RUNS), sizes"
mkdir -p "$work/single"
for frames in 3000 80000; do
  rec=$work/single/r$frames.dat
  [ -f "$rec" ] || "$bin/vekgen" --frames=$frames --overflow=3 "$rec" >/dev/null
  for layout in default standard; do
    out=$work/single/$layout
    mkdir -p "$out"
    opt=""; [ $layout = standard ] && opt=-layout=standard
    (cd "$work/single" && "$bin/skanvert" -f=r$frames.dat -cf=r$frames.cfg -out="$out/" $opt >/dev/null 2>&1)
    fits=$out/r$frames.fits
    native=$(cpu "$bin/skanvert-quicklook" "$fits" -o "$out/n$frames.png" --thumbnail "$out/n$frames.thumb.png")
    for i in $(seq 10); do printf '%s\t%s\t%s\n' "$fits" "$out/b$frames-$i.png" "$out/b$frames-$i.thumb.png"; done >"$out/list"
    batch=$(cpu "$bin/skanvert-quicklook" --batch "$out/list")
    batch=$(awk -v t="$batch" 'BEGIN { printf "%.3f", t / 10 }')
    python=$(RUNS=1 cpu /usr/bin/python3 "$top/tools/quicklook/skanvert_quicklook.py" "$fits" \
             -o "$out/p$frames.png" --thumbnail "$out/p$frames.thumb.png")
    printf '%6s frames %-8s native %6ss (in a batch of 10: %ss each)  python %6ss  (x%s)   FITS %8s B  native PNG %8s B (+%s B thumb)  python PNG %8s B\n' \
      "$frames" "$layout" "$native" "$batch" "$python" "$(awk -v a="$python" -v b="$native" 'BEGIN { printf "%.0f", a / b }')" \
      "$(stat -c %s "$fits")" "$(stat -c %s "$out/n$frames.png")" "$(stat -c %s "$out/n$frames.thumb.png")" \
      "$(stat -c %s "$out/p$frames.png")"
  done
done

# archive TREE OUT PICTURES: one workflow run from nothing; prints wall and CPU seconds.
archive() {
  rm -rf "$2"
  /usr/bin/python3 - "$top" "$bin" "$1" "$2" "$3" <<'PY'
import resource, subprocess, sys, time
top, bin, tree, out, pictures = sys.argv[1:]
t0 = time.time()
subprocess.run(["snakemake", "-s", f"{top}/workflow/Snakefile", "-j", "2", "--quiet", "all", "--config",
                f"input={tree}", f"output={out}", f"skanvert={bin}/skanvert", f"channels={tree}/../channels.cfg",
                f"pictures={pictures}"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{time.time() - t0:.2f}s wall {used.ru_utime + used.ru_stime:.2f}s CPU")
PY
}

# tree DIR: recordings copied from a few generated ones, a global configuration.
make_tree() {
  local dir=$1 big=$2 small=$3
  [ -f "$dir/.complete" ] && return 0
  rm -rf "$dir"; mkdir -p "$dir/seed" "$dir/tree/big" "$dir/tree/small"
  "$bin/vekgen" --frames=80000 --seed=1 "$dir/seed/big.dat" >/dev/null
  "$bin/vekgen" --frames=3000 --seed=2 "$dir/seed/small.dat" >/dev/null
  cp "$dir/seed/big.cfg" "$dir/channels.cfg"
  for i in $(seq -w 1 "$big"); do cp "$dir/seed/big.dat" "$dir/tree/big/rec$i.dat"; done
  for i in $(seq -w 1 "$small"); do cp "$dir/seed/small.dat" "$dir/tree/small/rec$i.dat"; done
  touch "$dir/.complete"
}

echo "== archive runs (snakemake -j 2)"
make_tree "$work/archive41" 3 38
cat "$work"/archive41/tree/*/*.dat >/dev/null
# ratio WITHOUT WITH: the with-pictures run's wall and CPU time over the run without.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
    printf "pictures=true / pictures=false: wall x%.2f, CPU x%.2f", y[1] / x[1], y[3] / x[3] }'
}
without=$(archive "$work/archive41/tree" "$work/archive41/out" false)
with=$(archive "$work/archive41/tree" "$work/archive41/out" true)
echo "41 recordings  pictures=false: $without"
echo "41 recordings  pictures=true:  $with"
echo "41 recordings  $(ratio "$without" "$with")"
if [ $full = 1 ]; then
  make_tree "$work/archive50" 50 0
  cat "$work"/archive50/tree/*/*.dat >/dev/null
  without=$(archive "$work/archive50/tree" "$work/archive50/out" false)
  with=$(archive "$work/archive50/tree" "$work/archive50/out" true)
  echo "50 x 80,000    pictures=false: $without"
  echo "50 x 80,000    pictures=true:  $with"
  echo "50 x 80,000    $(ratio "$without" "$with")"
fi
