#!/usr/bin/env bash
# Installs into a DESTDIR under another prefix, builds the Debian package,
# checks its fields and documentation, and runs the binary unpacked from it
# on the known file, tests/known, whose dump is tests/known.dump. A cross
# build's package is for ARCH (Debian's name), and its binary runs in
# EMULATOR.
# Usage: package.sh BUILD_DIR VERSION [ARCH [EMULATOR...]]
set -euo pipefail
build=$1
version=$2
arch=${3:-$(dpkg --print-architecture)}
emulator=("${@:4}")
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# cmake --install lays out the project's own files under any prefix, as
# GNUInstallDirs names the folders: the binary, the man page as written, the
# README, the changes and the licence, and nothing else.
DESTDIR="$work/dest" cmake --install "$build" --prefix /opt/hexcat >/dev/null
(cd "$work/dest/opt/hexcat" && find . -type f | sort) >"$work/installed"
printf '%s\n' ./bin/hexcat ./share/doc/hexcat/CHANGELOG.md ./share/doc/hexcat/LICENSE ./share/doc/hexcat/README.md \
  ./share/man/man1/hexcat.1 | diff - "$work/installed" || fail "cmake --install installs other files"
[ -x "$work/dest/opt/hexcat/bin/hexcat" ] || fail "no bin/hexcat under the DESTDIR"
cmp "$work/dest/opt/hexcat/share/man/man1/hexcat.1" "$source/man/hexcat.1" || fail "the installed man page is not man/hexcat.1"

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb="$work/pkg/hexcat_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no package $deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Package)" = hexcat ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
field Depends | grep -q '^libc6 (>= ' || fail "Depends: $(field Depends)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -ge 3 ] || fail "no long description"

dpkg-deb -x "$deb" "$work/root"
(cd "$work/root" && find . -type f | sort) >"$work/packaged"
printf '%s\n' ./usr/bin/hexcat ./usr/share/doc/hexcat/changelog.gz ./usr/share/doc/hexcat/copyright \
  ./usr/share/man/man1/hexcat.1.gz | diff - "$work/packaged" || fail "the package holds other files"
# Documentation as Debian policy asks: a gzipped man page and changelog,
# the latter in Debian's format with this version on top, and the licence.
doc=$work/root/usr/share/doc/hexcat
gzip -dc "$work/root/usr/share/man/man1/hexcat.1.gz" | cmp - "$source/man/hexcat.1" ||
  fail "the package's man page is not man/hexcat.1 gzipped"
top=$(gzip -dc "$doc/changelog.gz" | head -n 1)
[ "$top" = "hexcat ($version) unstable; urgency=medium" ] || fail "changelog starts with: $top"
# Every dated section of CHANGELOG.md is an entry that dpkg reads, in order.
want=$( (echo "$version"; sed -n 's/^## \([0-9][0-9.]*\) — [0-9-]*$/\1/p' "$source/CHANGELOG.md") | uniq)
got=$(gzip -dc "$doc/changelog.gz" | dpkg-parsechangelog -l - --format rfc822 --all | sed -n 's/^Version: //p')
[ "$got" = "$want" ] || fail "the changelog's entries are $(echo $got), want $(echo $want)"
sed -n '/^ Permission/,$p' "$doc/copyright" | sed 's/^ //; s/^\.$//' |
  cmp - <(sed -n '/^Permission/,$p' "$source/LICENSE") || fail "the copyright file's licence is not LICENSE"
"${emulator[@]}" "$work/root/usr/bin/hexcat" "$source/tests/known" >"$work/got"
cmp "$source/tests/known.dump" "$work/got" || fail "the packaged hexcat dumps differently"
echo "package $(basename "$deb"): fields, documentation and dump as expected"
