#!/usr/bin/python3
"""Measures `serlynx bench` before and after a change on one machine in one
sitting, and writes what changed: a markdown table of after/before per
figure and a bar chart of the ratios (gnuplot).

usage: scripts/bench-compare.py [--before REV] [--rounds N] [--seconds S]
                                [--only NAME] [--work DIR] [--plot FILE]
                                [-- BENCH_OPTIONS...]
       scripts/bench-compare.py --from-results DIR [--plot FILE]
       scripts/bench-compare.py --parse-text FILE

Before: the revision REV (default: the merge base of HEAD with main), checked
out with `git worktree add --detach` under DIR (default build/compare) and
built there as a Release tree. After: the working tree as it is, uncommitted
changes included, built as a second Release tree. The two benches then run
in turn, before, after, before, after... (N rounds, default 1), so that both
see the same machine; every run's text and JSON are kept in
DIR/results/<UTC time>/, with summary.md (after/before per figure, the
median over the rounds) and plot.gp, which gnuplot renders to FILE (default
docs/performance-compare.svg; .png for a PNG). Run it on a quiet machine:
`nice` it when others work beside it, and the figures are noisier.

A revision whose bench has no --json (c91efc5 and older) is measured as it
is and its text output read into the same JSON layout (--parse-text does only
that): the text tables carry every figure the JSON does, at the precision
they print, and measuring the old revision's own code is the point, where
building its platform with today's tools would mix the two.

--from-results DIR writes the summary and plot again from the JSON in DIR.
gnuplot is not needed for the rest: without it the script says how to get it
(Debian: apt-get install -y gnuplot-nox) and leaves plot.gp to run later.
Standard library only."""
import argparse
import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMA = "serlynx-bench"


def fail(message):
    sys.exit("bench-compare: " + message)


def git(*args, cwd=REPO):
    proc = subprocess.run(["git", "-C", cwd] + list(args), capture_output=True, text=True)
    if proc.returncode != 0:
        fail("git %s: %s" % (" ".join(args), proc.stderr.strip()))
    return proc.stdout.strip()


# ---- the text output of `serlynx bench`, read into its JSON layout ----------

def _number(text):
    return None if text in ("-", "") else float(text.rstrip("x"))


def _machine():
    u = os.uname()
    load = list(os.getloadavg())
    return {"nproc": os.cpu_count(), "load_start": load, "load_end": load,
            "kernel": "%s %s %s" % (u.sysname, u.release, u.machine), "compiler": None,
            "build_type": None, "sanitizer": None}


def parse_text(text):
    """The figures of a `serlynx bench` text output, in the layout of its
    --json output ("source": "text"; machine and git left for the caller)."""
    settings = {"seconds": None, "samples": None, "quick": "(quick smoke run)" in text,
                "only": None, "completion": "transfer", "rx_slots": 4}
    m = re.search(r"serlynx bench: ([\d.]+) s per figure", text)
    if m:
        settings["seconds"] = float(m.group(1))
    m = re.search(r"timed buses report completions (.*?)(?: \(N = (\d+)\))?; receive slots: (.*)",
                  text)
    if m:
        settings["completion"] = {"per transfer": "transfer",
                                  "at the end of each frame": "frame"}.get(
                                      m.group(1), "every:%s" % m.group(2))
        slots = re.match(r"\d+", m.group(3).strip())
        settings["rx_slots"] = int(slots.group(0)) if slots else 4
    figures, targets, scenarios = [], [], []
    section, bare = None, None

    def figure(scenario, port, bus, value, unit, better="higher", ring=None, ports=1, limit=None,
               ratio=None, cpu_mb=None, cpu_trip=None, sleeps=None, per=None, details=None):
        packet = None if bus is None else 64 if bus == "full-speed" or scenario == "memory" else 512
        name = " ".join([scenario, port] + ([bus] if bus else []) +
                        ([str(ring)] if ring else [str(ports)] if scenario == "scaling" else []))
        if ratio is None and limit:
            ratio = value / limit
        figures.append({
            "name": name, "scenario": scenario, "port": port, "bus": bus, "packet": packet,
            "ring": ring, "ports": ports if port != "bare" else None,
            "slots": settings["rx_slots"] if port != "bare" else None,
            "completion": settings["completion"] if bus not in (None, "untimed") else None,
            "value": value, "unit": unit, "better": better, "limit": limit, "ratio": ratio,
            "cpu_s_per_mb": cpu_mb, "cpu_us_per_trip": cpu_trip, "sleeps": sleeps,
            "sleeps_per": per, "details": details or {}})

    for line in text.splitlines():
        if line.startswith("== "):
            section = line[3:].split(":")[0].split()[0]
            if section != "targets":
                scenarios.append(section)
            continue
        cols = line.split()
        if not cols or cols[0] in ("port", "bus", "N") or line.startswith("("):
            continue
        if section == "rx" and len(cols) == 8:
            figure("rx", cols[0], cols[1], float(cols[3]), "MB/s", ring=int(cols[2]),
                   limit=_number(cols[4]), ratio=_number(cols[5]), cpu_mb=float(cols[6]),
                   sleeps=float(cols[7]), per="packet")
        elif section == "tx" and len(cols) == 7:
            figure("tx", cols[0], cols[1], float(cols[2]), "MB/s", limit=_number(cols[3]),
                   ratio=_number(cols[4]), cpu_mb=float(cols[5]), sleeps=float(cols[6]),
                   per="chunk")
        elif section == "echo" and len(cols) == 8:
            p50, p99 = float(cols[1]), float(cols[2])
            if cols[0] == "bare":
                bare = p50
                port, bus, limit = "bare", None, None
            else:
                port, bus = "basic", cols[0]
                limit = bare if bus == "untimed" else 1000.0 if bus == "full-speed" else 125.0
            figure("echo", port, bus, p50, "us", better="lower", limit=limit,
                   cpu_trip=float(cols[7]), sleeps=float(cols[6]), per="round trip",
                   details={"p99": p99})
        elif section == "idle":
            m = re.match(r"(\S+) +([\d.]+) % of one CPU, ([\d.]+) sleeps/s", line)
            if m:
                figure("idle", "basic", m.group(1), float(m.group(2)), "% CPU", better="lower",
                       sleeps=float(m.group(3)), per="second")
        elif section == "memory":
            m = re.match(r"(\d+) ports: heap ([\d.]+) bytes/port .*?, ([\d.]+) blocks/port; "
                         r"RSS growth ([-\d.]+) KiB/port", line)
            if m:
                figure("memory", "basic", "untimed", float(m.group(2)), "bytes", better="lower",
                       ports=int(m.group(1)), limit=8192.0,
                       details={"blocks": float(m.group(3)), "rss_kib": float(m.group(4))})
        elif section == "scaling" and len(cols) == 7:
            figure("scaling", "basic", "full-speed", float(cols[1]), "MB/s", ports=int(cols[0]),
                   limit=float(cols[2]), ratio=float(cols[3]), cpu_mb=float(cols[5]),
                   sleeps=float(cols[6]), per="packet", details={"threads": float(cols[4])})
        elif section == "targets":
            m = re.match(r"\s+(.*?)\s+(worst [\d.]+|p50 [\d.]+, p99 [\d.]+|[\d.]+x|\d+ bytes|"
                         r"[\d.]+)\s+(met|MISSED)$", line)
            if m:
                targets.append({"target": m.group(1), "value": float(re.search(
                    r"[\d.]+", m.group(2)).group(0)), "shown": m.group(2),
                    "met": m.group(3) == "met"})
    return {"schema": SCHEMA, "schema_version": 1, "source": "text", "started": None,
            "duration_s": None, "complete": bool(targets), "exit_status": None,
            "platform_counters": None, "git": None, "settings": settings, "machine": None,
            "scenarios": scenarios, "figures": figures, "targets": targets}


# ---- building and running -----------------------------------------------------

def build(source, tree, log):
    """A Release tree of `source` at `tree`: the tool and the driver only."""
    print("bench-compare: building %s in %s (log: %s)" % (source, tree, log), flush=True)
    with open(log, "w") as out:
        for cmd in (["cmake", "-S", source, "-B", tree, "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release", "-DSERLYNX_BUILD_TESTS=OFF"],
                    ["cmake", "--build", tree, "--target", "serlynx_cli"]):
            if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                fail("the build failed: see %s" % log)
    return os.path.join(tree, "bin", "serlynx")


def checkout_before(rev, source):
    """`source`: a detached worktree of this repository at `rev`."""
    if os.path.isdir(source):
        if os.path.realpath(git("rev-parse", "--show-toplevel", cwd=source)) != \
                os.path.realpath(source):
            fail("%s exists and is not a worktree of this repository: remove it" % source)
        if git("rev-parse", "HEAD", cwd=source) != rev:
            git("checkout", "--quiet", "--detach", rev, cwd=source)
    else:
        git("worktree", "add", "--quiet", "--detach", source, rev)


def has_json(serlynx):
    proc = subprocess.run([serlynx, "bench", "--help"], capture_output=True, text=True)
    return "--json" in proc.stdout


def run_bench(serlynx, args, json_ok, stem, label, revision):
    """One bench run: its text in stem.txt, its JSON in stem.json."""
    cmd = [serlynx, "bench"] + args + (["--json", stem + ".json"] if json_ok else [])
    print("bench-compare: %s: %s" % (label, " ".join(cmd[1:])), flush=True)
    load = os.getloadavg()
    lines = []
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True) as proc, open(stem + ".txt", "w") as out:
        for line in proc.stdout:
            out.write(line)
            lines.append(line)
            print("  " + line, end="", flush=True)
    if proc.returncode != 0:
        print("bench-compare: %s exited with status %d (see %s.txt); its figures are kept"
              % (label, proc.returncode, stem), flush=True)
    if json_ok:
        with open(stem + ".json") as f:
            data = json.load(f)
    else:
        data = parse_text("".join(lines))
        data["exit_status"] = proc.returncode
        data["machine"] = _machine()
        data["machine"]["load_start"] = list(load)
        data["machine"]["build_type"] = "Release"
        data["git"] = {"revision": revision, "modified": False}
        with open(stem + ".json", "w") as f:
            json.dump(data, f, indent=1)
    data["label"] = label
    return data


# ---- summary and plot ---------------------------------------------------------

def _fmt(x, digits=3):
    if x is None:
        return "-"
    if abs(x) >= 100:
        return "%.0f" % x
    if abs(x) >= 10:
        return "%.1f" % x
    return "%.*f" % (digits, x)


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _div(a, b):
    return a / b if a is not None and b else None


def summarize(befores, afters):
    """Rows per figure: medians over the rounds of each side and the ratios."""
    def by_name(runs):
        table = {}
        for run in runs:
            for f in run["figures"]:
                table.setdefault(f["name"], []).append(f)
        return table
    b, a = by_name(befores), by_name(afters)
    names = list(a) + [n for n in b if n not in a]
    rows = []
    for name in names:
        fb, fa = b.get(name, []), a.get(name, [])
        first = (fa or fb)[0]
        row = {"name": name, "unit": first["unit"], "better": first["better"]}
        for side, figs in (("before", fb), ("after", fa)):
            row[side] = _median([f["value"] for f in figs])
            row[side + "_range"] = (min(f["value"] for f in figs), max(f["value"] for f in figs)) \
                if len(figs) > 1 else None
            row[side + "_ratio"] = _median([f["ratio"] for f in figs])
            row[side + "_cpu"] = _median([f["cpu_s_per_mb"] if f["cpu_s_per_mb"] is not None
                                          else f["cpu_us_per_trip"] for f in figs])
            row[side + "_sleeps"] = _median([f["sleeps"] for f in figs])
        row["limit"] = first["limit"]
        row["change"] = _div(row["after"], row["before"])
        row["cpu_change"] = _div(row["after_cpu"], row["before_cpu"])
        row["sleeps_change"] = _div(row["after_sleeps"], row["before_sleeps"])
        rows.append(row)
    return rows


def describe(runs):
    out = []
    for run in runs:
        m, g = run.get("machine") or {}, run.get("git") or {}
        out.append("%s: %s%s, %s, %s build, load %s -> %s, %s s per figure" % (
            run["label"], (g.get("revision") or "?")[:10], " (modified)" if g.get("modified")
            else "", run["source"], m.get("build_type") or "?",
            _fmt((m.get("load_start") or [None])[0], 2), _fmt((m.get("load_end") or [None])[0], 2),
            _fmt(run["settings"].get("seconds"), 1)))
    return out


def markdown(rows, befores, afters):
    m = (afters or befores)[0].get("machine") or {}
    lines = ["# serlynx bench: after against before", "",
             "Machine: %s processors, %s, %s. Runs, in the order taken:" % (
                 m.get("nproc"), m.get("kernel"), m.get("compiler")), ""]
    order = []
    for i in range(max(len(befores), len(afters))):
        order += befores[i:i + 1] + afters[i:i + 1]
    lines += ["- " + d for d in describe(order)]
    rounds = max(len(befores), len(afters))
    lines += ["", "Values are the median of %d round%s%s; after/before compares them (for a "
              "figure where lower is better, below 1 is the gain); ratio is the figure against "
              "its limit; cpu is s/MB (us per round trip for echo)." % (
                  rounds, "s" if rounds > 1 else "",
                  ", the after range in brackets" if rounds > 1 else ""), "",
              "| figure | unit | better | before | after | after/before | limit | ratio before |"
              " ratio after | cpu after/before | sleeps after/before |",
              "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        after = _fmt(r["after"])
        if r["after_range"]:
            after += " (%s-%s)" % (_fmt(r["after_range"][0]), _fmt(r["after_range"][1]))
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            r["name"], r["unit"], r["better"], _fmt(r["before"]), after, _fmt(r["change"]),
            _fmt(r["limit"]), _fmt(r["before_ratio"]), _fmt(r["after_ratio"]),
            _fmt(r["cpu_change"], 2), _fmt(r["sleeps_change"], 2)))
    return "\n".join(lines) + "\n"


def _quoted(name):
    return '"%s"' % name.replace('"', "'")


def write_plot(rows, directory, plot):
    """plot.gp and its data in `directory`; renders `plot` when gnuplot is there."""
    changes = [r for r in rows if r["change"] is not None]
    limited = [r for r in rows if r["before_ratio"] is not None or r["after_ratio"] is not None]
    with open(os.path.join(directory, "change.dat"), "w") as f:
        for r in changes:
            f.write("%s %g\n" % (_quoted(r["name"]), r["change"]))
    with open(os.path.join(directory, "limits.dat"), "w") as f:
        for r in limited:
            f.write("%s %s %s\n" % (_quoted(r["name"]),
                                    *("%g" % x if x is not None else "NaN"
                                      for x in (r["before_ratio"], r["after_ratio"]))))
    width = max(900, 22 * max(len(changes), len(limited)) + 200)
    terminal = ("pngcairo size %d,1100 font 'sans,9'" % width if plot.endswith(".png")
                else "svg size %d,1100 dynamic font 'sans,9'" % width)
    script = os.path.join(directory, "plot.gp")
    with open(script, "w") as f:
        f.write("""# serlynx bench, after against before: gnuplot %(script)s
set terminal %(terminal)s
set output %(plot)s
cd %(dir)s
set multiplot layout 2,1
set rmargin 12
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set logscale y 2
set xtics rotate by -60 left nomirror font 'sans,8'
set key top right
set title 'after / before, per figure (above 1: larger after; for us, bytes, lower is better)'
plot 'change.dat' using 2:xtic(1) title 'after / before' lc rgb '#4477aa', \\
     1 with lines lc rgb 'black' dt 2 notitle
set title 'each figure against its limit (throughput: share of the line rate; echo: p50 over one (micro)frame or over the bare ping-pong; memory: share of 8 KiB)'
plot 'limits.dat' using 2:xtic(1) title 'before' lc rgb '#bbbbbb', \\
     '' using 3 title 'after' lc rgb '#4477aa', \\
     1 with lines lc rgb 'black' dt 2 notitle
unset multiplot
""" % {"script": script, "terminal": terminal, "plot": _quoted(os.path.abspath(plot)),
            "dir": _quoted(os.path.abspath(directory))})
    if shutil.which("gnuplot") is None:
        print("bench-compare: gnuplot is not installed, so no plot was drawn. On Debian:\n"
              "    apt-get install -y gnuplot-nox\n"
              "then: gnuplot %s  (writes %s)" % (script, plot))
        return False
    proc = subprocess.run(["gnuplot", script], capture_output=True, text=True)
    if proc.returncode != 0:
        print("bench-compare: gnuplot failed:\n" + proc.stderr)
        return False
    print("bench-compare: plot written to %s" % plot)
    return True


def report(directory, plot):
    runs = []
    for name in sorted(os.listdir(directory)):
        m = re.fullmatch(r"(before|after)-(\d+)\.json", name)
        if m:
            with open(os.path.join(directory, name)) as f:
                data = json.load(f)
            if data.get("schema") != SCHEMA:
                fail("%s is not the JSON of `serlynx bench`" % name)
            data["label"] = "%s %s" % (m.group(1), m.group(2))
            runs.append((m.group(1), int(m.group(2)), data))
    runs.sort(key=lambda r: r[1])
    befores = [d for side, _, d in runs if side == "before"]
    afters = [d for side, _, d in runs if side == "after"]
    if not befores or not afters:
        fail("%s has no before-N.json and after-N.json" % directory)
    text = markdown(summarize(befores, afters), befores, afters)
    with open(os.path.join(directory, "summary.md"), "w") as f:
        f.write(text)
    print(text)
    print("bench-compare: summary in %s" % os.path.join(directory, "summary.md"))
    write_plot(summarize(befores, afters), directory, plot)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        usage=__doc__.split("\n\n")[1].replace("usage: ", "", 1),
        epilog="\n\n".join(__doc__.split("\n\n")[2:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="revision to measure as before (default: the merge "
                        "base of HEAD with main)")
    parser.add_argument("--rounds", type=int, default=1, help="before/after pairs (default 1)")
    parser.add_argument("--seconds", type=float, help="passed to bench (default: its own, 2)")
    parser.add_argument("--only", help="passed to bench: only the figures named like NAME")
    parser.add_argument("--work", default=os.path.join(REPO, "build", "compare"),
                        help="trees and results (default build/compare)")
    parser.add_argument("--plot", default=os.path.join(REPO, "docs", "performance-compare.svg"),
                        help="the chart (default docs/performance-compare.svg; .png for PNG)")
    parser.add_argument("--from-results", metavar="DIR",
                        help="only summarize and plot the JSON of an earlier run in DIR")
    parser.add_argument("--parse-text", metavar="FILE",
                        help="print the JSON of a text output of `serlynx bench` (- : stdin)")
    parser.add_argument("bench_args", nargs="*", help="further bench options, after --")
    o = parser.parse_args()
    if o.parse_text:
        text = sys.stdin.read() if o.parse_text == "-" else open(o.parse_text).read()
        json.dump(parse_text(text), sys.stdout, indent=1)
        print()
        return
    if o.from_results:
        report(o.from_results, o.plot)
        return
    if o.rounds < 1:
        fail("--rounds must be 1 or more")
    if o.seconds is not None and not o.seconds > 0:
        fail("--seconds must be positive")
    rev = git("rev-parse", "--verify", (o.before or git("merge-base", "HEAD", "main")) + "^{commit}")
    head = git("rev-parse", "HEAD")
    modified = git("status", "--porcelain", "--untracked-files=no") != ""
    if rev == head and not modified:
        print("bench-compare: warning: before (%s) is the working tree's revision, unmodified"
              % rev[:10])
    os.makedirs(o.work, exist_ok=True)
    before_src = os.path.join(o.work, "before-src")
    checkout_before(rev, before_src)
    before = build(before_src, os.path.join(o.work, "before"),
                   os.path.join(o.work, "before-build.log"))
    after = build(REPO, os.path.join(o.work, "after"), os.path.join(o.work, "after-build.log"))
    json_before, json_after = has_json(before), has_json(after)
    if not json_after:
        fail("the working tree's bench has no --json")
    if not json_before:
        print("bench-compare: %s's bench has no --json: its text output is read instead"
              % rev[:10])
    args = ([] if o.seconds is None else ["--seconds", "%g" % o.seconds]) + \
        ([] if o.only is None else ["--only", o.only]) + o.bench_args
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    results = os.path.join(o.work, "results", stamp)
    os.makedirs(results)
    started = time.monotonic()
    for i in range(1, o.rounds + 1):
        for side, serlynx, json_ok, revision in (("before", before, json_before, rev),
                                                 ("after", after, True, head)):
            run_bench(serlynx, args, json_ok, os.path.join(results, "%s-%d" % (side, i)),
                      "%s %d/%d" % (side, i, o.rounds), revision)
    print("bench-compare: %d runs in %.0f s; results in %s" % (
        2 * o.rounds, time.monotonic() - started, results))
    report(results, o.plot)


if __name__ == "__main__":
    main()
