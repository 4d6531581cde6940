#!/usr/bin/env bash
# Runs the README's Quick start on a fresh machine: builds a pristine minimal
# Debian 12 root (mmdebstrap --variant=minbase) from this machine's apt
# sources, enters it with private mount and pid namespaces, copies in a clone
# of the commit under test, and runs there what the Quick start says, read
# from README.md: the prerequisites line, then the build command and the test
# command. Fails if a command fails, or if the test run skips a test or runs
# fewer than the build registers. The root is removed afterwards.
#
# The Quick start must hold two ```sh blocks: the first with the one
# prerequisites line, the second with the two commands (comment lines aside).
#
# Usage, as root: tests/fresh-machine.sh [--ci]
# --ci also runs bash .ci/run in the root, in a second clone, once the Quick
# start has passed.
set -euo pipefail
suite=bookworm
clone=/src/hexcat

if [ "${1:-}" = --inside ]; then
  # In the fresh root: --inside CI PREREQUISITES BUILD TEST
  ci=$2
  steps=("$3" "$4" "$5")
  names=(prerequisites build tests)
  cd "$clone"
  for i in 0 1 2; do
    echo "== fresh root, ${names[i]}: ${steps[i]}"
    start=$EPOCHREALTIME
    bash -c "${steps[i]}" 2>&1 | tee "/tmp/step$i.log"
    took[i]=$(echo "$EPOCHREALTIME - $start" | awk '{ printf "%.0f", $1 - $3 }')
  done
  dirs=(build/*/CTestTestfile.cmake)
  [ ${#dirs[@]} -eq 1 ] || { echo "FAIL: want one build folder, found: ${dirs[*]}"; exit 1; }
  registered=$(ctest --test-dir "$(dirname "${dirs[0]}")" -N | sed -n 's/^Total Tests: //p')
  ran=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' /tmp/step2.log)
  if grep -E '\*\*\*(Skipped|Not Run)|^The following tests did not run' /tmp/step2.log; then
    echo "FAIL: the test command did not run every test"
    exit 1
  fi
  [ -n "$ran" ] && [ "$ran" -gt 0 ] && [ "$ran" = "$registered" ] ||
    { echo "FAIL: the test command passed ${ran:-no} tests, the build registers ${registered:-none}"; exit 1; }
  echo "fresh root: prerequisites ${took[0]} s, build ${took[1]} s, tests ${took[2]} s;" \
    "$ran of $registered tests passed, none skipped"
  if [ "$ci" = yes ]; then
    echo "== fresh root: bash .ci/run"
    cd "$clone-ci"
    start=$EPOCHREALTIME
    CI=true bash .ci/run
    echo "fresh root: .ci/run passed in $(echo "$EPOCHREALTIME - $start" | awk '{ printf "%.0f", $1 - $3 }') s"
  fi
  exit 0
fi

ci=no
[ "${1:-}" = --ci ] && ci=yes
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine.sh: run as root"; exit 1; }
repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)
commit=$(git -C "$repo" rev-parse HEAD)
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes are not part of the run"

# The Quick start's ```sh blocks, one "BLOCK<tab>LINE" for each command line.
lines=$(git -C "$repo" show "$commit:README.md" | awk '
  /^## / { quick = ($0 == "## Quick start") }
  quick && /^```/ { if (fence) fence = 0; else if ($0 == "```sh") { fence = 1; block++ }; next }
  quick && fence && !/^[[:space:]]*(#|$)/ { print block "\t" $0 }')
block() { printf '%s\n' "$lines" | awk -F '\t' -v b="$1" '$1 == b { print $2 }'; }
prereq=$(block 1)
build=$(block 2 | sed -n 1p)
test=$(block 2 | sed -n 2p)
if [ "$(block 1 | wc -l)" -ne 1 ] || [ "$(block 2 | wc -l)" -ne 2 ] || [ -n "$(block 3)" ] ||
  [[ $prereq != "apt-get update && apt-get install -y "* ]]; then
  echo "FAIL: README's Quick start is not one prerequisites line and two commands in two sh blocks:"
  printf '%s\n' "$lines"
  exit 1
fi

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$f" ] && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || { echo "FAIL: no apt sources on this machine"; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/hexcat-fresh.XXXXXX")
chmod 755 "$root"
cleanup() {
  # The root's mounts live in the namespace that ended with the run; should
  # any show here, take them down before removing the folder.
  findmnt -rn -o TARGET | grep -F "$root/" | sort -r | xargs -r -n 1 umount -l || true
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

echo "== fresh root: mmdebstrap --variant=minbase $suite from ${sources[*]}"
start=$EPOCHREALTIME
mmdebstrap --variant=minbase --quiet "$suite" "$root" "${sources[@]}"
echo "fresh root made in $(echo "$EPOCHREALTIME - $start" | awk '{ printf "%.0f", $1 - $3 }') s"
git clone -q --no-checkout --no-hardlinks "$repo" "$root$clone"
git -C "$root$clone" checkout -q --detach "$commit"
[ "$ci" = no ] || git clone -q --no-hardlinks "$root$clone" "$root$clone-ci"
cp "$0" "$root/fresh-machine.sh"

# Nothing mounted for the root shows outside: the mount holding it is made
# private first (in a chroot, / is no mount point of its own, so unshare's
# --propagation private would fail there).
unshare --mount --pid --fork --kill-child --propagation unchanged -- bash -c '
  set -e
  root=$1
  shift
  mount --make-rprivate "$(findmnt -n -o TARGET -T "$root")"
  mount --rbind /dev "$root/dev"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs tmpfs "$root/tmp"
  exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash /fresh-machine.sh --inside "$@"' enter "$root" "$ci" "$prereq" "$build" "$test" </dev/null
