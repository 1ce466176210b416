#!/bin/sh
# SPDX-License-Identifier: MIT
# Try portterm without serial hardware: start the virtual modem, write a
# portrc naming its device into a scratch directory, and run portterm there.
# Type AT and Enter to see OK; Ctrl-B quits and stops the modem.
set -eu

build=$(cd "${1:-build}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/portterm-try.XXXXXX")
modem=
# shellcheck disable=SC2317 # called from the EXIT trap
stop_modem() {
    if [ -n "$modem" ]; then
        kill "$modem" 2>/dev/null || true
        wait "$modem" 2>/dev/null || true
        modem=
    fi
    rm -f "$scratch/modem.path"
}
trap stop_modem EXIT
trap 'exit 130' INT TERM

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
echo "portterm on the virtual modem at $device, in $scratch"
echo "Type AT and Enter (or ATI, AT&V, ATD123); Ctrl-B quits."
cd "$scratch"
status=0
"$build/portterm" || status=$?
echo
exit "$status"
