#!/bin/sh
# Installs the build into a temporary prefix and checks what lands there.
set -eu
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/portterm-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
for f in bin/portterm bin/portterm-modem; do
    [ -x "$prefix/$f" ] || { echo "missing executable $f"; fail=1; }
done
for f in share/man/man1/portterm.1 share/man/man1/portterm-modem.1; do
    [ -s "$prefix/$f" ] || { echo "missing manual page $f"; fail=1; }
done
extra=$(cd "$prefix" && find . -type f | sort | grep -v -e '^./bin/portterm$' \
    -e '^./bin/portterm-modem$' -e '^./share/man/man1/portterm.1$' \
    -e '^./share/man/man1/portterm-modem.1$' || true)
[ -z "$extra" ] || { echo "unexpected files installed: $extra"; fail=1; }
# The installed manual pages render without a warning.
for page in portterm portterm-modem; do
    warnings=$(groff -ww -z -man -Tutf8 "$prefix/share/man/man1/$page.1" 2>&1)
    [ -z "$warnings" ] || { echo "$page.1: $warnings"; fail=1; }
    MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1" 2>/dev/null |
        grep -q '^NAME' || { echo "$page.1 does not render"; fail=1; }
done
man -l "$prefix/share/man/man1/portterm.1" 2>/dev/null | grep -q 'EXIT STATUS' ||
    { echo "portterm.1 has no EXIT STATUS"; fail=1; }
[ "$fail" = 0 ] && echo "install tree ok: $prefix"
exit "$fail"
