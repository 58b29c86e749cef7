#!/usr/bin/env bash
# libpq for Windows (MinGW-w64, x86_64), with OpenSSL for its TLS, built from
# Debian 12's own source packages (postgresql-15, openssl): bin/libpq.dll,
# libcrypto-3-x64.dll, libssl-3-x64.dll, their import libraries and headers.
# Debian builds neither for MinGW. The sources come through a private apt
# configuration with a deb-src entry (the system's own is left as it is),
# their hashes checked by apt against the signed index.
# The result is kept in the cache (J4_CACHE, default ~/.cache/j4-updater),
# named by this recipe's hash: built once, again only when this file
# changes. Prints where it is.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${J4_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/j4-updater}/mingw-libpq
recipe=$(sha256sum "$0" | cut -d' ' -f1)
prefix=$cache/$recipe
if [ -f "$prefix/bin/libpq.dll" ]; then
    echo "$prefix"
    exit 0
fi
start=$(date +%s)
work=$root/build-windows-libpq
partial=$prefix.partial
rm -rf "$work" "$partial" && mkdir -p "$work/apt/parts" "$work/apt/lists/partial" \
    "$work/apt/cache" "$work/src"
log=$work/build.log
trap 'echo "libpq for MinGW: the build failed; the end of $log:" >&2; tail -n 30 "$log" >&2' ERR

# The sources, as `apt-get source` fetches them, without touching the
# system's apt configuration.
cat > "$work/apt/parts/bookworm-src.sources" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/parts"
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache")
echo "   fetching postgresql-15 and openssl's Debian sources" >&2
apt-get "${apt_options[@]}" update >>"$log" 2>&1
(cd "$work/src" && apt-get "${apt_options[@]}" source --download-only postgresql-15 openssl \
    >>"$log" 2>&1)

# OpenSSL: libssl and libcrypto as DLLs; no tests. Its configuration,
# engines and providers are looked for where only an administrator writes
# (OpenSSL's own defaults for Windows), never under this build's prefix: a
# path that means nothing on a station, where anyone could make it and put
# there a configuration that loads code.
windows_dirs=(OPENSSLDIR="C:/Program Files/Common Files/SSL"
              ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3"
              MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules")
echo "   building OpenSSL for MinGW (about 5 minutes on 2 cores)" >&2
tar -xzf "$work"/src/openssl_*.orig.tar.gz -C "$work/src"
(cd "$work"/src/openssl-*/ &&
    ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- shared no-tests \
        --prefix="$partial" --libdir=lib >>"$log" 2>&1 &&
    make -j"$(nproc)" build_sw "${windows_dirs[@]}" >>"$log" 2>&1 && make install_sw >>"$log" 2>&1)

# libpq alone: the server is not built.
echo "   building libpq for MinGW (about 3 minutes)" >&2
tar -xjf "$work"/src/postgresql-15_*.orig.tar.bz2 -C "$work/src"
(cd "$work"/src/postgresql-15*/ &&
    ./configure --host=x86_64-w64-mingw32 --prefix="$partial" --with-ssl=openssl \
        --without-readline --without-zlib --without-icu \
        CPPFLAGS="-I$partial/include" LDFLAGS="-L$partial/lib" >>"$log" 2>&1 &&
    make -C src/include >>"$log" 2>&1 && make -C src/common >>"$log" 2>&1 &&
    make -C src/port >>"$log" 2>&1 && make -C src/interfaces/libpq >>"$log" 2>&1 &&
    make -C src/include install >>"$log" 2>&1 && make -C src/interfaces/libpq install >>"$log" 2>&1)

# Only a whole build takes the recipe's name; earlier recipes' builds go.
find "$cache" -mindepth 1 -maxdepth 1 ! -name "$(basename "$partial")" -exec rm -rf {} +
mv "$partial" "$prefix"
rm -rf "$work"
echo "   libpq for MinGW built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"
