#!/bin/bash
# The guest's first process, on the host's own root (read-only, over 9p): it
# brings up what the USB-serial checks need (devices, udev, the drivers) and
# then runs the commands the host puts in the shared folder (command_loop.sh).
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
. "$(dirname "$0")/command_loop.sh"
