#!/bin/sh
# Builds both architectures, each with its tests and benchmarks: the 32-bit product and its 64-bit
# sibling, each with the other's capture files beside its tracker.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup-machine.sh
for arch in i686 x86_64; do
    cmake --preset "$arch" >/dev/null
    cmake --build --preset "$arch"
done
# Each tracker captures setups of the other bitness with the other build's capture files: the first
# build, done before the second existed, takes them now.
cmake --build --preset i686 --target orvane_capture_peer_files
