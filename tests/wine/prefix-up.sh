#!/bin/sh
# Creates a fresh Wine prefix for one test run of the lane ORVANE_WINE_LANE (see lane.sh): null
# graphics driver (windows without a display), no crash dialog, a persistent wineserver for the
# length of the run, and the driver files a user's installation would put into system32\drivers.
#   prefix-up.sh PREFIX [DRIVER_FILE...]
set -eu
prefix="$1"
shift
. "$(dirname "$0")/lane.sh"
export WINEPREFIX="$prefix" WINEARCH="$orvane_winearch" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine="$orvane_wine_loader"
wineserver -k 2>/dev/null || true
rm -rf "$prefix"
"$wine" wineboot -i >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# A crashing program must fail at once, not wait for an invisible crash dialog until its timeout.
"$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
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
# A 32-bit installer on 64-bit Windows writes system32\drivers through the file-system redirection,
# into syswow64\drivers.
drivers="$prefix/drive_c/windows/system32/drivers"
[ "${ORVANE_WINE_LANE:-win64}" != wow64 ] || drivers="$prefix/drive_c/windows/syswow64/drivers"
mkdir -p "$drivers"
for driver in "$@"; do
    if [ -f "$driver" ]; then
        cp "$driver" "$drivers/"
    fi
done
wineserver -p </dev/null >/dev/null 2>&1
# The first program of a session starts Wine's own background processes (services, device host).
# Start them here, detached from this script's output, so that no test's output pipe stays open.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
echo "wine prefix ready (${ORVANE_WINE_LANE:-win64}): $prefix"
