#!/usr/bin/env bash
# The USB test machine: a QEMU guest built from Debian packages alone, in
# which the driver meets USB devices that none of this project wrote:
# QEMU's own FTDI chip emulation (usb-serial) and Linux's USB gadget stack on
# the dummy host controller (CDC ACM and generic serial functions).
#
#   scripts/usb-vm.sh image BUILD_BIN [OUT_DIR]
#       fetches the kernel package into a cache (apt-get download, unpacked
#       with dpkg -x: never installed here) and builds OUT_DIR/initrd.gz:
#       busybox, the kernel modules the guest needs, the binaries and
#       libraries of BUILD_BIN (serlynx, the driver, the platform, the VM
#       agent) and every shared library they load (ldd). Prints the kernel's
#       path and the initrd's.
#   scripts/usb-vm.sh shell BUILD_BIN [OUT_DIR]
#       builds the image and boots it with the guest's console on this
#       terminal (Ctrl-A X quits QEMU): for looking around by hand. QEMU's
#       FTDI chip sits on a host pty it names at start; it enumerates once
#       something opens that pty (e.g. picocom /dev/pts/N).
#
# The guest has no network device. The host reaches it only through QEMU
# character devices bound to 127.0.0.1 or host ptys; tests/usbvm/run.py is
# the host side of the tests (`make usb-vm-test`).
#
# KVM is not used: on these machines QEMU aborts setting MSRs with
# `-cpu host`, and with the default CPU the kernel never prints; under TCG
# the guest is at its shell after about 6 s of its own clock (12 to 17 s
# of wall time on the shared 2-core machine).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cmd=${1:-}
bin=${2:-}
out=${3:-$here/build/usb-vm}
if [ -z "$cmd" ] || [ -z "$bin" ]; then
    sed -n '2,/^set /p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'
    exit 2
fi
bin=$(cd "$bin" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

"$here/scripts/deps.sh" vm >&2

# The kernel: the image package that linux-image-amd64 depends on.
kernel_pkg() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1
}
pkg=$(kernel_pkg)
if [ -z "$pkg" ]; then
    apt-get update -qq
    pkg=$(kernel_pkg)
fi
[ -n "$pkg" ] || { echo "usb-vm: no kernel image package behind linux-image-amd64" >&2; exit 1; }
kdir=$out/kernel/$pkg
if [ ! -f "$kdir/done" ]; then
    mkdir -p "$out/deb"
    deb=$(ls "$out"/deb/"${pkg}"_*.deb 2>/dev/null | head -n1 || true)
    if [ -z "$deb" ]; then
        (cd "$out/deb" && apt-get download "$pkg" >/dev/null 2>&1) ||
            { echo "usb-vm: apt-get download $pkg failed" >&2; exit 1; }
        deb=$(ls "$out"/deb/"${pkg}"_*.deb | head -n1)
    fi
    rm -rf "$kdir"
    mkdir -p "$kdir"
    dpkg -x "$deb" "$kdir"
    touch "$kdir/done"
fi
kver=$(ls "$kdir/lib/modules" | head -n1)
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* | head -n1)
moddir=$kdir/lib/modules/$kver

root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,opt/serlynx,lib/modules/"$kver"}

cp /bin/busybox "$root/bin/busybox"

# Modules with what they depend on (the "depends=" of their .modinfo).
declare -A seen=()
add_module() {
    local name=$1 file dep
    [ -n "${seen[$name]:-}" ] && return 0
    seen[$name]=1
    file=$(find "$moddir/kernel" -name "$name.ko" -o -name "$(echo "$name" | tr _ -).ko" \
        -o -name "$(echo "$name" | tr - _).ko" | head -n1)
    [ -n "$file" ] || { echo "usb-vm: module $name not found" >&2; exit 1; }
    mkdir -p "$root/lib/modules/$kver/$(dirname "${file#$moddir/}")"
    cp "$file" "$root/lib/modules/$kver/${file#$moddir/}"
    for dep in $(grep -a -o 'depends=[a-z0-9_,-]*' "$file" | head -n1 | cut -d= -f2 | tr , ' '); do
        add_module "$dep"
    done
}
for m in usbcore uhci-hcd ftdi_sio cdc-acm dummy_hcd usb_f_acm usb_f_serial libcomposite \
    virtio_pci virtio_console; do
    add_module "$m"
done

# Our binaries and every library they load, at the paths they load them from.
copy_with_libs() {
    local f=$1 dest=$2 lib
    cp "$f" "$dest"
    for lib in $(ldd "$f" 2>/dev/null | awk '/=> \//{print $3} /^\t\//{print $1}'); do
        case $lib in
            "$bin"/*)  # ours: beside the binaries
                [ -e "$root/opt/serlynx/$(basename "$lib")" ] ||
                    copy_with_libs "$lib" "$root/opt/serlynx/"
                continue
                ;;
        esac
        if [ ! -e "$root$lib" ]; then
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        fi
    done
}
for f in serlynx usbvm_agent; do
    [ -x "$bin/$f" ] || { echo "usb-vm: $bin/$f is missing: build first" >&2; exit 1; }
    copy_with_libs "$bin/$f" "$root/opt/serlynx/"
done
# The driver: loaded at run time from beside the executable.
copy_with_libs "$bin/libserlynx.so" "$root/opt/serlynx/"
# /lib64 -> the loader's path on amd64
[ -e "$root/lib64" ] || { mkdir -p "$root/lib64"; cp -L /lib64/ld-linux-x86-64.so.2 "$root/lib64/"; }

cp "$here/tests/usbvm/guest-init.sh" "$root/init"
cp "$here/tests/usbvm/gadget.sh" "$root/bin/gadget"
cp "$here/tests/usbvm/tsan.supp" "$root/opt/serlynx/tsan.supp"
chmod +x "$root/init" "$root/bin/gadget"

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$out/initrd.gz")
echo "kernel $vmlinuz"
echo "initrd $out/initrd.gz"

if [ "$cmd" = shell ]; then
    exec qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot -nic none \
        -kernel "$vmlinuz" -initrd "$out/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1 serlynx.shell=ttyS0" \
        -usb -chardev pty,id=ftdi0 -device usb-serial,id=ftdi,chardev=ftdi0
fi
