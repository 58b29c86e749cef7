#!/usr/bin/env bash
# Builds the Debian packages j4-flash and j4-updater with dpkg-buildpackage,
# from a copy of the sources (debhelper works in the tree and puts the
# packages beside it), into OUT_DIR (default build-deb/).
#   scripts/build-packages.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$out"
tar --exclude='./build*' --exclude=./.git --exclude=./obj-* -cf - . | tar -x -C "$work/src"
(cd "$work/src" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) || {
    tail -n 40 "$work/build.log" >&2
    exit 1
}
rm -f "$out"/j4-*.deb "$out"/j4-updater_*.changes "$out"/j4-updater_*.buildinfo
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
ls "$out"/j4-flash_*.deb "$out"/j4-updater_*.deb
