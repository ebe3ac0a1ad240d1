#!/bin/sh
# Builds the Debian package into a scratch directory, checks what it holds and what it
# says about itself, unpacks it as dpkg would install it and runs the installed nalvo
# without arguments: the usage text and exit status 1. With -l, lintian must find no
# error and no warning in it.
#
#   deb_test.sh [-l LINTIAN] CPACK CPACK_CONFIG SOURCE_DIR [EMULATOR...]
set -eu
lintian=""
if [ "$1" = -l ]; then
    lintian=$2
    shift 2
fi
cpack=$1
config=$2
source_dir=$3
shift 3

scratch=$(mktemp -d /tmp/nalvo-deb-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if ! "$cpack" --config "$config" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    fail "cpack could not build the package"
fi
deb=$(find "$scratch/out" -maxdepth 1 -name 'nalvo_*.deb')
[ -n "$deb" ] && [ "$(echo "$deb" | wc -l)" -eq 1 ] || fail "expected one nalvo_*.deb, got: $deb"

# Only the program, its manual page, the service (its unit, its generator, its wrapper, the
# empty configuration directory and an example), the changelog, the copyright file and
# lintian's overrides. Nothing in /etc/systemd: the package enables no instance of the service.
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort >"$scratch/files"
dpkg-deb --fsys-tarfile "$deb" | tar -t ./etc/nalvo/ >/dev/null 2>&1 ||
    fail "no directory /etc/nalvo in the package"
sort >"$scratch/expected" <<EOF
./usr/bin/nalvo
./usr/lib/systemd/system-generators/nalvo-service-generator
./usr/lib/systemd/system/nalvo@.service
./usr/libexec/nalvo/nalvo-service
./usr/share/doc/nalvo/changelog.Debian.gz
./usr/share/doc/nalvo/copyright
./usr/share/doc/nalvo/examples/field.conf
./usr/share/lintian/overrides/nalvo
./usr/share/man/man1/nalvo.1.gz
EOF
diff -u "$scratch/expected" "$scratch/files" || fail "the package holds other files"

dpkg-deb -f "$deb" Depends | grep -q 'libasound2 (>= 1\.1)' ||
    fail "no libasound2 dependency: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= 2\.[0-9]*)' ||
    fail "no versioned libc6 dependency: $(dpkg-deb -f "$deb" Depends)"

dpkg -x "$deb" "$scratch/root"
nalvo="$scratch/root/usr/bin/nalvo"
[ -x "$nalvo" ] || fail "usr/bin/nalvo is not an executable file"

# The changelog's latest entry, the manual page and the README's Install section all name
# the version of the package (the project's, with a Debian revision in the first and last).
version=$(dpkg-deb -f "$deb" Version)
case $version in
*-*) ;;
*) fail "version $version has no Debian revision, which changelog.Debian.gz needs" ;;
esac
changelog_entry=$(zcat "$scratch/root/usr/share/doc/nalvo/changelog.Debian.gz" | head -n 1)
case $changelog_entry in
"nalvo ($version) "*) ;;
*) fail "the changelog's latest entry is not for version $version: $changelog_entry" ;;
esac
title=$(zcat "$scratch/root/usr/share/man/man1/nalvo.1.gz" | grep '^\.TH')
case $title in
*" \"nalvo ${version%-*}\" "*) ;;
*) fail "the manual page does not name version ${version%-*}: $title" ;;
esac
grep -o 'nalvo_[0-9][^_]*_' "$source_dir/README.md" | sort -u >"$scratch/readme-versions"
echo "nalvo_${version}_" | cmp -s - "$scratch/readme-versions" ||
    fail "the README should name nalvo_${version}_<arch>.deb: $(cat "$scratch/readme-versions")"

# The copyright file carries LICENSE's terms word for word: in Debian's format the text
# follows "License: Expat", each line indented by one blank, an empty line written " .".
copyright="$scratch/root/usr/share/doc/nalvo/copyright"
format=https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
head -n 1 "$copyright" | grep -qx "Format: $format" ||
    fail "the copyright file is not in the machine-readable format"
sed -n '/^License: Expat$/,$p' "$copyright" | sed '1d; s/^ //; s/^\.$//' >"$scratch/licence"
sed -n '/^Permission /,$p' "$source_dir/LICENSE" | cmp -s - "$scratch/licence" ||
    fail "the copyright file's licence text differs from LICENSE"
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")" "$copyright" ||
    fail "the copyright file's Copyright field differs from LICENSE"

# The architecture the package declares must be the one of the program it carries (the
# ELF machine field, two little-endian bytes at offset 18): a cross build labelled with the build
# machine's architecture would install on the wrong board.
machine=$(od -An -tu2 -j18 -N2 "$nalvo" | tr -d ' ')
arch=$(dpkg-deb -f "$deb" Architecture)
case "$arch:$machine" in
amd64:62 | i386:3 | armhf:40 | armel:40 | arm64:183) ;;
*) fail "package architecture $arch does not match the program's ELF machine $machine" ;;
esac

status=0
"$@" "$nalvo" >"$scratch/stdout" 2>"$scratch/stderr" </dev/null || status=$?
[ "$status" -eq 1 ] || fail "nalvo without arguments exited with $status, not 1"
printf '\n\n\nThis is a 1 or 2 channel recording program.\n' >"$scratch/usage"
head -c "$(wc -c <"$scratch/usage")" "$scratch/stdout" | cmp -s - "$scratch/usage" ||
    fail "the usage text does not start as expected: $(head -c 200 "$scratch/stdout")"
[ ! -s "$scratch/stderr" ] || fail "nalvo wrote on standard error: $(cat "$scratch/stderr")"
# The example configuration the README and the manual page tell to copy is in the package.
zcat "$scratch/root/usr/share/man/man1/nalvo.1.gz" | cat - "$source_dir/README.md" |
    grep -o '/usr/share/doc/nalvo/examples/[^ ]*\.conf' | sort -u >"$scratch/examples"
[ -s "$scratch/examples" ] || fail "neither the README nor the manual page names an example"
while read -r example; do
    [ -f "$scratch/root$example" ] || fail "the documentation names $example, not in the package"
done <"$scratch/examples"

if [ -n "$lintian" ]; then
    # Every tag is shown, down to the pedantic and experimental ones; errors and warnings
    # fail the test. (Overridden tags are not shown: with --show-overrides, lintian fails on
    # them as well.)
    "$lintian" --fail-on error,warning --pedantic --display-info --display-experimental \
        "$deb" >"$scratch/lintian" 2>"$scratch/lintian.err" ||
        fail "lintian: $(cat "$scratch/lintian" "$scratch/lintian.err")"
    sed 's/^/lintian: /' "$scratch/lintian"
fi
echo "package $(basename "$deb") ($arch): contents, dependencies and usage as expected"
