#!/bin/sh
# Writes CHANGELOG.md as the gzipped Debian changelog that the package ships
# as /usr/share/doc/hexcat/changelog.gz: each "## VERSION — YYYY-MM-DD"
# heading opens an entry, its "- " items become "* " items, and the entry
# closes with the maintainer and the date. A section whose heading ends in
# no date (one for unreleased changes) is left out.
# Usage: changelog.sh CHANGELOG.md "NAME <ADDRESS>" OUT.gz
set -eu
md=$1
maintainer=$2
out=$3
awk -v who="$maintainer" '
function finish() {
    if (version != "")
        printf "\n -- %s  %s\n", who, stamp
}
/^## / {
    finish()
    version = ""
    if ($NF !~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)
        next
    if (entries++)
        print ""
    version = $2
    cmd = "date -u -R -d " $NF
    if ((cmd | getline stamp) <= 0) {
        print "changelog.sh: no date in: " $0 > "/dev/stderr"
        exit 1
    }
    close(cmd)
    printf "hexcat (%s) unstable; urgency=medium\n\n", version
    next
}
version == "" || /^[[:space:]]*$/ { next }
/^- / { print "  * " substr($0, 3); next }
/^  / { print "  " $0; next }
{ print "  " $0 }
END { finish() }
' "$md" >"$out.tmp"
gzip -9n <"$out.tmp" >"$out"
rm -f "$out.tmp"
