#!/usr/bin/env bash
# Runs the README's Quick start on a fresh machine: builds a pristine minimal
# Debian root of the release asked for (mmdebstrap --variant=minbase) from
# this machine's apt mirror, enters it with private mount and pid namespaces,
# clones the commit under test into root's home there (/root/hexcat, mode
# 0700, where a newcomer in a container clones it), and runs there what the
# Quick start says, read from README.md: the prerequisites line, then the
# build command and the test command. Fails if a command fails, or if the
# test run skips a test or runs fewer than the build registers. The root is
# removed afterwards.
#
# The Quick start must hold two ```sh blocks: the first with the one
# prerequisites line, the second with the two commands (comment lines aside).
#
# Usage, as root: tests/fresh-machine.sh [--ci] [bookworm|trixie]
# The release is Debian 12 (bookworm, the default) or Debian 13 (trixie). For
# a release other than this machine's own, the root comes from the same
# mirrors, with this machine's suites renamed (bookworm-updates becomes
# trixie-updates, and so on); the archive keyring must hold that release's
# keys. --ci also runs bash .ci/run in the root, in a second clone
# (/root/hexcat-ci), once the Quick start has passed.
# With --ci and HEXCAT_ARTEFACTS=FOLDER, that run keeps the artefacts it
# builds in FOLDER (bound into the root as /artefacts): a release's, made
# and checked from a pristine root (docs/releases.md).
set -euo pipefail
clone=/root/hexcat

if [ "${1:-}" = --inside ]; then
  # In the fresh root: --inside CI ARTEFACTS PREREQUISITES BUILD TEST
  ci=$2
  artefacts=$3
  steps=("$4" "$5" "$6")
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
  echo "fresh root, $(. /etc/os-release && echo "$PRETTY_NAME"): prerequisites ${took[0]} s, build ${took[1]} s, tests ${took[2]} s;" \
    "$ran of $registered tests passed, none skipped"
  if [ "$ci" = yes ]; then
    echo "== fresh root: bash .ci/run"
    cd "$clone-ci"
    start=$EPOCHREALTIME
    CI=true HEXCAT_ARTEFACTS=$artefacts bash .ci/run
    echo "fresh root: .ci/run passed in $(echo "$EPOCHREALTIME - $start" | awk '{ printf "%.0f", $1 - $3 }') s"
  fi
  exit 0
fi

ci=no
suite=bookworm
for arg; do
  case $arg in
  --ci) ci=yes ;;
  bookworm | trixie) suite=$arg ;;
  *) echo "usage: fresh-machine.sh [--ci] [bookworm|trixie]"; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine.sh: run as root"; exit 1; }
artefacts=
if [ "$ci" = yes ] && [ -n "${HEXCAT_ARTEFACTS:-}" ]; then
  mkdir -p "$HEXCAT_ARTEFACTS"
  HEXCAT_ARTEFACTS=$(realpath "$HEXCAT_ARTEFACTS")
  artefacts=/artefacts
fi
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
work=$(mktemp -d "${TMPDIR:-/tmp}/hexcat-fresh-sources.XXXXXX")
cleanup() {
  # The root's mounts live in the namespace that ended with the run; should
  # any show here, take them down before removing the folder.
  findmnt -rn -o TARGET | grep -F "$root/" | sort -r | xargs -r -n 1 umount -l || true
  rm -rf --one-file-system "$root" "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# Another release's sources: this machine's, with its own suites renamed, in
# deb822 files (the Suites: field) and one-line ones (the field after the URI).
own=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ "$suite" != "$own" ]; then
  [ -n "$own" ] || { echo "FAIL: this machine's release has no code name in /etc/os-release"; exit 1; }
  [ -s "/usr/share/keyrings/debian-archive-$suite-stable.gpg" ] ||
    { echo "FAIL: the archive keyring lacks $suite's keys: apt-get install debian-archive-keyring"; exit 1; }
  derived=()
  for f in "${sources[@]}"; do
    to="$work/$(basename "$f")"
    sed -E -e "/^Suites:/ s/\\b$own((-[a-z]+)?)\\b/$suite\\1/g" \
      -e "s/^([[:space:]]*deb(-src)?[[:space:]]+(\\[[^]]*\\][[:space:]]+)?[^[:space:]]+[[:space:]]+)$own(-[a-z]+)?([[:space:]])/\\1$suite\\4\\5/" \
      "$f" >"$to"
    derived+=("$to")
  done
  if grep -hE "^Suites:|^[[:space:]]*deb" "${derived[@]}" | grep -qwE "$own(-[a-z]+)?"; then
    echo "FAIL: $own left in the sources derived for $suite:"
    cat "${derived[@]}"
    exit 1
  fi
  grep -hE "^Suites:|^[[:space:]]*deb" "${derived[@]}" | grep -qw "$suite" ||
    { echo "FAIL: no $own suite in this machine's sources to take $suite's from"; exit 1; }
  sources=("${derived[@]}")
fi

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
  artefacts=$2
  shift 2
  mount --make-rprivate "$(findmnt -n -o TARGET -T "$root")"
  # The root becomes the root of the namespace (pivot_root below), not a
  # chroot, in which Linux refuses user namespaces: the unshare back end of
  # autopkgtest needs them (tests/source-package.sh).
  mount --bind "$root" "$root"
  mount --rbind /dev "$root/dev"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs tmpfs "$root/tmp"
  if [ -n "$artefacts" ]; then
    mkdir "$root/artefacts"
    mount --bind "$artefacts" "$root/artefacts"
  fi
  cd "$root"
  pivot_root . .
  umount -l .
  exec chroot . /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash /fresh-machine.sh --inside "$@"' enter "$root" "${artefacts:+$HEXCAT_ARTEFACTS}" "$ci" "$artefacts" "$prereq" "$build" "$test" </dev/null
