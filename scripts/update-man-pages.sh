#!/usr/bin/env bash
# Regenerates packaging/man/*.1 from the programs' --help and --version, with
# help2man: the help's "or:" lines are the synopsis, its "Exit status:",
# "Environment:", "Files:" and "Examples:" paragraphs the sections of those
# names; SEE ALSO comes from packaging/man/see-also.h2m. Run it after changing
# a program's help text; ./test checks that the pages checked in still match.
#   scripts/update-man-pages.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-packaging/man}
mkdir -p "$out"
# A fixed date, so the pages change only when the help does.
export SOURCE_DATE_EPOCH=1796601600
page() { # PROGRAM NAME-LINE
    local program=$1 name=$2
    # help2man knows no EXIT STATUS section: it would be a subsection of OPTIONS.
    help2man --no-info --section 1 --name "$name" --include packaging/man/see-also.h2m \
        "$build/$program" |
        sed -e 's/^\.SS "Exit status:"$/.SH "EXIT STATUS"/' \
            -e 's/^\.SS "Profile:"$/.SH "STATION PROFILE"/' \
            -e "/^\.BR $(basename "$program") (1),\$/d" >"$out/$(basename "$program").1"
}
page panel/j4_updater "send a firmware update to a J4 device (window and station)"
page tools/j4_flash "send a firmware update to J4 devices from the command line"
page tools/j4_devsim "simulated J4 device on a pseudo-terminal"
page tools/j4_plant "decide what each production line flashes (releases, work orders, holds)"
