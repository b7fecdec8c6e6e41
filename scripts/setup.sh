#!/usr/bin/env bash
# Installs, from Debian's packages, what this machine lacks for a purpose,
# without the packages Debian merely recommends:
#   bash scripts/setup.sh [demo|tests|archive ...] [package ...]
#   demo     build the converter and its tools, draw the quick-look picture
#            (the compiler, CMake, cairo, cfitsio, a font)
#   archive  run the archive workflow (snakemake, sqlite3, Python's tqdm,
#            astropy for reading the FITS files into the catalog)
#   tests    run the test command: the demo's and the archive's packages plus
#            GoogleTest, the FITS readers (astropy, fitsverify, cfitsio's
#            tools), valgrind and Chromium
# Other arguments are package names, installed as well. Without any group
# it installs the tests' packages, which cover everything.
set -euo pipefail

demo=(g++ cmake make pkg-config libcairo2-dev libcfitsio-dev libpng-dev fonts-dejavu-core)
archive=(python3 python3-astropy python3-numpy snakemake sqlite3 python3-tqdm)
tests=("${demo[@]}" "${archive[@]}" libgtest-dev python3-astropy python3-numpy python3-ndcube
       python3-matplotlib python3-pil fitsverify libcfitsio-bin valgrind chromium)

packages=() groups=0
for arg in "$@"; do
  case $arg in
    demo) packages+=("${demo[@]}"); groups=1 ;;
    archive) packages+=("${archive[@]}"); groups=1 ;;
    tests) packages+=("${tests[@]}"); groups=1 ;;
    -*) echo "setup.sh: unknown option $arg (give demo, tests, archive or package names)" >&2; exit 2 ;;
    *) packages+=("$arg") ;;
  esac
done
[ "$groups" = 1 ] || packages=("${tests[@]}" "${packages[@]+"${packages[@]}"}")

# Installed means "install ok installed": a removed package whose
# configuration files stay is known to dpkg but not there.
missing=()
for pkg in "${packages[@]}"; do
  case " ${missing[*]+"${missing[*]}"} " in *" $pkg "*) continue ;; esac
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "not root and no sudo: install ${missing[*]} first" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
