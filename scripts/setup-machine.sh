#!/bin/sh
# Installs what building and testing need on a Debian 12 machine, as root. Idempotent: packages
# already present are not fetched again.
#
# 32-bit Wine comes the conventional Debian way, through multiarch (wine32:i386), when the kernel
# runs 32-bit code. It is the smallest download (about 140 MB), apt keeps it up to date with wine64
# from the same source package, and /usr/lib/wine/wine64 stays as it was for the 64-bit lane. Where
# the kernel runs no 32-bit code, or when ORVANE_32BIT=emulated asks for it, 32-bit Wine runs under
# qemu-i386 user-mode emulation instead (scripts/setup-w32-emulation.sh, made once per machine).
#
# A package index that is briefly out of step (a mirror mid-sync) must not stop the run: the update
# is tried again, and when some packages still cannot be installed the rest are, the run goes on, and
# one line says what is missing and which lane that skips. Only the build's own tools are essential.
set -eu
cd "$(dirname "$0")/.."

# "package lane" pairs: the lane a missing package skips ("build" stops the run).
needs="cmake build
ninja-build build
g++-mingw-w64-i686-posix build
g++-mingw-w64-x86-64-posix build
mingw-w64-i686-dev build
mingw-w64-x86-64-dev build
python3 build
googletest build
wine64 wine
wine wine
nsis wine
msitools wine
wixl wine
clang-format format
clang fuzz
libclang-rt-14-dev fuzz
locales wine
qemu-system-x86 reactos
mtools reactos
xz-utils reactos
chromium browser"
if sh scripts/can-run-32bit.sh; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    needs="$needs
wine32:i386 i686"
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

missing=""
for p in $(echo "$needs" | cut -d' ' -f1); do
    installed "$p" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    for attempt in 1 2 3; do
        apt-get update -qq && break
        echo "apt-get update failed (attempt $attempt of 3)"
        [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
    done
    # One install for all; where that fails, one package at a time, so that what can be had is had.
    if ! apt-get install -y -qq -o DPkg::Lock::Timeout=600 $missing >/dev/null; then
        for p in $missing; do
            apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$p" >/dev/null 2>&1 || true
        done
    fi
fi

what_is_skipped() {
    case "$1" in
        build) echo "the build itself" ;;
        wine) echo "the Wine lanes" ;;
        i686) echo "the 32-bit lanes (i686, i686-wow64)" ;;
        reactos) echo "the reactos lane" ;;
        fuzz) echo "the native fuzz lane" ;;
        format) echo "the format check" ;;
        browser) echo "the browser tests (html_browser)" ;;
    esac
}

unavailable="" skipped="" fatal=0
for p in $missing; do
    installed "$p" && continue
    lane="$(echo "$needs" | awk -v p="$p" '$1 == p { print $2 }')"
    unavailable="$unavailable $p"
    case "$skipped" in *"$(what_is_skipped "$lane")"*) ;; *) skipped="${skipped:+$skipped, }$(what_is_skipped "$lane")" ;; esac
    [ "$lane" != build ] || fatal=1
done
[ -z "$unavailable" ] || echo "setup: could not install$unavailable; skipped: $skipped"
[ "$fatal" -eq 0 ] || exit 1

# The code-page 932 tests run Wine in a Japanese locale, from which Wine takes its ANSI code page.
if installed locales && ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    echo "generating locale ja_JP.UTF-8"
    localedef -i ja_JP -c -f UTF-8 -A /usr/share/locale/locale.alias ja_JP.UTF-8
fi

if installed wine64 && { [ "${ORVANE_32BIT:-}" = emulated ] || ! sh scripts/can-run-32bit.sh; }; then
    sh scripts/setup-w32-emulation.sh \
        || echo "setup: the emulated 32-bit Wine could not be set up; skipped: the 32-bit lanes (i686, i686-wow64)"
fi
