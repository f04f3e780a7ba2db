#!/bin/sh
# Creates a fresh Wine prefix for one test run: null graphics driver (windows without a display),
# a persistent wineserver for the length of the run, and the driver files a user's installation
# would put into system32\drivers.  Usage: prefix-up.sh PREFIX [DRIVER_FILE...]
set -eu
prefix="$1"
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wineserver -k 2>/dev/null || true
rm -rf "$prefix"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k || true
wineserver -w || true
# Wine links the user's Desktop, Documents and the like to the Unix home folder. Tests and the
# tracker watch the desktop, so each gets a folder of its own inside the prefix instead.
for link in "$prefix"/drive_c/users/*/*; do
    if [ -L "$link" ]; then
        rm "$link"
        mkdir "$link"
    fi
done
for driver in "$@"; do
    if [ -f "$driver" ]; then
        cp "$driver" "$prefix/drive_c/windows/system32/drivers/"
    fi
done
wineserver -p </dev/null >/dev/null 2>&1
# The first program of a session starts Wine's own background processes (services, device host).
# Start them here, detached from this script's output, so that no test's output pipe stays open.
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
echo "wine prefix ready: $prefix"
