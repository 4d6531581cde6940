#!/usr/bin/env python3
"""The inner loops of the x86 line kernels, counted in the object file.

Give it the object of src/kernels/x86.cpp (default: the bench build's). For
each kernel function it takes the disassembly (objdump -d) from the target
of each backward branch to the branch, and prints per loop: instructions,
stores, memory loads (any memory source operand: the input block and any
constant the compiler did not keep in a register), and, when llvm-mca is
installed, the cycles per iteration that llvm-mca models for each -mcpu
given (deterministic; a model, not a measurement). Divide by the lines per
iteration (avx2: 2, ssse3: 1).
"""
import argparse
import re
import shutil
import subprocess
import sys

FUNC = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSN = re.compile(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$")
JUMP = re.compile(r"^j\w+$")


def functions(obj):
    out = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", obj], capture_output=True, text=True,
                         check=True).stdout
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
            funcs[name].append((int(m.group(1), 16), m.group(2), m.group(3).split("#")[0].strip()))
    return funcs


def loops(insns):
    """(start, end) index pairs of the innermost backward-branch loops."""
    index = {a: i for i, (a, _, _) in enumerate(insns)}
    found = []
    for i, (_, op, args) in enumerate(insns):
        if JUMP.match(op) and re.fullmatch(r"[0-9a-f]+ <.*>", args):
            target = int(args.split()[0], 16)
            if target in index and index[target] <= i:
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


def count(body):
    stores = loads = 0
    for _, op, args in body:
        if op.startswith("lea") or op.startswith("nop") or JUMP.match(op):
            continue
        ops = operands(args)
        mem = ["(" in o for o in ops]
        if mem and mem[-1]:
            stores += 1
        loads += sum(mem[:-1]) if ops else 0
    return stores, loads


def mca(body, cpu, tool):
    text = "\n".join(f"{op} {args}" for _, op, args in body if not JUMP.match(op)) + "\n"
    out = subprocess.run([tool, f"-mcpu={cpu}", "-iterations=1000"], input=text, capture_output=True, text=True)
    m = re.search(r"Total Cycles:\s+(\d+)", out.stdout)
    return int(m.group(1)) / 1000 if m else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("object", nargs="?", default="build/bench/CMakeFiles/hexcat_core.dir/src/kernels/x86.cpp.o")
    ap.add_argument("--mcpu", default="znver3,skylake", help="comma-separated llvm-mca processors")
    ap.add_argument("--match", default="run|lines", help="regular expression for the functions to show")
    ap.add_argument("--list", action="store_true", help="print each loop's instructions too")
    a = ap.parse_args()
    tool = shutil.which("llvm-mca") or shutil.which("llvm-mca-14") or "/usr/lib/llvm-14/bin/llvm-mca"
    cpus = a.mcpu.split(",") if shutil.which(tool) else []
    print(f"{'function':44} {'insns':>5} {'stores':>6} {'loads':>5} " + " ".join(f"{c:>8}" for c in cpus))
    for name, insns in functions(a.object).items():
        if not re.search(a.match, name):
            continue
        short = re.sub(r"\(char\*.*?\)( \[clone (\S+)\])?$", lambda m: f" {m.group(2) or ''}", name)
        short = short.replace("hexcat::(anonymous namespace)::", "").replace("char* ", "").strip()
        for s, e in loops(insns):
            body = insns[s:e + 1]
            st, ld = count(body)
            cyc = " ".join(f"{mca(body, c, tool):8.2f}" for c in cpus)
            print(f"{short:44} {len(body):5} {st:6} {ld:5} {cyc}")
            if a.list:
                for addr, op, args in body:
                    print(f"    {addr:6x}: {op} {args}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
