#!/usr/bin/env bash
# Builds the Debian packages and checks them as Debian would: lintian
# (pedantic), hardening-check on every program, the desktop entry and the
# metainfo; then installs them into a clean Debian 12 root (debootstrap
# minbase, cached between runs): j4-flash alone stays light and says which
# package a missing module is in, each module package loads its module, and
# with everything the programs answer --version, j4_flash updates a
# j4_devsim device, and a purge leaves nothing behind.
# Also checks that the man pages checked in match the programs' help.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "check-package: $*" >&2; exit 1; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

work=$(mktemp -d)
root=$work/root
cleanup() {
    # Whatever still runs in the root (a check that failed half-way) is
    # ended before its mounts go.
    [ -d "$root" ] && for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && $sudo kill -9 "${p#/proc/}" 2>/dev/null
    done
    for m in var/cache/apt/archives dev/pts proc; do
        mountpoint -q "$root/$m" 2>/dev/null && $sudo umount -l "$root/$m"
    done
    $sudo rm -rf "$work"
}
trap cleanup EXIT

scripts/update-man-pages.sh build "$work/man" >/dev/null
for page in packaging/man/*.1; do
    diff -u "$page" "$work/man/$(basename "$page")" >/dev/null ||
        fail "$page is out of date: run scripts/update-man-pages.sh"
done

echo "-- dpkg-buildpackage"
scripts/build-packages.sh "$work/debs" >/dev/null
version=$(sed -n 's/.*kVersion = "\(.*\)";/\1/p' build/generated/j4_version.h)
flash_deb=$work/debs/j4-flash_${version}_amd64.deb
updater_deb=$work/debs/j4-updater_${version}_amd64.deb
remote_deb=$work/debs/j4-flash-remote_${version}_amd64.deb
records_deb=$work/debs/j4-flash-records_${version}_amd64.deb
plant_deb=$work/debs/j4-plant_${version}_amd64.deb
debs=("$flash_deb" "$updater_deb" "$remote_deb" "$records_deb" "$plant_deb")
for deb in "${debs[@]}"; do [ -f "$deb" ] || fail "no $(basename "$deb")"; done

echo "-- lintian -I --pedantic (no errors or warnings; informational tags listed)"
lintian -I --pedantic --fail-on error,warning "$work/debs"/j4-updater_*.changes 2>&1 |
    grep -v 'root privileges' || true
lintian --pedantic --fail-on error,warning "$work/debs"/j4-updater_*.changes >/dev/null 2>&1 ||
    fail "lintian reports errors or warnings"
# The GUI stack stays out of the command-line package.
if dpkg -f "$flash_deb" Depends | grep -qiE 'gui|widgets|x11|xcb|gl'; then
    fail "j4-flash depends on a GUI library: $(dpkg -f "$flash_deb" Depends)"
fi
# Remote ports and records are in packages of their own, with what they bring.
if dpkg -f "$flash_deb" Depends | grep -qiE 'gensio|libpq'; then
    fail "j4-flash depends on a module's library: $(dpkg -f "$flash_deb" Depends)"
fi
# The plant's server is no station: no serial tools, no udev rule, no
# station user.
if dpkg -f "$plant_deb" Depends | grep -q 'j4-flash'; then
    fail "j4-plant depends on the stations' packages: $(dpkg -f "$plant_deb" Depends)"
fi
if dpkg -c "$plant_deb" | grep -qE 'j4_flash|j4_devsim|udev|j4-station'; then
    fail "j4-plant holds a station's files"
fi
desktop-file-validate packaging/org.example.j4updater.desktop
appstreamcli validate --no-net --pedantic packaging/org.example.j4updater.metainfo.xml >/dev/null ||
    fail "the metainfo does not validate"
# What the metainfo says the package provides, the package holds.
updater_files=$(dpkg -c "$updater_deb")
for binary in $(sed -n 's:.*<binary>\(.*\)</binary>.*:\1:p' packaging/org.example.j4updater.metainfo.xml); do
    grep -q "/usr/bin/$binary\$" <<<"$updater_files" ||
        fail "the metainfo of j4-updater provides $binary, which is in another package"
done

echo "-- hardening-check"
for deb in "${debs[@]}"; do dpkg -x "$deb" "$work/unpacked"; done
# Control-flow protection cannot be had on Debian 12: its C library's
# start-up objects (Scrt1.o, crti.o) carry no IBT/SHSTK note, so the linker
# marks no program.
hardening-check --nocfprotection "$work/unpacked"/usr/bin/* >"$work/hardening" ||
    { cat "$work/hardening"; fail "hardening-check failed"; }

# The man pages as installed render with every section.
for program in j4_updater j4_flash j4_devsim j4_plant; do
    text=$(MANWIDTH=80 man -l "$work/unpacked/usr/share/man/man1/$program.1.gz" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES \
        "SEE ALSO"; do
        grep -qx "$section" <<<"$text" || fail "the man page of $program has no $section"
    done
done
# Each example a paragraph of its own, not run into the next.
# (Read whole first: grep -q leaving early would fail the pipe.)
text=$(MANWIDTH=80 man -l "$work/unpacked/usr/share/man/man1/j4_plant.1.gz" 2>/dev/null)
sed 's/^ *//' <<<"$text" | grep -x 'j4_plant status line-3' >/dev/null ||
    fail "the man page of j4_plant runs its examples together"

echo "-- logrotate: a station's log rotated by the shipped rule"
mkdir -p "$work/state"
sed -e "s|/var/lib/j4-updater|$work/state|" -e '/^ *su /d' packaging/j4-flash.logrotate \
    >"$work/logrotate.conf"
echo '{"outcome":"completed"}' >"$work/state/line-3.jsonl"
echo 7 >"$work/state/line-3.jsonl.sent"
logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" ||
    fail "logrotate does not take the shipped rule"
[ -s "$work/state/line-3.jsonl.1" ] && [ ! -e "$work/state/line-3.jsonl" ] ||
    fail "the log was not renamed away (a log is the records' spool: never cut in place)"
[ -e "$work/state/line-3.jsonl.sent" ] && [ ! -e "$work/state/line-3.jsonl.sent.1" ] ||
    fail "the rule rotates the sender's position file"

echo "-- a clean Debian 12 root: install, use, purge"
scripts/clean-root.sh "$root"
$sudo mount -t proc proc "$root/proc"
# The root has its own device nodes; pseudo-terminals (for j4_devsim) come
# from a devpts of its own, so nothing of the machine's /dev is shared.
$sudo mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
cache=${J4_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/j4-updater}
mkdir -p "$cache/archives/partial"
$sudo mount --bind "$cache/archives" "$root/var/cache/apt/archives"
$sudo cp "${debs[@]}" "$root/tmp/"
in_root() { $sudo chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive /bin/bash -c "$1"; }
in_root "apt-get -qq update" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get update failed"; }
# Installs the packages named (j4-flash, j4-flash-remote ...) from /tmp without
# their recommendations, as a minimal system would; says how many packages
# came and the space they take.
install_debs() {
    local names=("$@") files=() before after
    for name in "${names[@]}"; do files+=("/tmp/${name}_${version}_amd64.deb"); done
    before=$(in_root "dpkg-query -W -f='\${db:Status-Abbrev}\n' | grep -c '^ii'")
    in_root "apt-get install -y --no-install-recommends ${files[*]}" >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; fail "${names[*]} do not install"; }
    after=$(in_root "dpkg-query -W -f='\${db:Status-Abbrev}\n' | grep -c '^ii'")
    echo "   ${names[*]}: $((after - before)) packages," \
        "$(sed -n 's/^After this operation, \(.*\) of additional disk space.*/\1/p' "$work/apt.log")"
    installed=$((after - before))
}
purge_all() {
    in_root "apt-get -qq remove --purge -y 'j4-*' >/dev/null 2>&1; apt-get -qq autoremove --purge -y >/dev/null"
}
# A module that is not installed names the package it is in.
says_install() {
    local what=$1 command=$2 package=$3 out
    out=$(in_root "$command" 2>&1) && fail "$what succeeded without its module"
    grep -q "the $package package" <<<"$out" || fail "$what does not say to install $package: $out"
}
loads() {
    local what=$1 command=$2 out
    out=$(in_root "$command" 2>&1) || true
    grep -q "cannot be loaded\|package" <<<"$out" && fail "$what: the module does not load: $out"
    return 0
}
remote_run="j4_flash --device rfc2217://127.0.0.1:9 /usr/share/doc/j4-flash/examples/demo.j4u"
records_run="touch /tmp/empty.jsonl; j4_flash --send-records /tmp/empty.jsonl --records postgresql://127.0.0.1:9/j4"

install_debs j4-flash
[ "$installed" -le 25 ] || fail "j4-flash alone installs $installed packages (at most 25)"
in_root "dpkg -l | grep -q '^ii *python3'" && fail "j4-flash alone installs Python"
says_install "a remote port" "$remote_run" j4-flash-remote
says_install "the records" "$records_run" j4-flash-records
purge_all
install_debs j4-flash j4-flash-remote
loads "a remote port" "$remote_run"
says_install "the records" "$records_run" j4-flash-records
purge_all
install_debs j4-flash j4-flash-records
loads "the records" "$records_run"
says_install "a remote port" "$remote_run" j4-flash-remote
purge_all
install_debs j4-flash j4-updater
purge_all
install_debs j4-plant
in_root "j4_plant --version >/dev/null && [ -f /etc/j4-updater/plant-serve.conf ] &&
    [ -f /usr/share/doc/j4-plant/examples/plant-users.example ] &&
    [ -f /usr/lib/systemd/system/j4-plant.service ] && ! command -v j4_flash" ||
    fail "j4-plant alone does not bring j4_plant, its service and settings, and nothing else"
purge_all
install_debs j4-flash j4-updater j4-flash-remote j4-flash-records j4-plant
loads "a remote port" "$remote_run"
loads "the records" "$records_run"
for program in j4_updater j4_flash j4_devsim j4_plant; do
    out=$(in_root "$program --version")
    [ "$out" = "$program $version" ] || fail "$program --version says '$out'"
done
# The window comes up with what the package pulled in (offscreen: the root
# has no display), then leaves.
in_root "QT_QPA_PLATFORM=offscreen J4_STARTUP_PROBE=1 j4_updater" | grep -q '^ready' ||
    fail "the installed window does not start"
# The device is ended whatever the update did: a chain of && would stop
# before its kill and leave it running in the root.
in_root "cd /tmp; j4_devsim --link /tmp/device --capture /tmp/captured >/dev/null 2>&1 &
    devsim=\$!; trap 'kill \$devsim 2>/dev/null; wait \$devsim 2>/dev/null' EXIT
    for i in \$(seq 200); do [ -e /tmp/device ] && break; sleep 0.05; done
    j4_flash -q --device /tmp/device /usr/share/doc/j4-flash/examples/demo.j4u >/dev/null &&
    j4_flash --check /usr/share/doc/j4-flash/examples/demo.j4u --image-out /tmp/image >/dev/null &&
    kill \$devsim && wait \$devsim; cmp /tmp/image /tmp/captured" ||
    fail "the installed j4_flash did not update the installed j4_devsim bit-exact"
for deb in "${debs[@]}"; do
    dpkg -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|'
done >"$work/files"
in_root "apt-get -qq remove --purge -y j4-updater j4-flash j4-flash-remote j4-flash-records \
    j4-plant >/dev/null" || fail "the purge failed"
left=$(while read -r file; do [ ! -e "$root$file" ] || echo "$file"; done <"$work/files")
[ -z "$left" ] || fail "left after the purge: $left"
in_root "dpkg -l 'j4-*' 2>/dev/null | grep -q '^[ir]'" && fail "the packages are still known to dpkg"
[ ! -e "$root/etc/j4-updater" ] || fail "/etc/j4-updater is left"
# Kept for the VM checks, which install them in a guest of their own.
mkdir -p build-deb && cp "${debs[@]}" build-deb/
echo "package: j4-flash, j4-flash-remote, j4-flash-records, j4-plant and j4-updater $version checked"
