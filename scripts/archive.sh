#!/usr/bin/env bash
# Converts a whole archive of recordings: the mirrored tree of FITS files,
# one log per recording and the catalog, through the Snakemake workflow.
#   bash scripts/archive.sh ARCHIVE OUT [key=value ...] [snakemake options ...]
# key=value pairs are workflow settings (smooth=30, channels=FILE, ...; see
# workflow/config/config.yaml); arguments starting with '-' go to snakemake
# (e.g. --profile workflow/profiles/slurm, -j 8, -n). Runs on all cores by
# default. Started again after an interruption, it finishes what is left.
# Shows the run's progress while it runs (a bar on a terminal, plain lines
# in a log) and the catalog's outcomes at the end; a refused setting ends it
# with one line before anything is created.
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

dry_run=0
for opt in "${options[@]+"${options[@]}"}"; do
  case $opt in
    -n|--dry-run|--dryrun) dry_run=1 ;;
    --*) ;;
    -*[0-9]*) ;;
    -*n*) dry_run=1 ;;  # bundled short flags such as -pn
  esac
done

# The settings are checked before anything is built, installed or created:
# a refused one ends the run here with one line naming it.
py=/usr/bin/python3
[ -x "$py" ] || py=python3
"$py" "$top/workflow/scripts/archive_lib.py" check "$PWD" "input=$archive" "output=$out" \
  "${settings[@]+"${settings[@]}"}" || exit 1

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

# Snakemake starts in OUT/.skanvert-archive, so its own logs land in
# OUT/.skanvert-archive/.snakemake/log rather than in the folder this was
# started from; relative settings are still taken from here (start_folder),
# and the workflow itself works in OUT.
start=$PWD state="$out/.skanvert-archive"
if ! mkdir -p "$state" 2>/dev/null; then
  echo "skanvert archive: cannot create the output folder $out (choose another output folder)" >&2
  exit 1
fi
watcher=
if [ "$dry_run" = 0 ]; then
  # The jobs leave their progress to the watcher, which shows it for all.
  export SKANVERT_ARCHIVE_PROGRESS=wrapper
  "$py" "$top/workflow/scripts/progress.py" watch "$out" &
  watcher=$!
fi
status=0
(cd "$state" && exec snakemake -s "$top/workflow/Snakefile" --rerun-incomplete --quiet rules progress \
  "${jobs[@]+"${jobs[@]}"}" "${options[@]+"${options[@]}"}" \
  --config "input=$archive" "output=$out" "start_folder=$start" "${settings[@]+"${settings[@]}"}") || status=$?
if [ -n "$watcher" ]; then
  kill -USR1 "$watcher" 2>/dev/null || true
  wait "$watcher" || true
fi

# What the archive holds now, per outcome (not after a dry run or a failed run).
if [ "$status" = 0 ] && [ "$dry_run" = 0 ]; then
  "$py" "$top/workflow/scripts/progress.py" summary "$out"
fi
exit "$status"
