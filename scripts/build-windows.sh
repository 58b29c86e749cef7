#!/usr/bin/env bash
# Cross-builds the Windows programs and their installer into build-windows/:
# j4_updater.exe, j4_flash.exe, the engine tests, and J4-Updater-<version>-win64.exe.
# Installs what it needs from Debian, and unpacks the prebuilt Qt for MinGW
# from ../shared/toolchains after checking its SHA-256 (without it, builds
# qtbase from Debian's source with the recipe there, about 20 minutes on 2
# cores). libpq and OpenSSL for MinGW come from scripts/build-mingw-libpq.sh:
# about 9 minutes the first time, then from its cache.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Only 64-bit Wine: the installer is a 64-bit one too, so no i386 package
# (and no i386 index, which a mirror may be caught syncing) is needed.
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64
          nsis file qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgtest-dev
          nlohmann-json3-dev libgcrypt-mingw-w64-dev minisign xvfb xauth xz-utils
          make perl bzip2 debian-archive-keyring)
scripts/apt-install.sh "${packages[@]}"

toolchains=$root/../shared/toolchains
qt_home=$root/build-windows-qt
qt=$qt_home/qt6-mingw
expected=9a06492a41d3270fb869c3e72a5737f268bd8078b121f25cd36ef978000d613e
if [ ! -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    tarball=$toolchains/qt-6.4.2-mingw64-posix.tar.xz
    if [ -f "$tarball" ] && [ "$(sha256sum "$tarball" | cut -d' ' -f1)" = "$expected" ]; then
        echo "Unpacking the prebuilt Qt for MinGW"
        rm -rf "$qt_home" && mkdir -p "$qt_home"
        tar -xJf "$tarball" -C "$qt_home"
    elif [ -f "$toolchains/build-mingw-qt.sh" ]; then
        echo "No prebuilt Qt (or its checksum differs): building it from Debian's source."
        WORK=$qt_home/work PREFIX=$qt bash "$toolchains/build-mingw-qt.sh"
    else
        echo "No Qt for MinGW: $toolchains holds neither the prebuilt Qt nor its recipe." >&2
        exit 1
    fi
fi

libpq=$(scripts/build-mingw-libpq.sh)

cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release -DJ4_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/scripts/mingw-w64-toolchain.cmake" -DJ4_MINGW_QT="$qt" \
    -DJ4_MINGW_LIBPQ="$libpq" \
    -DJ4_WITH_BENCH=OFF -DJ4_WITH_FUZZ=OFF >/dev/null
cmake --build build-windows
(cd build-windows && cpack -G NSIS >/dev/null)
ls build-windows/J4-Updater-*-win64.exe
