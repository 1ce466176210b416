#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the departures N times and the whole suite M times, one after
# another, while a second tree is built again and again with -j2 beside
# them, as on a build machine busy with another build; says how many runs
# failed.  Usage: tools/soak-tests.sh [BUILD] [N] [M]
set -eu

build=$(cd "${1:-build}" && pwd)
departures=${2:-30}
suites=${3:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
load=$(mktemp -d "${TMPDIR:-/tmp}/portterm-load.XXXXXX")
loader=
# The build loop is a process group of its own, ended whole: the build
# running in it must not go on writing into the tree being removed.
# shellcheck disable=SC2317 # called from the EXIT trap
stop_load() {
    if [ -n "$loader" ]; then
        kill -TERM "-$loader" 2>/dev/null || true
        wait "$loader" 2>/dev/null || true
    fi
    rm -rf "$load"
}
trap stop_load EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A session of its own: not a group leader, setsid runs the loop as it.
# shellcheck disable=SC2016 # expanded by the loop's shell
setsid sh -c 'while :; do
    rm -rf "$1/tree"
    cmake -S "$2" -B "$1/tree" >/dev/null 2>&1
    cmake --build "$1/tree" -j2 >/dev/null 2>&1 || :
done' sh "$load" "$top" &
loader=$!

failed=0
ctest --test-dir "$build" -R Departures --repeat "until-fail:$departures" \
    --timeout 120 --output-on-failure >"$load/departures.log" 2>&1 || failed=1
grep -E "Failure|Which is|Expected|FAILED|tests passed" -A2 "$load/departures.log" | head -n 60 || :
echo "departures $departures times: $((1 - failed)) passed, $failed failed"

passed=0 broken=0
i=0
while [ "$i" -lt "$suites" ]; do
    i=$((i + 1))
    if ctest --test-dir "$build" --timeout 120 --output-on-failure >"$load/suite-$i.log" 2>&1; then
        passed=$((passed + 1))
    else
        broken=$((broken + 1))
        grep -E 'Failure|Which is|Failed' -A2 "$load/suite-$i.log" | head -n 40 || :
    fi
done
echo "whole suite: $passed passed, $broken failed"
[ "$failed" = 0 ] && [ "$broken" = 0 ]
