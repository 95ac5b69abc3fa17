#!/bin/sh
# A gadget (FUNCTION acm or gser; several: a composite) on a UDC; prints the first one's far end.
set -e
[ "$1" = up ] || { echo "usage: gadget up NAME VID PID UDC FUNCTION..." >&2; exit 2; }
g=/sys/kernel/config/usb_gadget/$2 vid=$3 pid=$4 udc=$5
shift 5
mkdir -p $g/strings/0x409 $g/configs/c.1/strings/0x409
echo 0x$vid >$g/idVendor; echo 0x$pid >$g/idProduct; echo 0x0100 >$g/bcdDevice; echo 0x0200 >$g/bcdUSB
[ $# -gt 1 ] && { echo 0xEF >$g/bDeviceClass; echo 0x02 >$g/bDeviceSubClass; echo 0x01 >$g/bDeviceProtocol; }
echo "Linux gadget" >$g/strings/0x409/manufacturer
echo "$*" >$g/strings/0x409/product; echo "$*" >$g/configs/c.1/strings/0x409/configuration
basename $g >$g/strings/0x409/serialnumber
for f in "$@"; do mkdir $g/functions/$f.${g##*/}; ln -s $g/functions/$f.${g##*/} $g/configs/c.1/; done
echo $udc >$g/UDC
echo /dev/ttyGS$(cat $g/functions/$1.${g##*/}/port_num)
