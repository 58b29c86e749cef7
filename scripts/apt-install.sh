#!/usr/bin/env bash
# Installs the Debian packages named that are missing, with apt-get (as root,
# or through sudo). Does nothing when all are there.
#
# A mirror can be caught mid-sync: an index whose size does not match its
# Release file makes `apt-get update` exit 100 although the packages wanted
# are still installable from the lists apt already has. So the index is
# fetched again a few times, and when it still fails the install goes on as
# long as apt can plan it from what it has.
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
echo "Installing with apt-get: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt-get (an unattended upgrade, a second checkout) may hold the
# dpkg lock: wait for it rather than fail.
apt=($sudo apt-get -o DPkg::Lock::Timeout=900 -o Acquire::Retries=3 -qq)
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

installable() { "${apt[@]}" install -s -y "${missing[@]}" >/dev/null 2>&1; }

updated=0
for attempt in 1 2 3 4; do
    if "${apt[@]}" update; then updated=1; break; fi
    echo "apt-get update failed (attempt $attempt of 4; a mirror may be mid-sync)." >&2
    [ "$attempt" -lt 4 ] && sleep $((attempt * 15))
done
if [ $updated -eq 0 ]; then
    if installable; then
        echo "Going on with the package lists apt already has: ${missing[*]} can be installed from them." >&2
    else
        echo "The package index could not be fetched and ${missing[*]} cannot be installed without it;" \
            "try again when the mirror has finished syncing." >&2
        exit 1
    fi
fi
# A package fetch can fail the same way; apt keeps what it fetched.
for attempt in 1 2 3; do
    "${apt[@]}" install -y "${missing[@]}" && exit 0
    echo "apt-get install failed (attempt $attempt of 3)." >&2
    [ "$attempt" -lt 3 ] && sleep $((attempt * 20))
done
exit 1
