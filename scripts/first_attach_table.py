#!/usr/bin/env python3
"""The table in docs/driver.md of what the driver's first attach makes of
real devices: `serlynx probe --lsusb` run on every `lsusb -v` dump in
tests/fixtures/lsusb, each device named as that directory's SOURCES.md names
it. Generated, so that the guide cannot drift from the driver.

usage: scripts/first_attach_table.py [--serlynx PATH] [--write | --check] [DOC]

  (neither)  prints the table
  --write    puts the table into DOC (default docs/driver.md), between its
             two marker lines
  --check    exits 1, printing the difference, when DOC's table is not the
             one the driver gives now (CTest runs this as tool_driver_doc)

--serlynx names the serlynx executable (default build/default/bin/serlynx;
libserlynx.so must lie next to it).
"""
import argparse
import difflib
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(ROOT, "tests", "fixtures", "lsusb")
BEGIN = "<!-- first-attach table: scripts/first_attach_table.py --write -->"
END = "<!-- end of first-attach table -->"


def fail(message):
    print("first_attach_table: " + message, file=sys.stderr)
    sys.exit(2)


def device_names():
    """File name -> device, from the table in SOURCES.md."""
    names = {}
    with open(os.path.join(FIXTURES, "SOURCES.md"), encoding="utf-8") as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) >= 2 and cells[0].endswith(".txt"):
                # The ids have a column of their own.
                names[cells[0]] = re.sub(r",? *[0-9a-f]{4}:[0-9a-f]{4}", "", cells[1])
    return names


def probe(serlynx, path):
    try:
        proc = subprocess.run([serlynx, "probe", "--lsusb", path], capture_output=True,
                              text=True, timeout=60)
    except OSError as e:
        fail("cannot run %s: %s" % (serlynx, e))
    if proc.returncode != 0:
        fail("serlynx probe --lsusb %s failed:\n%s" % (path, proc.stderr.strip()))
    out = proc.stdout

    def field(pattern):
        m = re.search(pattern, out, re.MULTILINE)
        if not m:
            fail("no match for %r in the probe of %s:\n%s" % (pattern, path, out))
        return m

    ids = field(r"^\[HKEY_LOCAL_MACHINE\\.*\\LoadClients\\(\d+)_(\d+)_\d+\\")
    port = field(r"^port type: +\d+ \((.*), UsbMode (0x[0-9a-f]+)\)$")
    return {
        "ids": "%04x:%04x" % (int(ids.group(1)), int(ids.group(2))),
        "usbMode": port.group(2),
        "port": port.group(1),
        "endpoints": field(r"^endpoints: +(.*)$").group(1),
        "name": field(r'^friendly name: +"(.*)"$').group(1),
    }


def cell(text):
    return text.replace("|", "\\|")


def table(serlynx):
    names = device_names()
    files = sorted(f for f in os.listdir(FIXTURES) if f.endswith(".txt"))
    if not files:
        fail("no fixtures in " + FIXTURES)
    rows = ["| Device | Ids | UsbMode | Port | Endpoints | Friendly name |",
            "|---|---|---|---|---|---|"]
    for f in files:
        p = probe(serlynx, os.path.join(FIXTURES, f))
        rows.append("| %s | %s | %s | %s | %s | %s |" % (
            cell(names.get(f, f)), p["ids"], p["usbMode"], cell(p["port"]),
            cell(p["endpoints"]), cell(p["name"])))
    return "\n".join(rows) + "\n"


def split(doc_text, doc):
    begin = doc_text.find(BEGIN)
    end = doc_text.find(END)
    if begin < 0 or end < begin:
        fail("%s lacks the marker lines %r and %r" % (doc, BEGIN, END))
    start = begin + len(BEGIN) + 1
    return doc_text[:start], doc_text[start:end], doc_text[end:]


def main():
    parser = argparse.ArgumentParser(
        description="The first-attach table of docs/driver.md, from serlynx probe --lsusb.")
    parser.add_argument("--serlynx", default=os.path.join(ROOT, "build", "default", "bin",
                                                          "serlynx"))
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--write", action="store_true", help="put the table into DOC")
    mode.add_argument("--check", action="store_true",
                      help="exit 1 when DOC's table differs from the generated one")
    parser.add_argument("doc", nargs="?", default=os.path.join(ROOT, "docs", "driver.md"))
    args = parser.parse_args()

    generated = table(args.serlynx)
    if not args.write and not args.check:
        sys.stdout.write(generated)
        return 0
    try:
        with open(args.doc, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        fail("cannot read %s: %s" % (args.doc, e))
    head, current, tail = split(text, args.doc)
    if args.write:
        with open(args.doc, "w", encoding="utf-8") as f:
            f.write(head + generated + tail)
        return 0
    if current == generated:
        return 0
    sys.stdout.writelines(difflib.unified_diff(current.splitlines(True),
                                               generated.splitlines(True),
                                               args.doc + " (committed)", "generated"))
    print("\n%s: the first-attach table is out of date; run "
          "scripts/first_attach_table.py --write" % args.doc)
    return 1


if __name__ == "__main__":
    sys.exit(main())
