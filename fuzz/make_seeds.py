#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/). The
first-attach seeds hold the device models' own descriptors and are written by
the fuzz target itself (SERLYNX_FUZZ_SEEDS=<dir> fuzz_first_attach)."""
import os
import struct
import sys

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
KINDS = 9


def put(target, name, data):
    d = os.path.join(root, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


def dcb(baud=115200, flags=0x1011, size=8, parity=0, stop=0):
    return struct.pack("<IIIHHHBBBbbbbbH", 28, baud, flags, 0, 2048, 512, size, parity, stop,
                       0x11, 0x13, 0, 0, 0, 0)


def call(fn, inbuf=b"", outlen=0, flags=0):
    return bytes([fn, flags, len(inbuf), outlen]) + inbuf


# ---- COM_IOControl: a session of typical requests on each kind ----
for k in range(KINDS):
    s = bytes([k])
    s += call(20, outlen=28)                                   # GET_DCB
    s += call(21, dcb())                                       # SET_DCB
    s += call(15, struct.pack("<5I", 0xFFFFFFFF, 0, 0, 0, 0))  # SET_TIMEOUTS
    s += call(10, struct.pack("<I", 0x1FF))                    # SET_WAIT_MASK
    s += call(19, b"A")                                        # IMMEDIATE_CHAR
    s += call(11, outlen=4)                                    # WAIT_ON_MASK
    s += call(12, outlen=16) + call(13, outlen=4) + call(14, outlen=64)
    s += call(3) + call(5) + call(1) + call(2) + call(7) + call(8)
    s += call(17, struct.pack("<I", 0xF))                      # PURGE
    s += call(22) + call(20, outlen=28) + call(23)
    put("ioctl", "session-%d" % k, s)
    put("ioctl", "odd-dcb-%d" % k,
        bytes([k]) + call(21, dcb(baud=0, flags=0x3FFF, size=4, parity=9, stop=7)) +
        call(21, dcb(baud=0xFFFFFFFF, size=9)) + call(21, dcb(baud=1)) +
        call(9, outlen=3) + call(12, outlen=15, flags=4) + call(14, outlen=64, flags=2))
    # Every request with buffers of its own sizes, one byte short (flags 8
    # and 16: the fuzz target takes the sizes from the driver's table).
    put("ioctl", "short-%d" % k, bytes([k]) + b"".join(call(fn, flags=8 | 16) for fn in range(1, 24)))

# ---- receive path ----
def chunk(b):
    return bytes([len(b)]) + bytes(b)

for k in range(KINDS):
    s = bytes([k])
    s += bytes([0]) + chunk(b"hello")
    s += bytes([0x80]) + chunk(b"x" * 10)           # a full packet
    s += bytes([1]) + chunk(b"")                    # zero-length packet
    s += bytes([5]) + chunk(bytes([0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x83, 0]))  # SERIAL_STATE
    s += bytes([6]) + chunk(bytes([0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x74, 0x00]))
    s += bytes([2]) + chunk(bytes([0x01, 0x60]) + b"ftdi")  # FTDI status pair + data
    s += bytes([3]) + chunk(bytes([0x11, 0x60]))            # status pair alone
    s += bytes([7, 0]) + bytes([7, 1 << 2]) + bytes([7, 2])   # errors, a stall
    s += bytes([0]) + chunk(b"after")
    put("receive", "mix-%d" % k, s)
    put("receive", "flow-%d" % k,
        bytes([k]) + b"".join(bytes([0x80 | i]) + chunk(b"") for i in range(60)))

# ---- configured attach: registry edits ----
NAMES = ["ClassEndp", "ReceiveEndp", "SendEndp", "UsbMode", "Priority256", "ReceiveBuffer",
         "FriendlyName", "Prefix", "Dll", "DeviceType", "Tsp", "Index", "Order", "IClass", ""]

def value(name, typ, data, delete=False):
    sel = NAMES.index(name) | (0x80 if delete else 0)
    return bytes([sel, typ]) + chunk(data)

for k in range(KINDS):
    put("configured_attach", "plain-%d" % k, bytes([k]))
    put("configured_attach", "edits-%d" % k, bytes([k]) +
        value("UsbMode", 4, struct.pack("<I", 0x103)) +
        value("ReceiveBuffer", 4, struct.pack("<I", 65536)) +
        value("Priority256", 4, struct.pack("<I", 255)) +
        value("ReceiveEndp", 3, b"\x81") +
        value("ClassEndp", 1, "x\0".encode("utf-16-le")) +
        value("SendEndp", 4, b"", delete=True))

# ---- .reg text ----
put("regfile", "sample.reg", b"""REGEDIT4

; a comment
[HKEY_LOCAL_MACHINE\\Drivers\\USB\\LoadClients\\1027_24577\\Default\\Default\\Serlynx]
"Dll"="serlynx.dll"
@="default"
"Prefix"="COM"
"UsbMode"=dword:00000103
"Blob"=hex:01,02,ff,\\
  03,04
"Path"=hex(2):25,00,00,00
"Multi"=hex(7):61,00,00,00,00,00
"Any"=hex(1f):00
"Old"=-
[-HKEY_LOCAL_MACHINE\\Drivers\\Gone]
""")

# ---- lsusb -v text (synthetic) ----
put("lsusb", "cdc.txt", b"""
Bus 001 Device 005: ID 1209:5e10 Serlynx Sim CDC serial device
Device Descriptor:
  bLength                18
  bDescriptorType         1
  bcdUSB               2.00
  bDeviceClass            2 Communications
  bDeviceSubClass         0
  bDeviceProtocol         0
  bMaxPacketSize0        64
  idVendor           0x1209 Generic
  idProduct          0x5e10
  bcdDevice            1.00
  iManufacturer           1 Serlynx Sim
  iProduct                2 CDC serial device
  iSerial                 3 CDC00001
  bNumConfigurations      1
  Configuration Descriptor:
    bLength                 9
    bDescriptorType         2
    wTotalLength       0x0043
    bNumInterfaces          2
    bConfigurationValue     1
    iConfiguration          0
    bmAttributes         0x80
    MaxPower              100mA
    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        0
      bAlternateSetting       0
      bNumEndpoints           1
      bInterfaceClass         2 Communications
      bInterfaceSubClass      2 Abstract (modem)
      bInterfaceProtocol      1 AT-commands (v.25ter)
      iInterface              0
      CDC Header:
        bcdCDC               1.10
      Endpoint Descriptor:
        bLength                 7
        bDescriptorType         5
        bEndpointAddress     0x81  EP 1 IN
        bmAttributes            3
          Transfer Type            Interrupt
        wMaxPacketSize     0x0010  1x 16 bytes
        bInterval               1
    Interface Descriptor:
      bLength                 9
      bDescriptorType         4
      bInterfaceNumber        1
      bAlternateSetting       0
      bNumEndpoints           2
      bInterfaceClass        10 CDC Data
      bInterfaceSubClass      0
      bInterfaceProtocol      0
      iInterface              0
      Endpoint Descriptor:
        bLength                 7
        bDescriptorType         5
        bEndpointAddress     0x82  EP 2 IN
        bmAttributes            2
          Transfer Type            Bulk
        wMaxPacketSize     0x0040  1x 64 bytes
        bInterval               0
      Endpoint Descriptor:
        bLength                 7
        bDescriptorType         5
        bEndpointAddress     0x02  EP 2 OUT
        bmAttributes            2
          Transfer Type            Bulk
        wMaxPacketSize     0x0040  1x 64 bytes
        bInterval               0
Device Status:     0x0000
""")

# ---- RFC 2217 client bytes ----
IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
def sub(cmd, val):
    body = bytes([44, cmd]) + bytes(val)
    return bytes([IAC, SB]) + body.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])

for step in (0, 3):
    put("rfc2217", "open-%d" % step, bytes([step]) +
        bytes([IAC, DO, 1, IAC, WILL, 3, IAC, DO, 3, IAC, DO, 44, IAC, WILL, 44]) +
        sub(1, struct.pack(">I", 115200)) + sub(2, [8]) + sub(3, [1]) + sub(4, [1]) +
        sub(5, [1]) + sub(5, [8]) + sub(5, [11]) + sub(12, [1]) + sub(12, [2]) +
        sub(10, [0xFF]) + sub(11, [0xFF]) + sub(8, []) + sub(9, []) +
        b"data\xff\xffmore" + sub(5, [5]) + sub(5, [6]) + sub(5, [0]))
