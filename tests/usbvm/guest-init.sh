#!/bin/busybox sh
# /init of the USB test machine: UHCI (QEMU's FTDI chip), three dummy controllers (the gadgets),
# the kernel's serial drivers, then a shell on serlynx.shell= (ttyS1: run.py, no prompt or echo).
/bin/busybox --install -s /bin
export PATH=/bin:/opt/serlynx LD_LIBRARY_PATH=/opt/serlynx
export TSAN_OPTIONS=suppressions=/opt/serlynx/tsan.supp:halt_on_error=1:second_deadlock_stack=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mount -t proc proc /proc; mount -t sysfs sysfs /sys; mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /etc; mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /tmp
ip link set lo up
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd; echo 'nobody:x:65534:' >/etc/group
depmod
for m in uhci-hcd ftdi_sio cdc-acm usb_f_acm usb_f_serial "dummy_hcd num=3"; do modprobe $m; done
mount -t configfs none /sys/kernel/config
shell=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^serlynx.shell=//p')
if [ "${shell:-ttyS0}" = ttyS0 ]; then
    setsid cttyhack sh
else
    stty -F /dev/$shell raw -echo
    { echo @@up; while read -r line; do eval "$line"; done; } </dev/$shell >/dev/$shell 2>&1
fi
poweroff -f
