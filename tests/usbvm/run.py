#!/usr/bin/python3
"""The USB machine tests: the guest of scripts/usb-vm.sh runs usbvm_agent on QEMU's FTDI chip (its
serial side a host pty) and Linux's gadgets (CDC ACM, generic serial, both), then the tool."""
import argparse, os, pty, re, select, socket, subprocess, sys, termios, time, tty

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BAUD = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n[:1] == "B" and n[1:].isdigit()}
SCENARIOS = {"ftdi": ("0403:6001", None), "acm": ("0525:a4a7", "acm"),  # the device, its gadget
             "serial": ("0525:a4a6", "gser"), "composite": ("1d6b:0104", "acm gser")}
# The tool on the CDC ACM gadget: what each command must print (a regular expression).
TOOL = (("serlynx devices --usb", "0525:a4a7"), ("serlynx probe --usb 0525:a4a7", "UsbMode"),
        ("serlynx probe --usb 0525:ffff", "no USB device 0525:ffff"),
        ("su -s /bin/sh nobody -c '/opt/serlynx/serlynx probe --usb 0525:a4a7'",
         "chmod a\\+rw /dev/bus/usb/"),
        # serve --usb: its pty reaches the gadget, the device is busy, Ctrl-C leaves a capture.
        ("serlynx serve --usb 0525:a4a7 --rfc2217 127.0.0.1:0 --pty /tmp/com --capture /tmp/c.pcap"
         " >/tmp/s.log 2>&1 & pid=$!; timeout 60 sh -c 'until grep -q ready /tmp/s.log; do "
         "sleep 1; done'; stty -F /dev/ttyGS0 raw -echo; timeout 10 head -c 5 /dev/ttyGS0 "
         ">/tmp/got & sleep 1; stty -F /tmp/com raw -echo; printf hello >/tmp/com; wait $!; "
         "serlynx probe --usb 0525:a4a7; kill -INT $pid; wait $pid; echo exit $?; cat /tmp/s.log; "
         "echo got $(cat /tmp/got); wc -c </tmp/c.pcap",
         "(?s)is busy: another program has claimed.*exit 0\n.*(serves it|served at once).*"
         "got hello\n *[1-9][0-9]{3,}$"))


def pattern(seed, n):  # the agent's Pattern (std::minstd_rand, bits 7 to 14)
    x, out = seed % 2147483647 or 1, bytearray(n)
    for i in range(n):
        x = x * 48271 % 2147483647
        out[i] = (x >> 7) & 0xFF
    return bytes(out)


class Guest:
    def __init__(self, kernel, initrd, out):
        self.pty, self.slave = pty.openpty()  # the slave kept open for QEMU's replug
        tty.setraw(self.slave)
        os.set_blocking(self.pty, False)
        socks = [socket.create_server(("127.0.0.1", 0)) for _ in "cm"]  # the shell, the monitor
        self.qemu = subprocess.Popen((
            "qemu-system-x86_64 -accel tcg -m 512 -smp 1 -display none -no-reboot -nic none -usb "
            "-kernel {} -initrd {} -chardev socket,id=ctl,host=127.0.0.1,port={} -chardev "
            "socket,id=mon,host=127.0.0.1,port={} -chardev serial,id=ftdi0,path={} -serial "
            "file:{}/console.log -serial chardev:ctl -mon chardev=mon -device "
            "usb-serial,id=ftdi,chardev=ftdi0 -append").format(
                kernel, initrd, *(s.getsockname()[1] for s in socks), os.ttyname(self.slave), out)
            .split() + ["console=ttyS0 quiet panic=-1 serlynx.shell=ttyS1"],
            stdin=subprocess.DEVNULL, stdout=open(out + "/qemu.log", "w"), stderr=subprocess.STDOUT)
        self.ctl, self.mon = [s.settimeout(30) or s.accept()[0] for s in socks]
        self.buf = b""
        if self.line(240) != "@@up":
            raise RuntimeError("the guest did not reach its shell; see %s/console.log" % out)

    def line(self, timeout):  # the next line the guest's shell printed, or None
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            if not select.select([self.ctl], [], [], max(0, deadline - time.monotonic()))[0]:
                return None
            self.buf += self.ctl.recv(65536) or sys.exit("usb-vm: the guest's shell closed")
        text, self.buf = self.buf.split(b"\n", 1)
        return text.decode(errors="replace").rstrip("\r")

    def send(self, text, where=None):
        (where or self.ctl).sendall((text + "\n").encode())

    def run(self, name, command):  # its output lines, answering the agent's "@wait"s; its status
        print("  [%s] $ %s" % (name, command), flush=True)
        self.send(command + "; echo @@rc $?")
        lines = []
        while (text := self.line(300)) is not None and not text.startswith("@@rc "):
            print("  [%s] %s" % (name, text), flush=True)
            lines.append(text)
            if text.startswith("@wait "):
                self.send(self.answer(*text.split()[1:]))
        return lines, text and text[5:]

    def pty_read(self, idle, n=1 << 30):
        out = b""
        while len(out) < n and select.select([self.pty], [], [], idle)[0] and (
                more := os.read(self.pty, n - len(out))):
            out += more
        return out

    def answer(self, step, *args):  # the host's part of an agent's step: "ok" or what went wrong
        if step == "read":
            want = pattern(int(args[1]), int(args[0]))
            got = self.pty_read(10, len(want))
            at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), len(got))
            return "ok" if got == want else "the host got %d of %d bytes, first difference at %d" % (
                len(got), len(want), at)
        if step == "line":
            # QEMU gives the pty the first speed at or above 10/11 of the rate, 183 Bd at least.
            rate = max(int(args[0]), 3000000 * 2 // 32767)
            want = (min(r for r in BAUD.values() if r >= rate * 10 // 11), int(args[1]))
            attrs = termios.tcgetattr(self.pty)
            got = (BAUD.get(attrs[5]), 2 if attrs[2] & termios.CSTOPB else 1)
            return "ok" if got == want else "the pty shows %s Bd, %s stop bits" % got
        if step in ("write", "xoff"):
            data = pattern(int(args[1]), int(args[0])) if args else b"\x13"
            while data and select.select([], [self.pty], [], 5)[1]:
                data = data[os.write(self.pty, data):]
        elif step == "unplug":
            self.send("device_del ftdi", self.mon)
        elif step == "replug":
            self.pty_read(0.5)  # QEMU finishes the removal
            self.send("device_add usb-serial,id=ftdi,chardev=ftdi0", self.mon)
        return "ok"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("bin", help="the build's bin directory (serlynx, usbvm_agent, lib*.so)")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "usb-vm"))
    ap.add_argument("--only", default="ftdi,acm,serial,composite")
    args = ap.parse_args()
    t_all = time.monotonic()
    built = subprocess.run([os.path.join(ROOT, "scripts", "usb-vm.sh"), "image", args.bin,
                            args.out], stdout=subprocess.PIPE, text=True)
    if built.returncode != 0:
        return print("usb-vm: the image could not be built (scripts/usb-vm.sh said why above)") or 1
    paths = dict(l.split(" ", 1) for l in built.stdout.splitlines() if " " in l)
    guest = Guest(paths["kernel"], paths["initrd"], args.out)
    names = args.only.split(",")
    report = {}  # each scenario's failures
    try:
        for name in names + (["tool"] if "acm" in names else []):
            print("usb-vm: %s" % name, flush=True)
            if name == "tool":
                report[name] = ["%s...: no \"%s\" in its output" % (command[:30], want)
                                for command, want in TOOL
                                if not re.search(want, "\n".join(guest.run(name, command)[0]))]
                continue
            selector, functions = SCENARIOS[name]
            command = "usbvm_agent %s host 262144" % selector
            if functions:  # a gadget: its tty is the far end, its UDC file plugs it
                udc = "dummy_udc.%d" % (list(SCENARIOS).index(name) - 1)
                command = ("far=$(gadget up {0} {1} {2} {3}) && sleep 1 && usbvm_agent {4} $far "
                           "262144 /sys/kernel/config/usb_gadget/{0}/UDC {2}").format(
                               name, selector.replace(":", " "), udc, functions, selector)
            lines, rc = guest.run(name, command)
            report[name] = [l[6:] for l in lines if l.startswith("@fail ")] or (
                [] if rc == "0" else ["the agent exited %s" % rc if rc else "the agent hung"])
    finally:
        guest.send("quit", guest.mon)
        guest.qemu.wait(timeout=30)
    print("\nusb-vm: the whole run took %.0f s" % (time.monotonic() - t_all))
    for name, failures in report.items():
        print("%s: %s" % (name, "\n    FAIL ".join(["FAILED"] + failures) if failures else "ok"))
    failed = sum(map(bool, report.values()))
    print("usb-vm: %d passed, %d failed" % (len(report) - failed, failed))
    return int(failed > 0)


if __name__ == "__main__":
    sys.exit(main())
