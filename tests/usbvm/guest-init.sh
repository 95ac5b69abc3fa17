#!/bin/busybox sh
# /init of the USB test machine: the USB host side (UHCI for QEMU's FTDI chip, three dummy
# controllers for the gadgets) with the kernel's serial drivers the driver under test takes the
# devices from, then a shell on serlynx.shell= (ttyS1: run.py, one command a line, no prompt
# or echo, stdin the port too; ttyS0: a person at the console).
/bin/busybox --install -s /bin
export PATH=/bin:/opt/serlynx LD_LIBRARY_PATH=/opt/serlynx
export TSAN_OPTIONS=suppressions=/opt/serlynx/tsan.supp:halt_on_error=1:second_deadlock_stack=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mount -t proc proc /proc; mount -t sysfs sysfs /sys; mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /etc; mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /tmp
ip link set lo up
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd; echo 'nobody:x:65534:' >/etc/group
depmod
for m in uhci-hcd ftdi_sio cdc-acm usb_f_acm usb_f_serial; do modprobe $m; done
modprobe dummy_hcd num=3
mount -t configfs none /sys/kernel/config
shell=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^serlynx.shell=//p')
echo "serlynx-vm: up in $(cut -d' ' -f1 /proc/uptime) s"
if [ "${shell:-ttyS0}" = ttyS0 ]; then
    setsid cttyhack sh
else
    stty -F /dev/$shell raw -echo
    { echo @@up; while read -r line; do eval "$line"; done; } </dev/$shell >/dev/$shell 2>&1
fi
poweroff -f
