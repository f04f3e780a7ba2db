#!/bin/sh
# Runs a GoogleTest program under Wine (wine-run.sh). CTest decides the result from gtest's summary,
# which ignores the exit status; a program that printed its summary and then crashed, or one that
# Wine killed, must still fail, so a non-zero status is reported in the output as a failure line.
#
# The program writes to a file that is streamed to CTest until the program ends. Wine starts some
# of its own background processes on demand (the desktop process, for one, when the first window
# is made), and those inherit the output of the program that started them: writing straight to
# CTest's pipe, the test would last as long as they do, beyond its program.
log=$(mktemp "${TMPDIR:-/tmp}/orvane-test.XXXXXX") || exit 2
"$(dirname "$0")/wine-run.sh" "$@" >"$log" 2>&1 </dev/null &
program=$!
tail -n +1 -s 0.2 --pid="$program" -f "$log"
wait "$program"
status=$?
rm -f "$log"
if [ "$status" -ne 0 ]; then
    echo "[  FAILED  ] the program exited with status $status"
fi
exit "$status"
