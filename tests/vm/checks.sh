# The checks in the guest; sourced by run.sh, whose helpers they use.
by_id() { echo "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_$1-if00-port0"; }
same_image() { cmp -s "$work/demo.bin" "$work/$1.bin"; }
# In the guest: wait until PATH is there (plugged) or gone (pulled).
# (A moment more once it is there: ftdi_sio sets the adapter up after udev.)
appears() { echo "for _ in \$(seq 200); do [ -e $1 ] && break; sleep 0.05; done; udevadm settle; sleep 0.3"; }
vanishes() { echo "for _ in \$(seq 200); do [ -L $1 ] || [ -e $1 ] || break; sleep 0.05; done"; }
# A station's result lines: "HH:MM:SS  slot N  DEVICE  SERIAL  TEXT  S.S s".
results() { grep -cE '^[0-9:]{8}  slot [0-9]+  .*  [0-9]+\.[0-9] s$'; }
# In the guest: until no adapter is left, and udev is done with them.
all_gone() { echo "for _ in \$(seq 200); do ls /dev/ttyUSB* >/dev/null 2>&1 || break; sleep 0.05; done; udevadm settle"; }

echo "== an update through ftdi_sio, by the adapter's by-id name"
plug a A10K1XYZ 1
guest "$(appears "$(by_id A10K1XYZ)")"
guest "$flash -q --device $(by_id A10K1XYZ) /mnt/demo.j4u"
check "exit 0 through ftdi_sio (got $status: $out)" test "$status" = 0
check "the device holds the image bit-exact" same_image a

echo "== the adapter pulled in the middle of a transfer, then plugged in again"
pull a
guest "$(all_gone)"
plug a A10K1XYZ 1 --delay-us 20000
guest "$(appears "$(by_id A10K1XYZ)")"
guest_send "tty=\$(readlink -f $(by_id A10K1XYZ))
    $flash -q --timeout 60000 --device \$tty /mnt/demo.j4u >/dev/null 2>/run/tmp/pulled.err & pid=\$!
    while [ -e \$tty ]; do sleep 0.01; done; gone=\$(date +%s%N)
    wait \$pid; rc=\$?; echo \"\$rc \$(( (\$(date +%s%N) - gone) / 1000000 ))\"
    ls /run/lock | grep -c LCK; cat /run/tmp/pulled.err"
# Pulled once the transfer is under way (starting a program in the guest
# takes a while under TCG): the device has taken a frame.
for _ in $(seq 400); do [ -s "$work/a.bin" ] && break; sleep 0.05; done
pull a
guest_wait
pulled=$out
guest "$(all_gone)" # before anything more is plugged
read -r rc ms <<<"$(head -n 1 <<<"$pulled")"
check "exit 5 once pulled (got $rc: $(echo $pulled))" test "$rc" = 5
# Told by the removal itself, not by the 60 s answer time-out running out:
# no fixed second, which a guest emulated on a busy machine can overrun.
check "long before the answer time-out (got ${ms} ms)" test "${ms:-99999}" -lt 20000
check "no lock file left" test "$(sed -n 2p <<<"$pulled")" = 0
plug a A10K1XYZ 1
guest "$(appears "$(by_id A10K1XYZ)"); $flash -q --device $(by_id A10K1XYZ) /mnt/demo.j4u"
check "plugged in again: updated (got $status)" test "$status" = 0 && same_image a

echo "== a ports file pins numbers to sockets, whatever the order of plugging"
plug b B222 2
guest "$(appears "$(by_id B222)")
    export XDG_CONFIG_HOME=/run/tmp/config; mkdir -p /run/tmp/config/j4-updater
    $flash --list-ports --ports-file >/run/tmp/config/j4-updater/ports; cat /run/tmp/config/j4-updater/ports"
ports_file=$out
check "a ports file pins both sockets" test "$(grep -c '^[0-9]* /dev/serial/by-path/' <<<"$ports_file")" = 2
pull a
pull b
guest "$(all_gone)"
plug b B222 2
guest "$(appears "$(by_id B222)")"
plug a A10K1XYZ 1
guest "$(appears "$(by_id A10K1XYZ)"); export XDG_CONFIG_HOME=/run/tmp/config; $flash --list-ports"
listed=$out
socket_a=$(grep -- '-usb-0:1:1.0-port0' <<<"$ports_file" | cut -d' ' -f1)
check "the number of socket 1 is the same, now ttyUSB1 (got: $listed)" \
    grep -q "^ *$socket_a  /dev/serial/by-path/.*usb-0:1:1.0-port0.*\[ports file\]" <<<"$listed"
guest "export XDG_CONFIG_HOME=/run/tmp/config; $flash -q --port $socket_a /mnt/demo.j4u"
check "--port $socket_a reaches the adapter in socket 1" test "$status" = 0 && same_image a

echo "== an adapter chosen by its serial number"
rm -f "$work/b.bin"
guest "$flash -q --serial B222 /mnt/demo.j4u"
check "--serial B222 (got $status: $out)" test "$status" = 0 && same_image b
guest "$flash -q --serial NOSUCH /mnt/demo.j4u"
check "an unknown serial: exit 4, with those present (got $status: $out)" \
    test "$status" = 4 && grep -q "A10K1XYZ" <<<"$out"

echo "== a station over two sockets: three devices each, one pulled mid-update"
pull a
pull b
# Slots 1 and 2 are sockets 1 and 2 (the guest's own ttyS0 would be 1).
socket1=$(grep -o '/dev/serial/by-path/[^ ]*usb-0:1:1.0-port0' <<<"$ports_file")
socket2=$(grep -o '/dev/serial/by-path/[^ ]*usb-0:2:1.0-port0' <<<"$ports_file")
guest "$(all_gone)
    mkdir -p /run/tmp/station/j4-updater; printf '1 %s\n2 %s\n' $socket1 $socket2 >/run/tmp/station/j4-updater/ports
    export XDG_CONFIG_HOME=/run/tmp/station
    setsid $flash --watch --port 1 --port 2 --log /mnt/station.jsonl --timeout 1000 \
        /mnt/demo.j4u >/mnt/station.out 2>&1 </dev/null & echo \$! >/run/tmp/station.pid"
for cycle in 1 2 3; do
    options=()
    [ "$cycle" = 2 ] && options=(--delay-us 20000)
    plug a "A$cycle" 1 "${options[@]}"
    plug b "B$cycle" 2
    if [ "$cycle" = 2 ]; then
        # The slow device is pulled mid-update, once it has taken a frame.
        for _ in $(seq 400); do [ -s "$work/a.bin" ] && break; sleep 0.05; done
        pull a
    fi
    for _ in $(seq 200); do
        [ "$(results <"$share/station.out" 2>/dev/null)" -ge $((cycle * 2)) ] && break
        sleep 0.1
    done
    sleep 0.5 # left plugged: not updated again
    [ "$cycle" != 2 ] && { check "cycle $cycle: socket 1's device updated" same_image a; pull a; }
    check "cycle $cycle: socket 2's device updated" same_image b
    pull b
    guest "$(all_gone)"
done
guest "kill -INT \$(cat /run/tmp/station.pid); while kill -0 \$(cat /run/tmp/station.pid) 2>/dev/null; do sleep 0.05; done"
summary=$(cat "$share/station.out")
check "six attempts, one line each, the pulled one failed (got: $summary)" \
    test "$(results <<<"$summary")" = 6
check "slot 1: 2 completed, 1 failed" grep -q "slot 1 (port 1): 2 completed, 1 failed" <<<"$summary"
check "slot 2: 3 completed, 0 failed" grep -q "slot 2 (port 2): 3 completed, 0 failed" <<<"$summary"
logged=$(grep -c '"slot":[12]' "$share/station.jsonl")
serials=$(grep -c '"adapter_serial":"[AB][123]"' "$share/station.jsonl")
check "every attempt logged with its slot and adapter serial (got $logged and $serials of 6: $(grep -v '"adapter_serial":"[AB][123]"' "$share/station.jsonl" | cut -c1-300))" \
    test "$(grep -c '"slot":[12].*' "$share/station.jsonl")" = 6 -a \
    "$(grep -c '"adapter_serial":"[AB][123]"' "$share/station.jsonl")" = 6

echo "== the station window on socket 1: two adapters, one after the other, then SIGTERM"
guest "$(all_gone)
    export XDG_CONFIG_HOME=/run/tmp/station QT_QPA_PLATFORM=offscreen J4_UPDATE_LOG=/mnt/window.jsonl
    setsid bash -c '$updater --station --port 1 /mnt/demo.j4u & echo \$! >/run/tmp/window.pid
        wait \$!; echo \$? >/run/tmp/window.rc' >/mnt/window.out 2>&1 </dev/null &"
for serial in W1 W2; do
    plug a "$serial" 1
    for _ in $(seq 600); do
        grep -q "\"adapter_serial\":\"$serial\"" "$share/window.jsonl" 2>/dev/null && break
        sleep 0.1
    done
    check "the window's station updated adapter $serial" same_image a
    pull a
    guest "$(all_gone)"
done
guest "kill -TERM \$(cat /run/tmp/window.pid)
    for _ in \$(seq 100); do [ -f /run/tmp/window.rc ] && break; sleep 0.05; done
    cat /run/tmp/window.rc; ls /run/lock | grep -c LCK"
check "it ends with 130 on SIGTERM, no lock left (got: $(echo $out))" test "$(echo $out)" = "130 0"
check "two attempts logged, completed, with slot and serial" \
    test "$(grep -c '"outcome":"completed".*"slot":1' "$share/window.jsonl")" = 2 -a \
    "$(grep -c '"adapter_serial":"W[12]"' "$share/window.jsonl")" = 2

echo "== the package's udev rule: the seated user may open the adapter, ModemManager leaves it"
plug a A10K1XYZ 1
guest "$(appears "$(by_id A10K1XYZ)")"
guest "mkdir -p /run/udev/rules.d && cp $root/packaging/60-j4-updater.rules /run/udev/rules.d/ &&
    udevadm control --reload && udevadm trigger --action=change --subsystem-match=tty &&
    udevadm settle && udevadm info \$(readlink -f $(by_id A10K1XYZ))"
check "udevadm info: uaccess and ID_MM_DEVICE_IGNORE=1 (got: $(grep -E 'TAGS|MM' <<<"$out" | tr '\n' ' '))" \
    eval 'grep -q "E: ID_MM_DEVICE_IGNORE=1" <<<"$out" && grep -q "TAGS=.*:uaccess:" <<<"$out"'
pull a
guest "$(all_gone)"
