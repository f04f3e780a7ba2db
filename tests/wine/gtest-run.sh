#!/bin/sh
# Runs a GoogleTest program under Wine (wine-run.sh). CTest decides the result from gtest's summary,
# which ignores the exit status; a program that printed its summary and then crashed, or one that
# Wine killed, must still fail, so a non-zero status is reported in the output as a failure line.
"$(dirname "$0")/wine-run.sh" "$@"
status=$?
if [ "$status" -ne 0 ]; then
    echo "[  FAILED  ] the program exited with status $status"
fi
exit "$status"
