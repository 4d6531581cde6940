#!/usr/bin/env bash
# A statically linked hexcat has no program interpreter, and dumps a known
# file and every byte value in every column exactly as REFERENCE (a tested
# hexcat of this machine) does; a cross-built one runs in EMULATOR.
# Usage: checkstatic.sh BINARY REFERENCE [EMULATOR...]
set -euo pipefail
bin=$1
reference=$2
shift 2
if readelf -lW "$bin" | grep -q INTERP; then
  echo "FAIL: $bin has a program interpreter"
  exit 1
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'ABCDEFGHIJKLMNOPHello\n' >"$dir/known"
cat >"$dir/want" <<'DUMP'
00000000: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|
00000010: 48 65 6C 6C 6F 0A                                |Hello.          |
DUMP
# Every byte value in every column, then a short line.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i + 17 * (i // 256)) % 256 for i in range(4096 + 5)))' >"$dir/bytes"
"$reference" "$dir/bytes" >>"$dir/want"
"$@" "$bin" "$dir/known" "$dir/bytes" >"$dir/got"
cmp "$dir/want" "$dir/got" || { echo "FAIL: $bin dumps differently"; exit 1; }
echo "$bin: static, dumps as expected"
