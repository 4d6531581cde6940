#!/usr/bin/env bash
# The run's state lies in zero-initialised storage (.bss), not in the file:
# BINARY's .data, the C library's included where it is linked statically,
# stays under 64 KiB, where the state alone is over 320 KiB.
# Usage: datasize.sh BINARY
set -euo pipefail
data=$(readelf -SW "$1" | sed -n 's/.* \.data  *PROGBITS  *[0-9a-f]*  *[0-9a-f]*  *\([0-9a-f]*\) .*/\1/p')
if [ -z "$data" ] || [ $((16#$data)) -ge 65536 ]; then
  echo "FAIL: $1: .data of 0x${data:-?} bytes, want under 64 KiB"
  exit 1
fi
echo "$1: $((16#$data)) bytes of .data"
