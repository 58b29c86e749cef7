# The station service as shipped, in a real systemd: a second guest boots a
# clean Debian 12 root (the package check's) with systemd as its init and
# the j4-flash package installed, runs j4-station@line-3 on the shipped
# example profile adjusted to the guest's emulated adapter, and is told by
# the host, through an agent unit, what to run. Sourced by run.sh after its
# first guest has halted; uses its helpers (plug, pull, guest, check).

sysroot=$work/sysroot
flash_deb=$(ls "$root"/build-deb/j4-flash_*.deb 2>/dev/null | tail -n 1)
if [ -z "$flash_deb" ]; then
    echo "   building the packages (scripts/build-packages.sh)"
    "$root/scripts/build-packages.sh" >/dev/null
    flash_deb=$(ls "$root"/build-deb/j4-flash_*.deb | tail -n 1)
fi
cache=${J4_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/j4-updater}
mkdir -p "$cache/archives/partial"
unmount_sysroot() {
    for m in lib/modules/$version var/cache/apt/archives proc; do
        mountpoint -q "$sysroot/$m" && umount "$sysroot/$m"
    done
    return 0
}
service_cleanup() {
    unmount_sysroot
    rm -rf "$sysroot"
}

echo "== the station service in a real systemd (j4-flash installed in a clean Debian 12 root)"
"$root/scripts/clean-root.sh" "$sysroot"
mount -t proc proc "$sysroot/proc"
mount --bind "$cache/archives" "$sysroot/var/cache/apt/archives"
cp "$flash_deb" "$sysroot/tmp/"
in_sysroot() { chroot "$sysroot" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive /bin/bash -c "$1"; }
in_sysroot "apt-get -qq update && apt-get -qq install -y --no-install-recommends systemd-sysv \
    udev kmod /tmp/$(basename "$flash_deb")" >"$work/sysroot-apt.log" 2>&1 ||
    tail -n 20 "$work/sysroot-apt.log"
check "the package and systemd install in the clean root" in_sysroot "id j4-station >/dev/null"
# What the guest needs of the machine: its kernel's modules, an ID, no
# timers that would wake apt under TCG.
mkdir -p "$sysroot/lib/modules/$version"
mount --bind -o ro "/lib/modules/$version" "$sysroot/lib/modules/$version"
in_sysroot "systemd-machine-id-setup >/dev/null; systemctl mask -q apt-daily.timer \
    apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer serial-getty@ttyS0.service \
    getty@tty1.service 2>/dev/null; true"
mkdir -p "$sysroot/srv/j4"
cp "$root/examples/demo.j4u" "$sysroot/srv/j4/demo.j4u"
# The shipped example as a plant adjusts it: this release file (unsigned),
# this guest's adapter; everything else (log, metrics, units, the unit's
# own paths) as shipped.
mkdir -p "$sysroot/etc/j4-updater"
sed -e 's|^file = .*|file = /srv/j4/demo.j4u|' \
    -e 's|^slots = .*|slots = '"$(by_id S3RV1CE)"'|' \
    -e '/^trust-key = /d' -e '/^require-signature = /d' -e '/^min-version = /d' \
    -e 's|^# on-result = .*|on-result = /bin/true|' \
    "$root/examples/station.ini" >"$sysroot/etc/j4-updater/line-3.ini"
printf '[station]\nfile = /srv/j4/demo.j4u\nslots = 1\nsettle = soon\n' \
    >"$sysroot/etc/j4-updater/bad.ini"
mkdir -p "$sysroot/usr/local/lib/j4-vm"
cp "$root/tests/vm/command_loop.sh" "$sysroot/usr/local/lib/j4-vm/"
cat >"$sysroot/usr/local/sbin/j4-vm-agent" <<'AGENT'
#!/bin/bash
# The guest's side of the host's commands, once its adapters can come.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results /mnt
share=/mnt
modprobe xhci-pci
modprobe ftdi_sio
udevadm settle
echo ready >"$share/ready"
. /usr/local/lib/j4-vm/command_loop.sh
AGENT
chmod +x "$sysroot/usr/local/sbin/j4-vm-agent"
cat >"$sysroot/etc/systemd/system/j4-vm-agent.service" <<'UNIT'
[Unit]
Description=The VM checks' agent
After=systemd-udevd.service local-fs.target
[Service]
ExecStart=/usr/local/sbin/j4-vm-agent
[Install]
WantedBy=multi-user.target
UNIT
in_sysroot "systemctl enable -q j4-vm-agent.service"
unmount_sysroot
mkdir -p "$sysroot/lib/modules/$version"
mount --bind -o ro "/lib/modules/$version" "$sysroot/lib/modules/$version"

# Its initramfs: the same modules, the root over 9p read-write, systemd.
sed -i -e 's|^mount -t 9p .* hostroot /newroot$|mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 sysroot /newroot|' \
    -e '/ results \/newroot\/mnt$/d' \
    -e 's|^exec switch_root .*|exec switch_root /newroot /lib/systemd/systemd|' \
    "$work/initramfs/init"
(cd "$work/initramfs" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initramfs.gz"
rm -rf "$share" && mkdir -p "$share"
step=0
plugs=0
boot_guest "$work/service-console.log" "systemd.show_status=0" \
    "local,path=$sysroot,mount_tag=sysroot,security_model=passthrough,multidevs=remap" 300 \
    "the guest boots with systemd as its init" || return
unit=j4-station@line-3
journal() { echo "journalctl -q -o cat -u $unit"; }
# Until the log has N lines of OUTCOME.
logged() { echo "for _ in \$(seq 1200); do [ \"\$(grep -c '\"outcome\":\"$2\"' \
    /var/lib/j4-updater/line-3.jsonl 2>/dev/null)\" -ge $1 ] && break; sleep 0.1; done"; }

guest "systemctl enable --now $unit && systemctl is-active $unit"
check "the unit starts on the shipped example profile (got $status: $out)" test "$status" = 0
plug s S3RV1CE 1
guest "$(logged 1 completed)"
check "a device plugged in is updated, bit-exact" same_image s
pull s
plug r S3RV1CE 1 --reject 3,4,5,6
guest "$(logged 1 rejected_four_times)"
guest "systemctl stop $unit; systemctl is-failed $unit"
check "a stop after a failed attempt is not a failure (got: $out)" test "$out" = inactive
pull r
guest "cat /var/lib/j4-updater/line-3.jsonl"
check "the records name the unit's user and the station" \
    grep -q '"station":"line-3".*"operator":"j4-station"\|"operator":"j4-station".*"station":"line-3"' \
    <<<"$out"
guest "stat -c %a /var/lib/j4-updater/metrics; cat /var/lib/j4-updater/metrics/line-3.prom"
check "the metrics are in their folder, readable by the exporter" test "$(head -n 1 <<<"$out")" = 755
check "the metrics count the attempts and say the station has stopped" \
    bash -c 'grep -q "slot=\"1\",result=\"completed\"} 1" <<<"$1" &&
        grep -q "slot=\"1\",result=\"rejected_four_times\"} 1" <<<"$1" &&
        grep -q "state=\"stopped\"} 1" <<<"$1" && grep -q "^j4_station_info{" <<<"$1"' _ "$out"
guest "systemctl start $unit && systemctl is-active $unit"
check "it starts again (got $status: $out)" test "$status" = 0
guest "sleep 2; $(journal)"
check "the journal has the shift: the watch, the update, the stop" \
    bash -c '[ "$(grep -c "^Watching 1 slot\.$" <<<"$1")" -ge 2 ] &&
        grep -q "Update is completed." <<<"$1" && grep -q "Station summary:" <<<"$1"' _ "$out"
check "the journal keeps one line per attempt, none of a terminal's" \
    bash -c '! grep -qE "plugged in|sending [0-9]+ bytes|[0-9]+%$|Ctrl\+C" <<<"$1"' _ "$out"
guest "journalctl -q -o cat -p warning -u $unit"
check "journalctl -p warning shows the failed attempt, not the completed one" \
    bash -c 'grep -qiE "crc|reject" <<<"$1" && ! grep -q "Update is completed." <<<"$1"' _ "$out"
check "the journal says the result command runs on a read-only system" \
    grep -q "The result command runs where the file system is read-only" <<<"$out"
echo "-- the journal of the shift:"
guest "$(journal)"
grep -E "Watching|Update is|CRC|summary|slot 1 \(" <<<"$out" | head -n 8 | sed 's/^/   /'
# Never ready: its start fails (Type=notify), where before it seemed to start.
guest "systemctl start j4-station@bad 2>/dev/null && echo started || echo refused; sleep 8;
    systemctl is-failed j4-station@bad; systemctl show -p NRestarts --value j4-station@bad;
    journalctl -q -o cat -u j4-station@bad"
check "a profile that cannot work fails its start once, not restarted, and says why" \
    bash -c '[ "$(sed -n 1p <<<"$1")" = refused ] && [ "$(sed -n 2p <<<"$1")" = failed ] &&
        [ "$(sed -n 3p <<<"$1")" = 0 ] &&
        grep -q "bad.ini:4: settle takes a number of milliseconds" <<<"$1"' _ "$out"
guest "systemctl stop $unit; sync" >/dev/null
: >"$share/halt"
wait "$qemu_pid" 2>/dev/null
qemu_pid=""
