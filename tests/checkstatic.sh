#!/usr/bin/env bash
# A statically linked hexcat has no program interpreter, keeps its run's
# state out of the file (datasize.sh), names the version of REFERENCE (a
# tested hexcat of this machine) in its package note, dumps the known file
# as tests/known.dump has it, and every byte value in every column exactly
# as REFERENCE does; a cross-built one runs in EMULATOR.
# Usage: checkstatic.sh BINARY REFERENCE [EMULATOR...]
set -euo pipefail
bin=$1
reference=$2
shift 2
if readelf -lW "$bin" | grep -q INTERP; then
  echo "FAIL: $bin has a program interpreter"
  exit 1
fi
here=$(dirname "$0")
data=$("$here/datasize.sh" "$bin")
# Its package note names the same version as the reference's.
version() { readelf --notes "$1" | sed -n 's/^ *Packaging Metadata: .*"version":"\([^"]*\)".*/\1/p'; }
[ -n "$(version "$bin")" ] && [ "$(version "$bin")" = "$(version "$reference")" ] ||
  { echo "FAIL: $bin's package note names version '$(version "$bin")', $reference's '$(version "$reference")'"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$here/known.dump" "$dir/want"
# Every byte value in every column, then a short line.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i + 17 * (i // 256)) % 256 for i in range(4096 + 5)))' >"$dir/bytes"
"$reference" "$dir/bytes" >>"$dir/want"
"$@" "$bin" "$here/known" "$dir/bytes" >"$dir/got"
cmp "$dir/want" "$dir/got" || { echo "FAIL: $bin dumps differently"; exit 1; }
echo "$data; static, version $(version "$bin"), dumps as expected"
