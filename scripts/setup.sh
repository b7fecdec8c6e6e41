#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build
# skanvert and run its tests and tools. Extra package names may be given.
#   bash scripts/setup.sh [package ...]
set -euo pipefail

packages=(g++ cmake make libgtest-dev python3 python3-astropy python3-matplotlib fitsverify libcfitsio-bin valgrind snakemake sqlite3 chromium libcairo2-dev libcfitsio-dev libpng-dev fonts-dejavu-core python3-pil "$@")
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
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
"${sudo[@]}" apt-get install -y -qq "${missing[@]}"
