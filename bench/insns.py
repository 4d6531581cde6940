#!/usr/bin/env python3
"""Instructions that an aarch64 hexcat executes per dump line, under qemu.

Give it a cross-built hexcat (default build/aarch64/hexcat). It dumps random
files of 1 and 2 MiB under qemu-aarch64 with the translation blocks logged
(-d in_asm,exec,nochain), adds up the guest instructions of every block
executed, and prints the difference divided by the 65536 lines that the
second file adds: the instructions per line of the whole tool, reading and
writing included, its start-up cancelled out. The count is exact for this
build and input; it says nothing about time.
"""
import argparse
import os
import re
import subprocess
import tempfile

QEMU = ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu", "-E", "LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib"]
BLOCKLINE = re.compile(r"0x([0-9a-f]+):\s")


def executed(binary, path, log):
    """Guest instructions executed by binary dumping path."""
    subprocess.run(QEMU + ["-d", "in_asm,exec,nochain", "-D", log, binary, path], stdout=subprocess.DEVNULL,
                   check=True)
    size = {}  # guest address of a translation block -> its instructions
    runs = {}  # guest address of a translation block -> times executed
    block = None
    with open(log, errors="replace") as f:
        for line in f:
            m = BLOCKLINE.match(line)
            if m:
                if block is None:
                    block = int(m.group(1), 16)
                    size[block] = 0
                size[block] += 1
                continue
            block = None
            if line.startswith("Trace "):
                # Trace 0: 0xHOST [FLAGS/GUESTPC/...]
                pc = int(line.split("[")[1].split("/")[1], 16)
                runs[pc] = runs.get(pc, 0) + 1
    return sum(size[pc] * n for pc, n in runs.items())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("binary", nargs="?", default="build/aarch64/hexcat")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        counts = []
        for mib in (1, 2):
            path = os.path.join(tmp, f"{mib}")
            with open(path, "wb") as f:
                f.write(os.urandom(mib << 20))
            counts.append(executed(args.binary, path, os.path.join(tmp, "log")))
    lines = (2 << 20) // 16 - (1 << 20) // 16
    print(f"{args.binary}: {counts[0]} and {counts[1]} instructions for 1 and 2 MiB; "
          f"{(counts[1] - counts[0]) / lines:.1f} per line")


if __name__ == "__main__":
    main()
