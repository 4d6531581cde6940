#!/usr/bin/env python3
"""Instructions that a cross-built hexcat executes per dump line, under qemu.

Give it the port (--arch, Debian's name, default arm64) and its hexcat
(default build/port-ARCH/hexcat, where tests/ports.sh builds it):

  cmake -S . -B build/port-arm64 --toolchain cmake/cross.cmake \\
      -DHEXCAT_ARCH=arm64 -DHEXCAT_TESTS=OFF && cmake --build build/port-arm64 -j2
  python3 bench/insns.py

It runs the port's emulator, as `cmake -P cmake/ports.cmake emulator ARCH`
prints it, on random files of 1 and 2 MiB with the translation blocks
logged (-d in_asm,exec,nochain), adds up the guest instructions of every
block executed, and prints the difference divided by the 65536 lines that
the second file adds: the instructions per line of the whole tool, reading
and writing included, its start-up cancelled out. The count is exact for
this build and input; it says nothing about time.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCKLINE = re.compile(r"0x([0-9a-f]+):\s")


def emulator(arch):
    """The port's emulator command line, from the project's table of ports."""
    out = subprocess.run(["cmake", "-P", os.path.join(ROOT, "cmake", "ports.cmake"), "emulator", arch], cwd=ROOT,
                         capture_output=True, text=True)
    line = out.stdout.strip() or out.stderr.strip()
    if out.returncode != 0 or not line:
        sys.exit(f"no emulator for {arch} from cmake/ports.cmake: {line or 'it printed nothing'}")
    if not os.path.basename(line.split()[0]).startswith("qemu-"):
        sys.exit(f"the emulator for {arch} is {line!r}: insns.py counts under qemu-user only")
    return line.split()


def executed(qemu, binary, path, log):
    """Guest instructions executed by binary dumping path."""
    subprocess.run(qemu + ["-d", "in_asm,exec,nochain", "-D", log, binary, path], stdout=subprocess.DEVNULL,
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
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--arch", default="arm64", help="the port, as cmake/cross.cmake names it (default arm64)")
    ap.add_argument("binary", nargs="?", default=None, help="its hexcat (default build/port-ARCH/hexcat)")
    a = ap.parse_args()
    binary = a.binary or os.path.join("build", f"port-{a.arch}", "hexcat")
    if not os.access(binary, os.X_OK):
        sys.exit(f"no hexcat at {binary}: cross-build it first (see --help)")
    qemu = emulator(a.arch)
    with tempfile.TemporaryDirectory() as tmp:
        counts = []
        for mib in (1, 2):
            path = os.path.join(tmp, f"{mib}")
            with open(path, "wb") as f:
                f.write(os.urandom(mib << 20))
            counts.append(executed(qemu, binary, path, os.path.join(tmp, "log")))
    lines = (2 << 20) // 16 - (1 << 20) // 16
    print(f"{binary} ({a.arch}): {counts[0]} and {counts[1]} instructions for 1 and 2 MiB; "
          f"{(counts[1] - counts[0]) / lines:.1f} per line")
    return 0


if __name__ == "__main__":
    sys.exit(main())
