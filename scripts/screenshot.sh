#!/usr/bin/env bash
# Refreshes the README's pictures in docs/: the real windows under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
QT_QPA_PLATFORM=xcb J4_SCREENSHOTS="$PWD/docs" \
    xvfb-run -a -s "-screen 0 1366x768x24" build/tests/panel/window_screenshot
