#!/usr/bin/env bash
# Builds hexcat's Debian source package and builds that as Debian's builders
# do, for the commit at HEAD (uncommitted changes are not part of it):
#
# 1. the source package: the dist target's tarball as the orig tarball, and
#    packaging/debian/ as its debian/ folder (3.0 (quilt)); until the first
#    upload the changelog has one entry, which a release must name (its
#    version, VERSION-1), and which a commit after a release gets the
#    version of;
# 2. a clean minimal build root (mmdebstrap --variant=buildd of the release
#    asked for, from this machine's apt sources, renamed for another
#    release) with the package's Build-Depends installed (apt-get
#    build-dep), where an unprivileged user builds the package with
#    dpkg-buildpackage;
# 3. lintian -EvIL +pedantic of Debian 13 (trixie, in a root of its own,
#    which knows Standards-Version 4.7.2) on the result: no error, warning
#    or info tag, and no pedantic or experimental tag but those that
#    docs/packaging.md lists as waiting for the project's public home;
# 4. autopkgtest in a bare root (mmdebstrap --variant=minbase: no build
#    tools but what the test's Depends pull in; its unshare back end,
#    apt-get update as the setup command): the command-line tests against
#    the installed package;
# 5. a second build in the same root, in another folder under another
#    umask and time zone, whose packages must be byte-identical.
#
# All of it twice: with the defaults (the whole suite runs, but the test of
# upstream's own CPack package), and with DEB_BUILD_OPTIONS="nocheck noopt
# parallel=2" and the nocheck build profile, whose root lacks GoogleTest
# and valgrind, and whose configure step looks for none of the tests' tools.
#
# The builds run in their root under private mount and pid namespaces
# (chroot), which works inside a chroot too; autopkgtest's unshare back end
# needs user namespaces, which Linux refuses inside a chroot, and root's
# subordinate ids (/etc/subuid, /etc/subgid), which are added if missing.
#
# With HEXCAT_ARTEFACTS=FOLDER, the source package and the default build's
# binary package, .buildinfo and .changes are kept there.
# Usage, as root: [HEXCAT_ARTEFACTS=FOLDER] tests/source-package.sh
# [bookworm|trixie] (the release of the build and test roots: this
# machine's by default; needs git, cmake, dpkg-dev, mmdebstrap, autopkgtest,
# diffoscope, uidmap, and debian-archive-keyring with trixie's keys)
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "source-package.sh: run as root"; exit 1; }
repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes are not part of the run"
fail() { echo "FAIL: $*"; exit 1; }
took() { echo "($(($SECONDS - $1)) s)"; }
own=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$own" ] || fail "this machine's release has no code name in /etc/os-release"
release=${1:-$own}
case $release in bookworm | trixie) ;; *) fail "usage: source-package.sh [bookworm|trixie]" ;; esac
arch=$(dpkg --print-architecture)

work=$(mktemp -d "${TMPDIR:-/tmp}/hexcat-srcpkg.XXXXXX")
chmod 755 "$work"
cleanup() {
  findmnt -rn -o TARGET | grep -F "$work/" | sort -r | xargs -r -n 1 umount -l || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$f" ] && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || fail "no apt sources on this machine"
# The apt sources of release $1: this machine's, with its own suites renamed
# (bookworm-updates becomes trixie-updates...), in folder $2.
sources_of() {
  mkdir -p "$2"
  local f
  for f in "${sources[@]}"; do
    if [ "$1" = "$own" ]; then
      cp "$f" "$2/"
    else
      sed -E -e "/^Suites:/ s/\\b$own((-[a-z]+)?)\\b/$1\\1/g" \
        -e "s/^([[:space:]]*deb(-src)?[[:space:]]+(\\[[^]]*\\][[:space:]]+)?[^[:space:]]+[[:space:]]+)$own(-[a-z]+)?([[:space:]])/\\1$1\\4\\5/" \
        "$f" >"$2/$(basename "$f")"
    fi
  done
  grep -qs "$1" "$2"/* || fail "no $own suite in this machine's sources to take $1's from"
  [ -s "/usr/share/keyrings/debian-archive-$1-stable.gpg" ] ||
    fail "the archive keyring lacks $1's keys: apt-get install debian-archive-keyring"
}
sources_of "$release" "$work/sources-$release"
sources_of trixie "$work/sources-trixie"

# The tags that may stay: the pedantic and experimental ones that
# docs/packaging.md lists under "Lintian tags left".
allowed=$(awk '/^## / { on = ($0 == "## Lintian tags left") } on && /^- `[a-z0-9-]+`/' "$repo/docs/packaging.md" |
  sed 's/^- `\([a-z0-9-]*\)`.*/\1/')

echo "== the source package"
start=$SECONDS
cmake -S "$repo" -B "$work/dist" -DHEXCAT_TESTS=OFF >"$work/dist.log" 2>&1 &&
  cmake --build "$work/dist" --target dist >>"$work/dist.log" 2>&1 || { cat "$work/dist.log"; fail "the dist target"; }
version=$(sed -n 1p "$work/dist/hexcat-version.txt")
epoch=$(sed -n 2p "$work/dist/hexcat-version.txt")
mkdir "$work/src"
cp "$work/dist/hexcat-$version.tar.gz" "$work/src/hexcat_$version.orig.tar.gz"
tar -xzf "$work/src/hexcat_$version.orig.tar.gz" -C "$work/src"
tree=$work/src/hexcat-$version
cp -r "$tree/packaging/debian" "$tree/debian"
top=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
# A release carries its own entry in packaging/debian/changelog.
[ "${top%-*}" = "$version" ] || [[ $version == *+git* ]] ||
  fail "release $version has no entry of its own in packaging/debian/changelog (its top is $top)"
if [ "${top%-*}" != "$version" ]; then
  # The one entry, of the first upload, gets this commit's version and time.
  [ "$(dpkg-parsechangelog -l "$tree/debian/changelog" --all -S Version | wc -l)" -eq 1 ] ||
    fail "packaging/debian/changelog has more than one entry: give a commit after a release an entry of its own here"
  sed -i -e "1s/([^)]*)/($version-1)/" \
    -e "s/^ -- \(.*\)  .*/ -- \1  $(date -u -R -d "@$epoch")/" "$tree/debian/changelog"
  sed -i "0,/^  \* .*/s//&\n  * Upstream commit ${version##*.}./" "$tree/debian/changelog"
fi
dversion=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
(cd "$work/src" && dpkg-source -b "hexcat-$version" >"$work/source.log" 2>&1) || { cat "$work/source.log"; fail "dpkg-source -b"; }
dsc=hexcat_$dversion.dsc
ls "$work/src"/hexcat_"$version"* | sed 's|.*/|  |'
echo "source package hexcat $dversion $(took $start)"

echo "== clean roots of $release: mmdebstrap --variant=buildd to build, minbase to test; trixie's lintian"
start=$SECONDS
mmdebstrap --variant=buildd --quiet "$release" "$work/buildd.tar" "$work/sources-$release"/*
mmdebstrap --variant=minbase --quiet "$release" "$work/bare.tar" "$work/sources-$release"/*
mmdebstrap --variant=apt --include=lintian --quiet trixie "$work/lintian" "$work/sources-trixie"/*
echo "root tarballs made $(took $start); $(chroot "$work/lintian" lintian --version)"

# Runs COMMAND... in ROOT under private mount and pid namespaces, with a
# clean environment.
enter() {
  unshare --mount --pid --fork --kill-child --propagation unchanged -- bash -c '
    set -e
    root=$1
    shift
    mount --make-rprivate "$(findmnt -n -o TARGET -T "$root")"
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs tmpfs "$root/tmp"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LC_ALL=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' enter "$@" </dev/null
}

# autopkgtest's unshare back end maps root's subordinate ids.
for f in /etc/subuid /etc/subgid; do
  grep -q '^root:' "$f" 2>/dev/null || { echo "root:1000000:65536" >>"$f" && echo "added root's subordinate ids to $f"; }
done

# Builds the source package in ROOT, in folder DIR, under UMASK and time
# zone TZ, with DEB_BUILD_OPTIONS and PROFILES; the results go to OUT.
build() {
  local root=$1 dir=$2 mask=$3 tz=$4 options=$5 profiles=$6 out=$7
  mkdir -p "$root$dir" "$out"
  cp "$work/src/$dsc" "$work/src/hexcat_$version.orig.tar.gz" "$work/src"/hexcat_"$dversion".debian.tar.* "$root$dir/"
  enter "$root" chown -R builder:builder "$dir"
  enter "$root" runuser -u builder -- env DEB_BUILD_OPTIONS="$options" TZ="$tz" sh -c '
    umask "$1" && cd "$2" && dpkg-source -x "$3" hexcat && cd hexcat && dpkg-buildpackage -us -uc ${4:+-P"$4"}' \
    sh "$mask" "$dir" "$dsc" "$profiles" >"$out/build.log" 2>&1 ||
    { tail -n 60 "$out/build.log"; fail "dpkg-buildpackage in $dir"; }
  if [ "$profiles" = nocheck ]; then
    # Without the tests, the configure step looked for none of their tools.
    ! grep -E '^(GTEST_|GTest_|VALGRIND|GROFF|HEXCAT_HAVE_dpkg|HEXCAT_HAVE_file)' "$root$dir"/hexcat/obj-*/CMakeCache.txt ||
      fail "the build without tests looked for the tests' tools"
    echo "$dir: the configure step looked for none of the tests' tools"
  fi
  cp "$root$dir"/*.deb "$root$dir"/*.changes "$root$dir"/*.buildinfo "$root$dir"/*.dsc "$root$dir"/*.debian.tar.* \
    "$root$dir"/*.orig.tar.gz "$out/"
  rm -rf "${root:?}$dir"
}

# One variant: NAME, DEB_BUILD_OPTIONS, build profiles.
variant() {
  local name=$1 options=$2 profiles=$3 root=$work/root-$1 start
  echo "== $name: DEB_BUILD_OPTIONS=\"$options\"${profiles:+, profile $profiles}"
  start=$SECONDS
  mkdir "$root"
  tar -xf "$work/buildd.tar" -C "$root"
  cp "$work/src/$dsc" "$root/tmp.dsc"
  enter "$root" sh -c 'apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q '"${profiles:+-P $profiles}"' /tmp.dsc >/tmp/deps.log 2>&1 || { cat /tmp/deps.log; exit 1; }
    useradd --create-home builder' || fail "the build dependencies of $name"
  rm "$root/tmp.dsc"
  if [ "$profiles" = nocheck ]; then
    # (groff-base comes with debhelper, through man-db.)
    for pkg in libgtest-dev valgrind; do
      ! enter "$root" dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
        fail "$pkg is installed in the nocheck root"
    done
    echo "the root has no libgtest-dev or valgrind"
  fi
  echo "root with the build dependencies $(took $start)"

  start=$SECONDS
  build "$root" /build/hexcat 022 UTC "$options" "$profiles" "$work/$name-1"
  grep -E '^(100% tests passed|[0-9]+% tests passed)|tests failed out of' "$work/$name-1/build.log" || true
  echo "first build $(took $start)"
  if [ -z "$options" ]; then
    # The build log shows the packager's flags on every compiler line.
    blhc --all "$work/$name-1/build.log" || fail "blhc on the build log"
    echo "blhc: the build log has every hardening flag"
  fi

  start=$SECONDS
  local changes
  changes=$(echo "$work/$name-1"/hexcat_"${dversion}"_"$arch".changes)
  # Overridden tags shown (O:), which --fail-on would count: the check of
  # the tags is the one below.
  rm -rf "$work/lintian/check" && cp -r "$work/$name-1" "$work/lintian/check"
  enter "$work/lintian" lintian -EvIL +pedantic --show-overrides --fail-on none "/check/$(basename "$changes")" \
    >"$work/$name-lintian.log" 2>&1 || { cat "$work/$name-lintian.log"; fail "lintian"; }
  grep -E '^[EWIPXO]: ' "$work/$name-lintian.log" || true
  local tag bad=""
  for tag in $(sed -n 's/^[PX]: [^:]*: \([a-z0-9-]*\).*/\1/p' "$work/$name-lintian.log" | sort -u); do
    grep -qx "$tag" <<<"$allowed" || bad+=" $tag"
  done
  [ -z "$bad" ] || fail "lintian tags not listed in docs/packaging.md:$bad"
  ! grep -E '^[EWI]: ' "$work/$name-lintian.log" || fail "lintian: an error, warning or info tag"
  echo "lintian: no error, warning or info tag; pedantic and experimental ones all listed $(took $start)"

  start=$SECONDS
  # The source as a built tree (one with debian/files), which autopkgtest
  # copies as it is: given the .dsc, it would install dpkg-dev into the bed
  # to unpack it, and with it make and much of a build machine, so that the
  # test's Depends would not have to name them.
  rm -rf "$work/tests-tree"
  cp -r "$tree" "$work/tests-tree"
  : >"$work/tests-tree/debian/files"
  autopkgtest --setup-commands='apt-get update' "$work/$name-1"/*.deb "$work/tests-tree/" \
    -- unshare --release "$release" --arch "$arch" --tarball "$work/bare.tar" >"$work/$name-autopkgtest.log" 2>&1 ||
    { tail -n 60 "$work/$name-autopkgtest.log"; fail "autopkgtest"; }
  grep -E '^(command-line|[0-9]+% tests passed)' "$work/$name-autopkgtest.log" || true
  grep -qE '^command-line +PASS' "$work/$name-autopkgtest.log" || fail "autopkgtest: command-line did not pass"
  ! grep -E '^Setting up (dpkg-dev|build-essential) ' "$work/$name-autopkgtest.log" ||
    fail "autopkgtest installed build tools of its own into the bed"
  echo "autopkgtest passed $(took $start)"

  start=$SECONDS
  build "$root" /build/another/folder 077 Asia/Tokyo "$options" "$profiles" "$work/$name-2"
  local deb same=yes
  for deb in "$work/$name-1"/*.deb; do
    echo "$(sha256sum <"$deb" | cut -c1-64)  $(basename "$deb")"
    if ! cmp "$deb" "$work/$name-2/$(basename "$deb")"; then
      same=no
      diffoscope "$deb" "$work/$name-2/$(basename "$deb")" || true
    fi
  done
  [ $same = yes ] || fail "$name: the two builds differ"
  echo "second build byte-identical $(took $start)"
  if [ -n "${HEXCAT_ARTEFACTS:-}" ] && [ "$name" = default ]; then
    mkdir -p "$HEXCAT_ARTEFACTS/source-package"
    cp "$work/$name-1"/* "$HEXCAT_ARTEFACTS/source-package/"
    rm -f "$HEXCAT_ARTEFACTS/source-package/build.log"
  fi
  rm -rf --one-file-system "$root"
}

variant default "" ""
variant nocheck "nocheck noopt parallel=2" nocheck
echo "source package $dversion on $release: built, lintian-clean, autopkgtest passed, reproducible, with and without the tests"
