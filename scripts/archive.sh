#!/usr/bin/env bash
# Converts a whole archive of recordings: the mirrored tree of FITS files,
# one log per recording and the catalog, through the Snakemake workflow.
#   bash scripts/archive.sh ARCHIVE OUT [key=value ...] [snakemake options ...]
# key=value pairs are workflow settings (smooth=30, channels=FILE, ...; see
# workflow/config/config.yaml); arguments starting with '-' go to snakemake
# (e.g. --profile workflow/profiles/slurm, -j 8, -n). Runs on all cores by
# default. Started again after an interruption, it finishes what is left.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: bash scripts/archive.sh ARCHIVE OUT [key=value ...] [snakemake options ...]" >&2
  exit 2
fi
top="$(cd "$(dirname "$0")/.." && pwd)"
archive=$1 out=$2
shift 2
settings=() options=() profile_next=0
for arg in "$@"; do
  # Snakemake runs in OUT: a profile folder given relative to here is made absolute.
  if [ "$profile_next" = 1 ] && [ -d "$arg" ]; then arg=$(cd "$arg" && pwd); fi
  profile_next=0
  case $arg in
    --profile) profile_next=1; options+=("$arg") ;;
    --profile=*) p=${arg#--profile=}; [ -d "$p" ] && p=$(cd "$p" && pwd); options+=("--profile=$p") ;;
    -*) options+=("$arg") ;;
    *=*) settings+=("$arg") ;;
    *) options+=("$arg") ;;
  esac
done

bash "$top/scripts/setup.sh" archive
if [ ! -x "$top/build/skanvert" ] || [ ! -x "$top/build/vekinfo" ]; then
  bash "$top/scripts/setup.sh" demo
  cmake -S "$top" -B "$top/build" >/dev/null
  cmake --build "$top/build" -j"$(nproc)" --target skanvert vekinfo
fi

jobs=(-j "$(nproc)")
for opt in "${options[@]+"${options[@]}"}"; do
  case $opt in -j*|--jobs*|--cores*|-c*|--profile*) jobs=() ;; esac
done
snakemake -s "$top/workflow/Snakefile" --rerun-incomplete --quiet rules \
  "${jobs[@]+"${jobs[@]}"}" "${options[@]+"${options[@]}"}" \
  --config "input=$archive" "output=$out" "${settings[@]+"${settings[@]}"}"

# One line on what the archive holds now (not after a dry run).
if [ -f "$out/catalog.sqlite" ]; then
  /usr/bin/python3 - "$out/catalog.sqlite" <<'PY'
import sqlite3, sys
rows = dict(sqlite3.connect(sys.argv[1]).execute("SELECT status, count(*) FROM recordings GROUP BY status"))
print(f"catalog: {sum(rows.values())} recordings, {rows.get('converted', 0)} converted, {rows.get('failed', 0)} failed")
PY
fi
