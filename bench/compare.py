#!/usr/bin/env python3
"""hexcat against the dump tools on this machine and the floor of each sink,
timed with hyperfine.

Builds nothing: give it a built hexcat (default build/release/hexcat). It
makes a random file (--size-mib) in a folder on disk, hexcat's finished dump
of it, a slice of it (--slice-mib) and --files small files, then runs
hyperfine --rounds times over every command (--runs each), so that slow
phases of a shared machine fall on every command alike, each run after a
sync, so that no run pays for the write-back of the one before:

  tools    hexcat F > /dev/null, and on the slice S: xxd, od -A x -t x1z -v,
           hexdump -C -v, hexyl --color=never --border=none -v
  sinks    hexcat F to /dev/null, to a file on disk, through a pipe, and over
           the small files; each against its floor: cat DUMP > /dev/null,
           dd if=DUMP of=file bs=256K, cat DUMP | cat, cat of the small files.
           Into a file the floor is a copy in user space, which reads and
           writes every byte as hexcat writes every byte: cat copies inside
           the kernel there (copy_file_range), which no program that makes
           its text itself can match; cat DUMP > file stays in the table as
           that in-kernel reference.

Throughput is MB/s of input (10^6 bytes of the file dumped per second,
median over all runs), so tools on the slice compare per input byte; the
table's "hexcat is x" is hexcat's throughput into the same sink (for the
other tools: to /dev/null) over the row's. Peak
RSS comes from GNU time (-f %M) in a run of its own. hyperfine's JSON, one
file per round, and run.json (what each command stands for) are kept in
--results; bench/chart.py draws them. Tools that are not installed are
reported and left out. Exits 1 when a target is missed: hexcat at or above
the floor of every sink, into a file within 10% of cat, at least 50 times
xxd, peak RSS at most 2 MiB.
"""
import argparse
import datetime
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile

MB = 1_000_000
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Each dump tool's command line, on the input file at {f}.
TOOLS = [
    ("xxd", "xxd", "xxd {f}"),
    ("od", "od", "od -A x -t x1z -v {f}"),
    ("hexdump", "hexdump", "hexdump -C -v {f}"),
    ("hexyl", "hexyl", "hexyl --color=never --border=none -v {f}"),
]


def machine():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def makedata(path, size):
    with open("/dev/urandom", "rb") as src, open(path, "wb") as dst:
        left = size
        while left:
            chunk = src.read(min(left, 1 << 22))
            dst.write(chunk)
            left -= len(chunk)


def peakrss(cmd, work):
    """Peak RSS in KiB of the first program of a shell command, or 0."""
    timebin = "/usr/bin/time"
    if not os.access(timebin, os.X_OK):
        return 0
    out = os.path.join(work, "rss")
    first, _, rest = cmd.partition(" ")
    subprocess.run(["sh", "-c", f"{timebin} -f %M -o {out} {first} {rest}"], check=True)
    with open(out) as f:
        return int(f.read().split()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--hexcat", default="build/release/hexcat")
    ap.add_argument("--size-mib", type=int, default=256, help="size of the random file (default 256)")
    ap.add_argument("--slice-mib", type=int, default=16, help="slice for the other tools (default 16)")
    ap.add_argument("--files", type=int, default=5000, help="how many small files (default 5000)")
    ap.add_argument("--file-kib", type=int, default=4, help="size of each small file (default 4)")
    ap.add_argument("--runs", type=int, default=5, help="hyperfine runs of each command per round (default 5)")
    ap.add_argument("--rounds", type=int, default=3, help="hyperfine rounds over all commands (default 3)")
    ap.add_argument("--dir", default=None, help="where to make the data, on disk (default: a folder in build/)")
    ap.add_argument("--results", default=os.path.join(ROOT, "bench", "results"),
                    help="where to keep hyperfine's JSON (default bench/results)")
    a = ap.parse_args()
    hexcat = os.path.abspath(a.hexcat)
    if not os.access(hexcat, os.X_OK):
        sys.exit(f"no hexcat at {hexcat}: build it first (cmake --preset release && cmake --build --preset release)")
    if not shutil.which("hyperfine"):
        sys.exit("hyperfine is not installed (Debian: apt-get install hyperfine)")
    missing = [name for name, binary, _ in TOOLS if not shutil.which(binary)]
    for name in missing:
        print(f"not installed, left out: {name}")
    if not os.access("/usr/bin/time", os.X_OK):
        print("GNU time is not installed (Debian: apt-get install time): peak RSS is not measured")

    if a.dir is None:
        os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    work = tempfile.mkdtemp(prefix="hexcat-bench-", dir=a.dir or os.path.join(ROOT, "build"))
    try:
        q = shlex.quote
        data, part, dump = (os.path.join(work, n) for n in ("data", "slice", "dump"))
        out, small = os.path.join(work, "out"), os.path.join(work, "small")
        size, slicesize = a.size_mib << 20, min(a.slice_mib, a.size_mib) << 20
        makedata(data, size)
        with open(data, "rb") as src:
            with open(part, "wb") as dst:
                dst.write(src.read(slicesize))
            src.seek(0)
            os.mkdir(small)
            for i in range(a.files):
                with open(os.path.join(small, f"{i:05}"), "wb") as dst:
                    dst.write(src.read(a.file_kib << 10))
        smallsize = a.files * (a.file_kib << 10)
        with open(dump, "wb") as f:
            subprocess.run([hexcat, data], stdout=f, check=True)
        smallglob = q(small) + "/*"

        # name, group, shell command, input bytes it stands for
        h = q(hexcat)
        rows = [
            ("hexcat > /dev/null", "sink:/dev/null", f"{h} {q(data)} > /dev/null", size),
            ("cat dump > /dev/null", "floor:/dev/null", f"cat {q(dump)} > /dev/null", size),
            ("hexcat > file", "sink:file", f"{h} {q(data)} > {q(out)}", size),
            ("dd dump > file", "floor:file", f"dd if={q(dump)} of={q(out)} bs=256K status=none", size),
            ("cat dump > file", "kernel:file", f"cat {q(dump)} > {q(out)}", size),
            ("hexcat | cat", "sink:pipe", f"{h} {q(data)} | cat > /dev/null", size),
            ("cat dump | cat", "floor:pipe", f"cat {q(dump)} | cat > /dev/null", size),
            (f"hexcat {a.files} files", "sink:files", f"{h} {smallglob} > /dev/null", smallsize),
            (f"cat {a.files} files", "floor:files", f"cat {smallglob} > /dev/null", smallsize),
        ]
        for name, binary, line in TOOLS:
            if name not in missing:
                rows.append((f"{name} (slice)", "tool", line.format(f=q(part)) + " > /dev/null",
                             slicesize))

        os.makedirs(a.results, exist_ok=True)
        for old in os.listdir(a.results):
            if old.startswith("hyperfine-") and old.endswith(".json"):
                os.unlink(os.path.join(a.results, old))
        rounds = []
        for r in range(a.rounds):
            path = os.path.join(a.results, f"hyperfine-{r + 1}.json")
            cmd = ["hyperfine", "--style", "basic", "--warmup", "1", "--prepare", "sync", "--runs", str(a.runs), "--export-json", path]
            for name, _, line, _ in rows:
                cmd += ["-n", name, line]
            print(f"round {r + 1} of {a.rounds}", flush=True)
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
            rounds.append(os.path.basename(path))

        rss = {name: peakrss(line, work) for name, group, line, _ in rows if group == "tool" or name.startswith("hexcat")}
        run = {
            "machine": machine(),
            "date": datetime.date.today().isoformat(),
            "hexcat": a.hexcat,
            "input": {"size_mib": a.size_mib, "slice_mib": a.slice_mib, "files": a.files, "file_kib": a.file_kib},
            "rounds": rounds,
            "rows": [{"name": n, "group": g, "command": c.replace(work, "$WORK"), "input_bytes": b,
                      "peak_rss_kib": rss.get(n, 0)} for n, g, c, b in rows],
        }
        with open(os.path.join(a.results, "run.json"), "w") as f:
            json.dump(run, f, indent=1)
            f.write("\n")
    finally:
        shutil.rmtree(work)

    run, median = load(a.results)
    speed = throughput(run, median)
    print(f"\n{machine()}")
    print(f"input: {a.size_mib} MiB random ({a.slice_mib} MiB slice for the other tools, {a.files} files of "
          f"{a.file_kib} KiB), median of {a.rounds} x {a.runs} hyperfine runs")
    print(table(run, speed))

    base = speed["hexcat > /dev/null"]
    checks = []
    for sink in ("/dev/null", "file", "pipe", "files"):
        hs = next(n for n, g, _, _ in rows if g == "sink:" + sink)
        fl = next(n for n, g, _, _ in rows if g == "floor:" + sink)
        checks.append((f"{hs} at or above {fl}", speed[hs] >= speed[fl]))
    checks.append(("hexcat > file within 10% of cat dump > file",
                   speed["hexcat > file"] >= 0.9 * speed["cat dump > file"]))
    if "xxd (slice)" in speed:
        checks.append(("hexcat at least 50 x xxd", base >= 50 * speed["xxd (slice)"]))
    else:
        checks.append(("hexcat at least 50 x xxd (xxd not installed)", False))
    top = rss.get("hexcat > /dev/null", 0)
    checks.append((f"hexcat peak RSS at most 2 MiB ({top / 1024:.2f} MiB)" if top else
                   "hexcat peak RSS at most 2 MiB (not measured: no GNU time)", 0 < top <= 2048))
    print()
    for what, ok in checks:
        print(f"{'met   ' if ok else 'MISSED'}  {what}")
    return 0 if all(ok for _, ok in checks) else 1


def load(results):
    """run.json and the median seconds of every command over all rounds."""
    with open(os.path.join(results, "run.json")) as f:
        run = json.load(f)
    times = {}
    for name in run["rounds"]:
        with open(os.path.join(results, name)) as f:
            for r in json.load(f)["results"]:
                times.setdefault(r["command"], []).extend(r["times"])
    return run, {n: statistics.median(t) for n, t in times.items()}


def throughput(run, median):
    """MB/s of input of every command, from load()'s run and medians."""
    return {r["name"]: r["input_bytes"] / median[r["name"]] / MB for r in run["rows"]}


def table(run, speed):
    # hexcat's speed for the same sink (a tool: to /dev/null) over the row's.
    sink = {r["group"].split(":", 1)[1]: speed[r["name"]] for r in run["rows"] if r["group"].startswith("sink:")}
    lines = [f"{'command':32} {'MB/s':>8} {'hexcat is x':>12} {'peak RSS':>10}"]
    for r in run["rows"]:
        mine = sink[r["group"].split(":", 1)[1]] if ":" in r["group"] else sink["/dev/null"]
        mem = f"{r['peak_rss_kib'] / 1024:.2f} MiB" if r["peak_rss_kib"] else "-"
        lines.append(f"{r['name']:32} {speed[r['name']]:8.0f} {mine / speed[r['name']]:12.2f} {mem:>10}")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
