#!/usr/bin/env python3
"""How fast the line kernels of one or more builds run, below 4 GiB and past
it: bench_kernels of each build in turn, on one core.

Give each build as NAME=PATH to its bench_kernels (default: this checkout's
bench build). Each round runs every build once, with Google Benchmark's
random interleaving of the benchmarks and --repetitions short repetitions
of each; the table gives, per kernel and build, the median, the upper
quartile and the best of all repetitions, in GiB/s of input. Both
quartiles interpolate between the repetitions' figures, so that median <=
upper quartile <= best. On a shared or virtual machine the median moves
with the neighbours; the best and the upper quartile show what the
processor does when left alone. Compare rows of one run, not runs.
"""
import argparse
import json
import subprocess
import sys


def quantile(v, q):
    """The q-quantile of the sorted figures v, interpolated between the two
    nearest as statistics.quantiles' 'inclusive' method does, and kept
    between them: never above the best, never below a lower quantile."""
    if len(v) == 1:
        return v[0]
    x = q * (len(v) - 1)
    i = min(int(x), len(v) - 2)
    return min(max(v[i] + (v[i + 1] - v[i]) * (x - i), v[i]), v[i + 1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="*", default=["this=build/bench/bench/bench_kernels"], help="NAME=PATH to a bench_kernels (default this=build/bench/bench/bench_kernels)")
    ap.add_argument("--rounds", type=int, default=5, help="rounds over all builds (default 5)")
    ap.add_argument("--repetitions", type=int, default=30,
                    help="repetitions of each benchmark per round (default 30)")
    ap.add_argument("--min-time", default="0.05", help="seconds of each repetition (default 0.05)")
    ap.add_argument("--filter", default="avx2|ssse3", help="benchmarks to run (regular expression; default avx2|ssse3)")
    ap.add_argument("--cpu", default="1", help="the core to run on (taskset -c)")
    a = ap.parse_args()
    builds = dict(b.split("=", 1) for b in a.builds)
    rows = {}
    for r in range(a.rounds):
        print(f"round {r + 1} of {a.rounds}", file=sys.stderr, flush=True)
        for name, path in builds.items():
            out = subprocess.run(["taskset", "-c", a.cpu, path, f"--benchmark_filter={a.filter}",
                                  f"--benchmark_min_time={a.min_time}", f"--benchmark_repetitions={a.repetitions}",
                                  "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
                                 capture_output=True, text=True, check=True).stdout
            for b in json.loads(out)["benchmarks"]:
                if b.get("run_type") == "iteration":
                    rows.setdefault((b["run_name"], name), []).append(b["bytes_per_second"] / 2**30)
    kernels = sorted({k for k, _ in rows})
    print("kernel".ljust(20) + "".join(f"{n:>22}" for n in builds))
    for k in kernels:
        cells = []
        for n in builds:
            v = sorted(rows.get((k, n), []))
            # A kernel that one build lacks.
            cells.append(f"{quantile(v, 0.5):6.2f} / {quantile(v, 0.75):5.2f} / {v[-1]:5.2f}" if v else f"{'-':>20}")
        print(k.ljust(20) + "".join(f"  {c}" for c in cells))
    print(f"GiB/s of input: median / upper quartile / best of {a.rounds * a.repetitions} repetitions each")
    return 0


if __name__ == "__main__":
    sys.exit(main())
