#!/bin/sh
# Builds and runs every benchmark under Wine, in a fresh prefix, and prints their figures.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
prefix="$(pwd)/build/bench-prefix"
sh tests/wine/prefix-up.sh "$prefix" build/x86_64/drivers/REGSYS.SYS >/dev/null
trap 'sh tests/wine/prefix-down.sh "$prefix"' EXIT
for bench in build/x86_64/bin/bench_*.exe; do
    [ -n "${1:-}" ] && case "$bench" in *"$1"*) ;; *) continue ;; esac
    echo "== $(basename "$bench" .exe)"
    ORVANE_WINEPREFIX="$prefix" sh tests/wine/wine-run.sh "$bench"
done
