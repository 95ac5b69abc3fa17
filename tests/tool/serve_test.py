#!/usr/bin/python3
"""End-to-end tests of `serlynx serve` and the other subcommands.

Each run starts the real executable (which loads the real driver library
through the emulated loader), talks to it as ordinary serial software does
(pyserial's rfc2217:// client, raw sockets, a termios client on the pty) and
reads the device model's decoded state from the file given to --state-file.

usage: serve_test.py --serlynx PATH SUITE [--device NAME]
  SUITE: pyserial | clients | pty | probe | cli
Exit status 77 (skipped) when pyserial is not installed.
"""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest

try:
    import serial
except ImportError:
    print("python3-serial is not installed (scripts/deps.sh test installs it)")
    sys.exit(77)

ARGS = None

# What each model reads back: whether its chip decodes rate and format,
# how exactly it runs at a requested rate, and which modem lines it wires.
MODELS = {
    "ftdi": dict(coding="ftdi", dtr=True, rts=True, brk=True),
    "ftdi-hs": dict(coding="ftdi", dtr=True, rts=True, brk=True),
    "ftdi-dual": dict(coding="ftdi", dtr=True, rts=True, brk=True),
    "ftdi-header": dict(coding="codes", dtr=True, rts=True, brk=True),
    "cdc-acm": dict(coding="exact", dtr=True, rts=False, brk=True),
    "cdc-cts": dict(coding="exact", dtr=True, rts=True, brk=True),
    "cdc-nocoding": dict(coding="none", dtr=True, rts=False, brk=True),
    "cdc-two-channel": dict(coding="exact", dtr=True, rts=False, brk=True),
    "cdc-composite": dict(coding="exact", dtr=True, rts=False, brk=True),
    "bulk": dict(coding=None, dtr=False, rts=False, brk=False),
    "rcs310": dict(coding=None, dtr=False, rts=False, brk=False),
}


def eventually(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class Server:
    """A running `serlynx serve`; stop() sends SIGINT and returns its output."""

    def __init__(self, *extra, device="ftdi"):
        self.dir = tempfile.TemporaryDirectory(prefix="serlynx-test-")
        self.state = os.path.join(self.dir.name, "state.json")
        cmd = [ARGS.serlynx, "serve", "--device", device, "--rfc2217", "127.0.0.1:0",
               "--state-file", self.state] + list(extra)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True)
        self.lines = []
        self.ports = []
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.lines.append(line)
            m = re.search(r"rfc2217://127\.0\.0\.1:(\d+)", line)
            if m:
                self.ports.append(int(m.group(1)))
            if line.startswith("ready"):
                break
        self.port = self.ports[0] if self.ports else None
        if self.port is None:
            self.proc.kill()
            raise AssertionError("serve did not start:\n" + "".join(self.lines) +
                                 self.proc.stdout.read())

    def url(self, index=0):
        return "rfc2217://127.0.0.1:%d" % self.ports[index]

    def open(self, index=0, **kw):
        kw.setdefault("timeout", 3)
        return serial.serial_for_url(self.url(index), **kw)

    def model(self):
        with open(self.state) as f:
            return json.load(f)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        out, _ = self.proc.communicate(timeout=30)
        self.lines.append(out)
        return self.proc.returncode, "".join(self.lines)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()
        self.dir.cleanup()


class ServedTest(unittest.TestCase):
    device = "ftdi"
    extra = ()

    def setUp(self):
        self.server = Server(*self.extra, device=self.device)

    def tearDown(self):
        try:
            if self.server.alive():
                code, out = self.server.stop()
                self.assertEqual(code, 0, out)
                self.assertNotIn("misuse or leaks", out)
        finally:
            self.server.kill()


class Pyserial(ServedTest):
    """pyserial over rfc2217:// against one model with a loopback plug."""

    @classmethod
    def setUpClass(cls):
        cls.device = ARGS.device
        cls.caps = MODELS[ARGS.device]

    def setUp(self):
        super().setUp()
        self.port = self.server.open(baudrate=9600)

    def tearDown(self):
        self.port.close()
        super().tearDown()

    def check_rate(self, state, requested):
        coding = self.caps["coding"]
        if coding == "exact":
            self.assertEqual(state["baud"], requested)
        elif coding == "ftdi":
            # The divisor chip runs at the nearest rate its divisor gives.
            self.assertLess(abs(state["baud"] - requested) / requested, 0.01, state)
        elif coding == "codes":
            self.assertEqual(state["baud"], requested if requested in (
                300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200) else 9600)

    def test_settings_reach_the_device(self):
        parity = {"N": "none", "O": "odd", "E": "even", "M": "mark", "S": "space"}
        stop = {1: "1", 1.5: "1.5", 2: "2"}
        cases = [
            (115200, 8, "N", 1), (57600, 7, "E", 2), (19200, 8, "O", 1), (38400, 8, "M", 1),
            (9600, 7, "S", 1.5), (230400, 8, "N", 2), (4800, 8, "N", 1),
        ]
        for baud, size, par, stopbits in cases:
            with self.subTest(baud=baud, size=size, parity=par, stop=stopbits):
                # Each setter waits for the server's acknowledgement and
                # raises when it does not repeat the value.
                self.port.baudrate = baud
                self.port.bytesize = size
                self.port.parity = par
                self.port.stopbits = stopbits
                state = self.server.model()
                if self.caps["coding"] is None:
                    continue
                if self.caps["coding"] == "none":
                    # The device refuses line coding: the driver sends none.
                    self.assertEqual((state["baud"], state["dataBits"], state["parity"]),
                                     (9600, 8, "none"), state)
                    self.assertFalse(state["codingAccepted"])
                    continue
                self.check_rate(state, baud)
                self.assertEqual(state["dataBits"], size, state)
                self.assertEqual(state["parity"], parity[par], state)
                self.assertEqual(state["stopBits"], stop[stopbits], state)

    def test_every_byte_value_both_ways(self):
        self.port.baudrate = 115200
        payload = bytes(range(256)) * 16 + b"\xff\xff\xff" + bytes(reversed(range(256)))
        # In chunks that fit the port's receive ring: adapters without
        # handshake lines (bulk-only, type 4) may rightly drop what a slow
        # reader leaves on the wire, and a sanitized server reads slowly.
        got = b""
        for at in range(0, len(payload), 1024):
            chunk = payload[at:at + 1024]
            self.port.write(chunk)
            got += self.port.read(len(chunk))
        self.assertEqual(len(got), len(payload))
        self.assertEqual(got, payload)
        # The state file follows the counters within a status period.
        self.assertTrue(eventually(lambda: self.server.model()["bytesSent"] == len(payload)),
                        self.server.model())

    def test_flow_control_settings_keep_data_flowing(self):
        for name, steps in (("rtscts", [("rtscts", True)]),
                            ("xonxoff", [("rtscts", False), ("xonxoff", True)]),
                            ("none", [("xonxoff", False)])):
            with self.subTest(flow=name):
                for key, value in steps:
                    setattr(self.port, key, value)
                data = bytes(b for b in range(256) if b not in (0x11, 0x13)) * 2
                self.port.write(data)
                self.assertEqual(self.port.read(len(data)), data)

    def test_dtr_drives_dsr_and_cd(self):
        if not self.caps["dtr"]:
            self.skipTest("the adapter has no modem lines")
        for level in (False, True, False):
            with self.subTest(dtr=level):
                self.port.dtr = level
                self.assertEqual(self.server.model()["dtr"], level)
                self.assertTrue(eventually(lambda: self.port.dsr == level and
                                           self.port.cd == level),
                                "dsr %s cd %s" % (self.port.dsr, self.port.cd))

    def test_rts_drives_cts(self):
        if not self.caps["dtr"]:
            self.skipTest("the adapter has no modem lines")
        for level in (False, True, False):
            with self.subTest(rts=level):
                self.port.rts = level
                self.assertEqual(self.server.model()["rts"], level)
                # Ports that do not read CTS from the device report it on.
                want = level if self.caps["rts"] else True
                self.assertTrue(eventually(lambda: self.port.cts == want))

    def test_break_reaches_the_device_and_comes_back_as_line_state(self):
        if not self.caps["brk"]:
            self.skipTest("the adapter has no break")
        self.port.break_condition = True
        self.assertTrue(self.server.model()["break"])
        # The loopback plug returns the break; the server reports it.
        self.assertTrue(eventually(lambda: self.port._linestate & 0x10),
                        "linestate %#x" % self.port._linestate)
        self.port.break_condition = False
        self.assertFalse(self.server.model()["break"])
        # A chip that receives a break as a NUL character has delivered one.
        self.port.reset_input_buffer()
        self.port.write(b"after break")
        self.assertEqual(self.port.read(11), b"after break")

    def test_in_waiting_and_purge(self):
        self.port.write(b"x" * 100)
        self.assertTrue(eventually(lambda: self.port.in_waiting == 100),
                        "in_waiting %d" % self.port.in_waiting)
        self.port.reset_input_buffer()
        self.port.reset_output_buffer()
        self.assertEqual(self.port.in_waiting, 0)
        self.port.timeout = 0.3
        self.assertEqual(self.port.read(10), b"")
        self.port.write(b"fresh")
        self.port.timeout = 3
        self.assertEqual(self.port.read(5), b"fresh")


def raw_connect(server):
    s = socket.create_connection(("127.0.0.1", server.port), timeout=5)
    return s


def read_until_closed(sock, seconds=5):
    sock.settimeout(seconds)
    data = b""
    try:
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                return data, True
            data += chunk
    except socket.timeout:
        return data, False
    except ConnectionResetError:
        return data, True


# pyserial's opening requests: DO ECHO, WILL SGA, DO SGA, DO COM-PORT, WILL COM-PORT.
HELLO = bytes([255, 253, 1, 255, 251, 3, 255, 253, 3, 255, 253, 44, 255, 251, 44])


class Clients(ServedTest):
    """Who may connect, and what happens to bad or vanished clients."""

    def test_second_client_is_refused_with_a_message(self):
        first = self.server.open()
        raw = raw_connect(self.server)
        data, closed = read_until_closed(raw)
        raw.close()
        self.assertTrue(closed)
        self.assertIn(b"in use by another client", data)
        # pyserial fails to open (how depends on when the close reaches it).
        with self.assertRaises((serial.SerialException, OSError)):
            self.server.open()
        # The first client is undisturbed.
        first.write(b"still here")
        self.assertEqual(first.read(10), b"still here")
        first.close()
        again = self.server.open()
        again.close()

    def test_vanished_client_frees_the_port(self):
        # A client process killed mid-session: the OS closes its socket.
        script = ("import serial,sys,time\n"
                  "s=serial.serial_for_url(sys.argv[1])\n"
                  "s.dtr=True\nprint('open',flush=True)\ntime.sleep(60)\n")
        child = subprocess.Popen([sys.executable, "-c", script, self.server.url()],
                                 stdout=subprocess.PIPE, text=True)
        self.assertEqual(child.stdout.readline().strip(), "open")
        child.kill()
        child.wait()
        # The next client gets the port, with DTR dropped in between.
        self.assertTrue(eventually(lambda: not self.server.model()["dtr"]))
        port = self.server.open()
        port.write(b"next")
        self.assertEqual(port.read(4), b"next")
        port.close()

    def test_malformed_telnet_closes_only_that_connection(self):
        cases = {
            "IAC followed by a data byte": HELLO + bytes([255, 5]),
            "SE without SB": bytes([255, 240]),
            "IAC inside a subnegotiation": bytes([255, 250, 44, 1, 255, 7]),
            "baud rate of two bytes": HELLO + bytes([255, 250, 44, 1, 0, 1, 255, 240]),
            "endless subnegotiation": bytes([255, 250, 44, 1]) + b"\x00" * 1000,
        }
        for name, stream in cases.items():
            with self.subTest(case=name):
                raw = raw_connect(self.server)
                raw.sendall(stream)
                _, closed = read_until_closed(raw)
                raw.close()
                self.assertTrue(closed, "the connection stayed open")
                self.assertTrue(self.server.alive())
                port = self.server.open()
                port.write(b"ok")
                self.assertEqual(port.read(2), b"ok")
                port.close()

    def test_flow_control_suspend_holds_data_until_resume(self):
        raw = raw_connect(self.server)
        raw.sendall(HELLO + bytes([255, 250, 44, 8, 255, 240]) + b"held back")
        raw.settimeout(1.0)
        got = b""
        try:
            while True:
                got += raw.recv(4096)
        except socket.timeout:
            pass
        self.assertNotIn(b"held back", got)
        raw.sendall(bytes([255, 250, 44, 9, 255, 240]))
        raw.settimeout(5)
        deadline = time.monotonic() + 5
        while b"held back" not in got and time.monotonic() < deadline:
            got += raw.recv(4096)
        raw.close()
        self.assertIn(b"held back", got)

    def test_modem_state_comes_after_negotiation_and_data_is_escaped(self):
        raw = raw_connect(self.server)
        raw.sendall(HELLO)
        # Data with IAC doubled goes out on the loopback and comes back doubled.
        raw.sendall(bytes([1, 255, 255, 2]))
        raw.settimeout(5)
        got = b""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not (bytes([1, 255, 255, 2]) in got and
                                                   bytes([255, 250, 44, 107]) in got):
            got += raw.recv(4096)
        raw.close()
        self.assertIn(bytes([255, 250, 44, 107]), got, got.hex(" "))
        self.assertIn(bytes([255, 251, 44]), got)
        self.assertIn(bytes([1, 255, 255, 2]), got)


class Pty(ServedTest):
    """The pty bridge with a termios client."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="serlynx-pty-")
        self.link = os.path.join(self.tmp.name, "ttySLX")
        # A pty cannot carry data bits or parity: the format comes from here.
        self.extra = ("--pty", self.link, "--format", "7O1")
        super().setUp()

    def tearDown(self):
        super().tearDown()
        self.assertFalse(os.path.lexists(self.link), "the symlink outlived the server")
        self.tmp.cleanup()

    def test_data_and_speed(self):
        self.assertTrue(os.path.islink(self.link))
        self.assertEqual(os.stat(self.link).st_mode & 0o777, 0o600)
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        try:
            attrs = termios.tcgetattr(fd)
            attrs[0] = 0  # iflag: raw
            attrs[1] = 0
            attrs[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN)
            attrs[4] = attrs[5] = termios.B57600
            attrs[2] |= termios.CSTOPB
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            self.assertTrue(eventually(lambda: self.server.model()["stopBits"] == "2"))
            state = self.server.model()
            self.assertLess(abs(state["baud"] - 57600) / 57600, 0.01, state)
            self.assertEqual((state["dataBits"], state["parity"]), (7, "odd"), state)
            payload = bytes(range(128)) * 2  # seven data bits on the line
            os.write(fd, payload)
            got = b""
            deadline = time.monotonic() + 5
            while len(got) < len(payload) and time.monotonic() < deadline:
                got += os.read(fd, 4096)
            self.assertEqual(got, payload)
            attrs = termios.tcgetattr(fd)
            attrs[4] = attrs[5] = termios.B19200
            attrs[2] &= ~termios.CSTOPB
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            self.assertTrue(eventually(lambda: abs(self.server.model()["baud"] - 19200) < 200))
            self.assertEqual(self.server.model()["stopBits"], "1")
            # A program that clears every local mode (EXTPROC among them)
            # still has its later changes carried.
            for speed, baud in ((termios.B38400, 38400), (termios.B115200, 115200)):
                attrs = termios.tcgetattr(fd)
                attrs[3] = 0
                attrs[4] = attrs[5] = speed
                termios.tcsetattr(fd, termios.TCSANOW, attrs)
                self.assertTrue(eventually(
                    lambda: abs(self.server.model()["baud"] - baud) < baud / 100),
                    self.server.model())
        finally:
            os.close(fd)

    def test_existing_path_is_refused(self):
        code, out = self.server.stop()
        self.assertEqual(code, 0, out)
        with open(self.link, "w") as f:
            f.write("keep me")
        proc = subprocess.run([ARGS.serlynx, "serve", "--rfc2217", "127.0.0.1:0", "--pty",
                               self.link], capture_output=True, text=True, timeout=30)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("already exists", proc.stderr)
        with open(self.link) as f:
            self.assertEqual(f.read(), "keep me")
        os.unlink(self.link)


def fixtures_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "fixtures", "lsusb")


def run(*args, timeout=60):
    return subprocess.run([ARGS.serlynx] + list(args), capture_output=True, text=True,
                          timeout=timeout)


class Probe(unittest.TestCase):
    """probe on built-in models and on bad text. (Its results on the real
    `lsusb -v` dumps are docs/driver.md's table, checked by tool_driver_doc.)"""

    def test_built_in_models(self):
        for name, mode, endpoints in (("ftdi", 0x203, "bulk-IN 0x81, bulk-OUT 0x02"),
                                      ("ftdi-header", 0x3, "bulk-IN 0x81"),
                                      ("cdc-acm", 0x1, "status interrupt-IN 0x81"),
                                      ("cdc-two-channel", 0x2, "second bulk-IN 0x83"),
                                      ("cdc-composite", 0x1, "status interrupt-IN 0x83"),
                                      ("rcs310", 0x4, "bulk-IN 0x81")):
            with self.subTest(model=name):
                proc = run("probe", "--device", name)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertIn('"UsbMode"=dword:%08x' % mode, proc.stdout)
                self.assertIn(endpoints, proc.stdout)
        proc = run("probe", "--device", "ftdi")
        # 24 MHz / 115200 is no whole number of eighths; 38400 is.
        self.assertRegex(proc.stdout, r"exactly:\n .* 38400 ")
        self.assertIn("115200: 115385", proc.stdout)

    def test_unreadable_lsusb_text_names_the_line(self):
        with open(os.path.join(fixtures_dir(), "01-ft232r-0403-6001.txt")) as f:
            good = f.read().splitlines()
        index = next(i for i, l in enumerate(good) if "idProduct" in l)
        bad = list(good)
        bad[index] = "  idProduct          0xzz12 garbage"
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
            f.write("\n".join(bad) + "\n")
            f.flush()
            proc = run("probe", "--lsusb", f.name)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("line %d:" % (index + 1), proc.stderr)
        self.assertIn("idProduct", proc.stderr)


class Cli(unittest.TestCase):
    """Help, errors, registry files, capture."""

    def test_help_on_every_subcommand(self):
        for args in (["--help"], ["serve", "--help"], ["probe", "--help"],
                     ["devices", "--help"], ["registry", "--help"]):
            with self.subTest(args=args):
                proc = run(*args)
                self.assertEqual(proc.returncode, 0)
                self.assertIn("usage: serlynx", proc.stdout)

    def test_errors_name_what_was_wrong(self):
        cases = [
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
            (["registry", "export"], "expected `export FILE`"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                proc = run(*args)
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn(message, proc.stderr)

    def test_devices_lists_every_model_with_its_port_type(self):
        proc = run("devices")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for name in MODELS:
            self.assertRegex(proc.stdout, r"(?m)^%s: " % re.escape(name))
        self.assertEqual(proc.stdout.count("port type"), len(MODELS))
        self.assertIn("0403:6001", proc.stdout)

    def test_registry_export_import(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "fresh.reg")
            proc = run("registry", "export", out)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            with open(out) as f:
                text = f.read()
            self.assertIn("Default\\Default\\Default\\Serlynx]", text)
            store = os.path.join(d, "store.reg")
            extra = os.path.join(d, "extra.reg")
            with open(extra, "w") as f:
                f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\Custom]\n"Prio"=dword:00000007\n')
            proc = run("registry", "--registry", store, "import", extra)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            with open(store) as f:
                stored = f.read()
            self.assertIn('"Prio"=dword:00000007', stored)
            with open(extra, "w") as f:
                f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\Bad]\n"X"=dword:zz\n')
            proc = run("registry", "--registry", store, "import", extra)
            self.assertNotEqual(proc.returncode, 0)
            self.assertIn("line 4", proc.stderr)
            with open(store) as f:
                self.assertEqual(f.read(), stored)

    def test_paced_line_carries_data_at_the_baud_rate(self):
        server = Server("--paced")
        try:
            port = server.open(baudrate=115200)
            payload = bytes(range(256)) * 8
            started = time.monotonic()
            port.write(payload)
            got = port.read(len(payload))
            elapsed = time.monotonic() - started
            port.close()
            code, out = server.stop()
        finally:
            server.kill()
        self.assertEqual(got, payload)
        self.assertEqual(code, 0, out)
        # 2048 characters of 10 bits at 115200 Bd take 178 ms at least; an
        # unpaced loopback returns them in a few.
        self.assertGreater(elapsed, 0.15)

    def test_null_modem_to_a_second_device(self):
        # FTDI adapter on one end, CDC device on the other, each served
        # through the driver and bridged on its own port.
        server = Server("--line", "null-modem:cdc-acm")
        try:
            self.assertEqual(len(server.ports), 2, "".join(server.lines))
            a = server.open(0, baudrate=115200)
            b = server.open(1, baudrate=115200)
            a.write(bytes(range(256)))
            self.assertEqual(b.read(256), bytes(range(256)))
            b.write(b"\xff pong")
            self.assertEqual(a.read(6), b"\xff pong")
            for level in (False, True):
                a.dtr = level
                self.assertTrue(eventually(lambda: b.dsr == level and b.cd == level))
                b.rts = level
                self.assertTrue(eventually(lambda: a.cts == level))
            a.close()
            b.close()
            code, out = server.stop()
        finally:
            server.kill()
        self.assertEqual(code, 0, out)
        self.assertIn("COM2: (far end of the null modem)", out)
        self.assertIn("the driver removes COM2:", out)

    def test_write_held_by_flow_control_does_not_stop_the_exit(self):
        # Nothing behind the device: CTS stays low, so with RTS/CTS flow
        # control the port holds the client's data back.
        server = Server("--line", "none")
        try:
            port = server.open(rtscts=True)
            port.timeout = 0.5
            port.write(b"held" * 1000)
            self.assertEqual(port.read(10), b"")
            self.assertFalse(port.cts)
            started = time.monotonic()
            code, out = server.stop()
            port.close()
        finally:
            server.kill()
        self.assertEqual(code, 0, out)
        self.assertLess(time.monotonic() - started, 20)
        self.assertIn("unplugging the device", out)

    def test_serve_saves_the_registry_and_capture(self):
        with tempfile.TemporaryDirectory() as d:
            reg = os.path.join(d, "state.reg")
            pcap = os.path.join(d, "usb.pcap")
            server = Server("--registry", reg, "--capture", pcap)
            try:
                port = server.open()
                port.write(b"hello")
                self.assertEqual(port.read(5), b"hello")
                port.close()
                code, out = server.stop()
            finally:
                server.kill()
            self.assertEqual(code, 0, out)
            self.assertIn("first attach wrote", out)
            with open(reg) as f:
                self.assertIn("1027_24577_1536\\Default\\Default\\Serlynx]", f.read())
            with open(pcap, "rb") as f:
                header = f.read(24)
            self.assertEqual(header[:4], bytes([0xd4, 0xc3, 0xb2, 0xa1]))
            self.assertEqual(int.from_bytes(header[20:24], "little"), 220)
            # The saved device key serves the device on the first plug.
            server = Server("--registry", reg)
            try:
                code, out = server.stop()
            finally:
                server.kill()
            self.assertEqual(code, 0, out)
            self.assertIn("served at once from the existing key", out)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--serlynx", required=True)
    parser.add_argument("--device", default="ftdi")
    parser.add_argument("suite", choices=["pyserial", "clients", "pty", "probe", "cli"])
    ARGS, rest = parser.parse_known_args()
    suite = {"pyserial": Pyserial, "clients": Clients, "pty": Pty, "probe": Probe,
             "cli": Cli}[ARGS.suite]
    tests = unittest.defaultTestLoader.loadTestsFromTestCase(suite)
    result = unittest.TextTestRunner(verbosity=2).run(tests)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
