#!/bin/bash
# The guest's first process, on the host's own root (read-only, over 9p): it
# brings up what the USB-serial checks need (devices, udev, the drivers) and
# then runs the commands the host puts in the shared folder, one at a time:
# cmd-N is run with bash, its output goes to out-N and its status to rc-N.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
# /tmp stays the host's (read-only): the checkout may live there. Scratch
# space is under /run.
for dir in /run /root; do mount -t tmpfs tmpfs "$dir"; done
mkdir -p /run/lock /run/udev /run/tmp /run/user
export TMPDIR=/run/tmp XDG_RUNTIME_DIR=/run/user
share=/mnt
modprobe xhci-pci
modprobe ftdi_sio
/lib/systemd/systemd-udevd --daemon
udevadm trigger --action=add
udevadm settle
echo ready >"$share/ready"
n=1
while :; do
    if [ -f "$share/cmd-$n" ]; then
        bash "$share/cmd-$n" >"$share/out-$n" 2>&1
        echo $? >"$share/rc-$n.tmp" && mv "$share/rc-$n.tmp" "$share/rc-$n"
        n=$((n + 1))
    elif [ -f "$share/halt" ]; then
        break
    else
        sleep 0.05
    fi
done
sync
echo o >/proc/sysrq-trigger
