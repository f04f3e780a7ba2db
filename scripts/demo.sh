#!/bin/sh
# The main job: builds, prepares a Wine prefix with the stand-in registry driver, tracks the sample
# setup with orvane-track and prints the report. It runs the 32-bit product on 32-bit Windows when
# this machine runs 32-bit code, the x86_64 build under Wine64 otherwise, and says which.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
. scripts/lanes.sh
orvane_say_32bit_skipped
set -- $orvane_lanes
lane="$1"
build="build/$lane"
export ORVANE_WINE_LANE="$(orvane_wine_lane_of "$lane")"
echo "Tracking with the $lane build of Orvane.dll on $ORVANE_WINE_LANE Windows (Wine)."
prefix="$(pwd)/build/demo-prefix"
sh tests/wine/prefix-up.sh "$prefix" "$build/drivers/REGSYS.SYS" >/dev/null
trap 'sh tests/wine/prefix-down.sh "$prefix"' EXIT
ORVANE_WINEPREFIX="$prefix" sh tests/wine/wine-run.sh "$build/bin/orvane-track.exe" --eliminated -- \
    "$build/bin/orvane-sample-setup.exe"
