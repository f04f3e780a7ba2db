#!/bin/sh
# Builds both architectures, each with its tests and benchmarks: the 32-bit product and its 64-bit
# sibling.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup-machine.sh
for arch in i686 x86_64; do
    cmake --preset "$arch" >/dev/null
    cmake --build --preset "$arch"
done
