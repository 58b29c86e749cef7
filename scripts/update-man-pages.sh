#!/usr/bin/env bash
# Regenerates packaging/man/*.1 from the programs' --help and --version, with
# help2man. Run it after changing a program's help text; ./test checks that
# the pages checked in still match.
#   scripts/update-man-pages.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-packaging/man}
mkdir -p "$out"
# A fixed date, so the pages change only when the help does.
export SOURCE_DATE_EPOCH=1796601600
help2man --no-info --section 1 --name "send a firmware update to a J4 device (window)" \
    --output "$out/j4_updater.1" "$build/panel/j4_updater"
help2man --no-info --section 1 --name "send a firmware update to a J4 device from the command line" \
    --output "$out/j4_flash.1" "$build/tools/j4_flash"
help2man --no-info --section 1 --name "simulated J4 device on a pseudo-terminal" \
    --output "$out/j4_devsim.1" "$build/tools/j4_devsim"
