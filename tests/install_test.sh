#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and checks what lands there.
set -eu
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/portterm-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
expected='./bin/portterm
./bin/portterm-modem
./share/man/man1/portterm-modem.1.gz
./share/man/man1/portterm.1.gz'
found=$(cd "$prefix" && find . -type f | LC_ALL=C sort)
[ "$found" = "$expected" ] || { echo "installed files: $found"; fail=1; }
for f in bin/portterm bin/portterm-modem; do
    [ -x "$prefix/$f" ] || { echo "not executable: $f"; fail=1; }
done
# The installed manual pages render without a warning.
for page in portterm portterm-modem; do
    file=$prefix/share/man/man1/$page.1.gz
    warnings=$(gzip -dc "$file" | groff -ww -z -man -Tutf8 2>&1)
    [ -z "$warnings" ] || { echo "$page.1: $warnings"; fail=1; }
    MANWIDTH=80 man -l "$file" 2>/dev/null |
        grep -q '^NAME' || { echo "$page.1 does not render"; fail=1; }
done
man -l "$prefix/share/man/man1/portterm.1.gz" 2>/dev/null | grep -q 'EXIT STATUS' ||
    { echo "portterm.1 has no EXIT STATUS"; fail=1; }
[ "$fail" = 0 ] && echo "install tree ok: $prefix"
exit "$fail"
