#!/usr/bin/env bash
# The tool never allocates heap memory: valgrind must count 0 allocations
# and no errors for a run over several files and a missing one.
set -u
bin=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c 100000 /dev/urandom >"$dir/a"
printf 'short' >"$dir/b"
log=$(valgrind --error-exitcode=99 "$bin" "$dir/a" "$dir/b" "$dir/missing" 2>&1 >/dev/null)
status=$?
echo "$log" | grep -E 'heap usage|ERROR SUMMARY'
# Status 1: the missing file, and nothing else went wrong.
[ "$status" -eq 1 ] || { echo "status $status, want 1"; exit 1; }
echo "$log" | grep -q 'total heap usage: 0 allocs, 0 frees, 0 bytes allocated' || { echo "heap was used"; exit 1; }
echo "$log" | grep -q 'ERROR SUMMARY: 0 errors' || exit 1
