#!/usr/bin/env bash
# Configures and builds the main tree (warnings are errors) into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJ4_WERROR=ON >/dev/null
cmake --build build
