#!/usr/bin/env python3
"""The inner loops of the line kernels, counted in their object file.

Give it the object of a kernel file (default: the bench build's
src/kernels/x86.cpp) and the objdump that reads it (default: the native
objdump). For each kernel function it takes the disassembly (objdump -d)
from the target of each backward branch to the branch (unless a return
lies between: that is a shared exit), and prints per
loop: instructions, stores, memory loads (x86: any memory source operand,
so the input block and any constant the compiler did not keep in a
register; aarch64: the load instructions), and, when llvm-mca is
installed, the cycles per iteration that llvm-mca models for each -mcpu
given (deterministic; a model, not a measurement). Divide by the lines per
iteration (avx2 and neon: 2, ssse3 and portable: 1). It reads x86 and
aarch64 objects; on the arm64 cross build:

  python3 bench/loops.py --objdump aarch64-linux-gnu-objdump \\
      build/port-arm64/CMakeFiles/hexcat_core.dir/src/kernels/neon.cpp.o
"""
import argparse
import re
import shutil
import subprocess
import sys

FUNC = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSN = re.compile(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$")
TARGET = re.compile(r"(?:^|\s)([0-9a-f]+) <.*>$")

# Per instruction set: the branches that can close a loop, where objdump's
# comments start, llvm-mca's triple and the processors modelled by default.
ISAS = {
    "x86-64": (re.compile(r"^j\w+$"), "#", "x86_64-linux-gnu", "znver3,skylake"),
    "i386": (re.compile(r"^j\w+$"), "#", "i386-linux-gnu", "znver3,skylake"),
    # cortex-a72 and neoverse-n1 share cortex-a57's model in llvm-mca 14.
    "aarch64": (re.compile(r"^(b|b\.\w+|cbn?z|tbn?z)$"), "//", "aarch64-linux-gnu", "cortex-a57,cortex-a55"),
}


def functions(obj, objdump):
    """The instruction set of obj and, per function, its (address, mnemonic, operands)."""
    run = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", obj], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{objdump} cannot read {obj} (--objdump for its architecture?): {run.stderr.strip()}")
    out = run.stdout
    fmt = re.search(r"file format (\S+)", out)
    isa = next((k for k in ISAS if fmt and k in fmt.group(1)), None)
    if isa is None:
        sys.exit(f"{obj}: file format {fmt.group(1) if fmt else '?'}; loops.py reads {', '.join(ISAS)} objects")
    comment = ISAS[isa][1]
    funcs = {}
    name = None
    for line in out.splitlines():
        m = FUNC.match(line)
        if m:
            name = m.group(1)
            funcs[name] = []
            continue
        m = INSN.match(line)
        if m and name:
            funcs[name].append((int(m.group(1), 16), m.group(2), m.group(3).split(comment)[0].strip()))
    return isa, funcs


def loops(insns, jump):
    """(start, end) index pairs of the innermost backward-branch loops; a
    branch back over a return is a shared exit, not a loop."""
    index = {a: i for i, (a, _, _) in enumerate(insns)}
    found = []
    for i, (_, op, args) in enumerate(insns):
        m = TARGET.search(args)
        if jump.match(op) and m:
            target = int(m.group(1), 16)
            if target in index and index[target] <= i and not any(
                    o.startswith("ret") for _, o, _ in insns[index[target]:i]):
                found.append((index[target], i))
    return [(s, e) for s, e in found if not any(s <= s2 and e2 <= e and (s2, e2) != (s, e) for s2, e2 in found)]


def operands(args):
    parts, depth, cur = [], 0, ""
    for ch in args:
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    if cur:
        parts.append(cur)
    return [p.strip() for p in parts]


def count(body, isa):
    """Store and load instructions of a loop (x86: memory operands by place)."""
    jump = ISAS[isa][0]
    stores = loads = 0
    for _, op, args in body:
        if isa == "aarch64":
            stores += op.startswith("st")
            loads += op.startswith("ld")
            continue
        if op.startswith("lea") or op.startswith("nop") or jump.match(op):
            continue
        ops = operands(args)
        mem = ["(" in o for o in ops]
        if mem and mem[-1]:
            stores += 1
        loads += sum(mem[:-1]) if ops else 0
    return stores, loads


def mca(body, isa, cpu, tool):
    jump, _, triple, _ = ISAS[isa]
    text = "\n".join(f"{op} {args}" for _, op, args in body if not jump.match(op)) + "\n"
    out = subprocess.run([tool, f"-mtriple={triple}", f"-mcpu={cpu}", "-iterations=1000"], input=text,
                         capture_output=True, text=True)
    m = re.search(r"Total Cycles:\s+(\d+)", out.stdout)
    return int(m.group(1)) / 1000 if m else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("object", nargs="?", default="build/bench/CMakeFiles/hexcat_core.dir/src/kernels/x86.cpp.o")
    ap.add_argument("--objdump", default="objdump",
                    help="the objdump for the object's architecture (default objdump; aarch64-linux-gnu-objdump "
                         "for an arm64 cross build)")
    ap.add_argument("--mcpu", default=None,
                    help="comma-separated llvm-mca processors (default: znver3,skylake for x86, "
                         "cortex-a57,cortex-a55 for aarch64)")
    ap.add_argument("--match", default="run|lines", help="regular expression for the functions to show")
    ap.add_argument("--list", action="store_true", help="print each loop's instructions too")
    a = ap.parse_args()
    isa, funcs = functions(a.object, a.objdump)
    tool = shutil.which("llvm-mca") or shutil.which("llvm-mca-14") or "/usr/lib/llvm-14/bin/llvm-mca"
    cpus = (a.mcpu or ISAS[isa][3]).split(",") if shutil.which(tool) else []
    print(f"{'function':44} {'insns':>5} {'stores':>6} {'loads':>5} " + " ".join(f"{c:>11}" for c in cpus))
    for name, insns in funcs.items():
        if not re.search(a.match, name):
            continue
        short = re.sub(r"\(char\*.*?\)( \[clone (\S+)\])?$", lambda m: f" {m.group(2) or ''}", name)
        short = short.replace("hexcat::(anonymous namespace)::", "").replace("char* ", "").strip()
        for s, e in loops(insns, ISAS[isa][0]):
            body = insns[s:e + 1]
            st, ld = count(body, isa)
            cyc = " ".join(f"{mca(body, isa, c, tool):11.2f}" for c in cpus)
            print(f"{short:44} {len(body):5} {st:6} {ld:5} {cyc}")
            if a.list:
                for addr, op, args in body:
                    print(f"    {addr:6x}: {op} {args}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
