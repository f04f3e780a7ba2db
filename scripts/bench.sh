#!/bin/sh
# Builds and runs every benchmark under Wine, in a fresh prefix per lane, and prints their figures.
#   bench.sh [LANE] [NAME]   LANE: i686, x86_64 or all (the default); NAME: part of a benchmark's name
set -eu
cd "$(dirname "$0")/.."
case "${1:-all}" in
    i686 | x86_64) ORVANE_LANES="$1"; shift ;;
    all) [ $# -eq 0 ] || shift ;;
esac
sh scripts/build.sh
. scripts/lanes.sh
orvane_say_32bit_skipped
status=0
for lane in $orvane_lanes; do
    export ORVANE_WINE_LANE="$(orvane_wine_lane_of "$lane")"
    prefix="$(pwd)/build/bench-prefix-$lane"
    sh tests/wine/prefix-up.sh "$prefix" "build/$lane/drivers/REGSYS.SYS" >/dev/null
    # Each benchmark has 15 minutes; one that fails or overruns does not keep the others from running.
    for bench in build/"$lane"/bin/bench_*.exe; do
        [ -n "${1:-}" ] && case "$bench" in *"$1"*) ;; *) continue ;; esac
        echo "== $lane ($ORVANE_WINE_LANE Windows): $(basename "$bench" .exe)"
        if ! ORVANE_WINEPREFIX="$prefix" timeout 900 sh tests/wine/wine-run.sh "$bench"; then
            echo "== $lane: $(basename "$bench" .exe) failed or ran out of time"
            status=1
        fi
    done
    # The HTML page of 20,000 values in headless Chromium: its size and how soon it is interactive.
    if [ -z "${1:-}" ] || case html_page in *"$1"*) true ;; *) false ;; esac; then
        echo "== $lane ($ORVANE_WINE_LANE Windows): html_page"
        ORVANE_WINEPREFIX="$prefix" timeout 900 python3 tests/browser/html_browser.py --bench "build/$lane/bin" \
            "$(pwd)/build/$lane/html-bench" || [ $? -eq 77 ] || status=1
    fi
    sh tests/wine/prefix-down.sh "$prefix"
done
exit $status
