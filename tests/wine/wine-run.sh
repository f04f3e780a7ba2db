#!/bin/sh
# Runs a Windows program of the x86_64 build under Wine64, in the prefix the test run prepared.
# There is no fallback to a personal prefix: a test run without ORVANE_WINEPREFIX is refused.
if [ -z "${ORVANE_WINEPREFIX:-}" ]; then
    echo "wine-run.sh: ORVANE_WINEPREFIX is not set; run the tests through ctest" >&2
    exit 2
fi
export WINEPREFIX="$ORVANE_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
exec /usr/lib/wine/wine64 "$@"
