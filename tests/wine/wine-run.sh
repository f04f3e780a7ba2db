#!/bin/sh
# Runs a Windows program of the lane's build (ORVANE_WINE_LANE, see lane.sh) in the prefix the test
# run prepared. There is no fallback to a personal prefix: a run without ORVANE_WINEPREFIX is refused.
#
# The program writes into files that are streamed to this script's output while it runs. A Wine
# background process the program happens to start (the desktop process, started by the first window
# of a session) inherits the program's output; with a pipe that would hold the caller's end open
# until every other Wine program of the session had ended, so a finished test would seem to hang.
if [ -z "${ORVANE_WINEPREFIX:-}" ]; then
    echo "wine-run.sh: ORVANE_WINEPREFIX is not set; run the tests through ctest" >&2
    exit 2
fi
. "$(dirname "$0")/lane.sh"
export WINEPREFIX="$ORVANE_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

out="$(mktemp)" && err="$(mktemp)" || exit 2
trap 'rm -f "$out" "$err"' EXIT
# An asynchronous command's input would be /dev/null; the program keeps this script's input.
exec 3<&0
"$orvane_wine_loader" "$@" <&3 >"$out" 2>"$err" 3<&- &
program=$!
exec 3<&-
tail -s 0.1 --pid="$program" -n +1 -f "$out" &
streamer=$!
tail -s 0.1 --pid="$program" -n +1 -f "$err" >&2 &
error_streamer=$!
wait "$program"
status=$?
wait "$streamer" "$error_streamer"
exit "$status"
