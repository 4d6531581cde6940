#!/usr/bin/env python3
"""Draws bench/compare.py's results as a bar chart: input MB/s of hexcat and
every other dump tool, and of hexcat into each sink beside that sink's
floor, with the processor and the date of the run under it.

  python3 bench/chart.py            # bench/results -> docs/performance.svg

Reads run.json and hyperfine's JSON from --results; the same results give
the same SVG (fixed hash salt, no metadata but the caption). --png also
writes a PNG, for looking at it.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import ROOT, TOOLS, load, throughput  # noqa: E402

# A tool's row name, and its command line to show.
FLAGS = {f"{name} (slice)": line.replace(" {f}", "") for name, _, line in TOOLS}
SINKS = [("/dev/null", "to /dev/null"), ("file", "to a file on disk"), ("pipe", "through a pipe"),
         ("files", "small files")]


def pyplot():
    """matplotlib's pyplot, imported only to draw, so that --help works without it."""
    try:
        import matplotlib
    except ImportError:
        # Debian's python3-matplotlib is for Debian's python3: run under it when
        # another python3 comes first on the path.
        if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists(
                "/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        sys.exit("matplotlib is not installed (Debian: apt-get install python3-matplotlib)")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--results", default=os.path.join(ROOT, "bench", "results"),
                    help="bench/compare.py's results (default bench/results)")
    ap.add_argument("--out", default=os.path.join(ROOT, "docs", "performance.svg"),
                    help="the SVG to write (default docs/performance.svg)")
    ap.add_argument("--png", default=None, help="also write a PNG here")
    a = ap.parse_args()
    plt = pyplot()
    run, median = load(a.results)
    speed = throughput(run, median)
    rows = {r["group"]: r["name"] for r in run["rows"]}
    tools = [r["name"] for r in run["rows"] if r["group"] == "tool"]

    plt.rcParams["svg.hashsalt"] = "hexcat"
    plt.rcParams["font.size"] = 9
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.5, 4.5), gridspec_kw={"width_ratios": [1, 1.15]})

    # The tools, per input byte, on a log scale: they differ a hundredfold.
    names = [rows["sink:/dev/null"].replace(" > /dev/null", "")] + [FLAGS.get(t, t) for t in tools]
    values = [speed[rows["sink:/dev/null"]]] + [speed[t] for t in tools]
    y = range(len(names))
    left.barh(y, values, color=["#1f77b4"] + ["#999999"] * len(tools))
    left.set_yticks(list(y), names)
    left.invert_yaxis()
    left.set_xscale("log")
    left.set_xlim(min(values) / 2, max(values) * 4)
    left.set_xlabel("MB/s of input, to /dev/null (log scale)")
    left.set_title("hexcat and other dump tools")
    for i, v in enumerate(values):
        left.text(v * 1.1, i, f"{v:,.0f}" if v >= 10 else f"{v:.1f}", va="center")

    # Each sink: hexcat beside the floor of merely copying its dump there.
    labels, hex_, floor = [], [], []
    for key, label in SINKS:
        if "sink:" + key in rows:
            labels.append(label)
            hex_.append(speed[rows["sink:" + key]])
            floor.append(speed[rows["floor:" + key]])
    y = range(len(labels))
    h = 0.38
    right.barh([i - h / 2 for i in y], hex_, h, label="hexcat", color="#1f77b4")
    right.barh([i + h / 2 for i in y], floor, h, label="floor: cat of the dump\n(file: dd bs=256K; small files: cat of them)",
               color="#bbbbbb")
    right.set_yticks(list(y), labels)
    right.invert_yaxis()
    right.set_xlim(0, max(hex_ + floor) * 1.25)
    right.set_xlabel("MB/s of input")
    right.set_title("hexcat against the floor of each sink")
    for i, (a1, b1) in enumerate(zip(hex_, floor)):
        right.text(a1, i - h / 2, f" {a1:,.0f}", va="center")
        right.text(b1, i + h / 2, f" {b1:,.0f}", va="center")
    right.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=1, fontsize=8, frameon=False)

    inp = run["input"]
    fig.text(0.5, 0.01, f"{run['machine']}, {run['date']}: {inp['size_mib']} MiB random file in the page cache "
             f"(other tools: {inp['slice_mib']} MiB slice), {inp['files']} files of {inp['file_kib']} KiB; "
             f"median of hyperfine runs (bench/compare.py)", ha="center", fontsize=7.5, color="#444444")
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    os.makedirs(os.path.dirname(a.out) or ".", exist_ok=True)
    fig.savefig(a.out, metadata={"Date": None, "Creator": None})
    if a.png:
        fig.savefig(a.png, dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main())
