#!/usr/bin/env bash
# Makes DIR a clean Debian 12 root (debootstrap --variant=minbase bookworm,
# from the mirror this machine's apt uses). The root is made once and kept as
# a tarball in the cache (J4_CACHE, default ~/.cache/j4-updater); each call
# unpacks a fresh copy.
#   scripts/clean-root.sh DIR
set -euo pipefail
dir=$1
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
cache=${J4_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/j4-updater}
tarball=$cache/bookworm-minbase.tar
mirror() { # the first Debian mirror apt is configured with
    {
        grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' || true
        grep -hsE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
            awk '{for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; break}}' || true
    } | grep -v security | head -n 1 || true
}
if [ ! -f "$tarball" ]; then
    mkdir -p "$cache"
    url=$(mirror)
    [ -n "$url" ] || url=http://deb.debian.org/debian
    echo "   debootstrap --variant=minbase bookworm from $url (once; cached in $cache)"
    staging=$(mktemp -d)
    $sudo debootstrap --variant=minbase bookworm "$staging/root" "$url" >"$staging/log" 2>&1 || {
        tail -n 20 "$staging/log" >&2
        $sudo rm -rf "$staging"
        exit 1
    }
    $sudo tar -C "$staging/root" -cf "$tarball.tmp" .
    mv "$tarball.tmp" "$tarball"
    $sudo rm -rf "$staging"
fi
mkdir -p "$dir"
$sudo tar -C "$dir" -xf "$tarball"
# The machine's name servers, so apt in the root reaches the mirror.
$sudo cp /etc/resolv.conf "$dir/etc/resolv.conf"
