#!/bin/sh
# Builds both architectures: the 32-bit product and the 64-bit build that the tests run.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup-machine.sh
for arch in i686 x86_64; do
    cmake --preset "$arch" >/dev/null
    cmake --build --preset "$arch"
done
