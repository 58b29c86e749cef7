#!/usr/bin/env bash
# Refreshes docs/window.png: the real window under Xvfb, example file chosen.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
QT_QPA_PLATFORM=xcb J4_SCREENSHOT="$PWD/docs/window.png" \
    xvfb-run -a -s "-screen 0 640x480x24" build/tests/panel/window_screenshot
