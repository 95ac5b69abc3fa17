#!/usr/bin/python3
"""End-to-end tests of the `serlynx` executable with the real driver library:
serve driven as serial software drives a port (pyserial's rfc2217://, raw
sockets, a termios client on the pty), the device model's decoded state read
from --state-file; and the other subcommands. The protocol is unit-tested in
rfc2217_test.cpp, the port types in tests/driver_*.

usage: serve_test.py --serlynx PATH {pyserial --device NAME|clients|pty|cli}
Exit status 77 (skipped) when pyserial is not installed."""
import argparse, importlib.util, json, math, os, re, signal, socket, subprocess, sys, tempfile
import termios, time, unittest

try:
    import serial
except ImportError:
    print("python3-serial is not installed (scripts/deps.sh test installs it)")
    sys.exit(77)

ARGS = None
# The models the pyserial suite runs on, one per control protocol: how the
# chip takes a rate ("ftdi": the nearest its divisor gives), whether it has
# modem lines, and whether it reports CTS (a CDC ACM port reports it on).
MODELS = {"ftdi": ("ftdi", True, True), "cdc-acm": ("exact", True, False),
          "rcs310": (None, False, False)}
# pyserial's opening: DO ECHO, WILL SGA, DO SGA, DO COM-PORT, WILL COM-PORT.
HELLO = bytes([255, 253, 1, 255, 251, 3, 255, 253, 3, 255, 253, 44, 255, 251, 44])


def eventually(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def run(*args):
    return subprocess.run([ARGS.serlynx] + list(args), capture_output=True, text=True, timeout=60)


def recv_until(sock, done, seconds=5):
    """What the socket brings until done(data) or it closes: (data, closed)."""
    sock.settimeout(seconds)
    data = b""
    try:
        while not done(data):
            chunk = sock.recv(4096)
            if not chunk:
                return data, True
            data += chunk
    except (socket.timeout, ConnectionResetError) as e:
        return data, isinstance(e, ConnectionResetError)
    return data, False


class Server:
    """A running `serlynx serve`; stop() sends SIGINT and returns its status and output."""

    def __init__(self, *extra, device="ftdi"):
        self.dir = tempfile.TemporaryDirectory(prefix="serlynx-test-")
        self.state = os.path.join(self.dir.name, "state.json")
        self.proc = subprocess.Popen(
            [ARGS.serlynx, "serve", "--device", device, "--rfc2217", "127.0.0.1:0",
             "--state-file", self.state] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines, self.ports = [], []
        for line in iter(self.proc.stdout.readline, ""):
            self.lines.append(line)
            self.ports += map(int, re.findall(r"rfc2217://127\.0\.0\.1:(\d+)", line))
            if line.startswith("ready"):
                break
        if not self.ports:
            self.close()
            raise AssertionError("serve did not start:\n" + "".join(self.lines))

    def open(self, index=0, **kw):
        kw.setdefault("timeout", 3)
        return serial.serial_for_url("rfc2217://127.0.0.1:%d" % self.ports[index], **kw)

    def raw(self):
        return socket.create_connection(("127.0.0.1", self.ports[0]), timeout=5)

    def model(self):
        with open(self.state) as f:
            return json.load(f)

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        out, _ = self.proc.communicate(timeout=30)
        return self.proc.returncode, "".join(self.lines) + out

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()
        self.dir.cleanup()


class Case(unittest.TestCase):
    def serve(self, *extra, device="ftdi"):
        server = Server(*extra, device=device)
        self.addCleanup(server.close)
        return server

    def stopped(self, server):
        """Stops the server: it exits 0 with no misuse or leak counted."""
        code, out = server.stop()
        self.assertEqual(code, 0, out)
        self.assertNotIn("misuse or leaks", out)
        return out


class ServedTest(Case):
    device, extra = "ftdi", ()

    def setUp(self):
        self.server = self.serve(*self.extra, device=self.device)

    def tearDown(self):
        if self.server.proc.poll() is None:
            self.stopped(self.server)


class Pyserial(ServedTest):
    """pyserial over rfc2217:// against one model with a loopback plug."""

    def setUp(self):
        self.device = ARGS.device
        self.coding, self.lines, self.cts = MODELS[ARGS.device]
        super().setUp()
        self.port = self.server.open(baudrate=9600)

    def tearDown(self):
        self.port.close()
        super().tearDown()

    def test_settings_reach_the_device(self):
        for baud, size, parity, stop in ((115200, 8, "N", 1), (57600, 7, "E", 2),
                                         (19200, 8, "O", 1), (38400, 8, "M", 1),
                                         (9600, 7, "S", 1.5)):
            with self.subTest(baud=baud, size=size, parity=parity, stop=stop):
                # Each setter waits for the server's acknowledgement and
                # raises when it does not repeat the value.
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
            with self.subTest(rtscts=rtscts, xonxoff=xonxoff):
                self.port.rtscts, self.port.xonxoff = rtscts, xonxoff
                data = bytes(b for b in payload if not xonxoff or b not in (0x11, 0x13))
                # In chunks that fit the port's receive ring: adapters
                # without handshake lines may rightly drop what a slow
                # reader leaves on the wire.
                for chunk in (data[at:at + 1024] for at in range(0, len(data), 1024)):
                    self.port.write(chunk)
                    self.assertEqual(self.port.read(len(chunk)), chunk)
                sent += len(data)
        # The state file follows the counters within a status period.
        self.assertTrue(eventually(lambda: self.server.model()["bytesSent"] == sent),
                        self.server.model())

    def test_modem_lines_and_break(self):
        if not self.lines:
            self.skipTest("the adapter has no modem lines")
        for level in (False, True, False):
            with self.subTest(level=level):
                self.port.dtr = self.port.rts = level
                state = self.server.model()
                self.assertEqual((state["dtr"], state["rts"]), (level, level))
                # The plug wires DTR to DSR and CD, RTS to CTS.
                want = (level, level, level or not self.cts)
                self.assertTrue(eventually(
                    lambda: (self.port.dsr, self.port.cd, self.port.cts) == want))
        self.port.break_condition = True
        self.assertTrue(self.server.model()["break"])
        # The plug returns the break; the server reports it as line state.
        self.assertTrue(eventually(lambda: self.port._linestate & 0x10))
        self.port.break_condition = False
        self.assertFalse(self.server.model()["break"])

    def test_in_waiting_and_purge(self):
        self.port.write(b"x" * 100)
        self.assertTrue(eventually(lambda: self.port.in_waiting == 100))
        self.port.reset_input_buffer()
        self.port.reset_output_buffer()
        self.assertEqual(self.port.in_waiting, 0)
        self.port.timeout = 0.3
        self.assertEqual(self.port.read(10), b"")
        self.port.write(b"fresh")
        self.port.timeout = 3
        self.assertEqual(self.port.read(5), b"fresh")


class Clients(ServedTest):
    """Who may connect, and what happens to bad or vanished clients."""

    def echo(self, data=b"ok"):
        with self.server.open() as port:
            port.write(data)
            self.assertEqual(port.read(len(data)), data)

    def test_second_client_is_refused_with_a_message(self):
        first = self.server.open()
        with self.server.raw() as raw:
            data, closed = recv_until(raw, lambda d: False)
        self.assertTrue(closed)
        self.assertIn(b"in use by another client", data)
        with self.assertRaises((serial.SerialException, OSError)):
            self.server.open()
        first.write(b"still here")
        self.assertEqual(first.read(10), b"still here")
        first.close()
        self.echo()

    def test_vanished_client_frees_the_port(self):
        # A client process killed mid-session: the OS closes its socket.
        script = ("import serial,sys,time\ns=serial.serial_for_url(sys.argv[1])\n"
                  "s.dtr=True\nprint('open',flush=True)\ntime.sleep(60)\n")
        child = subprocess.Popen([sys.executable, "-c", script, "rfc2217://127.0.0.1:%d" %
                                  self.server.ports[0]], stdout=subprocess.PIPE, text=True)
        self.assertEqual(child.stdout.readline().strip(), "open")
        child.kill()
        child.wait()
        # The next client gets the port, with DTR dropped in between.
        self.assertTrue(eventually(lambda: not self.server.model()["dtr"]))
        self.echo()

    def test_malformed_stream_closes_only_that_connection(self):
        for stream in (HELLO + bytes([255, 5]), HELLO + bytes([255, 250, 44, 1, 0, 1, 255, 240])):
            with self.subTest(stream=stream.hex(" ")), self.server.raw() as raw:
                raw.sendall(stream)
                self.assertTrue(recv_until(raw, lambda d: False)[1], "the connection stayed open")
                self.echo()

    def test_suspend_holds_data_and_notices_follow_negotiation(self):
        with self.server.raw() as raw:
            # FLOWCONTROL-SUSPEND, then data with a doubled IAC for the loopback.
            raw.sendall(HELLO + bytes([255, 250, 44, 8, 255, 240, 1, 255, 255, 2]))
            got, _ = recv_until(raw, lambda d: False, seconds=1)
            self.assertNotIn(bytes([1, 255, 255, 2]), got)
            raw.sendall(bytes([255, 250, 44, 9, 255, 240]))  # FLOWCONTROL-RESUME
            got += recv_until(raw, lambda d: bytes([1, 255, 255, 2]) in got + d)[0]
        self.assertIn(bytes([1, 255, 255, 2]), got)
        # The modem state notice comes, after our WILL COM-PORT.
        self.assertLess(got.index(bytes([255, 251, 44])), got.index(bytes([255, 250, 44, 107])))


class Pty(ServedTest):
    """The pty bridge with a termios client."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="serlynx-pty-")
        self.addCleanup(tmp.cleanup)
        self.link = os.path.join(tmp.name, "ttySLX")
        # A pty cannot carry data bits or parity: the format comes from here.
        self.extra = ("--pty", self.link, "--format", "7O1")
        super().setUp()

    def tearDown(self):
        super().tearDown()
        self.assertFalse(os.path.lexists(self.link), "the symlink outlived the server")

    def set_speed(self, speed, cflag_on=0, cflag_off=0, lflag=None):
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = speed
        attrs[2] = (attrs[2] | cflag_on) & ~cflag_off
        if lflag is not None:
            attrs[3] = lflag
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def test_data_and_settings(self):
        self.assertEqual(os.stat(self.link).st_mode & 0o777, 0o600)
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = attrs[1] = 0  # raw
        attrs[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN)
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.set_speed(termios.B57600, cflag_on=termios.CSTOPB)
        self.assertTrue(eventually(lambda: self.server.model()["stopBits"] == "2"))
        state = self.server.model()
        self.assertLess(abs(state["baud"] - 57600), 576, state)
        self.assertEqual((state["dataBits"], state["parity"]), (7, "odd"), state)
        payload = bytes(range(128)) * 2  # seven data bits on the line
        os.write(self.fd, payload)
        got, deadline = b"", time.monotonic() + 5
        while len(got) < len(payload) and time.monotonic() < deadline:
            got += os.read(self.fd, 4096)
        self.assertEqual(got, payload)
        self.set_speed(termios.B19200, cflag_off=termios.CSTOPB)
        self.assertTrue(eventually(lambda: abs(self.server.model()["baud"] - 19200) < 200))
        self.assertEqual(self.server.model()["stopBits"], "1")
        # A program that clears every local mode (EXTPROC among them) still
        # has its later changes carried.
        for speed, baud in ((termios.B38400, 38400), (termios.B115200, 115200)):
            self.set_speed(speed, lflag=0)
            self.assertTrue(eventually(
                lambda: abs(self.server.model()["baud"] - baud) < baud / 100), self.server.model())


class Cli(Case):
    """The subcommands: help, errors, probe, devices, registry, and serve's options."""

    def test_help_and_errors(self):
        for args in (["--help"], ["serve", "--help"], ["probe", "--help"], ["devices", "--help"],
                     ["registry", "--help"], ["bench", "--help"]):
            proc = run(*args)
            self.assertEqual((proc.returncode, proc.stdout[:14]), (0, "usage: serlynx"), args)
        for args, message in (
                (["frobnicate"], 'unknown command "frobnicate"'),
                (["serve", "--bogus"], 'unknown option "--bogus"'),
                (["serve", "--device", "nosuch"], 'unknown device "nosuch"'),
                (["serve", "--rfc2217", "localhost"], "expected HOST:PORT"),
                (["serve", "--line", "null-modem:nosuch"], 'unknown device "nosuch"'),
                (["serve", "--line", "wire"], 'expected loopback'),
                (["serve", "--format", "9N1"], "expected data bits, parity and stop bits"),
                (["serve", "--format", "8X1"], "expected data bits, parity and stop bits"),
                (["serve", "--line", "none", "--paced"], "no line to pace"),
                (["probe"], "exactly one of"),
                (["probe", "--lsusb", "/nonexistent/x.txt"], "cannot read /nonexistent/x.txt"),
                (["probe", "--lsusb", __file__], 'no "Device Descriptor:" line'),
                (["registry", "export"], "expected `export FILE`"),
                (["bench", "--json"], "--json needs a value"),
                (["bench", "--only", "nosuch"], 'no figure is named like "nosuch"'),
                (["bench", "--json", "/nonexistent/b.json"], "cannot write /nonexistent/b.json"),
                # The pty's link is never put in place of what is there.
                (["serve", "--rfc2217", "127.0.0.1:0", "--pty", os.path.dirname(__file__)],
                 "already exists")):
            with self.subTest(args=args):
                proc = run(*args)
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn(message, proc.stderr)

    def test_probe_and_devices(self):
        proc = run("probe", "--device", "ftdi")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn('"UsbMode"=dword:00000203', proc.stdout)
        # 24 MHz / 115200 is no whole number of eighths; 38400 is.
        self.assertRegex(proc.stdout, r"exactly:\n .* 38400 ")
        self.assertIn("115200: 115385", proc.stdout)
        # Every model is configured by the driver (else the status is 1).
        proc = run("devices")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout.count("  port type "), len(re.findall(r"(?m)^\S", proc.stdout)))
        self.assertIn("0403:6001", proc.stdout)

    def test_bench_quick_json(self):
        # JSON on standard output, the text on standard error; the compare
        # script reads old revisions' text into the same figures.
        proc = subprocess.run([ARGS.serlynx, "bench", "--quick", "--json", "-"],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = json.loads(proc.stdout)
        scenarios = ["rx", "tx", "echo", "memory", "scaling"]
        self.assertEqual(data["scenarios"], scenarios)
        self.assertEqual(sorted({f["scenario"] for f in data["figures"]}), sorted(scenarios))
        self.assertTrue(data["complete"])
        spec = importlib.util.spec_from_file_location("bench_compare", os.path.join(
            os.path.dirname(__file__), "..", "..", "scripts", "bench-compare.py"))
        compare = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(compare)
        text = compare.parse_text(proc.stderr)
        self.assertEqual([f["name"] for f in text["figures"]], [f["name"] for f in data["figures"]])
        for a, b in zip(data["figures"], text["figures"]):
            for key, x in a.items():
                y = b[key]
                if type(x) in (int, float) and y is not None:
                    self.assertTrue(math.isclose(x, y, rel_tol=0.03, abs_tol=0.06), (a, key, y))
                elif key != "details":
                    self.assertEqual(x, y, (a["name"], key))

    def test_registry_export_import(self):
        with tempfile.TemporaryDirectory() as d:
            out, store, extra = (os.path.join(d, n) for n in ("fresh.reg", "store.reg", "x.reg"))
            self.assertEqual(run("registry", "export", out).returncode, 0)
            with open(out) as f:
                self.assertIn("Default\\Default\\Default\\Serlynx]", f.read())
            stored = None
            for key, value, status in (("Custom", "dword:00000007", 0), ("Bad", "dword:zz", 1)):
                with open(extra, "w") as f:
                    f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\%s]\n"X"=%s\n' % (key, value))
                proc = run("registry", "--registry", store, "import", extra)
                self.assertEqual(proc.returncode, status, proc.stderr)
                with open(store) as f:
                    text = f.read()
                # A malformed file is refused, naming the line, and changes nothing.
                stored = stored or text
                self.assertEqual(text, stored)
            self.assertIn('"X"=dword:00000007', stored)
            self.assertIn("line 4", proc.stderr)

    def test_paced_null_modem_to_a_second_device(self):
        # FTDI adapter on one end, CDC device on the other, each served
        # through the driver and bridged on its own port.
        server = self.serve("--line", "null-modem:cdc-acm", "--paced")
        self.assertEqual(len(server.ports), 2, "".join(server.lines))
        with server.open(0, baudrate=115200) as a, server.open(1, baudrate=115200) as b:
            started = time.monotonic()
            a.write(bytes(range(256)) * 8)
            self.assertEqual(b.read(2048), bytes(range(256)) * 8)
            # 2048 characters of 10 bits at 115200 Bd take 178 ms at least.
            self.assertGreater(time.monotonic() - started, 0.15)
            b.write(b"\xff pong")
            self.assertEqual(a.read(6), b"\xff pong")
            for level in (False, True):
                a.dtr = b.rts = level
                self.assertTrue(eventually(lambda: (b.dsr, b.cd, a.cts) == (level,) * 3))
        out = self.stopped(server)
        self.assertIn("COM2: (far end of the null modem)", out)
        self.assertIn("the driver removes COM2:", out)

    def test_write_held_by_flow_control_does_not_stop_the_exit(self):
        # Nothing behind the device: CTS stays low, so with RTS/CTS flow
        # control the port holds the client's data back.
        server = self.serve("--line", "none")
        with server.open(rtscts=True, timeout=0.5) as port:
            port.write(b"held" * 1000)
            self.assertEqual(port.read(10), b"")
            self.assertFalse(port.cts)
            self.assertIn("unplugging the device", self.stopped(server))

    def test_serve_saves_the_registry_and_capture(self):
        with tempfile.TemporaryDirectory() as d:
            reg, pcap = os.path.join(d, "state.reg"), os.path.join(d, "usb.pcap")
            server = self.serve("--registry", reg, "--capture", pcap)
            with server.open() as port:
                port.write(b"hello")
                self.assertEqual(port.read(5), b"hello")
            self.assertIn("first attach wrote", self.stopped(server))
            with open(reg) as f:
                self.assertIn("1027_24577_1536\\Default\\Default\\Serlynx]", f.read())
            self.assertGreater(os.path.getsize(pcap), 1000)
            # The saved device key serves the device on the first plug.
            out = self.stopped(self.serve("--registry", reg))
            self.assertIn("served at once from the existing key", out)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--serlynx", required=True)
    parser.add_argument("--device", default="ftdi", choices=MODELS)
    parser.add_argument("suite", choices=["pyserial", "clients", "pty", "cli"])
    ARGS, _ = parser.parse_known_args()
    suite = {"pyserial": Pyserial, "clients": Clients, "pty": Pty, "cli": Cli}[ARGS.suite]
    result = unittest.TextTestRunner(verbosity=2).run(
        unittest.defaultTestLoader.loadTestsFromTestCase(suite))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
