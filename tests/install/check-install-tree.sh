#!/bin/sh
# Installs the build tree, checks the layout a host relies on, builds a host against it with
# find_package, and runs that host under Wine with only the installed DLLs beside it. The host is
# built with the toolchain of the tree's own architecture; a host of the other architecture must be
# refused by the package configuration rather than fail at link or load time.
#   check-install-tree.sh BUILD_DIR SOURCE_DIR WORK_DIR TOOLCHAIN_FILE OTHER_TOOLCHAIN_FILE
set -eu
build="$1"; source="$2"; work="$3"; toolchain="$4"; other_toolchain="$5"
rm -rf "$work"
cmake --install "$build" --prefix "$work/tree" >/dev/null
for f in include/IOrvaneInc.h include/IConfInfoInc.h lib/libOrvane.dll.a lib/libKelmira.dll.a \
         bin/Orvane.dll bin/Kelmira.dll lib/cmake/Orvane/OrvaneConfig.cmake drivers/REGSYS.SYS \
         bin/orvane-track.exe drivers/install-driver.cmd; do
    [ -f "$work/tree/$f" ] || { echo "install tree lacks $f" >&2; exit 1; }
done
# The tracker's registry capture for setups of its own bitness, whichever build this is.
has_capture() { [ -f "$work/tree/bin/orvane-capture$1.dll" ] && [ -f "$work/tree/bin/orvane-inject$1.exe" ]; }
if ! has_capture 32 && ! has_capture 64; then
    echo "install tree lacks the capture DLL and injector beside orvane-track.exe" >&2
    exit 1
fi
if cmake -S "$source/tests/install/host" -B "$work/other-host" -G Ninja \
         -DCMAKE_TOOLCHAIN_FILE="$other_toolchain" -DCMAKE_PREFIX_PATH="$work/tree" >/dev/null 2>&1; then
    echo "a host of the other architecture found this install tree's package" >&2
    exit 1
fi
cmake -S "$source/tests/install/host" -B "$work/host" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$work/tree" >/dev/null
cmake --build "$work/host" >/dev/null
cp "$work/host/installed_host.exe" "$work/tree/bin/"
sh "$source/tests/wine/wine-run.sh" "$work/tree/bin/installed_host.exe"

# On 64-bit Windows the tree's set-up script puts each driver where the library's service looks:
# the 64-bit one into the native system32\drivers, the 32-bit one into syswow64\drivers, where Wine's
# device host loads it for a 32-bit host. The installed tracker then records a value through it.
if [ "${ORVANE_WINE_LANE:-}" = wow64 ]; then
    windows_drive="$ORVANE_WINEPREFIX/drive_c/windows"
    rm -f "$windows_drive/system32/drivers/REGSYS.SYS" "$windows_drive/syswow64/drivers/REGSYS.SYS"
    tree_windows="Z:$(echo "$work/tree" | tr / '\\')"
    sh "$source/tests/wine/wine-run.sh" cmd /c "$tree_windows\\drivers\\install-driver.cmd"
    cmp "$work/tree/drivers/x64/REGSYS.SYS" "$windows_drive/system32/drivers/REGSYS.SYS"
    cmp "$work/tree/drivers/REGSYS.SYS" "$windows_drive/syswow64/drivers/REGSYS.SYS"
    key='HKLM\Software\OrvaneInstallCheck'
    report="$(cd "$work/tree/bin" && sh "$source/tests/wine/wine-run.sh" ./orvane-track.exe --settle-ms 0 -- \
        reg.exe add "$key" /v Driver /d placed /f | tr -d '\r')"
    sh "$source/tests/wine/wine-run.sh" reg.exe delete "$key" /f >/dev/null 2>&1 || true
    if ! echo "$report" | grep -q 'Wow6432Node\\OrvaneInstallCheck\\Driver .*"placed"'; then
        echo "the installed tracker did not record the value through the placed driver:" >&2
        echo "$report" >&2
        exit 1
    fi
    echo "install-driver.cmd placed both drivers; the installed tracker recorded through them"
fi
