#!/usr/bin/env python3
"""Whole-process throughput of hexcat against the dump tools on this machine.

Builds nothing: give it a built hexcat (default build/release/hexcat). It
makes a random file (256 MiB by default) in a temporary folder, and hexcat's
finished dump of it, then times, interleaved over --runs rounds:

  hexcat F > /dev/null            hexcat F | cat > /dev/null
  cat DUMP > /dev/null            cat DUMP | cat > /dev/null   (the floors)
  xxd S > /dev/null               od -A x -t x1z -v S > /dev/null

xxd and od run on a smaller slice S of the same data (--slice) and are
normalised per input byte. The table gives the median input MB/s (10^6
bytes per second of the file dumped), the ratio of hexcat's to-/dev/null
speed to each row, and the peak resident memory of the first command
(measured with GNU time in a separate run). Exits 1 if a target is missed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MB = 1_000_000


# A child's peak RSS as the kernel reports it includes what its parent had
# mapped before the exec, so this script's own size would hide the tools'.
# GNU time is a small C program: its figure is the tool's own unless the
# tool stays below about 1 MiB.
TIME = shutil.which("time") and "/usr/bin/time"


def run(cmds, out, rssfile=None):
    """Runs a pipeline of argument lists, the last writing to out. Returns
    (seconds, peak RSS in KiB of the first command, or 0 when unmeasured)."""
    start = time.perf_counter()
    procs = []
    prev = None
    cmds = [list(c) for c in cmds]
    if rssfile and TIME and os.path.exists(TIME):
        cmds[0] = [TIME, "-f", "%M", "-o", rssfile] + cmds[0]
    for i, cmd in enumerate(cmds):
        last = i == len(cmds) - 1
        p = subprocess.Popen(cmd, stdin=prev if prev is not None else subprocess.DEVNULL,
                             stdout=out if last else subprocess.PIPE)
        if prev is not None:
            prev.close()
        prev = p.stdout
        procs.append(p)
    for p in procs:
        if p.wait() != 0:
            sys.exit(f"{' '.join(p.args)} failed with status {p.returncode}")
    seconds = time.perf_counter() - start
    rss = 0
    if rssfile and os.path.exists(rssfile):
        with open(rssfile) as f:
            rss = int(f.read().split()[-1])
        os.unlink(rssfile)
    return seconds, rss


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--hexcat", default="build/release/hexcat")
    ap.add_argument("--size-mib", type=int, default=256, help="size of the random file")
    ap.add_argument("--slice-mib", type=int, default=16, help="slice for the slow tools")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--dir", default=None, help="where to make the data (default: a temporary folder)")
    a = ap.parse_args()
    hexcat = os.path.abspath(a.hexcat)
    if not os.access(hexcat, os.X_OK):
        sys.exit(f"no hexcat at {hexcat}: build it first (cmake --preset release && cmake --build --preset release)")

    work = tempfile.mkdtemp(prefix="hexcat-bench-", dir=a.dir)
    try:
        data = os.path.join(work, "data")
        part = os.path.join(work, "slice")
        dump = os.path.join(work, "dump")
        size = a.size_mib << 20
        with open("/dev/urandom", "rb") as src, open(data, "wb") as dst:
            left = size
            while left:
                chunk = src.read(min(left, 1 << 22))
                dst.write(chunk)
                left -= len(chunk)
        with open(data, "rb") as src, open(part, "wb") as dst:
            dst.write(src.read(a.slice_mib << 20))
        with open(dump, "wb") as out:
            run([[hexcat, data]], out)
        slicesize = a.slice_mib << 20

        # name, pipeline, input bytes it stands for
        rows = [
            ("hexcat > /dev/null", [[hexcat, data]], size),
            ("hexcat | cat > /dev/null", [[hexcat, data], ["cat"]], size),
            ("cat dump > /dev/null", [["cat", dump]], size),
            ("cat dump | cat > /dev/null", [["cat", dump], ["cat"]], size),
        ]
        if shutil.which("xxd"):
            rows.append(("xxd (slice)", [["xxd", part]], slicesize))
        if shutil.which("od"):
            rows.append(("od -A x -t x1z -v (slice)", [["od", "-A", "x", "-t", "x1z", "-v", part]], slicesize))

        times = {name: [] for name, _, _ in rows}
        rss = {name: 0 for name, _, _ in rows}
        with open(os.devnull, "wb") as null:
            for name, cmds, _ in rows:  # warm the page cache
                run(cmds, null)
            for name, cmds, _ in rows:  # peak memory, in a run of its own
                _, rss[name] = run(cmds, null, os.path.join(work, "rss"))
            for _ in range(a.runs):
                for name, cmds, _ in rows:
                    t, _ = run(cmds, null)
                    times[name].append(t)

        speed = {name: n / statistics.median(times[name]) / MB for name, _, n in rows}
        base = speed["hexcat > /dev/null"]
        print(f"input: {a.size_mib} MiB random ({a.slice_mib} MiB slice for xxd and od), "
              f"median of {a.runs} interleaved runs")
        print(f"{'command':32} {'MB/s':>9} {'hexcat is x':>12} {'peak RSS':>10}")
        for name, _, _ in rows:
            mem = f"{rss[name] / 1024:6.2f} MiB" if rss[name] else "         ?"
            print(f"{name:32} {speed[name]:9.0f} {base / speed[name]:12.2f} {mem:>10}")

        checks = [
            ("hexcat > /dev/null >= 2500 MB/s", base >= 2500),
            ("hexcat >= cat of its dump, to /dev/null", base >= speed["cat dump > /dev/null"]),
            ("hexcat | cat >= cat dump | cat",
             speed["hexcat | cat > /dev/null"] >= speed["cat dump | cat > /dev/null"]),
            ("hexcat peak RSS <= 2 MiB", 0 < rss["hexcat > /dev/null"] <= 2048),
        ]
        if "xxd (slice)" in speed:
            checks.append(("hexcat >= 50 x xxd", base >= 50 * speed["xxd (slice)"]))
        print()
        for what, ok in checks:
            print(f"{'met ' if ok else 'MISSED'}  {what}")
        return 0 if all(ok for _, ok in checks) else 1
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
