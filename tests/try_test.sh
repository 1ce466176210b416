#!/bin/sh
# SPDX-License-Identifier: MIT
# The try script as a new user meets it, inside tmux and outside: the right
# hint, and nothing left in its temporary directory, also when its whole
# group is interrupted while portterm runs.
set -eu
build=$1
try="$(cd "$(dirname "$0")/.." && pwd)/tools/try-portterm.sh"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/portterm-try-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail=0
for tmux in "" /tmp/tmux-1000/default,1,0; do
    out=$(printf '\002' | TMPDIR=$tmp TMUX=$tmux timeout 20 sh "$try" "$build")
    case "$tmux:$out" in
    :*"Ctrl-B quits."* | ?*:*"Ctrl-B twice quits: tmux takes one."*) ;;
    *) echo "TMUX=$tmux: $out"; fail=1 ;;
    esac
done
mkfifo "$tmp/keys"
TMPDIR=$tmp setsid sh "$try" "$build" <"$tmp/keys" >"$tmp/out" 2>&1 &
group=$!
exec 3>"$tmp/keys"
tries=0
until grep -q "Type AT" "$tmp/out" || [ "$tries" -ge 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
kill -TERM "-$group"
status=0
wait "$group" || status=$?
exec 3>&-
[ "$status" -ne 0 ] || { echo "interrupted, it ended with 0"; fail=1; }
left=$(find "$tmp" -mindepth 1 ! -name keys ! -name out)
[ -z "$left" ] || { echo "left in $tmp: $left"; fail=1; }
[ "$fail" = 0 ] && echo "try script ok"
exit "$fail"
