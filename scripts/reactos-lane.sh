#!/bin/sh
# The ReactOS lane: the i686 build's guest programs (tests/reactos) on a real 32-bit NT kernel,
# ReactOS at the Windows Server 2003 level, booted once under QEMU by the fixture's run-lane.sh.
# The guest installs REGSYS.SYS as the install tree's script does and runs each part of
# tests/reactos/run.cmd; the host then reads the serial log and the files that come back and prints
# one line per part and per test case, the lane's figures, and a last line
# "reactos: N passed, M failed". A bugcheck, a kernel debugger prompt, a timeout or a missing result
# is a failure. Without qemu-system-i386, mcopy or the fixture it prints one line saying why it is
# skipped, and no last line.
#   reactos-lane.sh [--bench] [BUILD_DIR]        (default build/i686)
# With --bench it boots for the benchmarks instead (tests/reactos/bench.cmd): the capture's cost and
# the watcher's burst, each tracked against untracked in the one boot, with their figures printed
# and a last line "reactos bench: N passed, M failed". Not part of CI: it takes up to an hour.
# Environment:
#   ORVANE_REACTOS_FIXTURE    folder of run-lane.sh (default: shared/reactos beside the clone)
#   ORVANE_REACTOS_TIMEOUT_S  bound of the boot and the whole run in the guest (default 600, 5400
#                             with --bench)
set -eu
cd "$(dirname "$0")/.."
bench=""
if [ "${1:-}" = "--bench" ]; then
    bench=1
    shift
fi
build="${1:-build/i686}"
fixture="${ORVANE_REACTOS_FIXTURE:-../shared/reactos}"
timeout_s="${ORVANE_REACTOS_TIMEOUT_S:-${bench:+5400}}"
timeout_s="${timeout_s:-600}"

skip() {
    echo "reactos lane skipped: $1"
    exit 0
}
command -v qemu-system-i386 >/dev/null 2>&1 || skip "qemu-system-i386 is not installed"
command -v mcopy >/dev/null 2>&1 || skip "mcopy (mtools) is not installed"
[ -f "$fixture/run-lane.sh" ] || skip "the ReactOS fixture $fixture/run-lane.sh is absent"

work="$build/reactos-lane${bench:+-bench}"
payload="$work/payload"
out="$work/out"
rm -rf "$work"
mkdir -p "$payload/drivers" "$out"

# The guest's programs and what they load, taken from the build as a user would get them.
missing=""
place() { # place FILE TARGET_FOLDER
    if [ -f "$1" ]; then
        cp "$1" "$2/"
    else
        missing="$missing $1"
    fi
}
common="reactos_bounded_run.exe Kelmira.dll Brannock.dll Tavish.dll Orvane.dll orvane-track.exe
    orvane-capture32.dll orvane-inject32.exe"
if [ -n "$bench" ]; then
    programs="$common bench_capture.exe orvane-capture-bench-setup.exe bench_watcher_burst.exe"
    script=tests/reactos/bench.cmd
else
    programs="$common reactos_driver_tests.exe reactos_hook_probe.exe reactos_round_trip.exe
        orvane-sample-setup.exe orvane-family-setup.exe orvane-test-installer.exe tracking_tests.exe
        host_scenario_tests.exe watcher_core_tests.exe watcher_delivery_tests.exe"
    script=tests/reactos/run.cmd
    cp tests/reactos/values.inf "$payload/values.inf"
fi
for file in $programs; do
    place "$build/bin/$file" "$payload"
done
place "$build/drivers/REGSYS.SYS" "$payload/drivers"
place "$build/install-driver.cmd" "$payload/drivers"
# The guest's script is run.cmd whichever it is.
sed 's/\r*$/\r/' "$script" >"$payload/run.cmd"
if [ -n "$missing" ]; then
    echo "reactos: the payload lacks$missing (build the i686 preset first)"
    echo "reactos: 0 passed, 1 failed"
    exit 1
fi

# Every import the guest's loader would refuse, named before the boot (the loader names only the
# first of each program); the parts of such a program then fail in the guest.
images="$(find "$payload" -maxdepth 1 \( -name '*.exe' -o -name '*.dll' \) ! -name orvane-test-installer.exe | sort)"
# shellcheck disable=SC2086
python3 tests/imports/check-user-imports.py $images >"$work/imports.txt" 2>&1 ||
    sed 's/^/reactos: /' "$work/imports.txt"

echo "reactos: booting ReactOS (installed system, QEMU TCG) with $(du -sk "$payload" | cut -f1) KB of payload"
start="$(date +%s)"
lane_status=0
bash "$fixture/run-lane.sh" "$payload" "$out" "$timeout_s" >"$work/run-lane.txt" 2>&1 || lane_status=$?
wall="$(($(date +%s) - start))"
if [ -n "$bench" ]; then
    python3 tests/reactos/bench_report.py "$out" "$work/run-lane.txt" "$lane_status" "$wall"
else
    python3 tests/reactos/lane_report.py "$out" "$work/run-lane.txt" "$lane_status" "$wall"
fi
