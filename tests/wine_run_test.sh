#!/usr/bin/env bash
# cmake/wine-run between two programs, in the build tree's prefix, from a stopped server as
# after a test with an X display: the program's exit code comes through; the prefix's
# server is still there after the program's exit, so the next test never starts during its
# shutdown; no process of the prefix holds the run's output, which would keep a reader
# such as ctest waiting for the server's end; and every one runs without Linux's address
# randomisation (tools/guest.d/wine-loader says why).
#   wine_run_test.sh SOURCE-ROOT PREFIX
set -uo pipefail
source_root=$1
. "$source_root/tools/guest.d/wine-setup"
wine_use_prefix "$2" win64

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# The pids of the prefix's processes.
prefix_processes() {
    local environ
    for environ in /proc/[0-9]*/environ; do
        tr '\0' '\n' <"$environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        environ=${environ%/environ}
        echo "${environ#/proc/}"
    done
}

wine_stop_server
fifo=$(mktemp -u)
mkfifo "$fifo"
trap 'rm -f "$fifo"' EXIT
# The reader keeps the pipe open for the whole check and tells what its write end was.
exec {reader}<>"$fifo"
pipe=$(readlink "/proc/$$/fd/$reader")
status=0
"$source_root/cmake/wine-run" "$WINEPREFIX" cmd /c exit 3 >"$fifo" 2>&1 || status=$?
[ "$status" -eq 3 ] || fail "the program's exit code 3 came through as $status"

# Wine's own server ends within a few seconds of its last program's exit.
if timeout 10 "$wine_server" -w; then
    fail "the prefix's Wine server ended after the program's exit"
fi

# ADDR_NO_RANDOMIZE in the personality, which the prefix's Windows processes inherit from
# the loader (the server runs no Windows code).
readonly no_randomisation=$((0x0040000))
for pid in $(prefix_processes); do
    personality=$(cat "/proc/$pid/personality" 2>/dev/null) || continue
    if [ $((16#$personality & no_randomisation)) -eq 0 ] &&
        ! grep -qa wineserver "/proc/$pid/cmdline"; then
        fail "$(tr '\0' ' ' <"/proc/$pid/cmdline") runs with address randomisation"
    fi
    for fd in 1 2; do
        if [ "$(readlink "/proc/$pid/fd/$fd" 2>/dev/null)" = "$pipe" ]; then
            fail "$(tr '\0' ' ' <"/proc/$pid/cmdline") holds the run's output"
        fi
    done
done
[ "$failures" -eq 0 ] || exit 1
echo "passed"
