#!/usr/bin/env bash
# Installs the Debian packages that are missing, with apt-get (as root, or
# through sudo). Safe to run again; does nothing when all are there.
#   scripts/install-deps.sh run    what building and running the programs need
#   scripts/install-deps.sh test   that, and what the tests, benchmarks,
#                                  fuzzing and the package checks need
set -euo pipefail

run_packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev
    libgensio-dev                    # remote ports: telnet and RFC 2217 (from ser2net's author)
    nlohmann-json3-dev nettle-dev    # the update log: JSON lines, the file's SHA-256
    xvfb xauth fonts-dejavu-core     # the window under a virtual display
)
test_packages=(
    clang libclang-rt-14-dev         # libFuzzer and the sanitizers' runtimes
    libgtest-dev libgmock-dev libbenchmark-dev
    help2man lintian desktop-file-utils appstream file man-db   # the package checks
    ser2net                          # a real serial-over-network server for the remote tests
)

packages=("${run_packages[@]}")
[ "${1:-test}" = run ] || packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing with apt-get: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
