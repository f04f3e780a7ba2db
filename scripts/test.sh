#!/bin/sh
# Builds both architectures and runs the whole test suite under Wine64.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
ctest --preset x86_64 -j2
