#!/usr/bin/env bash
# Release checks, on the commit at HEAD of this clone (uncommitted changes
# are not part of them):
# 1. versions: the release commit builds as the project version, a commit
#    after it, and a clone of it without its parent (--depth 1), as
#    VERSION+gitDATE.TIME.HASH, which Debian sorts after it;
# 2. hardening: the release binary is PIE with full RELRO and uses the
#    fortified and stack-protected C library calls; lintian shows no
#    hardening tag on its package but one that it cannot help (see below);
# 3. reproducibility: two clones in different folders, built one after the
#    other with different umasks and time zones, give byte-identical
#    binaries, packages and source tarballs (diffoscope shows any difference);
# 4. the source tarball: one top folder, the committed files and VERSION,
#    its checksum; unpacked where there is no git, it builds and passes
#    every test with the README's commands;
# 5. a packager's build: dpkg-buildflags' flags and CMAKE_BUILD_TYPE=None
#    pass the whole suite, stay as given on every compiler line, and blhc
#    finds nothing in the build log; with hardening features turned off in
#    DEB_BUILD_MAINT_OPTIONS, those stay off (blhc finds just their flags
#    missing, readelf and nm show no PIE, BIND_NOW or stack protector).
# With HEXCAT_ARTEFACTS=FOLDER, the compared binary, package, tarball and
# checksum are kept there.
# Usage: [HEXCAT_ARTEFACTS=FOLDER] tests/release.sh (from anywhere; needs
# git, dpkg-dev, lintian, blhc, diffoscope)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)
work=$(mktemp -d "${TMPDIR:-/tmp}/hexcat-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes are not part of the checks"
arch=$(dpkg --print-architecture)

# The version a configured build carries.
configured() { sed -n 1p "$1/hexcat-version.txt"; }
configure() { cmake -S "$1" -B "$2" -DHEXCAT_TESTS=OFF >"$2.log" 2>&1 || { cat "$2.log"; fail "configure $1"; }; }
project_version() { git -C "$1" show "$2:CMakeLists.txt" | sed -n 's/^project(hexcat VERSION \([0-9.]*\) .*/\1/p'; }
top() { git -C "$1" show "$2:CHANGELOG.md" 2>/dev/null | grep -m1 '^## ' || true; }

echo "== versions"
git clone -q "$repo" "$work/v"
commit() { GIT_COMMITTER_DATE=$1 git -C "$work/v" -c user.name=ci -c user.email=ci@hexcat.invalid commit -q -a -m "$2"; }
head=$(git -C "$work/v" rev-parse HEAD)
pv=$(project_version "$work/v" HEAD)
t=$(top "$work/v" HEAD)
configure "$work/v" "$work/v-head"
# HEAD is a release when it dates the top section with the project version
# and its parent's top section is another.
if [[ $t =~ ^"## $pv — "[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] && [ "$(top "$work/v" HEAD^)" != "$t" ]; then
  [ "$(configured "$work/v-head")" = "$pv" ] || fail "the release commit builds as $(configured "$work/v-head"), want $pv"
  grep -q "^\.TH .* \"hexcat $pv\"" "$work/v/man/hexcat.1" || fail "the man page does not name release $pv"
  echo "HEAD ${head:0:7} is a release and builds as $pv"
else
  want="$pv+git$(TZ=UTC git -C "$work/v" log -1 --date=format-local:%Y%m%d.%H%M%S --format=%cd HEAD).${head:0:7}"
  [ "$(configured "$work/v-head")" = "$want" ] || fail "HEAD, no release, builds as $(configured "$work/v-head"), want $want"
  echo "HEAD ${head:0:7} is no release and builds as $want"
  # Make it one: date the top section with the project version.
  sed -i "0,/^## .*/s//## $pv — 2027-01-01/" "$work/v/CHANGELOG.md"
  commit 2027-01-01T00:00:00Z "Release $pv"
  configure "$work/v" "$work/v-release"
  [ "$(configured "$work/v-release")" = "$pv" ] || fail "a release commit builds as $(configured "$work/v-release"), want $pv"
  echo "a commit that dates the top section as $pv builds as $pv"
fi
# A clone without the release commit's parent cannot tell that the heading is
# new, so it builds as no release.
git clone -q --depth 1 "file://$work/v" "$work/shallow"
configure "$work/shallow" "$work/shallow-build"
shallow=$(configured "$work/shallow-build")
[ "$shallow" = "$pv+git$(TZ=UTC git -C "$work/v" log -1 --date=format-local:%Y%m%d.%H%M%S --format=%cd.%h --abbrev=7 HEAD)" ] ||
  fail "a shallow clone of the release commit builds as $shallow"
echo "a shallow clone of it (no parent) builds as $shallow"
# A commit after the release that leaves CHANGELOG.md alone is no release.
echo "a change after the release" >>"$work/v/README.md"
commit 2027-01-02T03:04:05Z "A change after the release"
configure "$work/v" "$work/v-after"
after=$(configured "$work/v-after")
[ "$after" = "$pv+git20270102.030405.$(git -C "$work/v" rev-parse --short=7 HEAD)" ] ||
  fail "a commit after the release builds as $after"
dpkg --compare-versions "$after" gt "$pv" || fail "$after does not sort after $pv"
# Its package's changelog starts with its version.
cmake --build "$work/v-after" --target docs >/dev/null
[ "$(gzip -dc "$work/v-after/changelog.gz" | head -n 1)" = "hexcat ($after) unstable; urgency=medium" ] ||
  fail "the changelog of $after starts with: $(gzip -dc "$work/v-after/changelog.gz" | head -n 1)"
echo "a commit after it builds as $after, which sorts after $pv"

# Builds the release preset of a clone of HEAD in folder $1 under umask $2
# and time zone $3, its package and its source tarball.
build() {
  git clone -q "$repo" "$1"
  git -C "$1" checkout -q --detach "$head"
  (
    umask "$2"
    export TZ=$3
    cd "$1"
    cmake --preset release -DHEXCAT_TESTS=OFF >"$1.log" 2>&1 &&
      cmake --build --preset release >>"$1.log" 2>&1 &&
      cmake --build --preset release --target dist >>"$1.log" 2>&1 &&
      (cd build/release && cpack -G DEB) >>"$1.log" 2>&1
  ) || { cat "$1.log"; fail "build in $1"; }
}
echo "== reproducibility: two builds of ${head:0:7}"
build "$work/one" 022 UTC
sleep 2
build "$work/second/clone" 077 Asia/Tokyo
version=$(configured "$work/one/build/release")
files=(hexcat "hexcat_${version}_$arch.deb" "hexcat-$version.tar.gz" "hexcat-$version.tar.gz.sha256")
same=yes
for f in "${files[@]}"; do
  a=$work/one/build/release/$f
  b=$work/second/clone/build/release/$f
  [ -f "$a" ] && [ -f "$b" ] || fail "no $f in both builds"
  echo "$(sha256sum <"$a" | cut -c1-64)  $f"
  if ! cmp "$a" "$b"; then
    same=no
    diffoscope "$a" "$b" || true
  fi
done
[ $same = yes ] || fail "the two builds differ"
echo "both builds byte-identical"
if [ -n "${HEXCAT_ARTEFACTS:-}" ]; then
  mkdir -p "$HEXCAT_ARTEFACTS"
  for f in "${files[@]}"; do cp "$work/one/build/release/$f" "$HEXCAT_ARTEFACTS/"; done
  mv "$HEXCAT_ARTEFACTS/hexcat" "$HEXCAT_ARTEFACTS/hexcat-$version-$arch"
fi

echo "== hardening of the release binary and package"
bin=$work/one/build/release/hexcat
elf=$(readelf -lWd "$bin")
grep -q 'GNU_RELRO' <<<"$elf" || fail "no RELRO"
grep -q 'FLAGS.*BIND_NOW' <<<"$elf" || fail "no BIND_NOW"
grep -q 'FLAGS_1.*PIE' <<<"$elf" || fail "not PIE"
grep -E 'GNU_STACK.* RW ' <<<"$elf" >/dev/null || fail "executable stack"
syms=$(nm -D "$bin")
grep -q '__stack_chk_fail' <<<"$syms" || fail "no stack protector"
grep -q '__[a-z]*_chk@' <<<"$syms" || fail "no fortified call"
# Lintian counts read() among the calls that fortification checks, but not
# memcpy(). The call hexcat's builds check, at level 2 and 3 alike, is a
# memcpy() (__memcpy_chk: the digits of an unknown error number); its read()
# goes through the run's table of system calls (src/system.cpp), where no
# level knows the size of the buffer. So the informational
# no-fortify-functions tag is the one hardening tag its packages may carry.
otherhardening() { grep 'hardening' | grep -v '^I: hexcat: hardening-no-fortify-functions '; }
lint=$(lintian --display-info --display-experimental --pedantic "$work/one/build/release/hexcat_${version}_$arch.deb" 2>&1 || true)
printf '%s\n' "$lint"
! otherhardening <<<"$lint" >/dev/null || fail "lintian reports a hardening tag"
echo "PIE, BIND_NOW, RELRO, stack protector, fortified calls; lintian: no hardening tag but no-fortify-functions"

echo "== the source tarball without git"
tarball=hexcat-$version.tar.gz
(cd "$work/one/build/release" && sha256sum -c "$tarball.sha256") || fail "checksum"
tar -tzf "$work/one/build/release/$tarball" >"$work/members"
grep -v "^hexcat-$version/" "$work/members" && fail "members outside hexcat-$version/"
{ echo VERSION; git -C "$repo" ls-tree -r --name-only "$head"; } | sed "s|^|hexcat-$version/|" | sort >"$work/want-members"
grep -v '/$' "$work/members" | sort | cat >"$work/members.files"
mv "$work/members.files" "$work/members"
diff "$work/want-members" "$work/members" || fail "the tarball holds other files than the commit's and VERSION"
[ "$(tar -xzOf "$work/one/build/release/$tarball" "hexcat-$version/VERSION" | head -n 1)" = "$version" ] ||
  fail "the tarball's VERSION is not $version"
# Unpacked outside any git work tree, with a git that fails if called.
mkdir -p "$work/nogit/unpack" "$work/nogit/bin"
printf '#!/bin/sh\ntouch %s/git-called; exit 1\n' "$work/nogit" >"$work/nogit/bin/git"
chmod +x "$work/nogit/bin/git"
tar -xzf "$work/one/build/release/$tarball" -C "$work/nogit/unpack"
src=$work/nogit/unpack/hexcat-$version
! git -C "$src" rev-parse 2>/dev/null || fail "$src is inside a git work tree"
# The README's Quick start commands: the build, then the test command.
commands=$(awk '/^## / { quick = ($0 == "## Quick start") }
  quick && /^```/ { if (fence) fence = 0; else if ($0 == "```sh") { fence = 1; block++ }; next }
  quick && fence && block == 2 && !/^[[:space:]]*(#|$)/' "$src/README.md")
[ "$(wc -l <<<"$commands")" -eq 2 ] || fail "README's Quick start has no build and test command: $commands"
while read -r step; do
  echo "\$ $step"
  (cd "$src" && PATH=$work/nogit/bin:$PATH bash -c "$step") </dev/null >"$work/nogit/step.log" 2>&1 ||
    { cat "$work/nogit/step.log"; fail "in the unpacked tarball: $step"; }
  tail -n 3 "$work/nogit/step.log"
done <<<"$commands"
grep -q '^100% tests passed' "$work/nogit/step.log" || fail "the tarball's test command did not pass every test"
! grep -E '\*\*\*(Skipped|Not Run)' "$work/nogit/step.log" || fail "tests skipped in the tarball's build"
[ ! -e "$work/nogit/git-called" ] || fail "the tarball's build called git"
[ "$(configured "$src/build/release")" = "$version" ] || fail "the tarball builds as $(configured "$src/build/release")"
echo "the tarball builds as $version without git and passes every test"

echo "== a packager's build: dpkg-buildflags, CMAKE_BUILD_TYPE=None"
git clone -q "$repo" "$work/pkg"
git -C "$work/pkg" checkout -q --detach "$head"
(
  cd "$work/pkg"
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  # As debhelper does for CMake: the preprocessor flags go with CXXFLAGS.
  export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
  echo "CXXFLAGS=$CXXFLAGS LDFLAGS=$LDFLAGS"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=None -DCMAKE_VERBOSE_MAKEFILE=ON -DCMAKE_INSTALL_PREFIX=/usr >configure.log 2>&1 ||
    { cat configure.log; exit 1; }
  grep 'Hardening:' configure.log || true
  # blhc reads a log from its dpkg-buildpackage lines on, as
  # dpkg-buildpackage would have started it.
  echo "dpkg-buildpackage: info: host architecture $arch" >build.log
  cmake --build build -j2 >>build.log 2>&1 || { cat build.log; exit 1; }
  ctest --test-dir build --output-on-failure >test.log 2>&1 || { cat test.log; exit 1; }
  tail -n 3 test.log
  ! grep -E '\*\*\*(Skipped|Not Run)' test.log
  (cd build && cpack -G DEB >/dev/null)
) || fail "the packager's build"
blhc --all "$work/pkg/build.log" || fail "blhc on the packager's build log"
# Every compiler line, the tests' too (make runs those from their folder).
compiles=$(grep -E '^ *(cd \S+ && )?/usr/bin/c\+\+ .* -c ' "$work/pkg/build.log")
[ -n "$compiles" ] || fail "no compiler lines in the build log"
while read -r line; do
  [ "$(grep -o -- '-D_FORTIFY_SOURCE=[0-9]*' <<<"$line")" = "-D_FORTIFY_SOURCE=2" ] &&
    ! grep -q -- '-U_FORTIFY_SOURCE\|-fno-stack-protector\|-fstack-protector ' <<<"$line" ||
    fail "a compiler line does not keep the packager's flags: $line"
done <<<"$compiles"
# As for our own package, no-fortify-functions is the one hardening tag
# lintian may show (see the hardening checks above).
lint=$(lintian --display-info "$work/pkg/build/hexcat_${version}_$arch.deb" 2>&1 || true)
! otherhardening <<<"$lint" >/dev/null ||
  { printf '%s\n' "$lint"; fail "lintian reports a hardening tag on the packager's package"; }
echo "packager's build: every test passed, their flags kept, blhc clean, lintian clean but for no-fortify-functions"
readelf -hlWd "$work/pkg/build/hexcat" | grep -E '^ *Type:|GNU_RELRO|FLAGS'

# The packager turns hardening features off, as debian/rules would, with
# DEB_BUILD_MAINT_OPTIONS exported: what they turned off stays off (blhc
# finds those flags missing, and no other), the rest stays.
off=hardening=+all,-stackprotector,-relro,-bindnow,-pie
echo "== a packager's build with DEB_BUILD_MAINT_OPTIONS=$off"
(
  cd "$work/pkg"
  export DEB_BUILD_MAINT_OPTIONS=$off
  eval "$(dpkg-buildflags --export=sh)"
  export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
  echo "CXXFLAGS=$CXXFLAGS LDFLAGS=$LDFLAGS"
  cmake -S . -B build-off -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF -DCMAKE_VERBOSE_MAKEFILE=ON >configure-off.log 2>&1 ||
    { cat configure-off.log; exit 1; }
  grep 'Hardening:' configure-off.log || true
  echo "dpkg-buildpackage: info: host architecture $arch" >build-off.log
  cmake --build build-off -j2 >>build-off.log 2>&1 || { cat build-off.log; exit 1; }
) || fail "the packager's build with hardening turned off"
# (blhc exits non-zero when it finds a flag missing.)
missing=$({ blhc --all "$work/pkg/build-off.log" || true; } | sed -n 's/^[A-Z]*FLAGS missing (\(.*\)):.*/\1/p' | tr ' ' '\n' | LC_ALL=C sort -u | xargs)
echo "blhc: missing $missing"
[ "$missing" = "-Wl,-z,now -Wl,-z,relro -fPIE -fstack-protector-strong -pie" ] ||
  fail "blhc finds other flags missing than those turned off: $missing"
! grep -E '^ *(cd \S+ && )?/usr/bin/c\+\+ .*(-fstack-protector-strong|-fPIE|-z,relro|-z,now)' "$work/pkg/build-off.log" ||
  fail "a flag turned off is on a command line"
grep -q -- '-fstack-clash-protection -fcf-protection' "$work/pkg/build-off.log" ||
  fail "no stack clash or control-flow protection, which Debian 12's dpkg does not know"
elf=$(readelf -hlWd "$work/pkg/build-off/hexcat")
grep -E '^ *Type:|GNU_RELRO|FLAGS' <<<"$elf" || true
grep -q '^ *Type: *EXEC' <<<"$elf" || fail "PIE though turned off"
! grep -q 'BIND_NOW' <<<"$elf" || fail "BIND_NOW though turned off"
! nm -D "$work/pkg/build-off/hexcat" | grep -q __stack_chk_fail || fail "stack protector though turned off"
echo "hardening turned off by the packager stays off; stack clash and control-flow protection added"
echo "release checks passed"
