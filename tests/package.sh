#!/usr/bin/env bash
# Installs into a DESTDIR under another prefix, builds the Debian package,
# and runs the binary unpacked from it on a known file.
# Usage: package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# cmake --install lays out the binary and the man page under any prefix.
DESTDIR="$work/dest" cmake --install "$build" --prefix /opt/hexcat >/dev/null
[ -x "$work/dest/opt/hexcat/bin/hexcat" ] || fail "no bin/hexcat under the DESTDIR"
[ -f "$work/dest/opt/hexcat/share/man/man1/hexcat.1" ] || fail "no man page under the DESTDIR"

(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb="$work/pkg/hexcat_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no package $deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = hexcat ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
field Depends | grep -q '^libc6 (>= ' || fail "Depends: $(field Depends)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -ge 3 ] || fail "no long description"

dpkg-deb -x "$deb" "$work/root"
[ -f "$work/root/usr/share/man/man1/hexcat.1" ] || fail "the package has no man page"
printf 'ABCDEFGHIJKLMNOPHello\n' >"$work/known"
cat >"$work/want" <<'DUMP'
00000000: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|
00000010: 48 65 6C 6C 6F 0A                                |Hello.          |
DUMP
"$work/root/usr/bin/hexcat" "$work/known" >"$work/got"
cmp "$work/want" "$work/got" || fail "the packaged hexcat dumps differently"
echo "package $(basename "$deb"): fields, man page and dump as expected"
