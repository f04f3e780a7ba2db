#!/bin/sh
# wine-run.sh returns when its program ends, even when the program started Wine's desktop process
# and another Wine program keeps that process alive: a finished test must not wait for the rest of
# the session. Builds its own prefix, so that no earlier program has started the desktop already.
#   run-ends-with-its-program.sh WORK_DIR
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
work="$1"
prefix="$work/prefix"
rm -rf "$work"
mkdir -p "$work"
sh "$here/prefix-up.sh" "$prefix" >/dev/null
export ORVANE_WINEPREFIX="$prefix"
cleanup() {
    exec 4>&- 2>/dev/null || true
    sh "$here/prefix-down.sh" "$prefix"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The holder: a console program that waits for a line on its input, which only this script gives.
mkfifo "$work/release"
sh "$here/wine-run.sh" cmd.exe /c "set /p line=" <"$work/release" >/dev/null 2>&1 &
holder=$!
exec 4>"$work/release"

# rundll32 creates a window, which starts the desktop process, then ends at once. Its output goes
# to a pipe, as under ctest; the pipe's reader ends only when every writer has closed it.
started=$(date +%s)
if ! timeout 60 sh -c "sh '$here/wine-run.sh' rundll32.exe user32.dll,MessageBeep 2>&1 | cat >/dev/null"; then
    echo "wine-run.sh did not return within 60 s of its program's end" >&2
    exit 1
fi
took=$(($(date +%s) - started))
if ! kill -0 "$holder" 2>/dev/null; then
    echo "the holder ended before the check: it proves nothing" >&2
    exit 1
fi
echo line >&4
exec 4>&-
wait "$holder"
echo "wine-run.sh returned after ${took} s while another Wine program kept the session alive"
