#!/bin/sh
# Ends the test run's wineserver and removes the run's prefix.  Usage: prefix-down.sh PREFIX
set -u
export WINEPREFIX="$1"
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
rm -rf "$1"
