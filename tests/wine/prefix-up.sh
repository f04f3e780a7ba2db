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
step_log="$(mktemp)"
trap 'rm -f "$step_log"' EXIT

# Runs one step of the set-up with its output in a file (a pipe would stay open as long as the
# background processes Wine starts); when it fails, says which and shows what it printed.
step() {
    what="$1"
    shift
    "$@" </dev/null >"$step_log" 2>&1 && return 0
    status=$?
    echo "prefix-up: $what failed (exit $status):" >&2
    cat "$step_log" >&2
    return 1
}

# The machine a PE file is built for, as its header's four hex digits: 014c (x86) or 8664 (x64).
pe_machine() {
    header="$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')"
    od -An -tx2 -j"$((header + 4))" -N2 "$1" | tr -d ' '
}

# Where an installer puts a driver file, as Windows names it from the prefix's side: system32\drivers,
# except a 32-bit driver on 64-bit Windows, which a 32-bit installer writes through the file-system
# redirection into syswow64\drivers, and which is the one Wine's device host loads for a 32-bit
# program's service there. (A 64-bit kernel loads the 64-bit driver from the native
# system32\drivers.)
drivers_folder_for() {
    if [ "${ORVANE_WINE_LANE:-win64}" = wow64 ] && [ "$(pe_machine "$1")" = 014c ]; then
        echo "$prefix/drive_c/windows/syswow64/drivers"
    else
        echo "$prefix/drive_c/windows/system32/drivers"
    fi
}

make_prefix() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    rm -rf "$prefix"
    step "wineboot" "$wine" wineboot -i || return 1
    step "the null graphics driver" "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || return 1
    # A crashing program must fail at once, not wait for an invisible crash dialog until its timeout.
    step "the crash dialog setting" \
        "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f || return 1
    wineserver -k || true
    wineserver -w || true
    # Wine links the user's Desktop, Documents and the like to the Unix home folder. Tests and the
    # tracker watch the desktop, so each gets a folder of its own inside the prefix instead.
    for link in "$prefix"/drive_c/users/*/*; do
        if [ -L "$link" ]; then
            rm "$link" && mkdir "$link" || return 1
        fi
    done
    for driver in "$@"; do
        if [ -f "$driver" ]; then
            drivers="$(drivers_folder_for "$driver")"
            mkdir -p "$drivers" && cp "$driver" "$drivers/" || return 1
        fi
    done
    step "the persistent wineserver" wineserver -p || return 1
    # The first program of a session starts Wine's own background processes (services, device
    # host). Start them here, detached from this script's output, so that no test's output pipe
    # stays open.
    step "the first program" "$wine" cmd /c exit || return 1
}

# Making a prefix has failed once in many runs, silently, with nothing of the product involved; a
# second try from scratch tells a passing hiccup from a broken machine.
if ! make_prefix "$@"; then
    echo "prefix-up: making the prefix again" >&2
    make_prefix "$@"
fi
echo "wine prefix ready (${ORVANE_WINE_LANE:-win64}): $prefix"
