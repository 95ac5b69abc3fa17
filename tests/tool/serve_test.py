#!/usr/bin/python3
"""`serlynx` with the real driver library, driven by pyserial (rfc2217://), raw sockets, a termios
client on the pty and the command line; the model's state read from --state-file. 77: no pyserial.
usage: serve_test.py --serlynx PATH {pyserial --device NAME|clients|pty|cli}"""
import argparse, importlib.util, json, math, os, re, signal, socket, subprocess, sys, tempfile
import termios, time, tty, unittest

try:
    import serial
except ImportError:
    sys.exit(print("python3-serial is not installed (scripts/deps.sh test installs it)") or 77)

ARGS = None
# One model per control protocol: how it takes a rate (ftdi: the nearest its divisor gives),
# whether it has modem lines, and whether it reports CTS (a CDC ACM port reports it on).
MODELS = {"ftdi": ("ftdi", True, True), "cdc-acm": ("exact", True, False),
          "rcs310": (None, False, False)}


def eventually(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.02)
    return predicate()


def run(*args):
    return subprocess.run([ARGS.serlynx] + list(args), capture_output=True, text=True, timeout=60)


class Server:  # a running `serlynx serve` on ports the system picks
    def __init__(self, case, *extra, device="ftdi"):
        tmp = tempfile.TemporaryDirectory(prefix="serlynx-test-")
        case.addCleanup(tmp.cleanup)
        self.state = os.path.join(tmp.name, "state.json")
        self.proc = subprocess.Popen(
            [ARGS.serlynx, "serve", "--device", device, "--rfc2217", "127.0.0.1:0",
             "--state-file", self.state] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        case.addCleanup(lambda: self.proc.poll() is None and self.proc.kill())
        self.out = ""
        while not re.search("(?m)^ready", self.out):
            line = self.proc.stdout.readline()
            case.assertTrue(line, "serve did not start:\n" + self.out)
            self.out += line
        self.ports = [int(p) for p in re.findall(r"rfc2217://127\.0\.0\.1:(\d+)", self.out)]

    def open(self, index=0, **kw):
        return serial.serial_for_url("rfc2217://127.0.0.1:%d" % self.ports[index],
                                     **{"timeout": 3, **kw})

    def raw_until_closed(self, data):  # what comes back until the server closes; None: it didn't
        with socket.create_connection(("127.0.0.1", self.ports[0]), timeout=5) as sock:
            sock.sendall(data)
            got = b""
            try:
                while chunk := sock.recv(4096):
                    got += chunk
            except socket.timeout:
                return None
            except ConnectionResetError:
                pass
            return got

    def model(self):
        with open(self.state) as f:
            return json.load(f)

    def stop(self, case):  # Ctrl-C: it exits 0 with no misuse or leak counted; its output
        self.proc.send_signal(signal.SIGINT)
        out = self.out + self.proc.communicate(timeout=30)[0]
        case.assertEqual(self.proc.returncode, 0, out)
        case.assertNotIn("misuse or leaks", out)
        return out


class Pyserial(unittest.TestCase):
    def setUp(self):
        self.coding, self.lines, self.cts = MODELS[ARGS.device]
        self.server = Server(self, device=ARGS.device)
        self.port = self.server.open(baudrate=9600)

    def tearDown(self):
        self.port.close()
        self.server.stop(self)

    def test_settings_reach_the_device(self):
        for baud, size, parity, stop in ((115200, 8, "N", 1), (57600, 7, "E", 2),
                                         (38400, 8, "M", 1), (9600, 7, "S", 1.5)):
            self.port.baudrate, self.port.bytesize = baud, size
            self.port.parity, self.port.stopbits = parity, stop
            state = self.server.model()
            if self.coding:
                self.assertLess(abs(state["baud"] - baud),
                                baud / 100 if self.coding == "ftdi" else 1, state)
                self.assertEqual((state["dataBits"], state["parity"][0], state["stopBits"]),
                                 (size, parity.lower(), str(stop)), state)

    def test_every_byte_value_both_ways_in_every_flow_mode(self):
        self.port.baudrate = 115200
        payload = bytes(range(256)) * 4 + b"\xff\xff\xff" + bytes(reversed(range(256)))
        sent = 0
        for rtscts, xonxoff in ((True, False), (False, True), (False, False)):
            self.port.rtscts, self.port.xonxoff = rtscts, xonxoff
            data = bytes(b for b in payload if not xonxoff or b not in (0x11, 0x13))
            # In chunks the ring holds: without handshake lines a slow reader may lose data.
            for chunk in (data[at:at + 1024] for at in range(0, len(data), 1024)):
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
        self.port.break_condition = True
        self.assertTrue(self.server.model()["break"])
        self.assertTrue(eventually(lambda: self.port._linestate & 0x10))  # the plug returns it
        self.port.break_condition = False
        self.assertFalse(self.server.model()["break"])

class Clients(unittest.TestCase):
    def test_second_malformed_and_vanished_clients(self):
        server = Server(self)
        # A client that leaves with DTR on (pyserial closes its socket and says nothing).
        with server.open() as first:
            self.assertIn(b"in use by another client", server.raw_until_closed(b""))
            first.dtr = True
            first.write(b"on")
            self.assertEqual(first.read(2), b"on")
        # SET-BAUDRATE with 3 bytes instead of 4 closes that connection only.
        self.assertIsNotNone(server.raw_until_closed(bytes([255, 250, 44, 1, 0, 1, 255, 240])),
                             "the connection stayed open")
        # DTR dropped when the client went; the next client gets the port.
        self.assertFalse(server.model()["dtr"])
        with server.open() as port:
            port.write(b"ok")
            self.assertEqual(port.read(2), b"ok")
        server.stop(self)


class Pty(unittest.TestCase):
    def test_data_and_settings(self):
        tmp = tempfile.TemporaryDirectory(prefix="serlynx-pty-")
        self.addCleanup(tmp.cleanup)
        link = os.path.join(tmp.name, "ttySLX")
        server = Server(self, "--pty", link, "--format", "7O1")  # a pty has no data bits, parity
        self.assertEqual(os.stat(link).st_mode & 0o777, 0o600)
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        tty.setraw(fd)
        # A program that clears every local mode (EXTPROC among them) still has its later
        # changes carried.
        for speed, stop2, lflag in ((57600, True, None), (38400, False, 0), (115200, False, 0)):
            attrs = termios.tcgetattr(fd)
            attrs[2] = attrs[2] | termios.CSTOPB if stop2 else attrs[2] & ~termios.CSTOPB
            attrs[3] = attrs[3] if lflag is None else lflag
            attrs[4] = attrs[5] = getattr(termios, "B%d" % speed)
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            want = [7, "odd", "2" if stop2 else "1"]
            self.assertTrue(eventually(lambda: abs(server.model()["baud"] - speed) < speed / 100
                                       and [server.model()[k] for k in
                                            ("dataBits", "parity", "stopBits")] == want), speed)
        payload = bytes(range(128)) * 2  # seven data bits on the line
        os.write(fd, payload)
        got, deadline = b"", time.monotonic() + 5
        while len(got) < len(payload) and time.monotonic() < deadline:
            got += os.read(fd, 4096)
        self.assertEqual(got, payload)
        server.stop(self)
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
        with tempfile.TemporaryDirectory() as d:
            reg, store = os.path.join(d, "x.reg"), os.path.join(d, "store.reg")
            self.assertEqual(run("registry", "export", reg).returncode, 0)
            self.assertEqual(run("registry", "--registry", store, "import", reg).returncode, 0)
            with open(store) as f:
                self.assertIn("Default\\Default\\Default\\Serlynx]", f.read())

    def test_bench_quick_json(self):
        # JSON on stdout, text on stderr, which the compare script reads into the same figures.
        proc = subprocess.run([ARGS.serlynx, "bench", "--quick", "--json", "-"],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = json.loads(proc.stdout)
        self.assertEqual(data["scenarios"], ["rx", "tx", "echo", "memory", "scaling"])
        self.assertEqual({f["scenario"] for f in data["figures"]}, set(data["scenarios"]))
        self.assertTrue(data["complete"])
        spec = importlib.util.spec_from_file_location("bench_compare", os.path.join(
            os.path.dirname(__file__), "..", "..", "scripts", "bench-compare.py"))
        compare = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(compare)
        text = compare.parse_text(proc.stderr)
        self.assertEqual([f["name"] for f in text["figures"]], [f["name"] for f in data["figures"]])
        for a, b in zip(data["figures"], text["figures"]):
            for key, x in a.items():
                if type(x) in (int, float) and (y := b[key]) is not None:
                    self.assertTrue(math.isclose(x, y, rel_tol=0.03, abs_tol=0.06), (a, key, y))
                elif key != "details":
                    self.assertEqual(x, b[key], (a["name"], key))

    def test_paced_null_modem_with_saved_registry_and_capture(self):
        with tempfile.TemporaryDirectory() as d:
            reg, pcap = os.path.join(d, "state.reg"), os.path.join(d, "usb.pcap")
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
            out = server.stop(self)
            self.assertIn("the driver removes COM2:", out)
            self.assertIn("first attach wrote", out)
            with open(reg) as f:
                self.assertIn("1027_24577_1536\\Default\\Default\\Serlynx]", f.read())
            self.assertGreater(os.path.getsize(pcap), 1000)
            self.assertIn("served at once from the existing key",
                          Server(self, "--registry", reg).stop(self))

    def test_write_held_by_flow_control_does_not_stop_the_exit(self):
        server = Server(self, "--line", "none")  # nothing behind it: CTS stays low
        with server.open(rtscts=True, timeout=0.5) as port:
            port.write(b"held" * 1000)
            self.assertEqual(port.read(10), b"")
            self.assertIn("unplugging the device", server.stop(self))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--serlynx", required=True)
    parser.add_argument("--device", default="ftdi", choices=MODELS)
    parser.add_argument("suite", choices=["pyserial", "clients", "pty", "cli"])
    ARGS = parser.parse_args()
    suite = {"pyserial": Pyserial, "clients": Clients, "pty": Pty, "cli": Cli}[ARGS.suite]
    sys.exit(not unittest.TextTestRunner(verbosity=2).run(
        unittest.defaultTestLoader.loadTestsFromTestCase(suite)).wasSuccessful())
