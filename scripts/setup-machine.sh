#!/bin/sh
# Installs what building and testing need on a Debian 12 machine, as root. Idempotent: packages
# already present are not fetched again.
#
# 32-bit Wine comes the conventional Debian way, through multiarch (wine32:i386), and only when the
# kernel runs 32-bit code. It is the smallest download (about 140 MB), apt keeps it up to date with
# wine64 from the same source package, and /usr/lib/wine/wine64 stays as it was for the 64-bit lane.
set -eu
cd "$(dirname "$0")/.."
packages="cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-i686-dev
          mingw-w64-x86-64-dev wine64 wine googletest nsis msitools wixl clang-format python3
          clang libclang-rt-14-dev locales"
if sh scripts/can-run-32bit.sh; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    packages="$packages wine32:i386"
fi
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing >/dev/null
fi
# The code-page 932 tests run Wine in a Japanese locale, from which Wine takes its ANSI code page.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    echo "generating locale ja_JP.UTF-8"
    localedef -i ja_JP -c -f UTF-8 -A /usr/share/locale/locale.alias ja_JP.UTF-8
fi
