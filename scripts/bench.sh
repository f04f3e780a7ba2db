#!/bin/sh
# Builds and runs every benchmark under Wine, in a fresh prefix, and prints their figures.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
prefix="$(pwd)/build/bench-prefix"
sh tests/wine/prefix-up.sh "$prefix" build/x86_64/drivers/REGSYS.SYS >/dev/null
trap 'sh tests/wine/prefix-down.sh "$prefix"' EXIT
# Each benchmark has 15 minutes; one that fails or overruns does not keep the others from running.
status=0
for bench in build/x86_64/bin/bench_*.exe; do
    [ -n "${1:-}" ] && case "$bench" in *"$1"*) ;; *) continue ;; esac
    echo "== $(basename "$bench" .exe)"
    if ! ORVANE_WINEPREFIX="$prefix" timeout 900 sh tests/wine/wine-run.sh "$bench"; then
        echo "== $(basename "$bench" .exe) failed or ran out of time"
        status=1
    fi
done
exit $status
