#!/usr/bin/python3
"""Mutation testing: does the suite catch small faults put into the code?

Each mutant (scripts/mutants/mutants.py) is one small semantic fault in
driver/, ce/ or sim/: a text that must occur exactly once in its file and
what replaces it. The runner copies the tracked sources into a scratch tree
(build/mutants/src, so the working tree is never touched), builds it once,
checks that the unmutated suite passes, then for each mutant in turn:
applies it, rebuilds incrementally, runs the tests named by the mutant's
hint first and then the whole suite, stopping at the first failure, and
puts the file back. A failing test, a crash or a timeout kills the mutant;
a mutant that does not compile is reported as such (a fault in the list, not
a kill). A mutant whose text is no longer in its file makes the run fail:
the list must follow the code.

usage: scripts/mutants/run.py [--sample] [--only ID,...] [--json FILE]
                              [--doc docs/testing.md] [--merge FILE]
  --sample      only the mutants marked for CI (about ten minutes)
  --only        these mutants (ids, comma-separated)
  --json FILE   write every result as JSON
  --doc FILE    rewrite the results table between the markers in FILE
  --merge FILE  the JSON of an earlier run: its results stand for the
                mutants not run now (in --json and --doc), so that a few
                mutants changed or re-run after a full run update its table
  --jobs N      ctest jobs (default 2)
Exit status: 0 when every mutant run was killed, 1 when one survived (or
did not compile, or its text was not found), 2 on a usage error or when the
unmutated suite fails.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
from mutants import MUTANTS  # noqa: E402

SCRATCH = os.path.join(ROOT, "build", "mutants")
SRC = os.path.join(SCRATCH, "src")
BLD = os.path.join(SCRATCH, "build")
# Per test; a mutant that makes a call hang is killed by this.
TEST_TIMEOUT = 120
BEGIN = "<!-- mutants: begin (scripts/mutants/run.py --doc) -->"
END = "<!-- mutants: end -->"


def log(msg):
    print(msg, flush=True)


def sync_tree():
    """Makes the scratch tree the tracked files: copies those that differ and
    deletes those no longer tracked (the build globs its sources, so a file
    left over from an older tree would be compiled in)."""
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], check=True,
                           capture_output=True).stdout.decode().split("\0")
    tracked = set(filter(None, files))
    for dirpath, _, names in os.walk(SRC):
        for name in names:
            path = os.path.join(dirpath, name)
            if os.path.relpath(path, SRC) not in tracked:
                os.remove(path)
    for rel in tracked:
        src, dst = os.path.join(ROOT, rel), os.path.join(SRC, rel)
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        if os.path.isfile(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # A fresh mtime: the source may be older than objects the scratch
        # build made since, and ninja would keep those.
        shutil.copyfile(src, dst)
        shutil.copymode(src, dst)


def build():
    r = subprocess.run(["cmake", "--build", BLD], capture_output=True, text=True)
    return r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]


def configure():
    flags = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
             # Faster to build than -O2 -g, and the code is the same code.
             "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG",
             "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG"]
    subprocess.run(["cmake", "-S", SRC, "-B", BLD] + flags, check=True,
                   stdout=subprocess.DEVNULL)


def ctest(jobs, regex=None, log_path=None):
    """Runs tests until the first failure: (passed, seconds, first failed test).
    With log_path, ctest's output is kept there."""
    cmd = ["ctest", "--test-dir", BLD, "-j", str(jobs), "--stop-on-failure",
           "--timeout", str(TEST_TIMEOUT), "--output-on-failure"]
    if regex:
        cmd += ["-R", regex]
    t0 = time.monotonic()
    r = subprocess.run(cmd, capture_output=True, text=True)
    if log_path:
        with open(log_path, "w") as f:
            f.write(r.stdout + r.stderr)
    failed = ""
    for line in r.stdout.splitlines():
        # Parameterised names may hold spaces: the name ends at the dots.
        hit = re.search(r"Test\s+#\d+: (.+?) \.+.*\*\*\*", line)
        if hit:
            failed = hit.group(1)
            break
    return r.returncode == 0, time.monotonic() - t0, failed


def apply(m):
    path = os.path.join(SRC, m["file"])
    with open(path, encoding="utf-8") as f:
        text = f.read()
    n = text.count(m["find"])
    if n != 1:
        return None, f"text found {n} times in {m['file']}"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(m["find"], m["replace"]))
    return text, ""


def restore(m, text):
    with open(os.path.join(SRC, m["file"]), "w", encoding="utf-8") as f:
        f.write(text)


def run_mutant(m, jobs):
    t0 = time.monotonic()
    original, why = apply(m)
    if original is None:
        return {"result": "stale", "detail": why, "seconds": 0}
    try:
        ok, out = build()
        if not ok:
            return {"result": "no-build", "detail": out.strip().splitlines()[-1:],
                    "seconds": round(time.monotonic() - t0)}
        for regex in ([m["hint"]] if m.get("hint") else []) + [None]:
            passed, _, failed = ctest(jobs, regex)
            if not passed:
                return {"result": "killed", "detail": failed,
                        "seconds": round(time.monotonic() - t0)}
        return {"result": "survived", "detail": "", "seconds": round(time.monotonic() - t0)}
    finally:
        restore(m, original)


def merge(path, results):
    """This run's results over an earlier run's, in the list's order; ids no
    longer in the list are dropped. Returns (results, the earlier full run's
    seconds, the ids run since that full run)."""
    with open(path) as f:
        earlier = json.load(f)
    by_id = {r["id"]: r for r in earlier["results"]}
    by_id.update({r["id"]: r for r in results})
    merged = [by_id[m["id"]] for m in MUTANTS if m["id"] in by_id]
    since = set(earlier.get("rerun", [])) | {r["id"] for r in results}
    return merged, earlier["seconds"], sorted(since & {r["id"] for r in merged})


def write_doc(path, results, total_s, rerun=0):
    killed = sum(1 for r in results if r["result"] == "killed")
    when = f"the run took {total_s // 60} min {total_s % 60} s on this machine"
    if rerun:
        when = (f"the full run took {total_s // 60} min {total_s % 60} s on this machine; "
                f"{rerun} mutants were added or re-run since")
    rows = ["| id | area | fault | result | killed by | s |", "|---|---|---|---|---|---|"]
    for r in results:
        by = str(r["detail"]).replace("|", "\\|") if r["result"] == "killed" else ""
        rows.append(f"| {r['id']} | {r['area']} | {r['note']} | {r['result']} | {by} | "
                    f"{r['seconds']} |")
    body = "\n".join([BEGIN, "", f"{killed} of {len(results)} mutants killed; {when}.", ""] +
                     rows + ["", END])
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + body + text[text.index(END) + len(END):]
    else:
        text += "\n" + body + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser(
        description=__doc__.split("\n")[0],
        epilog="Exit status: 0 every mutant run was killed; 1 one survived, did not "
        "compile or no longer finds its text; 2 the unmutated tree fails. "
        "See docs/testing.md.")
    ap.add_argument("--sample", action="store_true",
                    help="only the fixed sample CI runs (entries marked sample)")
    ap.add_argument("--only", default="", metavar="ID,ID",
                    help="only these mutants, by id (see scripts/mutants/mutants.py)")
    ap.add_argument("--json", metavar="FILE", help="write the results as JSON")
    ap.add_argument("--doc", metavar="MD",
                    help="rewrite the results table in this Markdown file")
    ap.add_argument("--merge", metavar="JSON",
                    help="update the results of an earlier full run with this run's")
    ap.add_argument("--jobs", type=int, default=2, help="tests run at once (default 2)")
    a = ap.parse_args()

    ids = [m["id"] for m in MUTANTS]
    if len(set(ids)) != len(ids):
        print("mutants: duplicate ids in mutants.py", file=sys.stderr)
        return 2
    chosen = MUTANTS
    if a.only:
        wanted = a.only.split(",")
        unknown = [w for w in wanted if w not in ids]
        if unknown:
            print(f"mutants: unknown ids: {', '.join(unknown)}", file=sys.stderr)
            return 2
        chosen = [m for m in MUTANTS if m["id"] in wanted]
    elif a.sample:
        chosen = [m for m in MUTANTS if m.get("sample")]

    start = time.monotonic()
    os.makedirs(SRC, exist_ok=True)
    sync_tree()
    configure()
    ok, out = build()
    if not ok:
        print("mutants: the unmutated tree does not build:\n" + out, file=sys.stderr)
        return 2
    suite_log = os.path.join(SCRATCH, "unmutated.log")
    passed, secs, failed = ctest(a.jobs, log_path=suite_log)
    if not passed:
        print(f"mutants: the unmutated suite fails ({failed}); fix that first "
              f"(ctest's output: {os.path.relpath(suite_log, ROOT)})", file=sys.stderr)
        return 2
    log(f"mutants: unmutated suite passes in {secs:.0f} s; {len(chosen)} mutants")

    results = []
    for m in chosen:
        r = run_mutant(m, a.jobs)
        r.update(id=m["id"], area=m["area"], note=m["note"])
        results.append(r)
        log(f"  {m['id']:<28} {r['result']:<9} {r['seconds']:>4} s  {r['detail']}")
    build()  # leave the scratch tree built unmutated

    total = round(time.monotonic() - start)
    killed = sum(1 for r in results if r["result"] == "killed")
    log(f"mutants: {killed} of {len(results)} killed in {total // 60} min {total % 60} s")
    ran_all = killed == len(results)
    rerun = []
    if a.merge:
        results, total, rerun = merge(a.merge, results)
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"seconds": total, "rerun": rerun, "results": results}, f, indent=1)
    if a.doc:
        write_doc(a.doc, results, total, len(rerun))
    return 0 if ran_all else 1


if __name__ == "__main__":
    sys.exit(main())
