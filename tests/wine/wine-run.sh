#!/bin/sh
# Runs a Windows program of the lane's build (ORVANE_WINE_LANE, see lane.sh) in the prefix the test
# run prepared. There is no fallback to a personal prefix: a run without ORVANE_WINEPREFIX is refused.
if [ -z "${ORVANE_WINEPREFIX:-}" ]; then
    echo "wine-run.sh: ORVANE_WINEPREFIX is not set; run the tests through ctest" >&2
    exit 2
fi
. "$(dirname "$0")/lane.sh"
export WINEPREFIX="$ORVANE_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
exec "$orvane_wine_loader" "$@"
