#!/usr/bin/env bash
# Installs the Debian packages that are missing (scripts/apt-install.sh).
# Safe to run again; does nothing when all are there.
#   scripts/install-deps.sh run    what building and running the programs need
#   scripts/install-deps.sh test   that, and what the tests, benchmarks,
#                                  fuzzing and the package checks need
set -euo pipefail

run_packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev
    libgensio-dev                    # remote ports: telnet and RFC 2217 (from ser2net's author)
    libssl-dev                       # TLS to remote ports: the server's host name checked
    nlohmann-json3-dev nettle-dev    # the update log: JSON lines, the file's SHA-256
    libgcrypt20-dev                  # signed releases: Ed25519 and BLAKE2b-512, Linux and Windows alike
    libpq-dev                        # records: PostgreSQL's own client library
    libmicrohttpd-dev libgnutls28-dev   # j4_plant serve: event-driven HTTP/1.1, TLS by GnuTLS
    libsystemd-dev                   # under systemd: the journal's priorities, readiness
    libqt6svg6                       # the window's icon, drawn from its SVG
    qt6-translations-l10n            # Qt's own texts (Yes, No, the file dialog) in the user's language
    xvfb xauth fonts-dejavu-core     # the window under a virtual display
)
test_packages=(
    clang libclang-rt-14-dev         # libFuzzer and the sanitizers' runtimes
    libgtest-dev libgmock-dev libbenchmark-dev
    libcpp-httplib-dev               # an HTTP client for the tests of the plant's page
    help2man lintian desktop-file-utils appstream file man-db   # the package checks
    dpkg-dev debhelper devscripts debootstrap                   # the packages, hardening-check, a clean root
    ser2net                          # a real serial-over-network server for the remote tests
    socat                            # virtual serial ports as users make them: pty pairs
    x11-utils                        # xprop: the window's class as task bars see it
    openssl ca-certificates          # certificates for the TLS tests, and a large bundle
    minisign                         # the release engineer's tool: keys and signatures for the tests
    prometheus prometheus-node-exporter   # promtool checks the metrics; the exporter serves them
    chromium chromium-driver python3-selenium   # the plant's page, tested in a real browser
    postgresql-15                    # a real server for the records (pg_virtualenv, from postgresql-common)
    systemd bash-completion          # systemd-analyze checks the units; completion's home
    logrotate                        # the package check rotates a station's log with the shipped rule
    shared-mime-info                 # update-mime-database checks the .j4u file type
)

packages=("${run_packages[@]}")
[ "${1:-test}" = run ] || packages+=("${test_packages[@]}")

exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
