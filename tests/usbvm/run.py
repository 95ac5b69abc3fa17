#!/usr/bin/python3
"""The host side of the USB machine tests: boots the guest of scripts/usb-vm.sh and runs the
driver (usbvm_agent) on QEMU's FTDI chip and on Linux's gadgets (CDC ACM, generic serial, both in
one composite device), then the tool. The guest's shell and QEMU's monitor are on 127.0.0.1
sockets; the FTDI chip's serial side is a host pty, where QEMU applies the settings it decoded."""
import argparse, os, pty, re, select, socket, subprocess, sys, termios, time, tty

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BAUD = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n[:1] == "B" and n[1:].isdigit()}
# The device each scenario serves, and its gadget's functions (on dummy_udc.0, 1, 2).
SCENARIOS = {"ftdi": ("0403:6001", None), "acm": ("0525:a4a7", "acm"),
             "serial": ("0525:a4a6", "gser"), "composite": ("1d6b:0104", "acm gser")}
# The tool on the CDC ACM gadget: what each command must print (a regular expression).
TOOL = (("serlynx devices --usb", "0525:a4a7"), ("serlynx probe --usb 0525:a4a7", "UsbMode"),
        ("serlynx probe --usb 0525:ffff", "no USB device 0525:ffff"),
        ("su -s /bin/sh nobody -c '/opt/serlynx/serlynx probe --usb 0525:a4a7'",
         "chmod a\\+rw /dev/bus/usb/"),
        # serve --usb: "hello" through its pty reaches the gadget, a second serlynx hears the
        # device is busy, Ctrl-C gives it back and leaves a capture of the real traffic.
        ("serlynx serve --usb 0525:a4a7 --rfc2217 127.0.0.1:0 --pty /tmp/com --capture /tmp/c.pcap"
         " >/tmp/serve.log 2>&1 & pid=$!; "
         "for i in $(seq 120); do grep -q ready /tmp/serve.log && break; sleep 0.5; done; "
         "stty -F /dev/ttyGS0 raw -echo; (timeout 10 head -c 5 /dev/ttyGS0 >/tmp/got &); "
         "sleep 1; stty -F /tmp/com raw -echo; printf hello >/tmp/com; "
         "for i in $(seq 20); do [ -s /tmp/got ] && break; sleep 0.5; done; "
         "serlynx probe --usb 0525:a4a7; kill -INT $pid; wait $pid; echo \"exit $?\"; "
         "cat /tmp/serve.log; echo \"got $(cat /tmp/got)\"; wc -c </tmp/c.pcap",
         "(?s)is busy: another program has claimed.*exit 0\n.*(serves it|served at once).*"
         "got hello\n *[1-9][0-9]{3,}$"))


def pattern(seed, n):  # the agent's Pattern (std::minstd_rand, bits 7 to 14)
    x, out = seed % 2147483647 or 1, bytearray(n)
    for i in range(n):
        x = x * 48271 % 2147483647
        out[i] = (x >> 7) & 0xFF
    return bytes(out)


def listen():
    sock = socket.create_server(("127.0.0.1", 0))
    sock.settimeout(30)
    return sock, "socket,id=%%s,host=127.0.0.1,port=%d" % sock.getsockname()[1]


class Guest:
    def __init__(self, kernel, initrd, out):
        self.pty, slave = pty.openpty()
        tty.setraw(slave)  # bytes pass unchanged
        self.slave = slave  # kept open: the pty stays while QEMU reopens it
        os.set_blocking(self.pty, False)
        (ctl, ctl_dev), (mon, mon_dev) = listen(), listen()
        self.started = time.monotonic()
        self.qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-smp", "1", "-display", "none",
             "-no-reboot", "-nic", "none", "-kernel", kernel, "-initrd", initrd,
             "-append", "console=ttyS0 quiet panic=-1 serlynx.shell=ttyS1",
             "-serial", "file:" + os.path.join(out, "console.log"), "-chardev", ctl_dev % "ctl",
             "-serial", "chardev:ctl", "-chardev", mon_dev % "mon", "-mon", "chardev=mon",
             "-usb", "-chardev", "serial,id=ftdi0,path=" + os.ttyname(slave),
             "-device", "usb-serial,id=ftdi,chardev=ftdi0"],
            stdin=subprocess.DEVNULL, stdout=open(os.path.join(out, "qemu.log"), "w"),
            stderr=subprocess.STDOUT)
        self.ctl, self.mon = ctl.accept()[0], mon.accept()[0]
        self.buf, self.transcript = b"", open(os.path.join(out, "guest.log"), "w")
        if self.line(240) != "@@up":  # the guest's shell is ready
            raise RuntimeError("the guest did not reach its shell; see console.log")
        self.boot_seconds = time.monotonic() - self.started

    def line(self, timeout):
        # The next line the guest's shell printed, or None.
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            if not select.select([self.ctl], [], [], max(0, deadline - time.monotonic()))[0]:
                return None
            self.buf += self.ctl.recv(65536) or sys.exit("usb-vm: the guest's shell closed")
        text, self.buf = self.buf.split(b"\n", 1)
        text = text.decode(errors="replace").rstrip("\r")
        print(text, file=self.transcript, flush=True)
        return text

    def send(self, text, where=None):
        (where or self.ctl).sendall((text + "\n").encode())

    def run(self, command, timeout=120):
        self.send(command + "; echo @@rc $?")
        lines = []
        while not (got := self.line(timeout)) or not got.startswith("@@rc "):
            if got is None:
                return lines, "timed out"
            lines.append(got)
        return lines, got[5:]

    def pty_read(self, idle, n=1 << 30):
        out = b""
        while len(out) < n and select.select([self.pty], [], [], idle)[0] and (
                more := os.read(self.pty, n - len(out))):
            out += more
        return out

    def pty_write(self, data):
        while data and select.select([], [self.pty], [], 5)[1]:
            data = data[os.write(self.pty, data):]

    def agent(self, name, command, failures):
        self.send(command + "; echo @@rc $?")
        while (text := self.line(300)) is not None:
            print("  [%s] %s" % (name, text), flush=True)
            cue, *args = text.split() or [""]
            if cue == "@@rc":
                return args == ["0"] or failures or failures.append("the agent exited " + args[0])
            if cue == "@fail":
                failures.append(text[6:])
            elif args[:1] == ["read"]:
                want = pattern(int(args[2]), int(args[1]))
                got = self.pty_read(10, len(want))
                at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), len(got))
                self.send("ok" if got == want else "the host got %d of %d bytes, first difference "
                          "at %d" % (len(got), len(want), at))
            elif args[:1] in (["write"], ["xoff"]):
                self.pty_write(pattern(int(args[2]), int(args[1])) if args[1:] else b"\x13")
                self.send("ok")
            elif args == ["unplug"]:
                self.send("device_del ftdi", self.mon)
                self.send("ok")
            elif args == ["replug"]:
                time.sleep(0.5)  # let QEMU finish the removal
                self.pty_read(0.2)
                self.send("device_add usb-serial,id=ftdi,chardev=ftdi0", self.mon)
                self.send("ok")
            elif args[:1] == ["line"]:
                # QEMU gives the pty the first termios speed at or above 10/11 of the rate,
                # 183 Bd at least (3 MBd / 16383.5).
                rate = max(int(args[1]), 3000000 * 2 // 32767)
                want = (min(r for r in BAUD.values() if r >= rate * 10 // 11), int(args[2]))
                attrs = termios.tcgetattr(self.pty)
                got = (BAUD.get(attrs[5]), 2 if attrs[2] & termios.CSTOPB else 1)
                self.send("ok" if got == want else "the pty shows %s Bd, %s stop bits, not %s Bd"
                          % (*got, want[0]))
        failures.append("the agent stopped answering")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("bin", help="the build's bin directory (serlynx, usbvm_agent, lib*.so)")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "usb-vm"))
    ap.add_argument("--only", default="ftdi,acm,serial,composite")
    ap.add_argument("--bytes", type=int, default=256 * 1024)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    t_all = time.monotonic()
    built = subprocess.run([os.path.join(ROOT, "scripts", "usb-vm.sh"), "image", args.bin,
                            args.out], stdout=subprocess.PIPE, text=True)
    paths = dict(l.split(" ", 1) for l in built.stdout.splitlines() if " " in l)
    if built.returncode != 0:
        return print("usb-vm: the image could not be built (scripts/usb-vm.sh said why above)") or 1
    print("usb-vm: image ready in %.0f s" % (time.monotonic() - t_all), flush=True)
    guest = Guest(paths["kernel"], paths["initrd"], args.out)
    print("usb-vm: guest shell up %.1f s after QEMU started" % guest.boot_seconds, flush=True)
    names = args.only.split(",")
    report = {name: [] for name in names + (["tool"] if "acm" in names else [])}  # failures
    try:
        for name, failures in report.items():
            print("usb-vm: %s" % name, flush=True)
            if name == "tool":
                for command, want in TOOL:
                    out = "\n".join(guest.run(command + " 2>&1")[0])
                    print("  [tool] $ %s\n%s" % (command, re.sub("(?m)^", "  [tool] ", out)))
                    if not re.search(want, out):
                        failures.append("%s...: no \"%s\" in its output" % (command[:30], want))
                continue
            selector, functions = SCENARIOS[name]
            far, udc = "host", ""
            if functions:
                n = list(SCENARIOS).index(name) - 1  # its dummy controller
                out, rc = guest.run("gadget up %s %s dummy_udc.%d %s" % (
                    name, selector.replace(":", " "), n, functions))
                if rc != "0":
                    failures.append("gadget: " + " ".join(out))
                far = (out or ["-"])[-1]
                udc = " /sys/kernel/config/usb_gadget/%s/UDC dummy_udc.%d" % (name, n)
                time.sleep(1)  # enumeration on the dummy controller
            if not failures:
                guest.agent(name, "usbvm_agent %s %s %d%s" % (selector, far, args.bytes, udc),
                            failures)
    finally:
        guest.send("quit", guest.mon)
        guest.qemu.wait(timeout=30)
    print("\nusb-vm: boot %.1f s, whole run %.0f s" % (guest.boot_seconds,
                                                     time.monotonic() - t_all))
    for name, failures in report.items():
        print("%s: %s" % (name, "FAILED" if failures else "ok") + "".join(
            "\n    FAIL " + f for f in failures))
    failed = sum(1 for failures in report.values() if failures)
    print("usb-vm: %d passed, %d failed" % (len(report) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
