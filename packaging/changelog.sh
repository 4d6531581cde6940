#!/bin/sh
# Writes CHANGELOG.md as the gzipped Debian changelog that the package ships
# as /usr/share/doc/hexcat/changelog.gz: each "## VERSION — YYYY-MM-DD"
# heading opens an entry, its "- " items become "* " items, a "### GROUP"
# heading becomes a line "GROUP:" after an empty line, and the entry closes
# with the maintainer and the date.
#
# VERSION_FILE holds the version the package carries and its time stamp, one
# a line. A package of a commit after a release (a version such as
# 1.1.0+git20261208.153012.abc1234) gets an entry of its own on top, dated
# with the time stamp: the items of the undated section ("## Unreleased"),
# or a line saying that none are listed yet. Without VERSION_FILE, or for a
# release, an undated section is left out; a release's entry is dated with
# the time stamp where that falls on its date.
# Usage: changelog.sh CHANGELOG.md "NAME <ADDRESS>" OUT.gz [VERSION_FILE]
set -eu
md=$1
maintainer=$2
out=$3
version=
stamp=
day=
if [ $# -ge 4 ]; then
  version=$(sed -n 1p "$4")
  stamp=$(date -u -R -d "@$(sed -n 2p "$4")")
  day=$(date -u +%F -d "@$(sed -n 2p "$4")")
fi
awk -v who="$maintainer" -v build="$version" -v buildstamp="$stamp" -v buildday="$day" '
function finish() {
    if (version != "") {
        if (!items)
            print "  * No changes listed since the release before."
        printf "\n -- %s  %s\n", who, stamp
    }
}
function open(v, s) {
    if (entries++)
        print ""
    version = v
    stamp = s
    items = 0
    body = 0
    printf "hexcat (%s) unstable; urgency=medium\n\n", version
}
/^## / {
    finish()
    version = ""
    dated = ($NF ~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)
    first = !headings++
    if (first && build != "" && (!dated || $2 != build)) {
        # A build after a release: its own entry, holding the undated items.
        open(build, buildstamp)
        if (!dated)
            next
        finish()
        version = ""
    }
    if (!dated)
        next
    # The release being built gets the time of its commit when that falls on
    # its date, so that a second release on one day is dated later.
    if ($2 == build && $NF == buildday) {
        open($2, buildstamp)
        next
    }
    cmd = "date -u -R -d " $NF
    if ((cmd | getline s) <= 0) {
        print "changelog.sh: no date in: " $0 > "/dev/stderr"
        exit 1
    }
    close(cmd)
    open($2, s)
    next
}
version == "" || /^[[:space:]]*$/ { next }
/^### / { if (body++) print ""; print "  " substr($0, 5) ":"; next }
/^- / { print "  * " substr($0, 3); items++; body++; next }
/^  / { print "  " $0; body++; next }
{ print "  " $0; body++ }
END { finish() }
' "$md" >"$out.tmp"
gzip -9n <"$out.tmp" >"$out"
rm -f "$out.tmp"
