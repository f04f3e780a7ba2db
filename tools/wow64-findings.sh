#!/bin/sh
# Shows what changes when the 32-bit product runs as a 32-bit host on 64-bit Windows (WoW64) rather
# than on the 32-bit Windows it is made for: the program-files folder, the registry read-back, the
# path test's view of system32, and which driver Wine loads. Builds nothing: run scripts/build.sh
# first. Each finding prints the command's own output beside what the 64-bit build sees.
set -eu
cd "$(dirname "$0")/.."
i686=build/i686 x64=build/x86_64
prefix="$(pwd)/build/wow64-findings-prefix"
export ORVANE_WINE_LANE=wow64 ORVANE_WINEPREFIX="$prefix"
sh tests/wine/prefix-up.sh "$prefix" "$i686/drivers/REGSYS.SYS" >/dev/null
trap 'sh tests/wine/prefix-down.sh "$prefix"' EXIT
run32() { sh tests/wine/wine-run.sh "$@"; }
run64() { WINEPREFIX="$prefix" WINEDEBUG=-all /usr/lib/wine/wine64 "$@"; }

echo "== program-files folder: 32-bit view, then 64-bit view"
run32 cmd /c echo %ProgramFiles% | tr -d '\r'
run64 cmd /c echo %ProgramFiles% | tr -d '\r'

echo "== a 64-bit setup tracked by the 32-bit orvane-track"
run32 "$i686/bin/orvane-track.exe" --eliminated -- "$x64/bin/orvane-sample-setup.exe" | tr -d '\r' || true
run64 "$x64/bin/orvane-sample-setup.exe" --uninstall >/dev/null 2>&1 || true

echo "== the same value read by a 32-bit and a 64-bit reg.exe"
run64 reg add 'HKLM\Software\OrvaneWow64Probe' /v Written /d by-64-bit /f >/dev/null 2>&1
run32 reg query 'HKLM\Software\OrvaneWow64Probe' /v Written 2>&1 | tr -d '\r' | grep -v '^$' || true
run64 reg query 'HKLM\Software\OrvaneWow64Probe' /v Written 2>&1 | tr -d '\r' | grep -v '^$' || true

echo "== path test on a file only in the native system32 (32-bit probe, then 64-bit probe)"
: >"$prefix/drive_c/windows/system32/orvane-wow64-probe.dll"
run32 "$i686/bin/orvane-probe.exe" 'C:\windows\system32\orvane-wow64-probe.dll' | tr -d '\r' | grep probe.dll
run64 "$x64/bin/orvane-probe.exe" 'C:\windows\system32\orvane-wow64-probe.dll' | tr -d '\r' | grep probe.dll

echo "== driver bitness: the 32-bit monitor with only the 64-bit REGSYS.SYS in system32\\drivers"
rm -f "$prefix/drive_c/windows/syswow64/drivers/REGSYS.SYS"
cp "$x64/drivers/REGSYS.SYS" "$prefix/drive_c/windows/system32/drivers/"
run32 "$i686/bin/registry_driver_tests.exe" --gtest_brief=1 \
    --gtest_filter='RegistryMonitorTest.AnnouncedWritesComeBackWithPathTypeAndData' 2>&1 | tr -d '\r' |
    grep -E 'HasDriver|PASSED|FAILED' | head -n 3 || true
echo "== and with the 32-bit REGSYS.SYS where a 32-bit installer puts it (syswow64\\drivers)"
cp "$i686/drivers/REGSYS.SYS" "$prefix/drive_c/windows/syswow64/drivers/"
run32 "$i686/bin/registry_driver_tests.exe" --gtest_brief=1 \
    --gtest_filter='RegistryMonitorTest.AnnouncedWritesComeBackWithPathTypeAndData' 2>&1 | tr -d '\r' |
    grep -E 'HasDriver|PASSED|FAILED' | head -n 3 || true
