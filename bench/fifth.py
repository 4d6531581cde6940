#!/usr/bin/env python3
"""The whole tool's fifth GiB against a GiB below 4 GiB.

Times hexcat on a sparse file of 5 GiB against hexcat on sparse files of 4
GiB and 1 GiB (the same bytes; the offsets of the second command never
reach 4 GiB), for each build given, all runs interleaved in random order on
one core, output to /dev/null. Prints the user time of each command (min,
lower quartile, median) and what the fifth GiB cost: the user time of the
5 GiB file less four fifths of the other command's. The files are sparse
and so read from the page cache as zeros without touching the disk.
"""
import argparse
import collections
import os
import random
import statistics
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GiB = 1 << 30


def run(binary, args, null, cpu):
    pid = os.fork()
    if pid == 0:
        try:
            os.sched_setaffinity(0, {cpu})
            os.dup2(null, 1)
            os.execv(binary, [binary] + args)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        sys.exit(f"{binary} {' '.join(args)} failed: status {status}")
    return usage.ru_utime


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="*", default=["this=build/release/hexcat"], help="NAME=PATH to a hexcat")
    ap.add_argument("--rounds", type=int, default=30)
    ap.add_argument("--cpu", type=int, default=1, help="the core to run on")
    a = ap.parse_args()
    builds = {n: os.path.abspath(p) for n, p in (b.split("=", 1) for b in a.builds)}
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="hexcat-fifth-", dir=os.path.join(ROOT, "build")) as work:
        files = {}
        for name, size in (("five", 5 * GiB), ("four", 4 * GiB), ("one", GiB)):
            files[name] = os.path.join(work, name)
            with open(files[name], "wb") as f:
                f.truncate(size)
        commands = [(n, key) for n in builds for key in ("five", "four one")]
        times = collections.defaultdict(list)
        rng = random.Random(1)
        null = os.open(os.devnull, os.O_WRONLY)
        for r in range(a.rounds):
            rng.shuffle(commands)
            for n, key in commands:
                times[(n, key)].append(run(builds[n], [files[k] for k in key.split()], null, a.cpu))

    def summary(v):
        return f"min {min(v):.3f} q1 {statistics.quantiles(v, n=4, method='inclusive')[0]:.3f} median {statistics.median(v):.3f}"

    for n in builds:
        five, below = times[(n, "five")], times[(n, "four one")]
        fifth = statistics.median(five) - 4 * statistics.median(below) / 5
        gib = statistics.median(below) / 5
        print(f"{n}: hexcat five, user s: {summary(five)}; hexcat four one: {summary(below)}")
        print(f"{n}: the fifth GiB took {fifth:.3f} s of user time, a GiB below {gib:.3f} s "
              f"({(fifth - gib) / gib * 100:+.1f}%; medians of {a.rounds} runs each)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
