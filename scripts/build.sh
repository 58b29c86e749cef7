#!/usr/bin/env bash
# Configures and builds into build/ with warnings as errors.
#   scripts/build.sh programs   only the programs (what ./run needs)
#   scripts/build.sh [all]      the programs, tests and benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
[ "${1:-all}" = programs ] && preset=programs
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
