#!/bin/sh
# SPDX-License-Identifier: MIT
# Try portterm without serial hardware: start the virtual modem, write a
# portrc naming its device into a scratch directory, and run portterm there.
# Type AT and Enter to see OK; Ctrl-B quits (twice inside tmux, whose prefix
# it is), stops the modem and removes the scratch directory.
set -eu

build=$(cd "${1:-build}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/portterm-try.XXXXXX")
modem=
# shellcheck disable=SC2317 # called from the EXIT trap
clean_up() {
    if [ -n "$modem" ]; then
        kill "$modem" 2>/dev/null || true
        wait "$modem" 2>/dev/null || true
        modem=
    fi
    rm -rf "$scratch"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

"$build/portterm-modem" >"$scratch/modem.path" &
modem=$!
device=
tries=0
while [ -z "$device" ] && [ "$tries" -lt 100 ]; do
    device=$(head -n 1 "$scratch/modem.path" 2>/dev/null || true)
    [ -n "$device" ] || sleep 0.05
    tries=$((tries + 1))
done
# portterm only ever runs on the modem's pseudo-terminal.
case "$device" in
/dev/pts/*) ;;
*) echo "try-portterm: the virtual modem did not start" >&2; exit 1 ;;
esac

printf '%s\n9600\nNONE\n' "$device" >"$scratch/portrc"
quit="Ctrl-B quits."
# tmux takes Ctrl-B as its prefix, and passes a second one on.
[ -z "${TMUX:-}" ] || quit="Ctrl-B twice quits: tmux takes one."
echo "portterm on the virtual modem at $device, in $scratch"
echo "Type AT and Enter (or ATI, AT&V, ATD123); $quit"
cd "$scratch"
status=0
"$build/portterm" || status=$?
echo
exit "$status"
