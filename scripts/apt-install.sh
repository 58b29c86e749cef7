#!/usr/bin/env bash
# Installs the Debian packages named that are missing, with apt-get (as root,
# or through sudo). Does nothing when all are there. A name with an
# architecture (wine32:i386) enables that architecture first.
set -euo pipefail
missing=()
for p in "$@"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
for p in "${missing[@]}"; do
    arch=${p#*:}
    if [ "$arch" != "$p" ] && ! { [ "$arch" = "$(dpkg --print-architecture)" ] ||
        dpkg --print-foreign-architectures | grep -qx "$arch"; }; then
        echo "Enabling the $arch architecture for $p"
        $sudo dpkg --add-architecture "$arch"
    fi
done
echo "Installing with apt-get: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt-get (an unattended upgrade, a second checkout) may hold the
# dpkg lock: wait for it rather than fail.
apt=($sudo apt-get -o DPkg::Lock::Timeout=900 -qq)
# An install stopped midway (a job killed during its apt step) leaves dpkg
# "interrupted", and apt-get then refuses every install until it is finished.
# dpkg has no lock timeout of its own: retry while another holder finishes.
if [ -n "$(dpkg --audit 2>/dev/null)" ]; then
    echo "Finishing an install that was interrupted: dpkg --configure -a"
    deadline=$((SECONDS + 900))
    until $sudo dpkg --configure -a; do
        [ $SECONDS -lt $deadline ] || { echo "dpkg --configure -a did not succeed; run it by hand." >&2; exit 1; }
        sleep 5
    done
fi
"${apt[@]}" update
"${apt[@]}" install -y "${missing[@]}"
