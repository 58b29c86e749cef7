#!/usr/bin/env bash
# The real Linux USB-serial driver: a QEMU guest (TCG) with emulated FTDI
# adapters (usb-serial on qemu-xhci), each wired to a j4_devsim pseudo-
# terminal on the host, plugged and pulled through QEMU's monitor. The guest
# runs the host's own programs over 9p, with udev for /dev/serial names.
# Then the station service in a real systemd (service.sh).
# Run by `./test vm` as root; the programs must be built (and the packages,
# else they are built here).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
devsim=$root/build/tools/j4_devsim
flash=$root/build/tools/j4_flash
updater=$root/build/panel/j4_updater

kernel=$(ls /boot/vmlinuz-* | sort -V | tail -n 1)
version=${kernel#/boot/vmlinuz-}
work=$(mktemp -d /tmp/j4-vm.XXXXXX)
share=$work/share
mkdir -p "$share"
qemu_pid=""
declare -A devsims=()
cleanup() {
    for pid in "${devsims[@]}"; do kill "$pid" 2>/dev/null; done
    [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
    wait 2>/dev/null
    declare -F service_cleanup >/dev/null && service_cleanup
    rm -rf "$work"
}
trap cleanup EXIT

. "$root/tests/support/checks.sh"

# The initramfs: busybox and the modules that reach the host's root over 9p.
modules_in_order() { # MODULE... -> its dependencies first, each once
    local m dep
    for m in "$@"; do
        [ -n "${seen[$m]:-}" ] && continue
        seen[$m]=1
        for dep in $(modinfo -k "$version" -F depends "$m" | tr ',' ' '); do
            modules_in_order "$dep"
        done
        echo "$m"
    done
}
make_initramfs() {
    local dir=$work/initramfs m
    mkdir -p "$dir"/{bin,dev,proc,sys,newroot,modules}
    cp /bin/busybox "$dir/bin/busybox"
    declare -gA seen=()
    for m in $(modules_in_order virtio_pci 9pnet_virtio 9p); do
        cp "$(modinfo -k "$version" -n "$m")" "$dir/modules/"
        echo "$(basename "$(modinfo -k "$version" -n "$m")")" >>"$dir/modules/order"
    done
    cat >"$dir/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for m in \$(cat /modules/order); do insmod /modules/\$m; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results /newroot/mnt
umount /dev /proc
exec switch_root /newroot $root/tests/vm/guest.sh
INIT
    chmod +x "$dir/init"
    (cd "$dir" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initramfs.gz"
}

monitor() { # COMMAND -> QEMU's answer (also kept in monitor.log)
    printf '%s\n' "$1" | socat - "UNIX-CONNECT:$work/monitor" 2>/dev/null | tr -d '\r' |
        tee -a "$work/monitor.log"
}

# A j4_devsim named NAME on a pseudo-terminal, and an adapter of serial
# number SERIAL wired to it in USB socket PORT (1..4): plugged in. Each plug
# gets a character device of its own: QEMU frees the last one only later.
plugs=0
declare -A chardevs=()
plug() { # NAME SERIAL PORT [j4_devsim options...]
    local name=$1 serial=$2 port=$3
    shift 3
    rm -f "$work/$name.link" "$work/$name.bin"
    "$devsim" --link "$work/$name.link" --capture "$work/$name.bin" "$@" \
        >/dev/null 2>"$work/$name.err" &
    devsims[$name]=$!
    for _ in $(seq 100); do [ -e "$work/$name.link" ] && break; sleep 0.05; done
    plugs=$((plugs + 1))
    chardevs[$name]=c$plugs
    monitor "chardev-add serial,id=c$plugs,path=$(readlink "$work/$name.link")" >/dev/null
    monitor "device_add usb-serial,id=u$name,chardev=c$plugs,serial=$serial,bus=xhci.0,port=$port" \
        >/dev/null
}
pull() { # NAME
    local name=$1
    monitor "device_del u$name" >/dev/null
    for _ in $(seq 100); do
        monitor "chardev-remove ${chardevs[$name]}" | grep -q Error || break
        sleep 0.05
    done
    kill "${devsims[$name]}" 2>/dev/null
    wait "${devsims[$name]}" 2>/dev/null
    unset "devsims[$name]"
}

# Commands in the guest, one at a time: send, then wait for the status.
step=0
guest_send() { # SCRIPT
    step=$((step + 1))
    printf '%s\n' "$1" >"$share/cmd-$step.tmp" && mv "$share/cmd-$step.tmp" "$share/cmd-$step"
}
guest_wait() { # -> $status, $out
    for _ in $(seq 1200); do [ -f "$share/rc-$step" ] && break; sleep 0.05; done
    status=$(cat "$share/rc-$step" 2>/dev/null || echo timeout)
    out=$(cat "$share/out-$step" 2>/dev/null)
}
guest() { guest_send "$1"; guest_wait; }

echo "== booting the guest (kernel $version, TCG)"
make_initramfs
"$flash" --check examples/demo.j4u --image-out "$work/demo.bin" >/dev/null
cp examples/demo.j4u "$share/demo.j4u"
# A guest on $work/initramfs.gz: its console to CONSOLE, more kernel
# arguments, its root's 9p export; the shared folder and the USB controller.
# Checked as NAME once it is ready, within SECONDS; false when it is not.
boot_guest() { # CONSOLE ARGUMENTS ROOT_EXPORT SECONDS NAME
    qemu-system-x86_64 -machine q35 -accel tcg -m 1024 -smp 1 -display none -no-reboot \
        -kernel "$kernel" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 panic=-1 quiet $2" -serial "file:$1" -virtfs "$3" \
        -virtfs "local,path=$share,mount_tag=results,security_model=none" \
        -device qemu-xhci,id=xhci -monitor "unix:$work/monitor,server,nowait" &
    qemu_pid=$!
    for _ in $(seq $(($4 * 10))); do [ -f "$share/ready" ] && break; sleep 0.1; done
    check "$5" test -f "$share/ready"
    [ -f "$share/ready" ] || { tail -n 30 "$1"; false; }
}
boot_guest "$work/console.log" "" \
    "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" 120 \
    "the guest boots and brings up udev" || { checks_summary vm; exit 1; }
. "$root/tests/vm/checks.sh"
guest "sync" >/dev/null
: >"$share/halt"
wait "$qemu_pid" 2>/dev/null
qemu_pid=""
. "$root/tests/vm/service.sh"
if [ "$failed" -ne 0 ]; then
    echo "-- QEMU's monitor said:"
    grep -v '^(qemu)\|QEMU .* monitor' "$work/monitor.log" | tail -n 20
fi
checks_summary vm
