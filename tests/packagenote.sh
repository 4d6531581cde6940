#!/bin/sh
# The binary's package note (.note.package, as readelf --notes shows it)
# names hexcat, the version that the build configured (the first line of
# VERSIONFILE) and Debian's name ARCH for its architecture.
# Usage: packagenote.sh BINARY VERSIONFILE ARCH
set -eu
got=$(readelf --notes "$1" | sed -n 's/^ *Packaging Metadata: //p')
want="{\"type\":\"deb\",\"name\":\"hexcat\",\"version\":\"$(sed -n 1p "$2")\",\"architecture\":\"$3\"}"
echo "$1: $got"
[ "$got" = "$want" ] || { echo "FAIL: want $want"; exit 1; }
