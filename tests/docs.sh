#!/usr/bin/env bash
# The docs run as written: every ```sh block of README.md and docs/*.md, in
# that order and in the order of each file, runs in a fresh clone of the
# commit at HEAD (a scratch folder), each block from the clone's top folder
# with bash -e, as a reader would paste it. A block that needs another
# machine, root, an installed package or much time carries, on the line just
# before its fence, the marker
#
#   <!-- docs: skip: REASON -->
#
# and is skipped; the log names every block with its time or its reason, and
# the first block that fails stops the run.
# Usage: tests/docs.sh [--list] (the tools the blocks run must be
# installed, as .ci/run installs them; --list only lists the blocks)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)
work=$(mktemp -d "${TMPDIR:-/tmp}/hexcat-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes are not part of the run"
git clone -q "$repo" "$work/clone"
cd "$work/clone"
git checkout -q --detach "$(git -C "$repo" rev-parse HEAD)"

# Each block as "FILE:LINE<tab>skip reason or empty", its lines in
# $work/blocks/N, for N from 1.
mkdir "$work/blocks"
awk -v dir="$work/blocks" '
  FNR == 1 { marker = ""; fence = 0 }
  fence && /^[[:space:]]*```[[:space:]]*$/ { fence = 0; close(file); next }
  fence { sub("^" indent, ""); print > file; next }
  /^[[:space:]]*```sh[[:space:]]*$/ {
    n++; fence = 1; file = dir "/" n
    indent = $0; sub(/```.*/, "", indent)
    printf "%s:%d\t%s\n", FILENAME, FNR, marker
    printf "" > file
    next
  }
  { marker = "" }
  match($0, /^[[:space:]]*<!-- docs: skip: .* -->[[:space:]]*$/) {
    marker = $0
    sub(/^[[:space:]]*<!-- docs: skip: /, "", marker); sub(/ -->[[:space:]]*$/, "", marker)
  }
' README.md docs/*.md >"$work/list"
[ -s "$work/list" ] || { echo "FAIL: no sh blocks in the docs"; exit 1; }

if [ "${1:-}" = --list ]; then
  while IFS=$'\t' read -r where reason; do echo "$where: ${reason:+skipped: }${reason:-runs}"; done <"$work/list"
  exit 0
fi
summary=()
n=0
while IFS=$'\t' read -r where reason; do
  n=$((n + 1))
  if [ -n "$reason" ]; then
    echo "== $where: skipped: $reason"
    summary+=("skipped $where: $reason")
    continue
  fi
  echo "== $where: running"
  sed 's/^/  | /' "$work/blocks/$n"
  start=$SECONDS
  (cd "$work/clone" && bash -e -o pipefail "$work/blocks/$n") </dev/null ||
    { echo "FAIL: the block at $where"; exit 1; }
  summary+=("ran $where in $((SECONDS - start)) s")
done <"$work/list"
echo "== docs: blocks run and skipped"
printf '%s\n' "${summary[@]}"
