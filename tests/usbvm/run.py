#!/usr/bin/python3
"""The host side of the USB machine tests: boots the guest built by
scripts/usb-vm.sh and runs the driver, through usbvm_agent in the guest, on
devices none of this project wrote: QEMU's FTDI chip emulation and Linux's
USB gadget functions (CDC ACM, generic serial, and both as one composite
device).

    tests/usbvm/run.py BUILD_BIN [--only NAMES] [--out DIR] [--bytes N]

The guest has no network: the host talks to its shell over a second serial
port on a 127.0.0.1 socket, to QEMU over QMP on another, and to the FTDI
chip's serial side over a host pty (QEMU applies the line settings the chip
decoded to that pty, so they are read back here).
"""
import argparse
import json
import os
import pty
import select
import socket
import subprocess
import sys
import termios
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

BAUD = {getattr(termios, name): int(name[1:]) for name in dir(termios)
        if name[0] == "B" and name[1:].isdigit() and int(name[1:]) > 0}


def pty_rate(rate):
    """The speed QEMU gives the pty for a rate set on its FTDI chip: the
    first termios speed at or above 10/11 of the rate the chip runs at (a
    termios speed has no rate between its constants). The chip runs no
    slower than 3 MBd / 16383.5 = 183 Bd, its largest divisor."""
    rate = max(rate, 3000000 * 2 // 32767)
    return min(r for r in BAUD.values() if r >= rate * 10 // 11)


def pattern(seed, n):
    """The agent's xorshift32 bytes."""
    x = seed or 1
    out = bytearray(n)
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Guest:
    """One boot of the test machine."""

    def __init__(self, kernel, initrd, out):
        self.out = out
        self.ctl_port, self.qmp_port = free_port(), free_port()
        # The FTDI chip's serial side: a host pty, raw both ways, so that
        # bytes pass unchanged (QEMU adds only OPOST to what it finds).
        self.pty_master, slave = pty.openpty()
        attrs = termios.tcgetattr(slave)
        tty.setraw(slave)
        attrs = termios.tcgetattr(slave)
        attrs[1] = 0  # no output processing at all
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.pty_slave_path = os.ttyname(slave)
        self.pty_slave = slave  # kept open: the pty stays while QEMU reopens it
        os.set_blocking(self.pty_master, False)
        self.console = os.path.join(out, "console.log")
        cmd = [
            "qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-smp", "1",
            "-display", "none", "-no-reboot", "-nic", "none",
            "-kernel", kernel, "-initrd", initrd,
            "-append", "console=ttyS0 quiet panic=-1 serlynx.shell=ttyS1",
            "-serial", "file:" + self.console,
            "-chardev", "socket,id=ctl,host=127.0.0.1,port=%d,server=on,wait=off" % self.ctl_port,
            "-serial", "chardev:ctl",
            "-chardev", "socket,id=qmp,host=127.0.0.1,port=%d,server=on,wait=off" % self.qmp_port,
            "-mon", "chardev=qmp,mode=control",
            "-usb",
            "-chardev", "serial,id=ftdi0,path=" + self.pty_slave_path,
            "-device", "usb-serial,id=ftdi,chardev=ftdi0",
        ]
        self.started = time.monotonic()
        self.qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(out, "qemu.log"), "w"),
                                     stderr=subprocess.STDOUT)
        self.ctl = self._connect(self.ctl_port)
        self.qmp = self._connect(self.qmp_port)
        self.qmp_file = self.qmp.makefile("rwb", buffering=0)
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
            line = self.qmp_file.readline()
            if not line:
                raise RuntimeError("QMP closed")
            msg = json.loads(line)
            if "event" not in msg:
                return msg

    def qmp_cmd(self, name, **args):
        req = {"execute": name}
        if args:
            req["arguments"] = args
        self.qmp_file.write((json.dumps(req) + "\n").encode())
        reply = self._qmp_read()
        if "error" in reply:
            raise RuntimeError("QMP %s: %s" % (name, reply["error"]))
        return reply

    def line(self, timeout):
        """The next line the guest's shell printed, or None."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            r, _, _ = select.select([self.ctl], [], [], left)
            if r:
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
            while True:
                got = self.line(1.0)
                if got is None:
                    break
                if got == "@@up":
                    # Drain the answers to earlier pings.
                    while self.line(0.3) is not None:
                        pass
                    return time.monotonic() - self.started
        raise RuntimeError("the guest did not reach its shell; see console.log")

    def run(self, command, timeout=60):
        """Runs a shell command; its output lines and exit status."""
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
        while len(out) < n:
            r, _, _ = select.select([self.pty_master], [], [], idle)
            if not r:
                break
            try:
                out += os.read(self.pty_master, n - len(out))
            except BlockingIOError:
                continue
        return bytes(out)

    def pty_write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.pty_master], [], 5)
            try:
                n = os.write(self.pty_master, view)
            except BlockingIOError:
                continue
            view = view[n:]

    def pty_drain(self):
        while self.pty_read(65536, 0.2):
            pass

    def stop(self):
        try:
            self.send("poweroff -f")
            self.qemu.wait(timeout=10)
        except Exception:
            self.qemu.kill()
            self.qemu.wait()


class Scenario:
    def __init__(self, name, selector, setup, agent_args, far_host=False, udc=None):
        self.name, self.selector, self.setup = name, selector, setup
        self.agent_args, self.far_host, self.udc = agent_args, far_host, udc
        self.results, self.failures = [], []


def serve_agent(guest, sc, bytes_):
    """Runs the agent for one scenario, doing the host's part on its cues."""
    cmd = "usbvm_agent %s %s --bytes %d --capture /tmp/%s.pcap" % (
        sc.selector, sc.agent_args, bytes_, sc.name)
    guest.send(cmd + "; echo @@rc $?")
    reader = None
    started = time.monotonic()
    while True:
        text = guest.line(300)
        if text is None:
            sc.failures.append("the agent stopped answering")
            return
        print("  [%s] %s" % (sc.name, text), flush=True)
        if text.startswith("@@rc "):
            if text != "@@rc 0" and not sc.failures:
                sc.failures.append("the agent exited with " + text[5:])
            sc.seconds = time.monotonic() - started
            return
        if text.startswith("@result "):
            sc.results.append(text[8:])
        elif text.startswith("@fail "):
            sc.failures.append(text[6:])
        elif text.startswith("@wait data-out "):
            n, seed = map(int, text.split()[2:4])
            want = pattern(seed, n)
            box = {}

            def read_all(n=n, want=want, box=box):
                got = guest.pty_read(n, 10)
                box["verdict"] = "ok" if got == want else (
                    "got %d of %d bytes, first difference at %d" % (
                        len(got), n, next((i for i in range(min(len(got), n))
                                           if got[i] != want[i]), min(len(got), n))))
            reader = threading.Thread(target=read_all)
            reader.start()
            guest.send("go")
        elif text.startswith("@wait data-out-done"):
            reader.join()
            guest.send(box["verdict"])
        elif text.startswith("@ready data-in "):
            n, seed = map(int, text.split()[2:4])
            guest.pty_write(pattern(seed, n))
        elif text.startswith("@wait line "):
            rate, stop = map(int, text.split()[2:4])
            attrs = termios.tcgetattr(guest.pty_master)
            got_rate = BAUD.get(attrs[5])
            got_stop = 2 if attrs[2] & termios.CSTOPB else 1
            want = pty_rate(rate)
            if got_rate != want or got_stop != stop:
                guest.send("the pty shows %s Bd, %d stop bits, not %d Bd, %d" % (
                    got_rate, got_stop, want, stop))
            else:
                sc.results.append("line %d Bd %d stop: the pty shows %d Bd %d stop" % (
                    rate, stop, got_rate, got_stop))
                guest.send("ok")
        elif text == "@wait xoff":
            guest.pty_write(b"\x13")
            guest.send("go")
        elif text == "@wait unplug":
            t0 = time.monotonic()
            guest.qmp_cmd("device_del", id="ftdi")
            sc.results.append("host device_del took %.0f ms" % ((time.monotonic() - t0) * 1000))
            guest.send("go")
        elif text == "@wait replug":
            time.sleep(0.5)  # let QEMU finish the removal
            guest.pty_drain()
            guest.qmp_cmd("device_add", driver="usb-serial", id="ftdi", chardev="ftdi0")
            guest.send("go")
        elif text.startswith("@wait "):
            sc.failures.append("unknown cue: " + text)
            guest.send("?")


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
    image = built.stdout
    paths = dict(line.split(" ", 1) for line in image.splitlines()
                 if line.startswith(("kernel ", "initrd ")))
    print("usb-vm: image ready in %.0f s" % (time.monotonic() - t_all), flush=True)

    guest = Guest(paths["kernel"], paths["initrd"], args.out)
    with open(guest.console, errors="replace") as f:
        up = [l.split()[-2] for l in f if l.startswith("serlynx-vm: up in")]
    print("usb-vm: guest shell up %.1f s after QEMU started (the guest's own clock: %s s)" % (
        guest.boot_seconds, up[0] if up else "?"), flush=True)
    scenarios = {
        "ftdi": Scenario("ftdi", "0403:6001", [], "--far-host --rates", far_host=True),
        "acm": Scenario("acm", "0525:a4a7", [
            "gadget make acm 0525 a4a7 acm", "gadget plug acm dummy_udc.0"],
            "--far @acm --udc /sys/kernel/config/usb_gadget/acm/UDC dummy_udc.0"),
        "serial": Scenario("serial", "0525:a4a6", [
            "gadget make ser 0525 a4a6 gser", "gadget plug ser dummy_udc.1"],
            "--far @ser --udc /sys/kernel/config/usb_gadget/ser/UDC dummy_udc.1"),
        "composite": Scenario("composite", "1d6b:0104", [
            "gadget make comp 1d6b 0104 acm gser", "gadget plug comp dummy_udc.2"],
            "--far @comp --udc /sys/kernel/config/usb_gadget/comp/UDC dummy_udc.2"),
    }
    chosen = [scenarios[n] for n in args.only.split(",")]
    for assignment in args.guest_env:
        guest.run("export " + assignment)
    try:
        for sc in chosen:
            print("usb-vm: %s" % sc.name, flush=True)
            for c in sc.setup:
                out, rc = guest.run(c)
                if rc != 0:
                    sc.failures.append("%s: %s" % (c, " ".join(out)))
            if "@" in sc.agent_args:
                gname = sc.agent_args.split("@", 1)[1].split()[0]
                out, rc = guest.run("gadget ttys " + gname)
                sc.agent_args = sc.agent_args.replace("@" + gname, out[-1] if out else "")
                time.sleep(1)  # enumeration on the dummy controller
            if not sc.failures:
                serve_agent(guest, sc, args.bytes)
        # The tool itself on a real device: what `devices --usb` and
        # `probe --usb` say, and a pcap written from real traffic.
        tool = Scenario("tool", "", [], "")
        if any(s.name == "acm" for s in chosen):
            for c, want in (("serlynx devices --usb", "0525:a4a7"),
                            ("serlynx probe --usb 0525:a4a7", "UsbMode"),
                            ("serlynx probe --usb 0525:ffff", "no USB device 0525:ffff"),
                            ("su -s /bin/sh nobody -c '/opt/serlynx/serlynx probe --usb "
                             "0525:a4a7'", "chmod a+rw /dev/bus/usb/")):
                out, rc = guest.run(c + " 2>&1")
                print("  [tool] $ %s\n" % c + "\n".join("  [tool] " + o for o in out), flush=True)
                if not any(want in o for o in out):
                    tool.failures.append("%s: no \"%s\" in its output" % (c, want))
            # serve --usb with its pty: "hello" through the pty reaches the
            # gadget's tty; Ctrl-C gives the device back and writes the capture.
            out, rc = guest.run(
                "serlynx serve --usb 0525:a4a7 --rfc2217 127.0.0.1:0 --pty /tmp/com "
                "--capture /tmp/c.pcap >/tmp/serve.log 2>&1 & pid=$!; "
                "for i in $(seq 120); do grep -q ready /tmp/serve.log && break; sleep 0.5; done; "
                "stty -F /dev/ttyGS0 raw -echo; "
                "(timeout 10 head -c 5 /dev/ttyGS0 >/tmp/got &); sleep 1; "
                "stty -F /tmp/com raw -echo; printf hello >/tmp/com; "
                "for i in $(seq 20); do [ -s /tmp/got ] && break; sleep 0.5; done; "
                "serlynx probe --usb 0525:a4a7 2>&1; "
                "kill -INT $pid; wait $pid; echo \"exit $?\"; cat /tmp/serve.log; "
                "echo \"got $(cat /tmp/got)\"; wc -c </tmp/c.pcap", timeout=120)
            print("\n".join("  [tool] " + o for o in out), flush=True)
            if not out or not out[-1].strip().isdigit() or int(out[-1]) < 1000:
                tool.failures.append("serve --usb wrote no capture")
            if not any("serves it" in o or "served at once" in o for o in out):
                tool.failures.append("serve --usb did not serve the device")
            if "got hello" not in out:
                tool.failures.append("serve --usb: the bytes written to its pty did not arrive")
            if not any("is busy: another program has claimed" in o for o in out):
                tool.failures.append("a second serlynx on the served device was not told it is busy")
            if "exit 0" not in out:
                tool.failures.append("serve --usb did not exit 0 on Ctrl-C")
            chosen.append(tool)
    finally:
        guest.stop()
    passed = sum(1 for s in chosen if not s.failures)
    print("\nusb-vm: boot %.1f s, whole run %.0f s" % (guest.boot_seconds,
                                                     time.monotonic() - t_all))
    for sc in chosen:
        print("%s: %s" % (sc.name, "ok" if not sc.failures else "FAILED"))
        for r in sc.results:
            print("    " + r)
        for f in sc.failures:
            print("    FAIL " + f)
    print("usb-vm: %d passed, %d failed" % (passed, len(chosen) - passed))
    return 0 if passed == len(chosen) else 1


if __name__ == "__main__":
    sys.exit(main())
