#!/bin/sh
# Gadgets of the USB test machine, made through configfs (libcomposite):
#   gadget make NAME VID PID FUNCTION...   FUNCTION: acm or gser (in order)
#   gadget plug NAME UDC                   binds it to a dummy controller
#   gadget unplug NAME                     an empty UDC: the host sees it go
#   gadget ttys NAME                       the far ends, /dev/ttyGSn, in order
set -e
g=/sys/kernel/config/usb_gadget/$2
case $1 in
make)
    mkdir -p $g
    echo 0x$3 >$g/idVendor
    echo 0x$4 >$g/idProduct
    echo 0x0100 >$g/bcdDevice
    echo 0x0200 >$g/bcdUSB
    shift 4
    if [ $# -gt 1 ]; then
        # Several functions: a composite device, each function grouped by
        # an interface association.
        echo 0xEF >$g/bDeviceClass
        echo 0x02 >$g/bDeviceSubClass
        echo 0x01 >$g/bDeviceProtocol
    fi
    mkdir -p $g/strings/0x409 $g/configs/c.1/strings/0x409
    echo "Linux gadget" >$g/strings/0x409/manufacturer
    echo "$*" >$g/strings/0x409/product
    echo "$(basename $g)" >$g/strings/0x409/serialnumber
    echo "$*" >$g/configs/c.1/strings/0x409/configuration
    echo 100 >$g/configs/c.1/MaxPower
    for f in "$@"; do
        mkdir -p $g/functions/$f.$(basename $g)
        ln -s $g/functions/$f.$(basename $g) $g/configs/c.1/
    done
    ;;
plug) echo $3 >$g/UDC ;;
unplug) echo "" >$g/UDC ;;
ttys)
    out=""
    for f in $g/functions/*; do
        out="$out${out:+,}/dev/ttyGS$(cat $f/port_num)"
    done
    echo $out
    ;;
*) echo "usage: gadget make|plug|unplug|ttys NAME ..." >&2; exit 2 ;;
esac
