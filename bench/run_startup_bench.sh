#!/usr/bin/env bash
# The start-up benchmark on a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 640x480x24" build/bench/startup_bench
