#!/bin/sh
# Tracks the sample setup, version 1 and then 2, in a Wine prefix of its own; writes the first
# capture's HTML page and the comparison of the two; and takes a screenshot of each page with
# headless Chromium into docs/ (html-report.png, html-compare.png), as the README shows them.
#   html-screenshot.sh [i686|x86_64]   (default x86_64; builds first when the lane is not built)
set -eu
cd "$(dirname "$0")/.."
lane="${1:-x86_64}"
. scripts/lanes.sh
export ORVANE_WINE_LANE="$(orvane_wine_lane_of "$lane")"
[ -x "build/$lane/bin/orvane-track.exe" ] || ORVANE_LANES="$lane" sh scripts/build.sh
prefix="$(pwd)/build/screenshot-prefix-$lane"
sh tests/wine/prefix-up.sh "$prefix" "build/$lane/drivers/REGSYS.SYS" >/dev/null
status=0
ORVANE_WINEPREFIX="$prefix" python3 tests/browser/html_browser.py --screenshot "build/$lane/bin" \
    "$(pwd)/build/$lane/screenshot" "$(pwd)/docs" || status=$?
sh tests/wine/prefix-down.sh "$prefix"
exit $status
