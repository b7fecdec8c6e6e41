#!/usr/bin/env bash
# The demo: from a fresh clone, installs what is missing, builds skanvert and
# the recording simulator vekgen, simulates the default ten-minute drift scan
# (56 channels, 1-25 GHz), converts it to FITS and shows the result: the
# converter's console output, a one-screen summary of the FITS file and a
# quick-look picture.
#
#   bash scripts/demo.sh
#
# Everything it writes goes to build/ (the demo files to build/demo/). A
# recording already in build/demo/ is reused; delete it for a fresh one. It
# builds only the programs it runs (the tests are built by scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=/usr/bin/python3          # Debian's interpreter (the Python quick look's fallback)
DEMO_DIR=build/demo
RECORDING=scan.dat               # vekgen writes scan.cfg beside it
FITS="$DEMO_DIR/scan.fits"
PICTURE="$DEMO_DIR/scan.png"

step() { printf '\n==> %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

step "Checking the packages the demo needs (bash scripts/setup.sh demo)"
bash scripts/setup.sh demo

step "Building the programs (cmake -S . -B build && cmake --build build --target skanvert vekgen ...)"
cmake -S . -B build >/dev/null
# The native quick look is a target only where cairo and cfitsio were found;
# without it the Python quick look draws the picture.
targets=(skanvert vekgen)
native=0
# (the list is read whole: grep -q closing the pipe early would fail it)
target_list=$(cmake --build build --target help 2>/dev/null || true)
if grep -qE '(^|[ .])skanvert-quicklook( |$)' <<<"$target_list"; then
  targets+=(skanvert-quicklook)
  native=1
fi
cmake --build build -j"$(nproc)" --target "${targets[@]}"
for program in "${targets[@]}"; do
  [ -x "build/$program" ] || fail "build/$program was not built"
done
if [ "$native" = 1 ]; then
  quicklook=(build/skanvert-quicklook)
else
  bash scripts/setup.sh python3-astropy python3-numpy python3-matplotlib
  quicklook=("$PYTHON" tools/quicklook/skanvert_quicklook.py)
fi

mkdir -p "$DEMO_DIR"
if [ -s "$DEMO_DIR/$RECORDING" ] && [ -s "$DEMO_DIR/scan.cfg" ]; then
  step "Reusing the recording $DEMO_DIR/$RECORDING (delete it for a fresh one)"
else
  step "Simulating the default recording: build/vekgen $DEMO_DIR/$RECORDING"
  build/vekgen "$DEMO_DIR/$RECORDING"
fi
ls -l "$DEMO_DIR/$RECORDING" "$DEMO_DIR/scan.cfg"

step "Converting: build/skanvert -f=$RECORDING -in=$DEMO_DIR/ -cf=$DEMO_DIR/scan.cfg -out=$DEMO_DIR/ -amp=1"
echo "(-amp=1: gain changes corrected automatically; the optional settings file"
echo " build/skanvert.ini and coefficient table crab0coef.txt may be reported missing)"
rm -f "$FITS"
status=0
build/skanvert -f="$RECORDING" -in="$DEMO_DIR/" -cf="$DEMO_DIR/scan.cfg" \
  -out="$DEMO_DIR/" -amp=1 </dev/null || status=$?
echo
[ "$status" -eq 0 ] || fail "skanvert exited with status $status"
[ -s "$FITS" ] || fail "skanvert did not write $FITS"

step "Summary of $FITS"
"${quicklook[@]}" --summary "$FITS"

step "Quick-look picture"
"${quicklook[@]}" "$FITS" -o "$PICTURE"

step "Done"
echo "recording:  $DEMO_DIR/$RECORDING (+ scan.cfg)"
echo "FITS file:  $FITS"
echo "picture:    $PICTURE"
