#!/usr/bin/env bash
# Configures and builds into build/ with warnings as errors.
#   scripts/build.sh programs   only the programs (what ./run needs)
#   scripts/build.sh [all]      the programs, tests and benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."
with_tests=ON
[ "${1:-all}" = programs ] && with_tests=OFF
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJ4_WERROR=ON \
    -DJ4_WITH_TESTS=$with_tests >/dev/null
cmake --build build
