#!/bin/sh
# The manual page renders without a warning from man and groff, and its format table lists
# the same formats, in the same order, as the usage text of the program it documents.
#
#   man_test.sh PAGE NALVO [EMULATOR...]
set -eu
page=$1
shift

scratch=$(mktemp -d /tmp/nalvo-man-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$page" >"$scratch/page" 2>"$scratch/warnings" ||
    fail "man could not render $page: $(cat "$scratch/warnings")"
[ ! -s "$scratch/warnings" ] || fail "warnings while rendering $page: $(cat "$scratch/warnings")"
grep -Eq '^ *nalvo +- +record +one +or +two +inputs' "$scratch/page" || fail "no NAME line in the page"

# Rows "format bits rate" as tab-separated lines, from the page and from the usage text.
awk '$1 ~ /^[0-9][0-9][0-9][0-9]$/ && ($2 == 16 || $2 == 24) && $3 ~ /^[0-9]+$/ && NF == 3 {
    print $1 "\t" $2 "\t" $3
}' "$scratch/page" >"$scratch/page-formats"
"$@" </dev/null >"$scratch/usage" || true
grep -E '^[0-9]{4}	(16|24)	[0-9]+$' "$scratch/usage" >"$scratch/usage-formats" || true
[ "$(wc -l <"$scratch/usage-formats")" -eq 8 ] || fail "no format table in the usage text"
diff -u "$scratch/usage-formats" "$scratch/page-formats" ||
    fail "the page's format table differs from the program's"
echo "manual page renders cleanly and lists the program's 8 formats"
