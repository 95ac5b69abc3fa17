#!/usr/bin/python3
"""`serlynx` with the real driver library, driven by pyserial (rfc2217://), raw sockets, a termios
client on the pty and the command line; the model's state read from --state-file. 77: no pyserial."""
import argparse, json, math, os, pathlib, re, runpy, select, signal, socket, subprocess, sys
import tempfile, termios, time, tty, unittest

try:
    import serial
except ImportError:
    sys.exit(print("python3-serial is not installed (scripts/deps.sh test installs it)") or 77)

MODELS = {"ftdi": ("ftdi", True, True), "cdc-acm": ("exact", True, False),  # one per control
          "rcs310": (None, False, False)}  # protocol: rate coding, modem lines, CTS reported on


def eventually(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.02)
    return predicate()


def run(*args, timeout=60):
    return subprocess.run([ARGS.serlynx, *args], capture_output=True, text=True, timeout=timeout)


def scratch(case, *names):  # paths in a directory removed after the test
    tmp = tempfile.TemporaryDirectory(prefix="serlynx-test-")
    case.addCleanup(tmp.cleanup)
    return [os.path.join(tmp.name, name) for name in names]


class Server:  # a running `serlynx serve` on ports the system picks
    def __init__(self, case, *extra, device="ftdi"):
        self.case, (self.state,) = case, scratch(case, "state.json")
        self.proc = subprocess.Popen([ARGS.serlynx, "serve", "--device", device, "--rfc2217",
                                      "127.0.0.1:0", "--state-file", self.state, *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        case.addCleanup(lambda: self.proc.poll() is None and self.proc.kill())
        self.out = ""
        while not re.search("(?m)^ready", self.out):
            self.out += self.proc.stdout.readline() or case.fail("serve did not start:\n" + self.out)
        self.ports = [int(p) for p in re.findall(r"rfc2217://127\.0\.0\.1:(\d+)", self.out)]

    def open(self, index=0, **kw):
        return serial.serial_for_url("rfc2217://127.0.0.1:%d" % self.ports[index],
                                     **{"timeout": 3, **kw})

    def raw_until_closed(self, data):  # what comes back until the server closes (or a timeout)
        with socket.create_connection(("127.0.0.1", self.ports[0]), timeout=5) as sock:
            sock.sendall(data)
            return sock.makefile("rb").read()

    def model(self):
        return json.loads(pathlib.Path(self.state).read_text())

    def line(self):  # the model's rate, then its data bits, parity and stop bits
        model = self.model()
        return model["baud"], [model["dataBits"], model["parity"][0], model["stopBits"]]

    def stop(self):  # Ctrl-C: it exits 0 with no misuse or leak counted; its output
        self.proc.send_signal(signal.SIGINT)
        out = self.out + self.proc.communicate(timeout=30)[0]
        self.case.assertEqual(self.proc.returncode, 0, out)
        self.case.assertNotIn("misuse or leaks", out)
        return out


class Pyserial(unittest.TestCase):
    def setUp(self):
        self.coding, self.lines, self.cts = MODELS[ARGS.device]
        self.server = Server(self, device=ARGS.device)
        self.addCleanup(self.server.stop)
        self.port = self.server.open(baudrate=9600)
        self.addCleanup(self.port.close)

    def test_settings_reach_the_device(self):
        for baud, size, parity, stop in (57600, 7, "E", 2), (38400, 8, "M", 1), (9600, 7, "S", 1.5):
            self.port.baudrate, self.port.bytesize = baud, size
            self.port.parity, self.port.stopbits = parity, stop
            if self.coding:
                rate, line = self.server.line()
                self.assertLess(abs(rate - baud), baud / 100 if self.coding == "ftdi" else 1)
                self.assertEqual(line, [size, parity.lower(), str(stop)])

    def test_every_byte_value_both_ways_in_every_flow_mode(self):
        self.port.baudrate = 115200
        payload = bytes(range(256)) * 4 + b"\xff\xff\xff" + bytes(reversed(range(256)))
        sent = 0
        for rtscts, xonxoff in ((True, False), (False, True), (False, False)):
            self.port.rtscts, self.port.xonxoff = rtscts, xonxoff
            data = bytes(b for b in payload if not xonxoff or b not in (0x11, 0x13))
            for chunk in (data[at:at + 1024] for at in range(0, len(data), 1024)):  # ring-sized
                self.port.write(chunk)
                self.assertEqual(self.port.read(len(chunk)), chunk, (rtscts, xonxoff))
            sent += len(data)
        self.assertTrue(eventually(lambda: self.server.model()["bytesSent"] == sent))

    def test_modem_lines_and_break(self):
        if not self.lines:
            self.skipTest("the adapter has no modem lines")
        for level in (False, True, False):
            self.port.dtr = self.port.rts = level
            self.assertEqual((self.server.model()["dtr"], self.server.model()["rts"]), (level,) * 2)
            want = (level, level, level or not self.cts)  # the plug: DTR to DSR and CD, RTS to CTS
            self.assertTrue(eventually(lambda: (self.port.dsr, self.port.cd, self.port.cts) == want))
        for level in (True, False):
            self.port.break_condition = level
            self.assertEqual(self.server.model()["break"], level)
            self.assertTrue(not level or eventually(lambda: self.port._linestate & 0x10))  # returned


class Clients(unittest.TestCase):
    def test_second_malformed_and_vanished_clients(self):
        server = Server(self)
        with server.open() as first:  # leaves with DTR on, closing its socket without a word
            self.assertIn(b"in use by another client", server.raw_until_closed(b""))
            first.dtr = True
            first.write(b"on")
            self.assertEqual(first.read(2), b"on")
        server.raw_until_closed(bytes([255, 250, 44, 1, 0, 1, 255, 240]))  # SET-BAUDRATE, 3 bytes
        self.assertFalse(server.model()["dtr"], "DTR stayed on after the client went")
        with server.open() as port:
            port.write(b"ok")
            self.assertEqual(port.read(2), b"ok")
        server.stop()


class Pty(unittest.TestCase):
    def test_data_and_settings(self):
        link, = scratch(self, "ttySLX")
        server = Server(self, "--pty", link, "--format", "7O1")  # a pty has no data bits, parity
        self.assertEqual(os.stat(link).st_mode & 0o777, 0o600)
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        tty.setraw(fd)
        for speed, stop2, lflag in ((57600, True, None), (38400, False, 0), (115200, False, 0)):
            # A program that clears every local mode (EXTPROC too) has its later changes carried.
            attrs = termios.tcgetattr(fd)
            attrs[2] = attrs[2] | termios.CSTOPB if stop2 else attrs[2] & ~termios.CSTOPB
            attrs[3] = attrs[3] if lflag is None else lflag
            attrs[4] = attrs[5] = getattr(termios, "B%d" % speed)
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            want = [7, "o", "2" if stop2 else "1"]
            self.assertTrue(eventually(lambda: (got := server.line())[1] == want
                                       and abs(got[0] - speed) < speed / 100), server.line())
        payload = bytes(range(128)) * 2  # seven data bits on the line
        os.write(fd, payload)
        got, end = b"", time.monotonic() + 30
        while len(got) < len(payload) and select.select([fd], [], [],
                                                        max(0, end - time.monotonic()))[0]:
            got += os.read(fd, 4096)
        self.assertEqual(got, payload)
        server.stop()
        self.assertFalse(os.path.lexists(link), "the symlink outlived the server")


class Cli(unittest.TestCase):
    def test_help_and_errors(self):
        for command in ("", "serve", "probe", "devices", "registry", "bench"):
            proc = run(*command.split(), "--help")
            self.assertEqual((proc.returncode, proc.stdout[:14]), (0, "usage: serlynx"), command)
        for args, message in (
                (["frobnicate"], 'unknown command "frobnicate"'),
                (["serve", "--bogus"], 'unknown option "--bogus"'),
                (["serve", "--device", "nosuch"], 'unknown device "nosuch"'),
                (["serve", "--rfc2217", "localhost"], "expected HOST:PORT"),
                (["serve", "--format", "9N1"], "expected data bits, parity and stop bits"),
                (["bench", "--json", "/nonexistent/b.json"], "cannot write /nonexistent/b.json"),
                (["serve", "--rfc2217", "127.0.0.1:0", "--pty", os.path.dirname(__file__)],
                 "already exists")):  # the pty's link never replaces what is there
            proc = run(*args)
            self.assertNotEqual(proc.returncode, 0, args)
            self.assertIn(message, proc.stderr)

    def test_probe_devices_and_registry(self):
        proc = run("probe", "--device", "ftdi")
        self.assertIn('"UsbMode"=dword:00000203', proc.stdout)
        self.assertIn("115200: 115385", proc.stdout)  # 24 MHz / 115200: no whole eighths
        proc = run("devices")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.count("  port type "), len(re.findall(r"(?m)^\S", proc.stdout)))
        reg, store = scratch(self, "x.reg", "store.reg")
        self.assertEqual(run("registry", "export", reg).returncode, 0)
        self.assertEqual(run("registry", "--registry", store, "import", reg).returncode, 0)
        self.assertIn("Default\\Default\\Default\\Serlynx]", pathlib.Path(store).read_text())

    def test_bench_quick_json(self):  # JSON on stdout, the text the compare script reads on stderr
        proc = run("bench", "--quick", "--json", "-", timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = json.loads(proc.stdout)
        self.assertEqual(data["scenarios"], ["rx", "tx", "echo", "memory", "idle", "scaling"])
        self.assertEqual({f["scenario"] for f in data["figures"]}, set(data["scenarios"]))
        self.assertTrue(data["complete"])
        text = runpy.run_path(os.path.join(os.path.dirname(__file__), "..", "..", "scripts",
                                           "bench-compare.py"))["parse_text"](proc.stderr)
        self.assertEqual([f["name"] for f in text["figures"]], [f["name"] for f in data["figures"]])
        for a, b in zip(data["figures"], text["figures"]):  # the same figures
            for key, x in a.items():
                y = b.get(key)
                self.assertTrue(key == "details" or x == y or type(x) in (int, float) and y is not
                                None and math.isclose(x, y, rel_tol=0.03, abs_tol=0.06), (a, key, y))

    def test_paced_null_modem_with_saved_registry_and_capture(self):
        reg, pcap = scratch(self, "state.reg", "usb.pcap")
        server = Server(self, "--line", "null-modem:cdc-acm", "--paced", "--registry", reg,
                        "--capture", pcap)
        with server.open(0, baudrate=115200) as a, server.open(1, baudrate=115200) as b:
            started = time.monotonic()
            a.write(bytes(range(256)) * 8)
            self.assertEqual(b.read(2048), bytes(range(256)) * 8)
            self.assertGreater(time.monotonic() - started, 0.15)  # 178 ms on the wire
            b.write(b"\xff pong")
            self.assertEqual(a.read(6), b"\xff pong")
            for level in (False, True):
                a.dtr = b.rts = level
                self.assertTrue(eventually(lambda: (b.dsr, b.cd, a.cts) == (level,) * 3))
        out = server.stop()
        self.assertIn("the driver removes COM2:", out)
        self.assertIn("first attach wrote", out)
        self.assertIn("1027_24577_1536\\Default\\Default\\Serlynx]", pathlib.Path(reg).read_text())
        self.assertGreater(os.path.getsize(pcap), 1000)
        self.assertIn("served at once from the existing key", Server(self, "--registry", reg).stop())

    def test_write_held_by_flow_control_does_not_stop_the_exit(self):
        server = Server(self, "--line", "none")  # nothing behind it: CTS stays low
        with server.open(rtscts=True, timeout=0.5) as port:
            port.write(b"held" * 1000)
            self.assertEqual(port.read(10), b"")
            self.assertIn("unplugging the device", server.stop())


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--serlynx", required=True)
    parser.add_argument("--device", default="ftdi", choices=MODELS)
    parser.add_argument("suite", choices=["pyserial", "clients", "pty", "cli"])  # a class below
    ARGS = parser.parse_args()
    unittest.main(argv=[sys.argv[0], ARGS.suite.capitalize()], verbosity=2)
