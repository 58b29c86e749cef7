#!/usr/bin/env bash
# The Windows build under Wine, against the Linux j4_devsim mapped to COM
# ports through Wine's registry: j4_flash.exe end to end, the engine tests,
# the window driven through a whole update under Xvfb, and the installer.
# Run by `./test windows`; needs scripts/build-windows.sh to have run.
# The records' checks (records.sh) talk to a PostgreSQL cluster of the run's
# own, made here and dropped when the run ends.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
if [ -z "${J4_WINDOWS_CLUSTER:-}" ]; then
    J4_WINDOWS_CLUSTER=1 exec tests/support/with_postgres.sh "$0" "$@"
fi
build=$root/build-windows
devsim=$root/build/tools/j4_devsim

work=$(mktemp -d /tmp/j4-windows.XXXXXX)
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stage=$work/stage
devsim_pid=""
pair_pid=""
cleanup() {
    [ -n "$devsim_pid" ] && kill -CONT "$devsim_pid" 2>/dev/null && kill "$devsim_pid" 2>/dev/null
    [ -n "$pair_pid" ] && kill "$pair_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    [ -n "${clean_prefix:-}" ] && WINEPREFIX=$clean_prefix wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

. "$root/tests/support/checks.sh"

start_device() { # COM-NUMBER [j4_devsim options...]
    local number=$1
    shift
    stop_device
    rm -f "$work/capture.bin"
    "$devsim" --link "$work/dev$number" --capture "$work/capture.bin" "$@" \
        >"$work/devsim.out" 2>"$work/devsim.err" &
    devsim_pid=$!
    for _ in $(seq 100); do [ -e "$work/dev$number" ] && return; sleep 0.05; done
}
stop_device() {
    if [ -n "$devsim_pid" ]; then
        kill "$devsim_pid" 2>/dev/null
        wait "$devsim_pid" 2>/dev/null
        devsim_pid=""
    fi
}

flash_status() { # ARGS... -> exit status in $status, standard output in $out, error in $err
    (cd "$work" && wine "$stage/bin/j4_flash.exe" "$@") >"$work/flash.out" 2>"$work/flash.err"
    status=$?
    out=$(tr -d '\r' <"$work/flash.out")
    err=$(tr -d '\r' <"$work/flash.err")
}
# %APPDATA% of the prefix's user, as a Linux path.
windows_appdata() {
    winepath -u "$(wine cmd /c echo '%APPDATA%' 2>/dev/null | tr -d '\r')"
}
# The result: the last line of standard output after a success, of standard
# error after a failure (where every line is the program's own).
last_line() {
    if [ "$status" = 0 ]; then printf '%s\n' "$out"; else printf '%s\n' "$err"; fi |
        grep -v '^$' | tail -n 1
}

echo "== preparing Wine ($WINEPREFIX)"
wineboot -i >/dev/null 2>&1
cmake --install "$build" --prefix "$stage" >/dev/null
# COM5 and COM12 stand for j4_devsim's pseudo-terminals; Wine reads the
# mapping when its server starts.
for number in 5 12; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$number" /d "$work/dev$number" /f >/dev/null 2>&1
done
wineserver -k >/dev/null 2>&1
# One server for the whole run, started here so that what it says at start
# ("Master socket fd=...") never mixes with a program's output.
wineserver -p >"$work/wineserver.log" 2>&1
"$root/build/tools/j4_flash" --check examples/demo.j4u --image-out "$work/demo.bin" >/dev/null
cp examples/demo.j4u "$work/demo.j4u"

echo "== engine tests"
WINEPATH='Z:\usr\lib\gcc\x86_64-w64-mingw32\12-posix;Z:\usr\x86_64-w64-mingw32\lib' \
    wine "$build/tests/engine_tests.exe" >"$work/engine.out" 2>&1
check "engine_tests.exe: $(grep -E '^\[  (PASSED|FAILED)' "$work/engine.out" | tr '\n' ' ')" \
    grep -q '^\[  PASSED  \]' "$work/engine.out"

echo "== j4_flash.exe against j4_devsim on COM ports"
start_device 5
flash_status --port 5 -q demo.j4u
check "whole update: exit 0, 'Update is completed.'" \
    test "$status" = 0 -a "$(last_line)" = "Update is completed."
stop_device
check "whole update: the device holds the image bit-exact" cmp -s "$work/demo.bin" "$work/capture.bin"

expect() { # NAME STATUS TEXT DEVSIM-OPTIONS... -- J4_FLASH-OPTIONS...
    local name=$1 want_status=$2 want_text=$3
    shift 3
    local sim=()
    while [ "$1" != -- ]; do sim+=("$1"); shift; done
    shift
    start_device 5 "${sim[@]}"
    flash_status --port 5 -q "$@" demo.j4u
    stop_device
    check "$name: exit $want_status, '$want_text' (got $status, '$(last_line)')" \
        test "$status" = "$want_status" -a "$(last_line)" = "$want_text"
}
expect "rejects then accepts" 0 "Update is completed." --reject 2,3,4 --
expect "four rejects" 7 "j4_flash: CRC error. File damaged." --reject 2,3,4,5 --
expect "a wrong answer" 6 "j4_flash: Communication error." --answer 0x06@3 --
expect "a surplus answer byte" 6 "j4_flash: Communication error." --stray 0x11@2 --stray-delay-us 0 --
expect "a silent device" 5 "j4_flash: No answer from the device within 500 ms." --silent-from 4 -- \
    --timeout 500
start_device 5 --hangup-at 3:20
flash_status --port 5 -q --timeout 2000 demo.j4u
stop_device
check "a hang-up: exit 5 (got $status, '$(last_line)')" test "$status" = 5

flash_status --port 200 -q demo.j4u
check "an unmapped number: exit 4, 'The serial port does not exist.' (got $status, '$(last_line)')" \
    test "$status" = 4 -a "$(last_line)" = "j4_flash: The serial port does not exist."

start_device 12
flash_status --port 12 -q demo.j4u
stop_device
check "COM12 (\\\\.\\COM12): exit 0 and bit-exact" \
    test "$status" = 0 && cmp -s "$work/demo.bin" "$work/capture.bin"

start_device 5 --delay-us 30000
(cd "$work" && exec wine "$stage/bin/j4_flash.exe" --port 5 -q demo.j4u) >"$work/flash.out" \
    2>"$work/flash.err" &
wine_pid=$!
sleep 2
# Wine turns SIGINT into the console's Ctrl+C event.
pkill -INT -f 'j4_flash.exe --port 5' 2>/dev/null
wait "$wine_pid"
status=$?
stop_device
err=$(tr -d '\r' <"$work/flash.err")
check "Ctrl+C: exit 130, 'The update was interrupted.' (got $status, '$(last_line)')" \
    test "$status" = 130 -a "$(last_line)" = "j4_flash: The update was interrupted."

echo "== signed releases: minisign's own keys and signatures, the check by libgcrypt"
minisign -G -W -p "$work/release.pub" -s "$work/release.key" >/dev/null
cp "$work/demo.j4u" "$work/signed.j4u"
minisign -S -s "$work/release.key" -m "$work/signed.j4u" -t 'version=1.4.2' >/dev/null
# minisign writes the key ID without its leading zeros; the programs say
# all 16 digits.
key_id=$(printf '%16s' "$(sed -n '1s/.* //p' "$work/release.pub")" | tr ' ' 0)
start_device 5
flash_status --port 5 -q --trust-key release.pub --min-version 1.4.0 signed.j4u
stop_device
check "a signed release: exit 0 and bit-exact (got $status, '$(last_line)')" \
    test "$status" = 0 && cmp -s "$work/demo.bin" "$work/capture.bin"
sed '1s/^\(.\)./\1Z/' "$work/signed.j4u" >"$work/tampered.j4u"
cp "$work/signed.j4u.minisig" "$work/tampered.j4u.minisig"
start_device 5
flash_status --port 5 -q --trust-key release.pub tampered.j4u
stop_device
check "a file changed after signing: exit 3, nothing sent (got $status, '$(last_line)')" \
    test "$status" = 3 -a "$(last_line)" = "j4_flash: Update file was changed after it was signed." \
    -a ! -s "$work/capture.bin"
keys="$WINEPREFIX/drive_c/ProgramData/j4-updater/trusted-keys"
mkdir -p "$keys" && cp "$work/release.pub" "$keys/"
flash_status --check demo.j4u
check "a key under %ProgramData%: an unsigned file is refused (got $status, '$(last_line)')" \
    test "$status" = 3 -a "$(last_line)" = "j4_flash: Update file is not signed."
flash_status --check signed.j4u
check "--check names the signer (got '$out')" grep -q "signed by key $key_id, version 1.4.2" <<<"$out"
rm -r "$keys"

. "$root/tests/windows/records.sh"

echo "== the window under Xvfb"
cp "$build/tests/window_driver.exe" "$stage/bin/" # beside the Qt libraries
start_device 5
J4_PORTS=COM5 QT_QPA_PLATFORM=windows xvfb-run -a -s "-screen 0 640x480x24" \
    wine "$stage/bin/window_driver.exe" "$(winepath -w "$work/demo.j4u")" --until-result \
    >"$work/window.out" 2>&1 <<<""
status=$?
stop_device
result=$(tr -d '\r' <"$work/window.out" | grep -E '^(Info|Error): ' | head -n 1)
check "window: 'Info: Update is completed.' and Quit with exit 0 (got $status, '$result')" \
    test "$status" = 0 -a "$result" = "Info: Update is completed."
check "window: the device holds the image bit-exact" cmp -s "$work/demo.bin" "$work/capture.bin"
start_device 5
J4_PORTS=COM5 QT_QPA_PLATFORM=windows xvfb-run -a -s "-screen 0 640x480x24" \
    wine "$stage/bin/window_driver.exe" "$(winepath -w "$work/demo.j4u")" --until-result "$url" \
    "$(winepath -w "$work/window.jsonl")" win-window >"$work/window.out" 2>&1 <<<""
status=$?
stop_device
check "window with --records: completed, exit 0 (got $status)" \
    test "$status" = 0 -a -n "$(tr -d '\r' <"$work/window.out" | grep -x 'Info: Update is completed.')"
check "window with --records: its attempt in the database over TLS" \
    wait_until 60 sql_is "win-window completed" \
    "SELECT station || ' ' || outcome FROM j4_attempts WHERE station = 'win-window'"

echo "== the installer, in a Wine prefix of its own"
installer=$(ls "$build"/J4-Updater-*-win64.exe)
check "the installer is a 64-bit program (Wine needs no i386 part for it)" \
    sh -c "file -b '$installer' | grep -q '^PE32+ executable'"
version=$(sed -n 's/.*kVersion = "\(.*\)";/\1/p' "$build/generated/j4_version.h")
# Nothing of the checks above in it: only what the installer puts there.
wineserver -k >/dev/null 2>&1
clean_prefix=$work/clean-wine
export WINEPREFIX=$clean_prefix
wineboot -i >/dev/null 2>&1
wine "$installer" /S '/D=C:\j4-updater-test' >/dev/null 2>&1
installed=$WINEPREFIX/drive_c/j4-updater-test
missing=$(for dll in libpq.dll libssl-3-x64.dll libcrypto-3-x64.dll libj4_records_pq.dll \
              libj4_plant_pq.dll; do [ -f "$installed/bin/$dll" ] || echo "$dll"; done)
check "the installer carries libpq, OpenSSL and the database modules (missing: '$missing')" \
    test -z "$missing"
mkdir -p "$(windows_appdata)/postgresql"
cp "$appdata/postgresql/pgpass.conf" "$(windows_appdata)/postgresql/"
out=$(cd "$work" && wine "$installed/bin/j4_flash.exe" --send-records down.jsonl \
    --records "$url" 2>&1 | tr -d '\r')
check "installed j4_flash.exe --send-records over TLS (got '$out')" \
    grep -qF 'down.jsonl: 0 new records sent, 2 already in the database' <<<"$out"
out=$(wine "$installed/bin/j4_flash.exe" --version 2>/dev/null | tr -d '\r')
check "installed j4_flash.exe --version: 'j4_flash $version' (got '$out')" \
    test "$out" = "j4_flash $version"
out=$(wine "$installed/bin/j4_flash.exe" --check 'C:\j4-updater-test\doc\demo.j4u' 2>/dev/null | tr -d '\r')
check "installed j4_flash.exe --check on the installed example" \
    grep -q ': 96 frames, 24768 bytes$' <<<"$out"
check "the Start-menu entry" \
    test -n "$(find "$WINEPREFIX/drive_c" -iname 'J4 Updater*.lnk' 2>/dev/null | head -n 1)"
wine "$installed/Uninstall.exe" /S >/dev/null 2>&1
for _ in $(seq 50); do [ -e "$installed/bin/j4_flash.exe" ] || break; sleep 0.2; done
check "the uninstaller removes the programs" test ! -e "$installed/bin/j4_flash.exe"

checks_summary windows
