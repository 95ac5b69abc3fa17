#!/usr/bin/python3
"""The host side of the USB machine tests: boots the guest of scripts/usb-vm.sh
and runs the driver (usbvm_agent) on QEMU's FTDI chip and on Linux's gadgets
(CDC ACM, generic serial, both in one composite device), then the tool.
usage: tests/usbvm/run.py BUILD_BIN [--only NAMES] [--out DIR] [--bytes N]
The host talks to the guest's shell over a serial port on a 127.0.0.1
socket, to QEMU over QMP, and to the FTDI chip's serial side over a host pty
(where QEMU applies the line settings the chip decoded)."""
import argparse, json, os, pty, select, socket, subprocess, sys, termios, threading, time, tty

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BAUD = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n[:1] == "B" and n[1:].isdigit()}


def pty_rate(rate):
    """The speed QEMU gives the pty for a rate on its FTDI chip: the first
    termios speed at or above 10/11 of it, 183 Bd at least (3 MBd / 16383.5)."""
    rate = max(rate, 3000000 * 2 // 32767)
    return min(r for r in BAUD.values() if r >= rate * 10 // 11)


def pattern(seed, n):
    """The agent's xorshift32 bytes."""
    x, out = seed or 1, bytearray(n)
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Guest:
    """One boot of the test machine."""

    def __init__(self, kernel, initrd, out):
        ctl_port, qmp_port = free_port(), free_port()
        # The FTDI chip's serial side: a host pty, raw both ways and without
        # output processing, so that bytes pass unchanged.
        self.pty, slave = pty.openpty()
        tty.setraw(slave)
        attrs = termios.tcgetattr(slave)
        attrs[1] = 0
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.slave = slave  # kept open: the pty stays while QEMU reopens it
        os.set_blocking(self.pty, False)
        self.console = os.path.join(out, "console.log")
        chardev = "socket,id=%s,host=127.0.0.1,port=%d,server=on,wait=off"
        self.started = time.monotonic()
        self.qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-smp", "1", "-display", "none",
             "-no-reboot", "-nic", "none", "-kernel", kernel, "-initrd", initrd,
             "-append", "console=ttyS0 quiet panic=-1 serlynx.shell=ttyS1",
             "-serial", "file:" + self.console, "-chardev", chardev % ("ctl", ctl_port),
             "-serial", "chardev:ctl", "-chardev", chardev % ("qmp", qmp_port),
             "-mon", "chardev=qmp,mode=control", "-usb",
             "-chardev", "serial,id=ftdi0,path=" + os.ttyname(slave),
             "-device", "usb-serial,id=ftdi,chardev=ftdi0"],
            stdin=subprocess.DEVNULL, stdout=open(os.path.join(out, "qemu.log"), "w"),
            stderr=subprocess.STDOUT)
        self.ctl = self._connect(ctl_port)
        self.qmp = self._connect(qmp_port).makefile("rwb", buffering=0)
        self._qmp_read()  # greeting
        self.qmp_cmd("qmp_capabilities")
        self.buf = b""
        self.transcript = open(os.path.join(out, "guest.log"), "w")
        self.boot_seconds = self._wait_shell()

    def _connect(self, port):
        deadline = time.monotonic() + 30
        while True:
            try:
                return socket.create_connection(("127.0.0.1", port), timeout=5)
            except OSError:
                if time.monotonic() > deadline or self.qemu.poll() is not None:
                    raise RuntimeError("QEMU did not start; see qemu.log")
                time.sleep(0.1)

    def _qmp_read(self):
        while True:
            line = self.qmp.readline()
            if not line:
                raise RuntimeError("QMP closed")
            msg = json.loads(line)
            if "event" not in msg:
                return msg

    def qmp_cmd(self, name, **args):
        self.qmp.write((json.dumps({"execute": name, "arguments": args}) + "\n").encode())
        reply = self._qmp_read()
        if "error" in reply:
            raise RuntimeError("QMP %s: %s" % (name, reply["error"]))

    def line(self, timeout):
        """The next line the guest's shell printed, or None."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if select.select([self.ctl], [], [], left)[0]:
                data = self.ctl.recv(65536)
                if not data:
                    raise RuntimeError("the guest's shell closed")
                self.buf += data
        text, self.buf = self.buf.split(b"\n", 1)
        text = text.decode(errors="replace").rstrip("\r")
        self.transcript.write(text + "\n")
        self.transcript.flush()
        return text

    def send(self, text):
        self.ctl.sendall((text + "\n").encode())

    def _wait_shell(self):
        deadline = time.monotonic() + 240
        while time.monotonic() < deadline:
            self.send("echo @@up")
            while (got := self.line(1.0)) is not None:
                if got == "@@up":
                    while self.line(0.3) is not None:  # the answers to earlier pings
                        pass
                    return time.monotonic() - self.started
        raise RuntimeError("the guest did not reach its shell; see console.log")

    def run(self, command, timeout=60):
        """Runs a shell command; its output lines."""
        self.send(command + "; echo @@rc $?")
        lines = []
        while True:
            got = self.line(timeout)
            if got is None:
                raise RuntimeError("no answer to: " + command)
            if got.startswith("@@rc "):
                return lines, int(got[5:])
            lines.append(got)

    def pty_read(self, n, idle):
        out = bytearray()
        while len(out) < n and select.select([self.pty], [], [], idle)[0]:
            try:
                out += os.read(self.pty, n - len(out))
            except BlockingIOError:
                pass
        return bytes(out)

    def pty_write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.pty], [], 5)
            try:
                view = view[os.write(self.pty, view):]
            except BlockingIOError:
                pass

    def stop(self):
        try:
            self.send("poweroff -f")
            self.qemu.wait(timeout=10)
        except Exception:
            self.qemu.kill()
            self.qemu.wait()


class Scenario:
    def __init__(self, name, selector, gadget=None):
        self.name, self.selector, self.gadget = name, selector, gadget
        self.results, self.failures = [], []

    def fail(self, text):
        self.failures.append(text)


def serve_agent(guest, sc, command):
    """Runs the agent for one scenario, doing the host's part on its cues."""
    guest.send(command + "; echo @@rc $?")
    box = {}
    while True:
        text = guest.line(300)
        if text is None:
            return sc.fail("the agent stopped answering")
        print("  [%s] %s" % (sc.name, text), flush=True)
        cue, args = text.split(" ", 1)[0], text.split()[1:]
        if cue == "@@rc":
            return text == "@@rc 0" or sc.failures or sc.fail("the agent exited with " + args[0])
        elif cue == "@result":
            sc.results.append(text[8:])
        elif cue == "@fail":
            sc.fail(text[6:])
        elif text.startswith("@wait data-out "):
            want = pattern(int(args[2]), int(args[1]))

            def read_all(want=want):
                got = guest.pty_read(len(want), 10)
                at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(
                    len(got), len(want)))
                box["verdict"] = "ok" if got == want else "got %d of %d bytes, first " \
                    "difference at %d" % (len(got), len(want), at)
            box["reader"] = threading.Thread(target=read_all)
            box["reader"].start()
            guest.send("go")
        elif text.startswith("@wait data-out-done"):
            box["reader"].join()
            guest.send(box["verdict"])
        elif text.startswith("@ready data-in "):
            guest.pty_write(pattern(int(args[2]), int(args[1])))
        elif text.startswith("@wait line "):
            rate, stop = int(args[1]), int(args[2])
            attrs = termios.tcgetattr(guest.pty)
            got = (BAUD.get(attrs[5]), 2 if attrs[2] & termios.CSTOPB else 1)
            if got == (pty_rate(rate), stop):
                sc.results.append("line %d Bd %d stop: the pty shows %d Bd" % (rate, stop, got[0]))
                guest.send("ok")
            else:
                guest.send("the pty shows %s Bd, %d stop bits, not %d Bd" % (*got, pty_rate(rate)))
        elif text == "@wait xoff":
            guest.pty_write(b"\x13")
            guest.send("go")
        elif text == "@wait unplug":
            guest.qmp_cmd("device_del", id="ftdi")
            guest.send("go")
        elif text == "@wait replug":
            time.sleep(0.5)  # let QEMU finish the removal
            while guest.pty_read(65536, 0.2):
                pass
            guest.qmp_cmd("device_add", driver="usb-serial", id="ftdi", chardev="ftdi0")
            guest.send("go")
        elif cue == "@wait":
            sc.fail("unknown cue: " + text)
            guest.send("?")


def tool_on_a_real_device(guest, sc):
    """devices --usb, probe --usb, and serve --usb: "hello" through its pty
    reaches the gadget, a second serlynx hears the device is busy, Ctrl-C
    gives the device back and writes a capture of the real traffic."""
    for c, want in (("serlynx devices --usb", "0525:a4a7"),
                    ("serlynx probe --usb 0525:a4a7", "UsbMode"),
                    ("serlynx probe --usb 0525:ffff", "no USB device 0525:ffff"),
                    ("su -s /bin/sh nobody -c '/opt/serlynx/serlynx probe --usb 0525:a4a7'",
                     "chmod a+rw /dev/bus/usb/")):
        out = guest.run(c + " 2>&1")[0]
        print("  [tool] $ %s\n" % c + "\n".join("  [tool] " + o for o in out), flush=True)
        if not any(want in o for o in out):
            sc.fail("%s: no \"%s\" in its output" % (c, want))
    out = guest.run(
        "serlynx serve --usb 0525:a4a7 --rfc2217 127.0.0.1:0 --pty /tmp/com "
        "--capture /tmp/c.pcap >/tmp/serve.log 2>&1 & pid=$!; "
        "for i in $(seq 120); do grep -q ready /tmp/serve.log && break; sleep 0.5; done; "
        "stty -F /dev/ttyGS0 raw -echo; (timeout 10 head -c 5 /dev/ttyGS0 >/tmp/got &); "
        "sleep 1; stty -F /tmp/com raw -echo; printf hello >/tmp/com; "
        "for i in $(seq 20); do [ -s /tmp/got ] && break; sleep 0.5; done; "
        "serlynx probe --usb 0525:a4a7 2>&1; kill -INT $pid; wait $pid; echo \"exit $?\"; "
        "cat /tmp/serve.log; echo \"got $(cat /tmp/got)\"; wc -c </tmp/c.pcap", timeout=120)[0]
    print("\n".join("  [tool] " + o for o in out), flush=True)
    for ok, what in ((out and out[-1].strip().isdigit() and int(out[-1]) >= 1000, "wrote no capture"),
                     (any("serves it" in o or "served at once" in o for o in out),
                      "did not serve the device"),
                     ("got hello" in out, "the bytes written to its pty did not arrive"),
                     (any("is busy: another program has claimed" in o for o in out),
                      "a second serlynx on the served device was not told it is busy"),
                     ("exit 0" in out, "did not exit 0 on Ctrl-C")):
        if not ok:
            sc.fail("serve --usb " + what)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("bin", help="the build's bin directory (serlynx, usbvm_agent, lib*.so)")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "usb-vm"))
    ap.add_argument("--only", default="ftdi,acm,serial,composite")
    ap.add_argument("--bytes", type=int, default=256 * 1024)
    ap.add_argument("--guest-env", action="append", default=[], metavar="VAR=VALUE",
                    help="set in the guest before the scenarios (e.g. TSAN_OPTIONS=...)")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    t_all = time.monotonic()
    built = subprocess.run([os.path.join(ROOT, "scripts", "usb-vm.sh"), "image", args.bin,
                            args.out], stdout=subprocess.PIPE, text=True)
    if built.returncode != 0:
        print("usb-vm: the image could not be built (scripts/usb-vm.sh said why above)")
        return 1
    paths = dict(l.split(" ", 1) for l in built.stdout.splitlines()
                 if l.startswith(("kernel ", "initrd ")))
    print("usb-vm: image ready in %.0f s" % (time.monotonic() - t_all), flush=True)
    guest = Guest(paths["kernel"], paths["initrd"], args.out)
    print("usb-vm: guest shell up %.1f s after QEMU started" % guest.boot_seconds, flush=True)
    # Each gadget: its name, ids and functions, on a dummy controller of its own.
    scenarios = {"ftdi": Scenario("ftdi", "0403:6001"),
                 "acm": Scenario("acm", "0525:a4a7", ("acm", "acm", 0)),
                 "serial": Scenario("serial", "0525:a4a6", ("ser", "gser", 1)),
                 "composite": Scenario("composite", "1d6b:0104", ("comp", "acm gser", 2))}
    chosen = [scenarios[n] for n in args.only.split(",")]
    for assignment in args.guest_env:
        guest.run("export " + assignment)
    try:
        for sc in chosen:
            print("usb-vm: %s" % sc.name, flush=True)
            command = "usbvm_agent %s host %d" % (sc.selector, args.bytes)
            if sc.gadget:
                name, functions, udc = sc.gadget
                vid, pid = sc.selector.split(":")
                for c in ("gadget make %s %s %s %s" % (name, vid, pid, functions),
                          "gadget plug %s dummy_udc.%d" % (name, udc)):
                    out, rc = guest.run(c)
                    if rc != 0:
                        sc.fail("%s: %s" % (c, " ".join(out)))
                far = guest.run("gadget ttys " + name)[0]
                time.sleep(1)  # enumeration on the dummy controller
                command = "usbvm_agent %s %s %d /sys/kernel/config/usb_gadget/%s/UDC " \
                    "dummy_udc.%d" % (sc.selector, far[-1] if far else "-", args.bytes, name, udc)
            if not sc.failures:
                serve_agent(guest, sc, command)
        if any(s.name == "acm" for s in chosen):
            chosen.append(Scenario("tool", ""))
            tool_on_a_real_device(guest, chosen[-1])
    finally:
        guest.stop()
    passed = sum(1 for s in chosen if not s.failures)
    print("\nusb-vm: boot %.1f s, whole run %.0f s" % (guest.boot_seconds,
                                                     time.monotonic() - t_all))
    for sc in chosen:
        print("%s: %s" % (sc.name, "ok" if not sc.failures else "FAILED"))
        print("".join("    %s\n" % r for r in sc.results) +
              "".join("    FAIL %s\n" % f for f in sc.failures), end="")
    print("usb-vm: %d passed, %d failed" % (passed, len(chosen) - passed))
    return 0 if passed == len(chosen) else 1


if __name__ == "__main__":
    sys.exit(main())
