#!/usr/bin/env bash
# Builds the Debian package from build/ and checks it as a user's system would:
# its file list, lintian, the desktop entry and the metainfo, and the programs
# as installed (unpacked into a temporary root). Also checks that the man
# pages checked in match the programs' help.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "check-package: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

scripts/update-man-pages.sh build "$work/man" >/dev/null
for page in packaging/man/*.1; do
    diff -u "$page" "$work/man/$(basename "$page")" >/dev/null ||
        fail "$page is out of date: run scripts/update-man-pages.sh"
done

rm -f build/j4-updater_*.deb
cmake --build build --target package >/dev/null
deb=$(ls build/j4-updater_*-1_amd64.deb)
version=$(sed -n 's/.*kVersion = "\(.*\)";/\1/p' build/generated/j4_version.h)
[ "$deb" = "build/j4-updater_${version}-1_amd64.deb" ] || fail "unexpected name $deb"

dpkg -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for expected in /usr/bin/j4_updater /usr/bin/j4_flash /usr/bin/j4_devsim \
    /usr/share/applications/j4-updater.desktop \
    /usr/share/icons/hicolor/scalable/apps/j4-updater.svg \
    /usr/share/metainfo/org.example.j4updater.metainfo.xml \
    /usr/share/man/man1/j4_updater.1.gz /usr/share/man/man1/j4_flash.1.gz \
    /usr/share/man/man1/j4_devsim.1.gz /usr/share/doc/j4-updater/copyright \
    /usr/share/doc/j4-updater/changelog.Debian.gz /usr/share/doc/j4-updater/demo.j4u \
    /usr/share/doc/j4-updater/README.md; do
    grep -qx "$expected" "$work/files" || fail "$expected is missing from the package"
done
if grep -v '^/usr/' "$work/files" | grep -qv '^/$'; then
    fail "files outside /usr: $(grep -v '^/usr/' "$work/files" | tr '\n' ' ')"
fi
if grep -qE 'build|CMake|\.a$|\.o$|/tests?/' "$work/files"; then
    fail "build-tree files in the package: $(grep -E 'build|CMake|\.a$|\.o$|/tests?/' "$work/files")"
fi
dpkg -f "$deb" Section | grep -qx electronics || fail "section is not electronics"
dpkg -f "$deb" Depends | grep -q libqt6serialport6 || fail "dependencies were not found"

lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "$deb" 2>&1 |
    grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"
desktop-file-validate packaging/j4-updater.desktop
appstreamcli validate --no-net --pedantic packaging/org.example.j4updater.metainfo.xml >/dev/null ||
    fail "the metainfo does not validate"

dpkg -x "$deb" "$work/root"
file "$work/root/usr/bin/j4_flash" | grep -q 'stripped' && ! file "$work/root/usr/bin/j4_flash" |
    grep -q 'not stripped' || fail "binaries are not stripped"
for program in j4_updater j4_flash j4_devsim; do
    out=$("$work/root/usr/bin/$program" --version)
    [ "$out" = "$program $version" ] || fail "$program --version says '$out'"
    MANWIDTH=80 man -l "$work/root/usr/share/man/man1/$program.1.gz" 2>/dev/null |
        grep -q "$program" || fail "the man page of $program does not render"
done
out=$("$work/root/usr/bin/j4_flash" --check "$work/root/usr/share/doc/j4-updater/demo.j4u")
echo "$out" | grep -q ': 96 frames, 24768 bytes$' || fail "installed j4_flash --check: $out"
echo "package: $deb checked"
