#!/bin/sh
# The main job: builds, prepares a Wine prefix with the stand-in registry driver, tracks the sample
# setup with orvane-track and prints the report.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
build=build/x86_64
prefix="$(pwd)/build/demo-prefix"
sh tests/wine/prefix-up.sh "$prefix" "$build/drivers/REGSYS.SYS" >/dev/null
trap 'sh tests/wine/prefix-down.sh "$prefix"' EXIT
ORVANE_WINEPREFIX="$prefix" sh tests/wine/wine-run.sh "$build/bin/orvane-track.exe" --eliminated -- \
    "$build/bin/orvane-sample-setup.exe"
