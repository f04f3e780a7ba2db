#!/bin/sh
# Installs what building and testing need on a Debian 12 machine, as root. Idempotent: packages
# already present are not fetched again.
set -eu
packages="cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          wine64 wine googletest nsis clang-format python3"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # wine32 must stay out: /usr/bin/wine would pick the 32-bit loader, which cannot run here.
    apt-get install -y -qq $missing
fi
