#!/bin/sh
# The main job: builds, prepares a Wine prefix, and runs the host program against the library.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
prefix="$(pwd)/build/demo-prefix"
sh tests/wine/prefix-up.sh "$prefix" >/dev/null
trap 'sh tests/wine/prefix-down.sh "$prefix"' EXIT
ORVANE_WINEPREFIX="$prefix" sh tests/wine/wine-run.sh build/x86_64/bin/orvane-probe.exe
