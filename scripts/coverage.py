#!/usr/bin/python3
"""Line coverage of the driver (or any source folder) by the test suite.

Builds the `coverage` preset (gcc --coverage, -O0), clears the counters of
an earlier run, runs the whole suite and then reads the counters with gcov
(part of gcc, nothing else needed). A line counts as covered when any test
executable ran it; the figures are for the folder's own .cpp and .h files.

usage: scripts/coverage.py [--dir driver] [--no-build] [--no-test] [--files]
  --dir DIR    source folder to report (default driver)
  --no-build   use the build as it is
  --no-test    report the counters of the last run without running the suite
  --files      one line per file as well as the total
Exit status: 0 when the figures were made, 1 when the build, the suite or
gcov failed, 2 on a usage error.
"""

import argparse
import glob
import gzip
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
BUILD = os.path.join(ROOT, "build", "coverage")


def run(cmd, **kw):
    print("coverage: " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, cwd=ROOT, **kw).returncode == 0


def gcov_lines(gcda_files, prefix):
    """{(file, line): covered} over every object, for files under prefix."""
    lines = {}
    with tempfile.TemporaryDirectory() as tmp:
        # gcov writes one <source>.gcov.json.gz per source into the working
        # directory, named after the source alone: a source built into more
        # than one object (the driver's library and a test's own copy) would
        # overwrite the counts of the object read before. So each object's
        # files are read, and removed, before the next object's are written.
        for gcda in gcda_files:
            r = subprocess.run(["gcov", "--json-format", "--object-directory",
                                os.path.dirname(gcda), gcda], cwd=tmp,
                               capture_output=True, text=True)
            if r.returncode != 0:
                print(f"coverage: gcov failed on {gcda}:\n{r.stderr}", file=sys.stderr)
                return None
            for path in glob.glob(os.path.join(tmp, "*.gcov.json.gz")):
                with gzip.open(path, "rt") as f:
                    data = json.load(f)
                os.remove(path)
                for entry in data.get("files", []):
                    name = os.path.normpath(os.path.join(
                        data.get("current_working_directory", ""), entry["file"]))
                    if not name.startswith(prefix):
                        continue
                    rel = os.path.relpath(name, ROOT)
                    for line in entry.get("lines", []):
                        key = (rel, line["line_number"])
                        lines[key] = lines.get(key, False) or line["count"] > 0
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dir", default="driver")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--no-test", action="store_true")
    ap.add_argument("--files", action="store_true")
    a = ap.parse_args()
    prefix = os.path.join(ROOT, a.dir.strip("/")) + os.sep
    if not os.path.isdir(prefix):
        print(f"coverage: no folder {a.dir}", file=sys.stderr)
        return 2

    if not a.no_build:
        if not (run(["cmake", "--preset", "coverage"], stdout=subprocess.DEVNULL) and
                run(["cmake", "--build", "--preset", "coverage"])):
            return 1
    if not a.no_test:
        for old in glob.glob(os.path.join(BUILD, "**", "*.gcda"), recursive=True):
            os.remove(old)
        # A failing test still leaves its counters; the figures are reported
        # with the failure.
        suite_ok = run(["ctest", "--preset", "coverage"])
    else:
        suite_ok = True

    gcda = glob.glob(os.path.join(BUILD, "**", "*.gcda"), recursive=True)
    if not gcda:
        print("coverage: no counters; run the suite first", file=sys.stderr)
        return 1
    lines = gcov_lines(gcda, prefix)
    if lines is None:
        return 1
    per_file = {}
    for (name, _), covered in lines.items():
        hit, total = per_file.get(name, (0, 0))
        per_file[name] = (hit + (1 if covered else 0), total + 1)
    hit = sum(h for h, _ in per_file.values())
    total = sum(t for _, t in per_file.values())
    if a.files:
        for name in sorted(per_file):
            h, t = per_file[name]
            print(f"  {name:<48} {h:>5} / {t:<5} {100.0 * h / t:5.1f} %")
    print(f"coverage: {a.dir}/ lines {hit} of {total} executed: "
          f"{100.0 * hit / max(total, 1):.1f} %")
    return 0 if suite_ok else 1


if __name__ == "__main__":
    sys.exit(main())
