#!/bin/busybox sh
# /init of the USB test machine: mounts, loads the USB host and gadget
# modules, makes the gadgets, then runs a shell on the port named on the
# kernel command line (serlynx.shell=ttyS1 for the host's test driver,
# ttyS0 for a person at the console).
/bin/busybox --install -s /bin
export PATH=/bin:/opt/serlynx LD_LIBRARY_PATH=/opt/serlynx
# Used only by sanitizer builds: the first report fails the run.
export TSAN_OPTIONS=suppressions=/opt/serlynx/tsan.supp:halt_on_error=1:second_deadlock_stack=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
ip link set lo up
# An unprivileged user, to see what serlynx says without access to usbfs.
mkdir -p /etc
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd
echo 'nobody:x:65534:' >/etc/group
depmod
# The guest's own host side: the PC's UHCI controller (QEMU's FTDI chip sits
# on it) and three dummy controllers, one per gadget. The kernel's drivers
# for serial adapters are loaded too: the driver under test has to take the
# devices from them and give them back.
for m in uhci-hcd ftdi_sio cdc-acm usb_f_acm usb_f_serial; do modprobe $m; done
modprobe dummy_hcd num=3
mount -t configfs none /sys/kernel/config
shell=ttyS0
for a in $(cat /proc/cmdline); do
    case $a in serlynx.shell=*) shell=${a#serlynx.shell=} ;; esac
done
echo "serlynx-vm: up in $(cut -d' ' -f1 /proc/uptime) s"
if [ "$shell" = ttyS0 ]; then
    setsid cttyhack sh
else
    stty -F /dev/$shell raw -echo
    # The host's test driver: one command a line, output back; no prompt,
    # no echo, no line editing. A command's stdin is the port too (the
    # agent reads the host's replies there).
    while read -r line; do eval "$line"; done </dev/$shell >/dev/$shell 2>&1
fi
poweroff -f
